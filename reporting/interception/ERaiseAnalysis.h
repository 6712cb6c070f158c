// Handled or not, decided at raise time without unwinding: a read-only copy of the Itanium
// search phase over the return addresses of the raising thread. Each frame's FDE gives its
// personality and LSDA; for __gxx_personality_v0 frames the call-site and action tables decide.
// Safe to call at every throw: no allocation, no lock on a cache hit or miss (the cache is
// per thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <typeinfo>

enum TCatchKind : uint8_t { ckNone = 0, ckCatchAll = 1, ckTyped = 2 };

struct TRaiseDecision {
  bool Caught = false;          // some frame of the application catches it
  TCatchKind FirstKind = ckNone;
  int CatchingFrames = 0;       // frames whose handlers would catch it, up to the deciding one
  uintptr_t FirstHandler = 0;   // landing pad of the first catching frame
  size_t FirstFrame = 0;        // index in the return addresses of the first catching frame
  bool LayerCatch = false;      // the first catch is in a frame registered as the layer's own
};

// The raising thread's frames, innermost first: ReturnAddresses[0] is the return address of the
// call that raised (inside the throwing function). `thrownObject` is the object as thrown
// (what __cxa_throw receives); `type` its dynamic type. `frames` beyond the ones given are
// unknown: when no decision was reached within them, the exception counts as caught.
//
// Rules: catch (...) is kind 1, a typed handler matching the thrown type
// (type_info::__do_catch, pointers dereferenced as the personality does) kind 2; cleanups do
// not catch; a call site missing from the table, or an exception specification that does not
// allow the type (noexcept), is the end: unhandled; the end of the frames (a frame without
// FDE or with return address 0) is unhandled; a frame with a personality other than
// __gxx_personality_v0 counts as catching (kind 1). A catching frame whose function is
// registered with RegisterLayerCatchFrame counts as not caught by the application: the walk
// stops there, unhandled, LayerCatch set.
TRaiseDecision AnalyseRaise(std::span<const uintptr_t> returnAddresses, const std::type_info* type,
                            void* thrownObject, bool complete);

// Same, through the per-thread cache of the last 10 decisions, keyed by the thrown type, the
// throw address and a hash of the chain of return addresses.
TRaiseDecision AnalyseRaiseCached(std::span<const uintptr_t> returnAddresses, const std::type_info* type,
                                  void* thrownObject, bool complete);

// Functions whose catch blocks belong to the layer (thread wrappers, the application object's
// dispatch wrapper): their start addresses as the FDE gives them (or any address inside them).
// At most 16; registering the same function twice is a no-op. Clears the decision caches.
void RegisterLayerCatchFrame(const void* functionAddress);
void UnregisterLayerCatchFrame(const void* functionAddress);

// Parsing of one frame, exposed for tests: personality and LSDA of the function that holds pc.
struct TFrameEhInfo {
  bool HasFde = false;
  uintptr_t FunctionStart = 0;
  uintptr_t Personality = 0;  // 0 when the CIE names none
  uintptr_t Lsda = 0;         // 0 when the FDE carries none
};
TFrameEhInfo FindFrameEhInfo(uintptr_t pc);
