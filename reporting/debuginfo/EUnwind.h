// Call-frame unwinding: exact where the scan guesses. The current thread unwinds itself with
// the C++ runtime's unwinder; a captured context of another thread (or of a raise) is unwound
// over its registers and its stack copy with elfutils' frame unwinder. Where call-frame
// information is missing the unwinding stops, and the caller scans on from `ResumeSp`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "reporting/debuginfo/EMemory.h"
#include "reporting/interception/EContext.h"

struct TUnwoundFrame {
  uintptr_t Pc = 0;       // the first frame's instruction pointer, else a return address
  uintptr_t Sp = 0;       // the stack pointer in that frame
  bool Activation = false;  // Pc is the instruction itself (first frame, or a signal frame)
};

struct TUnwindResult {
  std::vector<TUnwoundFrame> Frames;  // innermost first
  bool Complete = false;  // the outermost frame was reached
  // Where a scan continues when not complete: the stack pointer of the last frame.
  uintptr_t ResumeSp = 0;
};

constexpr size_t kMaxUnwoundFrames = 1024;

// The calling thread, without the `skip` innermost frames (this function's own frame is
// never included).
TUnwindResult UnwindCurrentThread(size_t skip = 0);

// A captured context: registers (at a throw only the callee-saved ones, Rsp and Rip are
// known) and the copy of the top of its stack; memory outside the copy is read through
// `memory`. Thread-safe (one unwinder for the process, used by one caller at a time).
TUnwindResult UnwindContext(const TCpuRegisters& registers, const TStackCopyView& stack, IMemoryReader& memory);
