// Other threads' contexts: a real-time signal sent with tgkill makes each thread copy its
// registers and the top of its stack into a slot prepared beforehand, acknowledge, and wait
// until released. A thread that does not answer within the deadline (it blocks the signal, or
// is stuck in the kernel uninterruptibly) is skipped. Nothing allocates, locks or symbolises
// while threads are stopped: the slots are allocated before the first signal is sent.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <span>
#include <vector>

#include "reporting/interception/EContext.h"

// The signal used for the suspension (SIGRTMIN + 3 unless taken).
int SuspendSignal();
// Installs the suspension signal's handler (SA_SIGINFO | SA_RESTART | SA_ONSTACK). Idempotent.
void InstallSuspendHandler();
void UninstallSuspendHandler();

// The captured threads: one context per requested thread that answered (Captured true).
struct TCapturedThread {
  TThreadContext Context;
  bool Captured = false;
};

class TThreadCapture {
 public:
  TThreadCapture();
  ~TThreadCapture();  // releases any thread still stopped
  TThreadCapture(const TThreadCapture&) = delete;
  TThreadCapture& operator=(const TThreadCapture&) = delete;

  // Stops the given threads (the caller's own thread id is skipped), each with its stack top
  // for the copy, and copies their contexts; then releases all of them before returning. The
  // time threads stay stopped is kept in StoppedFor().
  void Capture(std::span<const pid_t> tids, std::span<const uintptr_t> stackTops,
               std::chrono::milliseconds answerDeadline = std::chrono::milliseconds(200));
  // The results, in the order of the tids given (skipped ones have Captured false).
  const std::vector<TCapturedThread>& Threads() const { return threads_; }
  std::chrono::nanoseconds StoppedFor() const { return stoppedFor_; }

 private:
  struct Slots;
  std::unique_ptr<Slots> slots_;
  std::vector<TCapturedThread> threads_;
  std::chrono::nanoseconds stoppedFor_{0};
};
