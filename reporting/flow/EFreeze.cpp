// The freeze watch: turns a main thread that stops answering into a reported exception.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "reporting/flow/EFlow.h"
#include "reporting/interception/EThreadContext.h"
#include "reporting/interception/EThreads.h"
#include "reporting/interception/ExceptionLog.h"
#include "reporting/options/EModuleData.h"
#include "reporting/options/EModules.h"
#include "runtime/SysUtils.h"

namespace {

constexpr int kProbeMs = 50;
constexpr int kRestRounds = 6;

struct TFreezeThread {
  std::mutex Mutex;
  TFreezeProbe Probe;
  std::thread Thread;
  std::atomic<bool> Stopping{false};
  bool Running = false;
};

TFreezeThread& Watch() {
  static TFreezeThread* watch = new TFreezeThread;
  return *watch;
}

TFreezeProbe CurrentProbe() {
  std::lock_guard lock(Watch().Mutex);
  return Watch().Probe;
}

int TimeoutMs() {
  TTarvexModuleData* own = FindModuleData(ReportingModuleHandle());
  int seconds = own && own->Options ? own->Options->FreezeTimeoutSeconds() : 0;
  return seconds > 0 ? seconds * 1000 : 60000;
}

void ReportFreeze() {
  const pid_t main = ::getpid();
  std::optional<TTarvexThreadRecord> record = ThreadRegistry().Find(main);
  const uintptr_t top = record ? record->StackTop : 0;
  TThreadCapture capture;
  const pid_t tids[] = {main};
  const uintptr_t tops[] = {top};
  capture.Capture(tids, tops);
  const TCapturedThread& t = capture.Threads().front();
  if (!t.Captured || !t.Context.Registers.Rip || !t.Context.Registers.Rsp) return;
  const TTarvexModuleData* own = FindModuleData(ReportingModuleHandle());
  EFrozenApplication frozen(own && own->Options ? own->Options->GetText(156) : std::string());
  TExceptNotifyParams p;
  p.Source = nsManager;
  p.Channel = 1;
  p.Native = false;
  p.ExceptionObject = &frozen;
  p.ExceptionType = &typeid(frozen);
  p.ExceptionAddress = t.Context.Registers.Rip;
  p.Context = &t.Context.Registers;
  p.ThreadID = main;
  p.StackTop = top;
  p.StackStart = t.Context.Registers.Rsp;
  p.Stack = t.Context.Stack;
  NotifyException(p);
}

void Main() {
  TFreezeThread& w = Watch();
  while (!w.Stopping.load()) {
    int elapsed = 0;
    while (!w.Stopping.load() && elapsed < TimeoutMs()) {
      TFreezeProbe probe = CurrentProbe();
      if (!probe) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kProbeMs));
        continue;
      }
      if (probe(kProbeMs)) {
        for (int i = 0; i < kRestRounds && !w.Stopping.load(); ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(kProbeMs));
        elapsed = 0;
      } else {
        elapsed += kProbeMs;
      }
    }
    if (w.Stopping.load()) break;
    try {
      ReportFreeze();
    } catch (...) {
    }
  }
}

}  // namespace

void SetFreezeProbe(TFreezeProbe probe) {
  std::lock_guard lock(Watch().Mutex);
  Watch().Probe = std::move(probe);
}

void StartFreezeWatch() {
  TFreezeThread& w = Watch();
  std::lock_guard lock(w.Mutex);
  if (w.Running) return;
  w.Stopping = false;
  TLayerThreadScope own;  // the watch is the layer's: never registered or stopped
  w.Thread = std::thread(&Main);
  w.Running = true;
}

void StopFreezeWatch() {
  TFreezeThread& w = Watch();
  std::thread thread;
  {
    std::lock_guard lock(w.Mutex);
    if (!w.Running) return;
    w.Stopping = true;
    thread = std::move(w.Thread);
    w.Running = false;
  }
  if (thread.get_id() == std::this_thread::get_id()) thread.detach();
  else thread.join();
}
