// The bug report of a live 10-thread process: the stacks of every thread stopped, copied and
// symbolised, the live snapshot read, and every section built. Goals: under 20 ms warm; the
// first report of a fresh process under 500 ms.
//
// The first-report case runs in a forked child per iteration, before this process has resolved
// or read anything, so every iteration meets unopened modules and an unread system.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "reporting/debuginfo/ECallStack.h"
#include "reporting/interception/EThreads.h"
#include "reporting/report/EReport.h"
#include "reporting/report/ELiveSnapshot.h"
#include "tests/reporting/debuginfo/stack_fixtures.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TLiveReport {
  TBlockedThreads Threads;
  std::vector<TTarvexThreadRecord> Records;
  TTarvexModuleOptions Options;
  TReportTime Start = NowReportTime();

  TLiveReport() {
    Options.SetDefaults();
    Threads.Start(10, false);
    for (const auto& rec : ThreadRegistry().Snapshot())
      for (auto* t : Threads.Threads())
        if (rec.ThreadID == t->Tid) Records.push_back(rec);
  }

  // One report, as the processing flow builds it for an exception on this thread.
  __attribute__((noinline)) TBugReport Build() {
    TReportException x = Exception();
    TLiveSnapshotOptions live;
    live.AskX11 = false;  // no display server in a benchmark; its deadline is not the report's cost
    auto snapshot = MakeLiveSnapshot(Start, NowReportTime(), live);
    return BuildBugReport(Options, x, *snapshot);
  }

  __attribute__((noinline)) TReportException Exception() {
    TReportException x;
    x.ClassName = "std::runtime_error";
    x.Message = "Route not found";
    x.Address = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    TCpuRegisters r;
    r.Rsp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    r.Rip = x.Address;
    r.Valid = true;
    x.Context = r;
    x.ConsoleOrWeb = true;
    x.MainModuleFile = "/proc/self/exe";

    TExceptionThreadStack ex;
    ex.ThreadID = CurrentThreadId();
    ex.StackStart = r.Rsp;
    ex.StackTop = CurrentStackTop();
    TCallStackFlags flags;
    flags.Include(cfOsThreadStacks);
    x.CallStack = BuildExceptionStacks(ex, Records, flags);
    return x;
  }
};

void BM_FirstReportInFreshProcess(benchmark::State& state) {
  for (auto _ : state) {
    int fds[2];
    if (pipe(fds) != 0) {
      state.SkipWithError("pipe");
      return;
    }
    pid_t child = fork();
    if (child == 0) {
      TLiveReport report;
      auto t0 = Clock::now();
      TBugReport r = report.Build();
      double result[2] = {std::chrono::duration<double>(Clock::now() - t0).count(), static_cast<double>(r.Text.size())};
      if (r.CallStackPart.find("Running Thread") == std::string::npos) result[0] = -1;
      (void)!write(fds[1], result, sizeof result);
      report.Threads.Stop();
      _exit(0);
    }
    close(fds[1]);
    double result[2] = {-1, 0};
    (void)!read(fds[0], result, sizeof result);
    close(fds[0]);
    waitpid(child, nullptr, 0);
    if (result[0] < 0) {
      state.SkipWithError("the child's report lists no other thread");
      return;
    }
    state.SetIterationTime(result[0]);
    state.counters["bytes"] = result[1];
  }
}
BENCHMARK(BM_FirstReportInFreshProcess)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_ReportWarm(benchmark::State& state) {
  TLiveReport report;
  size_t bytes = report.Build().Text.size();  // warm-up: modules opened, system read once
  for (auto _ : state) {
    TBugReport r = report.Build();
    bytes = r.Text.size();
    benchmark::DoNotOptimize(r);
  }
  state.counters["threads"] = static_cast<double>(report.Records.size());
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ReportWarm)->Unit(benchmark::kMillisecond);

// The parts of a warm report: the stacks alone, and the snapshot with the text over given stacks.
void BM_StacksWarm(benchmark::State& state) {
  TLiveReport report;
  report.Build();
  for (auto _ : state) benchmark::DoNotOptimize(report.Exception());
}
BENCHMARK(BM_StacksWarm)->Unit(benchmark::kMillisecond);

void BM_SnapshotAndTextWarm(benchmark::State& state) {
  TLiveReport report;
  report.Build();
  TReportException x = report.Exception();
  TLiveSnapshotOptions live;
  live.AskX11 = false;
  for (auto _ : state) {
    auto snapshot = MakeLiveSnapshot(report.Start, NowReportTime(), live);
    benchmark::DoNotOptimize(BuildBugReport(report.Options, x, *snapshot));
  }
}
BENCHMARK(BM_SnapshotAndTextWarm)->Unit(benchmark::kMillisecond);

// The text alone, over a snapshot that has already read everything.
void BM_TextWarm(benchmark::State& state) {
  TLiveReport report;
  TReportException x = report.Exception();
  TLiveSnapshotOptions live;
  live.AskX11 = false;
  auto snapshot = MakeLiveSnapshot(report.Start, NowReportTime(), live);
  BuildBugReport(report.Options, x, *snapshot);
  for (auto _ : state) benchmark::DoNotOptimize(BuildBugReport(report.Options, x, *snapshot));
}
BENCHMARK(BM_TextWarm)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
