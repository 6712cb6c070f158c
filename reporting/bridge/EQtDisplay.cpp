#include "reporting/bridge/EQtDisplay.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScreen>
#include <QTextEdit>
#include <QThread>
#include <QWindow>
#include <QWidget>
#include <mutex>

#include "runtime/NoDestroy.h"

namespace {

constexpr int kMaxText = 255;

struct TSnapshot {
  std::mutex Mutex;
  TDisplayValues Values;
  bool Valid = false;
};

TSnapshot& Snapshot() {
  static TNoDestroy<TSnapshot> snapshot;  // read by threads that may outlive static teardown
  return *snapshot;
}

std::string Cut(const QString& text) { return text.left(kMaxText).toStdString(); }

bool OnGuiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

QWidget* ActiveForm() {
  if (QWidget* active = QApplication::activeWindow()) return active;
  // Without a window manager nothing is ever activated: the focus widget's window stands in.
  if (QWidget* focus = QApplication::focusWidget()) return focus->window();
  return nullptr;
}

// Follows what the copy depends on; lives on the GUI thread.
class TDisplayTracker : public QObject {
 public:
  TDisplayTracker() {
    auto* app = qApp;
    connect(app, &QApplication::focusChanged, this, [this](QWidget*, QWidget*) { Follow(); });
    connect(app, &QGuiApplication::focusWindowChanged, this, [this](QWindow*) { Follow(); });
    connect(app, &QGuiApplication::primaryScreenChanged, this, [this](QScreen*) { Follow(); });
    Follow();
  }

 private:
  void Follow() {
    for (const QMetaObject::Connection& c : watched_) disconnect(c);
    watched_.clear();
    auto refresh = [] { RefreshDisplaySnapshot(); };
    if (QWidget* form = ActiveForm()) watched_.push_back(connect(form, &QWidget::windowTitleChanged, this, refresh));
    QWidget* focus = QApplication::focusWidget();
    if (auto* edit = qobject_cast<QLineEdit*>(focus))
      watched_.push_back(connect(edit, &QLineEdit::textChanged, this, refresh));
    else if (auto* combo = qobject_cast<QComboBox*>(focus))
      watched_.push_back(connect(combo, &QComboBox::currentTextChanged, this, refresh));
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      watched_.push_back(connect(screen, &QScreen::geometryChanged, this, refresh));
      watched_.push_back(connect(screen, &QScreen::logicalDotsPerInchChanged, this, refresh));
    }
    RefreshDisplaySnapshot();
  }
  std::vector<QMetaObject::Connection> watched_;
};

TNoDestroy<QPointer<TDisplayTracker>> g_tracker;  // asked for after the static destructors too

}  // namespace

QString ControlTextOf(const QWidget* widget) {
  if (!widget) return {};
  QString text;
  if (auto* edit = qobject_cast<const QLineEdit*>(widget)) {
    switch (edit->echoMode()) {
      case QLineEdit::Normal: text = edit->text(); break;
      case QLineEdit::NoEcho: break;
      default: text = QString(edit->text().size(), QLatin1Char('*')); break;
    }
  } else if (qobject_cast<const QPlainTextEdit*>(widget) || qobject_cast<const QTextEdit*>(widget)) {
    // A multi-line editor's text is the user's document, not a caption.
  } else if (auto* button = qobject_cast<const QAbstractButton*>(widget)) {
    text = button->text();
  } else if (auto* combo = qobject_cast<const QComboBox*>(widget)) {
    text = combo->currentText();
  } else if (auto* spin = qobject_cast<const QAbstractSpinBox*>(widget)) {
    text = spin->text();
  } else if (auto* label = qobject_cast<const QLabel*>(widget)) {
    text = label->text();
  }
  return text.left(kMaxText);
}

void RefreshDisplaySnapshot() {
  if (!OnGuiThread()) return;
  TDisplayValues v;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    v.Width = screen->geometry().width();
    v.Height = screen->geometry().height();
    v.Depth = screen->depth();
    v.Dpi = qRound(screen->logicalDotsPerInchY());
  }
  if (QWidget* form = ActiveForm()) {
    v.FormClass = Cut(QString::fromLatin1(form->metaObject()->className()));
    v.FormText = Cut(form->windowTitle());
  }
  if (QWidget* focus = QApplication::focusWidget()) {
    v.ControlClass = Cut(QString::fromLatin1(focus->metaObject()->className()));
    v.ControlText = ControlTextOf(focus).toStdString();
  }
  TSnapshot& s = Snapshot();
  std::lock_guard lock(s.Mutex);
  s.Values = std::move(v);
  s.Valid = true;
}

bool ReadDisplaySnapshot(TDisplayValues& values) {
  if (OnGuiThread()) RefreshDisplaySnapshot();
  TSnapshot& s = Snapshot();
  std::lock_guard lock(s.Mutex);
  if (!s.Valid) return false;
  values = s.Values;  // no video card: the fallback reads it from the hardware
  return true;
}

void StartDisplayTracking() {
  if (!*g_tracker) *g_tracker = new TDisplayTracker;
  SetDisplayValuesProvider([](TDisplayValues& v) { return ReadDisplaySnapshot(v); });
}

void StopDisplayTracking() {
  SetDisplayValuesProvider({});
  delete g_tracker->data();
  TSnapshot& s = Snapshot();
  std::lock_guard lock(s.Mutex);
  s.Valid = false;
}
