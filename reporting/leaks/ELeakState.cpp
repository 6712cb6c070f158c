#include "reporting/leaks/ELeakState.h"

#include <unistd.h>

#include <cstdlib>

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
  if (!gWantExit.load(std::memory_order_relaxed) || gExitRegistered.exchange(true)) return;
  // Registered when tracking starts, before the program's and the layer's static objects are
  // made: the handler runs after all their destructors. What the report needs of the layer is
  // therefore never destroyed (see runtime/NoDestroy.h).
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
  RegisterExitOnce();
}

void StopLeakTracking() { gTracking.store(false); }
