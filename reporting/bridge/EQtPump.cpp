#include "reporting/bridge/EQtPump.h"

#include <QApplication>
#include <QThread>

namespace {

class TDropFilter : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (PumpDropOf(event->type())) {
      case pdDispatch: return QObject::eventFilter(watched, event);
      case pdDropWithBeep:
        // One beep per input event would stutter on key repeat; one per press is enough.
        if (event->type() != QEvent::KeyRelease && event->type() != QEvent::MouseButtonRelease) QApplication::beep();
        return true;
      case pdDrop: return true;
    }
    return true;
  }
};

}  // namespace

TPumpDrop PumpDropOf(QEvent::Type type) {
  switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::ContextMenu:
      return pdDropWithBeep;
    case QEvent::Close:
    case QEvent::Quit:
      return pdDrop;
    default:
      return pdDispatch;
  }
}

bool PumpGuiEvents() {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || QThread::currentThread() != app->thread()) return false;
  TDropFilter filter;
  app->installEventFilter(&filter);
  bool ok = true;
  try {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  } catch (...) {
    ok = false;
  }
  app->removeEventFilter(&filter);
  return ok;
}
