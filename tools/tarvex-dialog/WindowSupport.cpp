#include "tools/tarvex-dialog/WindowSupport.h"

#include <spawn.h>
#include <sys/wait.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QFile>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QScreen>
#include <QStyle>
#include <QTextStream>
#include <QTreeWidget>
#include <QWindow>
#include <thread>

extern char** environ;

// The bitmaps live in a static library: their registration must be called for by name (and
// from outside any namespace), or the linker leaves it out.
static void InitDialogBitmaps() {
  static const bool done = [] {
    Q_INIT_RESOURCE(tarvex_dialog);
    return true;
  }();
  (void)done;
}

namespace tarvex_dialog {

// ---- Fonts and metrics --------------------------------------------------------------------------------

TDialogFonts TDialogFonts::Make() {
  TDialogFonts f;
  f.Message = QApplication::font();
  f.Bold = f.Message;
  f.Bold.setWeight(QFont::Bold);
  f.Underlined = f.Message;
  f.Underlined.setUnderline(true);
  f.BoldUnderlined = f.Bold;
  f.BoldUnderlined.setUnderline(true);
  // The text is UTF-8, the ANSI character set's case: 8 points.
  f.Fixed = QFont("Lucida Console", 8);
  f.Fixed.setStyleHint(QFont::TypeWriter);
  f.Fixed.setFixedPitch(true);
  f.List = QFont("Tahoma", 8);
  f.List.setStyleHint(QFont::SansSerif);
  f.Caption = QFont("Verdana");
  f.Caption.setPixelSize(QFontInfo(f.Message).pixelSize());
  f.Caption.setWeight(QFont::Bold);
  return f;
}

const QFont& TDialogFonts::Of(TFontRole role) const {
  switch (role) {
    case frBold: return Bold;
    case frUnderlined: return Underlined;
    case frBoldUnderlined: return BoldUnderlined;
    case frFixed: return Fixed;
    case frList: return List;
    case frCaption: return Caption;
    case frMessage: break;
  }
  return Message;
}

QString Q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
std::string S(const QString& text) { return text.toStdString(); }

int TQtMetrics::TextWidth(TFontRole font, std::string_view text) const {
  return QFontMetrics(fonts_.Of(font)).horizontalAdvance(Q(text));
}

int TQtMetrics::LineHeight(TFontRole font) const { return QFontMetrics(fonts_.Of(font)).height(); }

int TQtMetrics::WrappedHeight(TFontRole font, std::string_view text, int width) const {
  QString t = Q(text);
  t.replace("\r\n", "\n");
  if (t.isEmpty()) return LineHeight(font);
  return QFontMetrics(fonts_.Of(font)).boundingRect(QRect(0, 0, std::max(width, 1), 1 << 20), Qt::TextWordWrap, t).height();
}

int TQtMetrics::AverageCharWidth(TFontRole font) const {
  // The dialog base unit: the average width of the 52 Latin letters.
  const QString letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  return (QFontMetrics(fonts_.Of(font)).horizontalAdvance(letters) / 26 + 1) / 2;
}

// ---- Auto-close ----------------------------------------------------------------------------------------

TAutoClose::TAutoClose(int seconds, QObject* parent) : QObject(parent), seconds_(seconds) {
  if (seconds_ <= 0) return;
  timer_.setInterval(1000);
  connect(&timer_, &QTimer::timeout, this, [this] {
    if (++count_ >= seconds_) {
      timer_.stop();
      emit Expired();
    }
  });
  timer_.start();
  qApp->installEventFilter(this);
}

bool TAutoClose::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::ShortcutOverride:
      count_ = 0;
      break;
    default:
      break;
  }
  return QObject::eventFilter(watched, event);
}

// ---- Link ----------------------------------------------------------------------------------------------

TLinkLabel::TLinkLabel(QWidget* parent, const QFont& font, QColor colour) : QLabel(parent) {
  setFont(font);
  QPalette p = palette();
  p.setColor(QPalette::WindowText, colour);
  setPalette(p);
  setCursor(Qt::PointingHandCursor);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit Clicked();
}

// ---- Framed window ----------------------------------------------------------------------------------

namespace {

constexpr int kOwnFrame = 3;

int CaptionHeight(bool smallCaption) { return smallCaption ? 17 : 22; }

}  // namespace

TFramedWindow::TFramedWindow(const QString& caption, bool ownLook, bool topMost, bool smallCaption)
    : caption_(caption), ownLook_(ownLook), smallCaption_(smallCaption) {
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
  if (ownLook) flags = Qt::Dialog | Qt::FramelessWindowHint;
  if (topMost) flags |= Qt::WindowStaysOnTopHint;
  setWindowFlags(flags);
  setWindowTitle(caption);
  body_ = new QWidget(this);
  body_->setObjectName("body");
  if (ownLook) {
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(kOwnLookFace));
    p.setColor(QPalette::Button, QColor(kOwnLookFace));
    setPalette(p);
  }
}

TFrameMetrics TFramedWindow::Frame() const {
  TFrameMetrics f;
  f.CaptionHeight = ownLook_ ? CaptionHeight(smallCaption_) : CaptionHeight(false);
  return f;
}

QRect TFramedWindow::CaptionRect() const {
  return ownLook_ ? QRect(kOwnFrame, kOwnFrame, width() - 2 * kOwnFrame, CaptionHeight(smallCaption_)) : QRect();
}

void TFramedWindow::SetBodySize(int width, int height, bool fixed) {
  const int w = ownLook_ ? width + 2 * kOwnFrame : width;
  const int h = ownLook_ ? height + 2 * kOwnFrame + CaptionHeight(smallCaption_) : height;
  if (fixed) {
    setFixedSize(w, h);
  } else {
    setMinimumSize(std::min(w, 200), std::min(h, 150));
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    resize(w, h);
  }
  resizeEvent(nullptr);
}

void TFramedWindow::CentreOnWorkArea() {
  const TRect work = WorkArea();
  const TRect r = CentredIn(work, frameGeometry().width(), frameGeometry().height());
  move(r.X, r.Y);
}

void TFramedWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (shownSent_) return;
  shownSent_ = true;
  // "Shown" once the window's first frame is out: after the events queued by show().
  QTimer::singleShot(0, this, [this] {
    DumpGeometry(this);
    if (events_.Shown) events_.Shown();
  });
}

void TFramedWindow::resizeEvent(QResizeEvent* event) {
  if (event) QDialog::resizeEvent(event);
  const QRect inner = ownLook_ ? rect().adjusted(kOwnFrame, kOwnFrame + CaptionHeight(smallCaption_), -kOwnFrame, -kOwnFrame)
                               : rect();
  if (body_->geometry() != inner) body_->setGeometry(inner);
  BodyResized();
}

void TFramedWindow::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && ownLook_) update();
}

void TFramedWindow::mousePressEvent(QMouseEvent* event) {
  // Dragging the own caption moves the window.
  if (ownLook_ && event->button() == Qt::LeftButton && CaptionRect().contains(event->position().toPoint()) &&
      windowHandle() && windowHandle()->startSystemMove())
    return;
  QDialog::mousePressEvent(event);
}

void TFramedWindow::paintEvent(QPaintEvent* event) {
  QDialog::paintEvent(event);
  if (!ownLook_) return;
  QPainter p(this);
  const bool active = isActiveWindow();
  // The band: rectangles closing in 2 pixels at top and bottom, each darker by 4 per cent.
  const QRect band = CaptionRect();
  QColor colour = active ? QColor(130, 155, 194) : QColor(151, 151, 151);
  QRect r = band;
  for (int i = 0; i < band.height() / 5; ++i) {
    p.fillRect(r, colour);
    r.adjust(0, 2, 0, -2);
    colour = QColor(std::min(255, qRound(colour.red() * 0.96)), std::min(255, qRound(colour.green() * 0.96)),
                    std::min(255, qRound(colour.blue() * 0.96)));
  }
  // The frame: its outline and the border between outline and inside.
  const QColor frame = active ? QColor(64, 64, 64) : QColor(48, 48, 48);
  const QColor border = active ? QColor(128, 128, 128) : QColor(96, 96, 96);
  const QRect outer = rect();
  p.fillRect(QRect(0, 0, outer.width(), kOwnFrame), border);
  p.fillRect(QRect(0, outer.height() - kOwnFrame, outer.width(), kOwnFrame), border);
  p.fillRect(QRect(0, 0, kOwnFrame, outer.height()), border);
  p.fillRect(QRect(outer.width() - kOwnFrame, 0, kOwnFrame, outer.height()), border);
  p.setPen(frame);
  p.drawRect(outer.adjusted(0, 0, -1, -1));
  // The caption text, with a shadow when active.
  QFont font = TDialogFonts::Make().Caption;
  p.setFont(font);
  const QRect text = band.adjusted(4, 0, 0, 0);
  if (active) {
    p.setPen(QColor(34, 34, 34));
    p.drawText(text.translated(1, 0), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, caption_);
    p.setPen(Qt::white);
  } else {
    p.setPen(QColor(224, 224, 224));
  }
  p.drawText(text, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine, caption_);
}

// ---- Helpers --------------------------------------------------------------------------------------------

TRect WorkArea() {
  QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect r = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
  return {r.x(), r.y(), r.width(), r.height()};
}

QRect ToQRect(const TRect& r) { return QRect(r.X, r.Y, r.W, r.H); }

void Apply(QWidget* widget, const TControl& control) {
  if (!widget) return;
  widget->setGeometry(ToQRect(control.Rect));
  widget->setVisible(control.Visible);
  if (auto* label = qobject_cast<QLabel*>(widget)) label->setText(Q(control.Text));
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) button->setText(Q(control.Text));
}

QPixmap DialogBitmap(const char* name) {
  InitDialogBitmaps();
  return QPixmap(QString(":/tarvex/") + name);
}
QPixmap ErrorImage() { return DialogBitmap("error.png"); }
QPixmap SendImage() { return DialogBitmap("send.png"); }

bool OpenUrl(const std::string& url) {
  const char* argv[] = {"xdg-open", url.c_str(), nullptr};
  pid_t pid = -1;
  if (::posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return false;
  // Reaped aside: xdg-open may wait for the browser.
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
  return true;
}

QString ControlName(int id) { return QString("c%1").arg(id); }
QString PageControlName(int id) { return QString("p%1").arg(id); }

void DumpGeometry(const QWidget* window) {
  const QByteArray path = qgetenv("TARVEX_DIALOG_GEOMETRY");
  if (path.isEmpty()) return;
  QFile file(QString::fromLocal8Bit(path));
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) return;
  QTextStream out(&file);
  const QRect frame = window->geometry();
  out << "window " << frame.x() << ' ' << frame.y() << ' ' << frame.width() << ' ' << frame.height() << " 1 "
      << window->windowTitle() << '\n';
  for (const QWidget* w : window->findChildren<QWidget*>()) {
    static const QRegularExpression kControl("^[cp][0-9]+$");
    if (!kControl.match(w->objectName()).hasMatch()) continue;
    const QPoint at = w->mapToGlobal(QPoint(0, 0));
    QString text;
    if (auto* label = qobject_cast<const QLabel*>(w)) text = label->text();
    if (auto* button = qobject_cast<const QAbstractButton*>(w)) text = button->text();
    text.replace('\n', ' ');
    out << w->objectName() << ' ' << at.x() << ' ' << at.y() << ' ' << w->width() << ' ' << w->height() << ' '
        << (w->isVisibleTo(window) ? 1 : 0) << ' ' << text << '\n';
  }
  // The list on screen: its column headers and its first rows, so that scripts can fold a
  // group or drag a column's edge.
  for (const QTreeWidget* list : window->findChildren<QTreeWidget*>()) {
    if (!list->isVisibleTo(window)) continue;
    const QHeaderView* header = list->header();
    for (int c = 0; c < list->columnCount(); ++c) {
      const QPoint at = header->mapToGlobal(QPoint(header->sectionViewportPosition(c), 0));
      out << "col" << c << ' ' << at.x() << ' ' << at.y() << ' ' << header->sectionSize(c) << ' ' << header->height()
          << " 1 " << list->headerItem()->text(c) << '\n';
    }
    constexpr int kRowsDumped = 200;
    for (int r = 0; r < list->topLevelItemCount() && r < kRowsDumped; ++r) {
      const QTreeWidgetItem* item = list->topLevelItem(r);
      const QRect rect = list->visualItemRect(item);
      const QPoint at = list->viewport()->mapToGlobal(rect.topLeft());
      QString text = item->text(0);
      text.replace('\n', ' ');
      out << "row" << r << ' ' << at.x() << ' ' << at.y() << ' ' << rect.width() << ' ' << rect.height() << ' '
          << (item->isHidden() ? 0 : 1) << ' ' << text << '\n';
    }
  }
}

}  // namespace tarvex_dialog
