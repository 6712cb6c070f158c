// The tracker's process-wide switches and the per-thread recursion guard, shared by the hook
// (operator new/delete) and the exit sequence.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The tracker's own code, whose frames never appear in an allocation stack: the hook and the
// stack capture are placed in this section, and the linker marks its bounds.
#define ZELK_LEAK_HOOK_CODE __attribute__((section("zelk_leaks_hook"), noinline))

namespace leak_state {

extern std::atomic<bool> gTracking;      // new blocks are tracked
extern std::atomic<bool> gEverTracked;   // the table may hold blocks: releases look them up
extern std::atomic<bool> gMarkOnly;      // the exit report runs: releases only mark
extern std::atomic<uint8_t> gFlags;
extern std::atomic<unsigned> gDepth;

// Set while this thread runs the tracker or the layer's report for it: its allocations are
// passed through.
inline thread_local bool tGuard = false;

class TGuardScope {
 public:
  TGuardScope() : previous_(tGuard) { tGuard = true; }
  ~TGuardScope() { tGuard = previous_; }
  TGuardScope(const TGuardScope&) = delete;
  TGuardScope& operator=(const TGuardScope&) = delete;

 private:
  bool previous_;
};

// Registers the exit sequence once, when tracking starts with a report at exit (see ELeaks.h
// for why then); later calls return at once.
void RegisterExitOnce();
extern std::atomic<bool> gExitRegistered;

// The allocation stack of the caller of operator new: the tracker's and the C++ library's own
// frames skipped, at most gDepth frames kept. Returns the stack id (0: none).
uint32_t CaptureAllocationStack();
// The release's stack for a memory-error report: the return address into the code that
// called operator delete comes first.
size_t CaptureReleaseStack(uintptr_t* out, size_t max);

}  // namespace leak_state
