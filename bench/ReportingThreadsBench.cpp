// How long a capture of other threads' contexts keeps a 10-thread process stopped: from the
// first suspension signal to the release of the last thread (goal: at most 2 ms), and how
// long the whole capture takes its caller.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "reporting/interception/EThreadContext.h"
#include "reporting/interception/EThreads.h"

namespace {

constexpr int kThreads = 10;

// Threads blocked in read() on a pipe, some frames deep, as a program's waiting workers are.
class TWorkers {
 public:
  TWorkers() {
    if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
    for (int i = 0; i < kThreads; ++i) {
      threads_.emplace_back([this] {
        int id = CurrentThreadId();
        uintptr_t top = CurrentStackTop();
        Register(id, top);
        Block(8);
      });
    }
    while (ready_.load() < kThreads) std::this_thread::yield();
    usleep(20000);  // let them reach read()
  }
  ~TWorkers() {
    for (int i = 0; i < kThreads; ++i) (void)!write(fds_[1], "x", 1);
    for (auto& t : threads_) t.join();
    close(fds_[0]);
    close(fds_[1]);
  }
  const std::vector<pid_t>& Tids() const { return tids_; }
  const std::vector<uintptr_t>& Tops() const { return tops_; }

 private:
  void Register(pid_t tid, uintptr_t top) {
    std::lock_guard lock(mutex_);
    tids_.push_back(tid);
    tops_.push_back(top);
    ready_.fetch_add(1);
  }
  __attribute__((noinline)) void Block(int depth) {
    volatile char frame[256] = {};
    if (depth > 0) {
      Block(depth - 1);
    } else {
      char c;
      (void)!read(fds_[0], &c, 1);
    }
    (void)frame[0];
  }

  int fds_[2];
  std::mutex mutex_;
  std::atomic<int> ready_{0};
  std::vector<pid_t> tids_;
  std::vector<uintptr_t> tops_;
  std::vector<std::thread> threads_;
};

std::vector<double> gStoppedUs;  // every capture of every run

void BM_CaptureTenThreads(benchmark::State& state) {
  TWorkers workers;
  TThreadCapture capture;
  double stoppedUs = 0;
  gStoppedUs.reserve(gStoppedUs.size() + 100000);
  for (auto _ : state) {
    capture.Capture(workers.Tids(), workers.Tops());
    double us = std::chrono::duration<double, std::micro>(capture.StoppedFor()).count();
    stoppedUs += us;
    gStoppedUs.push_back(us);
    benchmark::DoNotOptimize(capture.Threads().data());
  }
  for (const TCapturedThread& t : capture.Threads())
    if (!t.Captured) state.SkipWithError("a thread did not answer");
  state.counters["stopped_us"] = benchmark::Counter(stoppedUs, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_CaptureTenThreads)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  InstallSuspendHandler();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!gStoppedUs.empty()) {
    std::sort(gStoppedUs.begin(), gStoppedUs.end());
    auto at = [](double q) { return gStoppedUs[static_cast<size_t>(q * static_cast<double>(gStoppedUs.size() - 1))]; };
    std::printf("Threads stopped per capture of %d threads, %zu captures: median %.1f us, 90%% %.1f us, "
                "99%% %.1f us (goal: at most 2000 us)\n",
                kThreads, gStoppedUs.size(), at(0.5), at(0.9), at(0.99));
  }
  return 0;
}
