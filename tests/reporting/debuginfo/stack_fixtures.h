// Functions that the live call-stack tests and the benchmark find on stacks, with the lines of
// their calls; and threads blocked in known functions.
#pragma once

#include <sys/types.h>

#include <pthread.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "reporting/debuginfo/EDebug.h"

// Called at the innermost point of a fixture chain; returns what it built there.
using TStackProbe = TTarvexStackList (*)(void* context);

// StackFixtureOuter calls StackFixtureMiddle calls StackFixtureInner calls probe.
TTarvexStackList StackFixtureOuter(TStackProbe probe, void* context);
extern const int kOuterCallLine, kMiddleCallLine, kInnerCallLine;

// `depth` nested calls of StackFixtureRecurse, then probe.
TTarvexStackList StackFixtureRecurse(int depth, TStackProbe probe, void* context);

// Threads started through the layer's thread start (so they are registered), each blocked in a
// system call inside one of the fixture's functions until Stop().
// The start routine of those threads, and the line where it calls the blocking function.
void* StackFixtureThreadMain(void* arg);
extern const int kThreadMainCallLine;

class TBlockedThreads {
 public:
  struct Thread {
    pid_t Tid = 0;
    std::string Function;  // where it blocks
    int Line = 0;          // the line of the blocking call
    bool BlocksSuspendSignal = false;
    int Pipe[2] = {-1, -1};
    pthread_t Handle{};
    std::atomic<bool> Ready{false};
  };
  // `count` threads; the last one blocks the suspension signal when asked to.
  void Start(int count, bool lastBlocksSuspendSignal);
  void Stop();
  ~TBlockedThreads() { Stop(); }
  std::vector<Thread*> Threads() const;

 private:
  std::vector<std::unique_ptr<Thread>> threads_;
};
