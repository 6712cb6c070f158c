// Call chains for the fast walk's tests and benchmark: the same source compiled with and
// without frame pointers at -O0 and -O2, a plugin loaded at run time and a few frames written
// in assembly.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kMaxCapturedFrames = 256;

// Both walks, made from the innermost frame of a chain.
struct TFrameCapture {
  uintptr_t Fast[kMaxCapturedFrames];
  size_t FastCount = 0;
  bool Complete = false;
  bool NeedsSlowPath = false;
  uintptr_t Reference[kMaxCapturedFrames];
  size_t ReferenceCount = 0;
};

using TCaptureFn = void (*)(TFrameCapture*);

// Each variant: `depth` frames of plain recursion, then `capture`; the other shapes put one
// frame of their kind below such a recursion.
#define FASTUNWIND_DECLARE_VARIANT(ns)                                        \
  namespace ns {                                                              \
  int Recurse(int depth, TCaptureFn capture, TFrameCapture* c);               \
  int LargeFrame(int depth, TCaptureFn capture, TFrameCapture* c);            \
  int AllocaFrame(int depth, TCaptureFn capture, TFrameCapture* c);           \
  int ThroughStdFunction(int depth, TCaptureFn capture, TFrameCapture* c);    \
  int ThroughSortComparator(int depth, TCaptureFn capture, TFrameCapture* c); \
  int ThroughCallOnce(int depth, TCaptureFn capture, TFrameCapture* c);       \
  }

FASTUNWIND_DECLARE_VARIANT(fastunwind_O0_fp)
FASTUNWIND_DECLARE_VARIANT(fastunwind_O0_nofp)
FASTUNWIND_DECLARE_VARIANT(fastunwind_O2_fp)
FASTUNWIND_DECLARE_VARIANT(fastunwind_O2_nofp)

// The plugin's entry (fastunwind_plugin.cpp): `depth` frames inside the plugin, then `capture`.
using TPluginRecurse = int (*)(int depth, TCaptureFn capture, TFrameCapture* c);
constexpr const char* kPluginEntry = "fastunwind_plugin_recurse";

extern "C" {
// Frames in assembly (fastunwind_asm.cpp).
// Calls capture(c) from a frame whose CFA is given as an expression (rbp + 16).
void fastunwind_expression_frame(TCaptureFn capture, TFrameCapture* c);
// Stores 1 to *p as its first instruction (a fault at a function's first byte).
void fastunwind_store_first(int* p);
// The caller's return address, stack pointer after the return and rbp.
struct TUnwindStart;
void fastunwind_caller_state(TUnwindStart* start);
}
