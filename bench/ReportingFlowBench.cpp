// From the throw of an uncaught exception to its report written on standard output: in a
// fresh process (nothing read or resolved yet) and in one that has reported an exception
// before. Each iteration runs in a forked child that installs the layer; the report goes to a
// pipe that the child drains itself, and the time is taken when the output step is over.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "reporting/flow/EFlow.h"
#include "reporting/interception/ExceptionLog.h"

namespace {

using Clock = std::chrono::steady_clock;

struct RouteError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

Clock::time_point g_raised;
bool g_measuring = false;
int g_resultFd = -1;

__attribute__((noinline)) void Throw() {
  g_raised = Clock::now();
  throw RouteError("Route not found");
}

// Runs in the child: the report goes to a pipe drained by a thread of its own.
[[noreturn]] void Child(bool warm) {
  int sink[2];
  if (::pipe(sink) != 0) ::_exit(2);
  ::dup2(sink[1], 1);
  std::thread([fd = sink[0]] {
    char buffer[65536];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
  }).detach();
  if (!InstallExceptionLog()) ::_exit(3);
  TTarvexEventHandlers h;
  h.ExceptionActionNotify = [](const TTarvexExceptionRecord&, int32_t action, bool&) {
    if (action != eaAfterDialog || !g_measuring) return;
    double seconds = std::chrono::duration<double>(Clock::now() - g_raised).count();
    (void)!::write(g_resultFd, &seconds, sizeof seconds);
    ::_exit(0);
  };
  RegisterEventHandlers(std::move(h));
  // Warm: the same exception from the same place was reported before (caught, and handed to
  // the layer as an application's handler does), so its modules and lines are resolved.
  if (warm) {
    try {
      Throw();
    } catch (RouteError& e) {
      ExceptionManager(&e, &typeid(e), __builtin_return_address(0), 0, 0);
    }
  }
  g_measuring = true;
  Throw();
  ::_exit(4);
}

void RaiseToReport(benchmark::State& state, bool warm) {
  for (auto _ : state) {
    int fds[2];
    if (::pipe(fds) != 0) {
      state.SkipWithError("pipe");
      return;
    }
    pid_t child = ::fork();
    if (child == 0) {
      ::close(fds[0]);
      g_resultFd = fds[1];
      Child(warm);
    }
    ::close(fds[1]);
    double seconds = -1;
    (void)!::read(fds[0], &seconds, sizeof seconds);
    ::close(fds[0]);
    ::waitpid(child, nullptr, 0);
    if (seconds < 0) {
      state.SkipWithError("the child wrote no report");
      return;
    }
    state.SetIterationTime(seconds);
  }
}

void BM_UncaughtRaiseToReportCold(benchmark::State& state) { RaiseToReport(state, false); }
BENCHMARK(BM_UncaughtRaiseToReportCold)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_UncaughtRaiseToReportWarm(benchmark::State& state) { RaiseToReport(state, true); }
BENCHMARK(BM_UncaughtRaiseToReportWarm)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
