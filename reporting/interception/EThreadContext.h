// Other threads' contexts: a real-time signal sent with tgkill makes each thread copy its
// registers and the top of its stack into a slot prepared beforehand, acknowledge, and wait
// until released. A thread that does not answer within the deadline (it blocks the signal, or
// is stuck in the kernel uninterruptibly) is skipped. Nothing allocates, locks or symbolises
// while threads are stopped: the stack buffers are allocated before the first signal is sent.
//
// A thread may answer after its deadline (once it unblocks the signal). The slot headers it
// looks at are never freed, and a generation in their state word tells it that its capture was
// cancelled, so it returns at once without touching the capture's buffers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "reporting/interception/EContext.h"

// The signal used for the suspension (SIGRTMIN + 3 unless taken; then the next free real-time
// signal).
int SuspendSignal();
// Installs the suspension signal's handler (SA_SIGINFO | SA_RESTART | SA_ONSTACK). Idempotent;
// Capture calls it itself.
void InstallSuspendHandler();
// Puts the previous disposition back; when that was the default (which would end the process
// on a signal still pending for a thread that blocks it), the signal is ignored instead.
void UninstallSuspendHandler();

// Copies `size` bytes of this process's memory at `start` into `out` through process_vm_readv,
// which fails instead of faulting and is not checked by AddressSanitizer (a live stack holds
// poisoned red zones). Returns the bytes copied: it stops at the first unreadable page.
// Async-signal-safe.
size_t CopyOwnMemory(uintptr_t start, size_t size, uint8_t* out) noexcept;

// The captured threads: one context per requested thread; Captured is true for those that
// answered.
struct TCapturedThread {
  TThreadContext Context;
  bool Captured = false;
};

class TThreadCapture {
 public:
  TThreadCapture();
  ~TThreadCapture();
  TThreadCapture(const TThreadCapture&) = delete;
  TThreadCapture& operator=(const TThreadCapture&) = delete;

  // Stops the given threads (the caller's own thread id is skipped), each with its stack top
  // for the copy (0: no stack copy), and copies their contexts; then releases all of them
  // before returning. The time threads stay stopped is kept in StoppedFor(). Captures of
  // different instances run one after the other.
  void Capture(std::span<const pid_t> tids, std::span<const uintptr_t> stackTops,
               std::chrono::milliseconds answerDeadline = std::chrono::milliseconds(200));
  // The results, in the order of the tids given (skipped ones have Captured false). Stack
  // copies point into this instance's buffers, valid until the next Capture or destruction.
  const std::vector<TCapturedThread>& Threads() const { return threads_; }
  // From the first signal sent to the release of the last stopped thread.
  std::chrono::nanoseconds StoppedFor() const { return stoppedFor_; }

 private:
  struct Slots;
  std::unique_ptr<Slots> slots_;
  std::vector<TCapturedThread> threads_;
  std::chrono::nanoseconds stoppedFor_{0};
};

// Threads held stopped while an exception is processed: each waits in the suspension handler
// until Resume (or the destructor), or until the thread that paused it has ended. A paused
// thread cannot be captured. Pauses and captures may overlap; their slots stay apart.
class TThreadPause {
 public:
  TThreadPause();
  ~TThreadPause();
  TThreadPause(const TThreadPause&) = delete;
  TThreadPause& operator=(const TThreadPause&) = delete;

  // Resumes what this instance held, then stops the given threads (the caller's own is
  // skipped). Returns how many answered and are now held.
  size_t Pause(std::span<const pid_t> tids,
               std::chrono::milliseconds answerDeadline = std::chrono::milliseconds(200));
  void Resume();

 private:
  struct Held;
  std::unique_ptr<Held> held_;
};
