// A thread's processor state as the layer captures it: at a throw, in a signal handler, or
// from another thread stopped for a report. Plain data, filled without allocating, so that a
// signal handler can copy into a record prepared beforehand.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// The most of a stack the layer copies for one thread.
constexpr size_t kStackSnapshotSize = 102400;

// General registers of x86-64. At a throw only the callee-saved ones, Rsp and Rip are known
// (Full is false); from a signal or a stopped thread every field is (Full is true).
struct TCpuRegisters {
  uint64_t Rax = 0, Rbx = 0, Rcx = 0, Rdx = 0, Rsi = 0, Rdi = 0, Rbp = 0, Rsp = 0;
  uint64_t R8 = 0, R9 = 0, R10 = 0, R11 = 0, R12 = 0, R13 = 0, R14 = 0, R15 = 0;
  uint64_t Rip = 0, EFlags = 0;
  uint16_t Cs = 0, Fs = 0, Gs = 0, Ss = 0;
  bool Valid = false;
  bool Full = false;
};

// The FXSAVE image of the x87/SSE state (copied from the signal frame, never pointed to: the
// frame's fpregs pointer dies with the frame).
struct TFpState {
  alignas(16) uint8_t FxSave[512] = {};
  bool Valid = false;
};

// A copy of the top of a stack: Bytes[0] is the byte at address Start (the stack pointer at
// capture), Size bytes follow, at most kStackSnapshotSize. Top is the thread's stack top.
// Bytes points into storage owned by whoever filled the record.
struct TStackCopyView {
  uintptr_t Start = 0;
  uintptr_t Top = 0;
  size_t Size = 0;
  const uint8_t* Bytes = nullptr;
};

// One thread's captured state.
struct TThreadContext {
  pid_t ThreadID = 0;
  TCpuRegisters Registers;
  TFpState Fp;
  TStackCopyView Stack;
};
