// The current thread's return addresses: the fast walk with its rule table warm against
// libgcc's _Unwind_Backtrace, for 8, 30 and 64 frames of a chain compiled without frame
// pointers at -O2. ns_per_frame is the figure to read.
#include <benchmark/benchmark.h>
#include <unwind.h>

#include "reporting/debuginfo/EFastUnwind.h"
#include "tests/reporting/debuginfo/fastunwind_fixture.h"

namespace {

enum TWalker { wkFast, wkUnwinder };

benchmark::State* gState = nullptr;
TWalker gWalker = wkFast;
size_t gFrames = 0;

struct TUnwinderCapture {
  uintptr_t* Out;
  size_t Count;
  size_t Max;
};

_Unwind_Reason_Code Collect(_Unwind_Context* context, void* arg) {
  auto* c = static_cast<TUnwinderCapture*>(arg);
  c->Out[c->Count++] = _Unwind_GetIP(context);
  return c->Count == c->Max ? _URC_END_OF_STACK : _URC_NO_REASON;
}

// The measured loop runs in the innermost frame of the chain.
void WalkRepeatedly(TFrameCapture*) {
  benchmark::State& state = *gState;
  uintptr_t frames[kMaxCapturedFrames];
  size_t count = 0;
  bool complete = false, slow = false;
  for (auto _ : state) {
    if (gWalker == wkUnwinder) {
      TUnwinderCapture c{frames, 0, gFrames};
      _Unwind_Backtrace(&Collect, &c);
      count = c.Count;
    } else {
      count = FastBacktraceHere(frames, gFrames, &complete, &slow);
    }
    benchmark::DoNotOptimize(frames);
    benchmark::ClobberMemory();
  }
  if (count != gFrames || slow) state.SkipWithError("the walk did not reach the frames asked for");
}

void Walk(benchmark::State& state, TWalker walker) {
  gState = &state;
  gWalker = walker;
  gFrames = static_cast<size_t>(state.range(0));
  fastunwind_O2_nofp::Recurse(static_cast<int>(gFrames) + 4, &WalkRepeatedly, nullptr);
  state.counters["frames"] = static_cast<double>(gFrames);
  state.counters["ns_per_frame"] =
      benchmark::Counter(static_cast<double>(gFrames), benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
}

void BM_FastBacktraceHere_Warm(benchmark::State& state) { Walk(state, wkFast); }
void BM_UnwindBacktrace(benchmark::State& state) { Walk(state, wkUnwinder); }

BENCHMARK(BM_FastBacktraceHere_Warm)->Arg(8)->Arg(30)->Arg(64);
BENCHMARK(BM_UnwindBacktrace)->Arg(8)->Arg(30)->Arg(64);

}  // namespace

BENCHMARK_MAIN();
