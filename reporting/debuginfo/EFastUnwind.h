// The current thread's return addresses at the cost of a table lookup per frame: the call-frame
// rule of each code address is read from .eh_frame once, reduced to "CFA = rsp|rbp + offset,
// return address at CFA - 8, rbp unchanged or saved at CFA + offset" and kept in a process-wide
// lock-free table. Code whose rule has another form (stack realignment, signal frames,
// expressions) ends the fast walk; the caller then walks with `_Unwind_Backtrace`.
//
// No allocation and no lock once a rule is cached; a rule not yet cached is computed without
// allocating, and published unless the table is full. Safe to call from several threads, in a
// forked child, and from a signal handler once the code addresses walked have been seen before
// (a first lookup of an address may take the loader's lock only for code registered at run time).
#pragma once

#include <cstddef>
#include <cstdint>

struct TUnwindStart {
  uintptr_t Pc = 0;   // the innermost frame: a return address, or the instruction itself (Activation)
  uintptr_t Rsp = 0;  // the stack pointer in that frame
  uintptr_t Rbp = 0;  // rbp in that frame
  // Every stack read lies in [StackLow, StackHigh).
  uintptr_t StackLow = 0;
  uintptr_t StackHigh = 0;
  // Pc is the address of the interrupted instruction (a fault or a signal), not a return address:
  // its rule is the one at Pc, not at Pc - 1.
  bool Activation = false;
};

// Return addresses from the frame described by `start` outward: out[0] = start.Pc. Returns the
// count. `complete` is set when the end of the stack was reached; `needsSlowPath` when a frame's
// rule is not one of the simple forms or the stack left the given bounds (the frames returned
// are right, the ones beyond need `_Unwind_Backtrace`). A return address of 0 is not listed.
size_t FastBacktrace(const TUnwindStart& start, uintptr_t* out, size_t max, bool* complete, bool* needsSlowPath);

// Code whose frames at the start of a walk are walked through but not listed (a caller's own
// machinery, say an allocator hook and the library that called it).
struct TCodeRange {
  uintptr_t Lo = 0;  // [Lo, Hi)
  uintptr_t Hi = 0;
};
struct TFrameSkip {
  const TCodeRange* Ranges = nullptr;
  size_t Count = 0;
};

// As above, leaving out the leading frames whose return address lies in `skip`; `max` counts the
// frames listed, so the walk goes only as far as it must.
size_t FastBacktrace(const TUnwindStart& start, uintptr_t* out, size_t max, const TFrameSkip& skip, bool* complete,
                     bool* needsSlowPath);

// The same from the caller of this function: out[0] is the return address into the caller.
// The stack bounds are the calling thread's: below its thread block for threads of the C library,
// below the process's initial stack pointer for the main thread. A stack the program switched to
// itself (a coroutine) falls outside them: `needsSlowPath` is set after the first frame.
size_t FastBacktraceHere(uintptr_t* out, size_t max, bool* complete, bool* needsSlowPath);
// From the caller, leaving out leading frames as FastBacktrace does with `skip`.
size_t FastBacktraceHereSkipping(uintptr_t* out, size_t max, const TFrameSkip& skip, bool* needsSlowPath);

// Forgets every cached rule; for the caller that sees code unloaded (dlclose), whose addresses
// may be reused by other code. Cheap (an epoch counter); readers never wait.
void ClearFastUnwindRules();
