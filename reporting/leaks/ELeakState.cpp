#include "reporting/leaks/ELeakState.h"

#include <unistd.h>

#include <cstdlib>

#include "reporting/interception/ExceptionLog.h"
#include "reporting/leaks/ELeakTable.h"
#include "reporting/leaks/ELeaks.h"

namespace leak_state {

std::atomic<bool> gTracking{false};
std::atomic<bool> gEverTracked{false};
std::atomic<bool> gMarkOnly{false};
std::atomic<uint8_t> gFlags{0};
std::atomic<unsigned> gDepth{kLeakMaxFrames};
std::atomic<bool> gExitRegistered{false};

namespace {

std::atomic<bool> gWantExit{false};
std::atomic<pid_t> gRegisteringPid{0};

void ExitHandler() {
  // A forked child's exit is not the program's: the parent reports its own.
  if (::getpid() != gRegisteringPid.load()) return;
  RunLeakExitSequence();
}

}  // namespace

void RegisterExitOnce() {
  if (!gWantExit.load(std::memory_order_relaxed) || gExitRegistered.load(std::memory_order_relaxed)) return;
  // Registered once the layer is running and the main thread is back in the program: every
  // static object the layer needs exists by then, and is destroyed after this handler runs.
  if (!ExceptionLogInstalled() || TLayerScope::Active() || ::gettid() != ::getpid()) return;
  if (gExitRegistered.exchange(true)) return;
  gRegisteringPid.store(::getpid());
  std::atexit(&ExitHandler);
}

}  // namespace leak_state

using namespace leak_state;

bool LeakTrackingActive() { return gTracking.load(); }
uint8_t ActiveLeakFlags() { return gFlags.load(); }

void SetLeakStackDepth(unsigned frames) {
  gDepth.store(frames == 0 ? 1 : frames > kLeakMaxFrames ? unsigned(kLeakMaxFrames) : frames);
}
unsigned LeakStackDepth() { return gDepth.load(); }

void StartLeakTracking(uint8_t flags, bool reportAtExit) {
  if (!leak_table::Initialize()) return;
  gFlags.store(flags);
  gWantExit.store(reportAtExit);
  gEverTracked.store(true);
  gTracking.store(true);
}

void StopLeakTracking() { gTracking.store(false); }
