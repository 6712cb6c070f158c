// Fatal signals (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT) as unhandled exceptions. The
// handler runs on an alternate stack, copies siginfo_t, the registers, the FP state and the
// top of the stack into a record prepared in advance, hands it to the signal thread (started
// at installation: creating a thread inside a handler can fail) and waits. Afterwards the
// handler installed before is chained, or the default disposition restored and the signal
// raised again, so the exit status and core dumps stay those of the signal. A signal is never
// turned into a C++ throw.
//
// One record serves the whole process: a second faulting thread waits until the first one's
// report is done. A fault on the signal thread itself, or one raised while its thread is
// already inside a handler on its alternate stack (the chained handler aborting, say), is not
// reported and goes straight to the chaining. errno is kept across the handler.
#pragma once

#include <signal.h>

#include <cstdint>
#include <string>

#include "reporting/interception/EContext.h"

struct TSignalReport {
  int Signal = 0;
  siginfo_t Info{};
  TThreadContext Context;  // Context.Stack points into the record's own buffer
  // The page-fault error code of the trap (bit 1: the access was a write), 0 for signals not
  // raised by the processor.
  uint64_t ErrorCode = 0;
  // Sent by a process (kill, tgkill, raise, abort) rather than raised by the processor.
  bool Raised = false;
  // A SIGSEGV at an address within the guard area below the thread's stack, or next to a stack
  // pointer that has left the stack.
  bool StackOverflow = false;
};

// The runtime's exception class for the signal ("EAccessViolation" for SIGSEGV and SIGBUS,
// "EStackOverflow", "EDivByZero", "EIntOverflow", "EZeroDivide", "EOverflow", "EUnderflow",
// "EInvalidOp", "EPrivilege", "EIllegalInstruction", "EAbnormalTermination") and its message
// ("Access violation at address %p in module '%s'. %s of address %p" with 16-digit
// addresses, and the fixed texts of the others). Runs on the signal thread: may allocate.
std::string SignalClassName(const TSignalReport& report);
std::string SignalMessage(const TSignalReport& report);

// Called on the signal thread for each fatal signal, while the faulting thread waits.
using TSignalCallback = void (*)(const TSignalReport& report);

// Starts the signal thread and installs the handlers, keeping the previous ones. Also sets up
// the calling thread's alternate stack. Idempotent (a second call only replaces the callback);
// false when the thread cannot be started.
bool InstallSignalHandlers(TSignalCallback callback);
// Puts the previous handlers back (where ours are still the ones in effect) and stops the
// signal thread.
void UninstallSignalHandlers();
// The signal thread's id while installed, else 0 (the layer never registers or suspends it).
pid_t SignalThreadId();

// The calling thread's alternate signal stack (mmap'ed, at least 64 KiB, a guard page below),
// together with the bounds of the thread's own stack, which the handler needs for the stack
// copy and the overflow test. Called for the main thread at installation and by every wrapped
// thread at its start; released at its end (the alternate stack the thread had before comes
// back). Both are idempotent.
void SetupThreadAltStack();
void ReleaseThreadAltStack();

// The next SIGABRT of this process is not reported (an uncaught exception that was reported
// already ends through std::terminate and abort).
void SuppressAbortReport();
