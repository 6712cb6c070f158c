// The price of the raise-time decision: capturing 30 return addresses at a throw (goal: at
// most 10 us), and the decision itself uncached and cached (goal: cached far cheaper) with 1,
// 10 and 50 frames of destructors between the throw and the catch (...) that decides.
#include <benchmark/benchmark.h>
#include <unwind.h>

#include <cstdint>
#include <typeinfo>
#include <vector>

#include "reporting/interception/ERaiseAnalysis.h"

namespace {

struct TThrown {
  int Code = 1;
};
TThrown gThrown;

volatile int gSink = 0;
struct TGuard {
  ~TGuard() { gSink = gSink + 1; }
};

struct TCapture {
  uintptr_t* Out;
  size_t Count;
  size_t Max;
};

_Unwind_Reason_Code CollectFrame(_Unwind_Context* context, void* arg) {
  auto* capture = static_cast<TCapture*>(arg);
  if (capture->Count == capture->Max) return _URC_END_OF_STACK;
  capture->Out[capture->Count++] = _Unwind_GetIP(context);
  return _URC_NO_REASON;
}

[[gnu::noinline]] size_t Capture(uintptr_t* out, size_t max) {
  TCapture capture{out, 0, max};
  _Unwind_Backtrace(CollectFrame, &capture);
  return capture.Count;
}

std::vector<uintptr_t> gChain;

// `depth` frames with a destructor each, as the code between a throw and its handler has.
[[gnu::noinline]] void Descend(int depth, void (*atBottom)(int), int arg) {
  TGuard guard;
  if (depth > 1)
    Descend(depth - 1, atBottom, arg);
  else
    atBottom(arg);
  gSink = depth;
}

[[gnu::noinline]] void RecordChain(int) {
  static uintptr_t addresses[1024];
  size_t n = Capture(addresses, 1024);
  gChain.assign(addresses + 1, addresses + n);  // from the frame that would throw
}

[[gnu::noinline]] void CatchingFrame(int depth) {
  try {
    Descend(depth, RecordChain, 0);
  } catch (...) {
    gSink = -1;
  }
}

void BM_AnalyseRaiseUncached(benchmark::State& state) {
  CatchingFrame(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    TRaiseDecision d = AnalyseRaise(gChain, &typeid(TThrown), &gThrown, true);
    benchmark::DoNotOptimize(d);
  }
  state.counters["frames"] = static_cast<double>(gChain.size());
}
BENCHMARK(BM_AnalyseRaiseUncached)->Arg(1)->Arg(10)->Arg(50);

void BM_AnalyseRaiseCached(benchmark::State& state) {
  CatchingFrame(static_cast<int>(state.range(0)));
  ClearRaiseDecisionCaches();
  for (auto _ : state) {
    TRaiseDecision d = AnalyseRaiseCached(gChain, &typeid(TThrown), &gThrown, true);
    benchmark::DoNotOptimize(d);
  }
  state.counters["frames"] = static_cast<double>(gChain.size());
}
BENCHMARK(BM_AnalyseRaiseCached)->Arg(1)->Arg(10)->Arg(50);

benchmark::State* gState = nullptr;

[[gnu::noinline]] void CaptureLoop(int count) {
  uintptr_t addresses[64];
  for (auto _ : *gState) {
    size_t n = Capture(addresses, static_cast<size_t>(count));
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(addresses);
  }
}

// 40 frames deep, so that all 30 addresses come from real frames.
void BM_Capture30ReturnAddresses(benchmark::State& state) {
  gState = &state;
  Descend(40, CaptureLoop, 30);
}
BENCHMARK(BM_Capture30ReturnAddresses);

}  // namespace

BENCHMARK_MAIN();
