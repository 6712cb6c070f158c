#include "reporting/bridge/EQtWindows.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QThread>
#include <QWidget>
#include <QWindow>
#include <cmath>
#include <mutex>

#include "runtime/NoDestroy.h"

namespace {

struct TCopy {
  std::mutex Mutex;
  TGuiWindowList List;
  bool Valid = false;
};

TCopy& Copy() {
  static TNoDestroy<TCopy> copy;  // read by threads that may outlive static teardown
  return *copy;
}

bool OnGuiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

// Native ids only of windows that already have one: asking for winId() would create it.
uint32_t NativeId(const QWidget* window) {
  const QWindow* handle = window->windowHandle();
  return handle ? static_cast<uint32_t>(handle->winId()) : 0;
}

class TWindowTracker : public QObject {
 public:
  TWindowTracker() {
    qApp->installEventFilter(this);
    connect(qApp, &QApplication::focusChanged, this, [](QWidget*, QWidget*) { RefreshWindowList(); });
    RefreshWindowList();
  }
  ~TWindowTracker() override {
    if (qApp) qApp->removeEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::Show:
      case QEvent::Hide:
      case QEvent::Resize:
      case QEvent::LayoutRequest:
        if (watched->isWidgetType() && static_cast<QWidget*>(watched)->isWindow()) RefreshWindowList();
        break;
      default:
        break;
    }
    return false;
  }
};

TNoDestroy<QPointer<TWindowTracker>> g_tracker;  // asked for after the static destructors too

}  // namespace

void RefreshWindowList() {
  if (!OnGuiThread()) return;
  TGuiWindowList list;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (list.Count >= TGuiWindowList::kMaxWindows) break;
    if (!window->isVisible()) continue;
    if (const uint32_t id = NativeId(window)) list.Windows[list.Count++] = id;
  }
  if (QWidget* focus = QApplication::focusWidget()) {
    QWidget* window = focus->window();
    if (const uint32_t id = NativeId(window)) {
      // Client coordinates of the native window are device pixels.
      const qreal ratio = window->devicePixelRatioF();
      const QPoint at = focus->mapTo(window, QPoint(0, 0));
      list.FocusWindow = id;
      list.FocusLeft = static_cast<int32_t>(std::lround(at.x() * ratio));
      list.FocusTop = static_cast<int32_t>(std::lround(at.y() * ratio));
      list.FocusWidth = static_cast<int32_t>(std::lround(focus->width() * ratio));
      list.FocusHeight = static_cast<int32_t>(std::lround(focus->height() * ratio));
    }
  }
  TCopy& c = Copy();
  std::lock_guard lock(c.Mutex);
  c.List = list;
  c.Valid = true;
}

bool ReadWindowList(TGuiWindowList& list) {
  if (OnGuiThread()) RefreshWindowList();
  TCopy& c = Copy();
  std::lock_guard lock(c.Mutex);
  if (!c.Valid) return false;
  list = c.List;
  return true;
}

void StartWindowTracking() {
  if (!*g_tracker) *g_tracker = new TWindowTracker;
}

void StopWindowTracking() {
  delete g_tracker->data();
  TCopy& c = Copy();
  std::lock_guard lock(c.Mutex);
  c.Valid = false;
}
