// Call stacks of the live process. Goals: symbolising a 30-frame stack cold (first use of a
// module's debug information) under 250 ms and warm under 1 ms; all threads of a 10-thread
// process captured and symbolised warm under 20 ms, the threads stopped for at most 2 ms.
//
// The cold case runs in a forked child per iteration, so every iteration meets unopened
// modules; it is registered first, before this process has resolved anything.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "reporting/debuginfo/ECallStack.h"
#include "reporting/interception/EThreads.h"
#include "tests/reporting/debuginfo/stack_fixtures.h"

namespace {

constexpr int kDepth = 30;
using Clock = std::chrono::steady_clock;

TStackScanOptions Options() {
  TStackScanOptions o;
  o.ThreadID = static_cast<uint32_t>(CurrentThreadId());
  return o;
}

// Runs the benchmark loop at the innermost point of a 30-frame recursion.
template <class Body>
void AtDepth(benchmark::State& state, Body body) {
  struct Ctx {
    benchmark::State* State;
    Body* B;
  } ctx{&state, &body};
  StackFixtureRecurse(
      kDepth,
      [](void* p) {
        auto* c = static_cast<Ctx*>(p);
        for (auto _ : *c->State) (*c->B)();
        return TTarvexStackList{};
      },
      &ctx);
}

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_SymbolizeCold(benchmark::State& state) {
  double cpu = 0;
  for (auto _ : state) {
    int fds[2];
    if (pipe(fds) != 0) {
      state.SkipWithError("pipe");
      return;
    }
    pid_t child = fork();
    if (child == 0) {
      auto t0 = Clock::now();
      double cpu0 = CpuSeconds();
      TTarvexStackList list = StackFixtureRecurse(
          kDepth, [](void*) { return BuildCurrentThreadStack(Options()); }, nullptr);
      double times[2] = {std::chrono::duration<double>(Clock::now() - t0).count(), CpuSeconds() - cpu0};
      if (list.size() < kDepth) times[0] = -1;
      (void)!write(fds[1], times, sizeof times);
      _exit(0);
    }
    close(fds[1]);
    double times[2] = {-1, 0};
    (void)!read(fds[0], times, sizeof times);
    close(fds[0]);
    waitpid(child, nullptr, 0);
    if (times[0] < 0) {
      state.SkipWithError("the child found too few frames");
      return;
    }
    state.SetIterationTime(times[0]);
    cpu += times[1];
  }
  // CPU time too: on a loaded machine the wall time also holds waiting for a core.
  state.counters["cpu_ms"] = benchmark::Counter(cpu * 1000, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_SymbolizeCold)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

// Capture only: the return addresses of the 30-frame stack.
void BM_Capture(benchmark::State& state) {
  size_t frames = 0;
  AtDepth(state, [&] {
    TUnwindResult r = UnwindCurrentThread();
    frames = r.Frames.size();
    benchmark::DoNotOptimize(r);
  });
  state.counters["frames"] = static_cast<double>(frames);
}
BENCHMARK(BM_Capture)->Unit(benchmark::kMicrosecond);

// Capture and symbolise, warm.
void BM_SymbolizeWarm(benchmark::State& state) {
  size_t entries = 0;
  AtDepth(state, [&] {
    TTarvexStackList list = BuildCurrentThreadStack(Options());
    entries = list.size();
    benchmark::DoNotOptimize(list);
  });
  state.counters["entries"] = static_cast<double>(entries);
}
BENCHMARK(BM_SymbolizeWarm)->Unit(benchmark::kMicrosecond);

// The designed scan alone over the same stack, warm.
void BM_ScanWarm(benchmark::State& state) {
  size_t entries = 0;
  AtDepth(state, [&] {
    uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    TTarvexStackList list = BuildCallStack(0, sp, CurrentStackTop(), Options());
    entries = list.size();
    benchmark::DoNotOptimize(list);
  });
  state.counters["entries"] = static_cast<double>(entries);
}
BENCHMARK(BM_ScanWarm)->Unit(benchmark::kMicrosecond);

// Ten other threads stopped, copied, released, then unwound and symbolised.
void BM_TenThreadsWarm(benchmark::State& state) {
  TBlockedThreads threads;
  threads.Start(10, false);
  std::vector<TTarvexThreadRecord> records;
  for (const auto& rec : ThreadRegistry().Snapshot())
    for (auto* t : threads.Threads())
      if (rec.ThreadID == t->Tid) records.push_back(rec);
  TExceptionThreadStack ex;
  ex.ThreadID = CurrentThreadId();
  TCallStackFlags flags;
  flags.Include(cfOsThreadStacks);
  std::chrono::nanoseconds stopped{0}, maxStopped{0};
  size_t entries = 0;
  BuildExceptionStacks(ex, records, flags);  // warm-up: the threads' modules are opened
  for (auto _ : state) {
    TTarvexStackList list = BuildExceptionStacks(ex, records, flags, &stopped);
    maxStopped = std::max(maxStopped, stopped);
    entries = list.size();
    benchmark::DoNotOptimize(list);
  }
  state.counters["threads"] = static_cast<double>(records.size());
  state.counters["entries"] = static_cast<double>(entries);
  state.counters["max_stopped_ms"] = std::chrono::duration<double, std::milli>(maxStopped).count();
}
BENCHMARK(BM_TenThreadsWarm)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
