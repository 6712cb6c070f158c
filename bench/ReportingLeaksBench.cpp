// The hook's cost per new+delete pair. "Plain" is malloc+free, what the hook sits on; "Std" is
// libstdc++'s own operator new/delete, what a program without the hook calls (through the
// pointers its call would take); "Off" is the hook's operator new/delete in a process where
// tracking never started; "On" records a stack of 16 or
// 35 frames, the rule cache and the stack store warm (one pair before the timed loop). The pairs
// run 40 frames deep so that 35 frames exist; frames_kept shows how many a stored stack has.
// With two threads, the CPU column is the CPU time per pair of both threads together: compare it
// with one thread's. pairs/s is the figure to read; bytes_per_block and bytes_per_stack are the
// table's and the stack store's share.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

#include "reporting/leaks/ELeakTable.h"
#include "reporting/leaks/ELeaks.h"

namespace {

enum TMode { mdPlain, mdStd, mdOff, mdOn };

// libstdc++'s forms, which the hook's replace in this program.
using TNew = void* (*)(size_t);
using TDelete = void (*)(void*);
TNew StdNew() { return reinterpret_cast<TNew>(dlsym(RTLD_NEXT, "_Znwm")); }
TDelete StdDelete() { return reinterpret_cast<TDelete>(dlsym(RTLD_NEXT, "_ZdlPv")); }

// The depth of the stack stored for a block allocated here, with tracking on.
__attribute__((noinline)) double FramesKept() {
  void* p = ::operator new(32);
  std::vector<TLeakEntry> live(leak_table::LiveCount() + 64);
  live.resize(std::min(live.size(), leak_table::Snapshot(live.data(), live.size())));
  double depth = 0;
  for (const TLeakEntry& e : live)
    if (e.Base == reinterpret_cast<uint64_t>(p)) depth = leak_table::StackOf(e.StackId).Depth;
  ::operator delete(p);
  return depth;
}

template <int N>
__attribute__((noinline)) void Deep(benchmark::State& state, TMode mode) {
  if constexpr (N > 0) {
    Deep<N - 1>(state, mode);
    asm volatile("");  // keeps the call from becoming a jump
  } else {
    if (mode == mdOff || mode == mdOn) ::operator delete(::operator new(32));  // warms the rule cache and the store
    static const TNew stdNew = StdNew();
    static const TDelete stdDelete = StdDelete();
    if (mode == mdStd && (!stdNew || !stdDelete)) {
      state.SkipWithError("libstdc++'s operator new was not found");
      return;
    }
    for (auto _ : state) {
      if (mode == mdStd) {
        void* p = stdNew(32);
        benchmark::DoNotOptimize(p);
        stdDelete(p);
      } else if (mode == mdPlain) {
        void* p = std::malloc(32);
        benchmark::DoNotOptimize(p);
        std::free(p);
      } else {
        void* p = ::operator new(32);
        benchmark::DoNotOptimize(p);
        ::operator delete(p);
      }
    }
    state.counters["pairs/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    if (mode == mdOn && state.thread_index() == 0) state.counters["frames_kept"] = FramesKept();
  }
}

void Pairs(benchmark::State& state, TMode mode, unsigned frames) {
  if (mode == mdOn && state.thread_index() == 0) {
    SetLeakStackDepth(frames);
    StartLeakTracking(kLeakCatch, false);
  }
  Deep<40>(state, mode);
  if (mode == mdOn && state.thread_index() == 0) {
    StopLeakTracking();
    state.counters["bytes_per_block"] = static_cast<double>(leak_table::BytesPerEntry());
    state.counters["bytes_per_stack"] = static_cast<double>(leak_table::BytesPerStack());
  }
}

void BM_Plain(benchmark::State& state) { Pairs(state, mdPlain, 0); }
void BM_Std(benchmark::State& state) { Pairs(state, mdStd, 0); }
void BM_Off(benchmark::State& state) { Pairs(state, mdOff, 0); }
void BM_On16(benchmark::State& state) { Pairs(state, mdOn, 16); }
void BM_On35(benchmark::State& state) { Pairs(state, mdOn, 35); }

// Off runs first: once tracking has started, a release asks the table even when it is off.
BENCHMARK(BM_Plain)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_Std)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_Off)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_On16)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_On35)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
