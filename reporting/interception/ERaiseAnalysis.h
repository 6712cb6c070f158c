// Handled or not, decided at raise time without unwinding: a read-only copy of the Itanium
// search phase over the return addresses of the raising thread. Each frame's FDE gives its
// personality and LSDA; for __gxx_personality_v0 frames the call-site and action tables decide,
// exactly as the personality would a moment later.
//
// Safe to call at every throw: no allocation and no lock of its own (the unwinder's FDE lookup
// is the one the real throw makes too; the cache is per thread). The caller keeps raises inside
// the layer's own code away from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <typeinfo>

enum TCatchKind : uint8_t { ckNone = 0, ckCatchAll = 1, ckTyped = 2 };

// Why the walk stopped.
enum TRaiseEnd : uint8_t {
  reCatch,           // a frame of the application catches it
  reLayerCatch,      // the first catching frame is one of the layer's own (RegisterLayerCatchFrame)
  reForeign,         // a frame with a personality other than the C++ one: counted as catching
  reNoCallSite,      // a call site missing from its table (noexcept, a throwing cleanup): terminate
  reThrowList,   // a throw() list that does not allow the type: terminate
  reEndOfStack,      // a frame without FDE, a return address 0, or the end of a complete chain
  reUnknownBeyond,   // the chain given ended before a decision: counted as caught
};

struct TRaiseDecision {
  bool Caught = false;          // some frame of the application catches it
  TCatchKind FirstKind = ckNone;
  int CatchingFrames = 0;       // frames whose handlers catch it, up to the deciding one (0 or 1)
  uintptr_t FirstHandler = 0;   // landing pad of the first catching frame (0 for a foreign frame)
  size_t FirstFrame = 0;        // index in the return addresses of the first catching frame
  bool LayerCatch = false;      // the first catch is in a frame registered as the layer's own
  TRaiseEnd End = reEndOfStack;
};

// The raising thread's frames, innermost first: returnAddresses[0] is the return address of the
// call that raised (inside the throwing function). `thrownObject` is the object as thrown
// (what __cxa_throw receives; for a dependent exception the primary object); `type` its type,
// null for a foreign exception. `complete` tells that the chain reaches the thread's outermost
// frame; when it does not and no decision was reached within it, the exception counts as caught
// (so it is not reported early; the terminate handler still sees it if nothing catches).
//
// Rules: catch (...) is kind 1, a typed handler matching the thrown type
// (type_info::__do_catch, a thrown pointer matched by its value as the personality does) kind 2;
// cleanups do not catch; a call site missing from the table, or a throw() list that
// does not allow the type, is the end: unhandled; the end of the frames (a frame without FDE or
// with return address 0) is unhandled; a frame with a personality other than
// __gxx_personality_v0 counts as catching (kind 1), except the C cleanup personality
// __gcc_personality_v0, which never catches. A catching frame whose function is registered with
// RegisterLayerCatchFrame counts as not caught by the application: the walk stops there,
// unhandled, LayerCatch set. A frame interrupted by a signal (its inner frame's CIE has 'S') is
// looked up at its pc, not at its return address minus 1.
TRaiseDecision AnalyseRaise(std::span<const uintptr_t> returnAddresses, const std::type_info* type,
                            void* thrownObject, bool complete);

// Same, through the calling thread's cache of its last 10 decisions (the oldest dropped), keyed
// by the thrown type, the throw address (returnAddresses[0]), a hash of the whole chain of return
// addresses, its length and `complete`. The cache is thread-local storage of this module: in a
// module loaded with dlopen, the loader may allocate a thread's block at its first use.
TRaiseDecision AnalyseRaiseCached(std::span<const uintptr_t> returnAddresses, const std::type_info* type,
                                  void* thrownObject, bool complete);

// Empties every thread's decision cache (each thread notices at its next lookup).
void ClearRaiseDecisionCaches();

// Functions whose catch blocks belong to the layer (thread wrappers, the application object's
// dispatch wrapper): any address inside them (the FDE gives their start). At most 16; registering
// the same function twice is a no-op; false when all places are taken. Both clear the decision
// caches. Lock-free: the registry is read on the throw path.
bool RegisterLayerCatchFrame(const void* functionAddress);
void UnregisterLayerCatchFrame(const void* functionAddress);

// Parsing of one frame, exposed for tests: personality and LSDA of the function that holds pc,
// with the bases the unwinder found for it.
struct TFrameEhInfo {
  bool HasFde = false;
  bool Readable = true;       // false: the CIE cannot be read (the walk counts it as catching)
  bool SignalFrame = false;   // the CIE has 'S' (a signal trampoline)
  uintptr_t FunctionStart = 0;
  uintptr_t Personality = 0;  // 0 when the CIE names none
  uintptr_t Lsda = 0;         // 0 when the FDE carries none
  uintptr_t TextBase = 0;
  uintptr_t DataBase = 0;
};
TFrameEhInfo FindFrameEhInfo(uintptr_t pc);

// Which personality routine it is, by address.
enum TPersonalityKind : uint8_t { pkCxx, pkCCleanup, pkForeign };
TPersonalityKind ClassifyPersonality(uintptr_t personality);
