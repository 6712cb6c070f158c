#include "reporting/bridge/EQtFreezeProbe.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QThread>
#include <QWindow>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

using TClock = std::chrono::steady_clock;

const QEvent::Type kProbeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class TProbeReceiver;

struct TProbeState {
  std::mutex Mutex;
  std::condition_variable Answer;
  TProbeReceiver* Receiver = nullptr;  // posted to under Mutex; cleared before it is deleted
  bool Outstanding = false;            // a probe event waits in the GUI thread's queue
  bool Answered = false;
  bool Watchable = false;              // as the GUI thread saw it at its last answer
  bool Reported = false;               // this freeze has been reported
  TClock::time_point SilentSince;
  std::function<void()> OnAnswer;
};

TProbeState& State() {
  static TProbeState* state = new TProbeState;  // the watch thread may outlive static teardown
  return *state;
}

bool AnyWindowVisible() {
  for (QWindow* w : QGuiApplication::topLevelWindows())
    if (w->isVisible() && w->width() > 0 && w->height() > 0 && w->visibility() != QWindow::Minimized) return true;
  return false;
}

class TProbeReceiver : public QObject {
 public:
  TProbeReceiver() {
    connect(qApp, &QCoreApplication::aboutToQuit, this, [] {
      TProbeState& s = State();
      std::lock_guard lock(s.Mutex);
      s.Watchable = false;  // the loop ends: whatever the thread does now is not a freeze
    });
  }

  bool event(QEvent* e) override {
    if (e->type() != kProbeEvent) return QObject::event(e);
    bool watchable = QThread::currentThread()->loopLevel() > 0 && AnyWindowVisible();
    std::function<void()> onAnswer;
    {
      TProbeState& s = State();
      std::lock_guard lock(s.Mutex);
      s.Outstanding = false;
      s.Answered = true;
      s.Watchable = watchable;
      onAnswer = s.OnAnswer;
    }
    State().Answer.notify_all();
    if (onAnswer) onAnswer();
    return true;
  }
};

}  // namespace

void StartFreezeProbe(std::function<void()> onAnswer) {
  TProbeState& s = State();
  std::lock_guard lock(s.Mutex);
  if (!s.Receiver) s.Receiver = new TProbeReceiver;
  s.OnAnswer = std::move(onAnswer);
  s.Outstanding = false;
  s.Watchable = false;
  s.Reported = false;
}

void StopFreezeProbe() {
  TProbeReceiver* receiver;
  {
    TProbeState& s = State();
    std::lock_guard lock(s.Mutex);
    receiver = s.Receiver;
    s.Receiver = nullptr;
    s.OnAnswer = nullptr;
    s.Watchable = false;
    s.Outstanding = false;
  }
  delete receiver;  // its pending probe events go with it
  State().Answer.notify_all();
}

TFreezeProbeResult ProbeFreeze(int waitMs, int timeoutMs) {
  TProbeState& s = State();
  std::unique_lock lock(s.Mutex);
  if (!s.Receiver) return fpNotWatched;
  TClock::time_point now = TClock::now();
  if (!s.Outstanding) {
    s.Outstanding = true;
    s.Answered = false;
    s.SilentSince = now;
    QCoreApplication::postEvent(s.Receiver, new QEvent(kProbeEvent), Qt::HighEventPriority);
  }
  s.Answer.wait_for(lock, std::chrono::milliseconds(waitMs), [&s] { return s.Answered || !s.Receiver; });
  now = TClock::now();
  if (s.Answered) {
    s.Answered = false;
    s.Reported = false;
    s.SilentSince = now;
    return s.Watchable ? fpAnswered : fpNotWatched;
  }
  if (!s.Receiver || !s.Watchable || ExceptionBeingProcessed()) {
    s.SilentSince = now;  // silence counts only from here on
    return fpNotWatched;
  }
  if (s.Reported) return fpWaiting;
  if (now - s.SilentSince >= std::chrono::milliseconds(timeoutMs)) {
    s.Reported = true;
    return fpFrozen;
  }
  return fpWaiting;
}
