// Memory-leak tracking. A program links the hook library (Tarvex::Leaks,
// `zelk_reporting_leaks_hook`): it replaces every form of the global operator new and operator
// delete. At start the leak flags of the module's stored reporting data decide whether blocks
// are tracked; at exit the blocks still live are reported, grouped by where they were
// allocated, as one EMemoryLeak through the processing flow. With lkCheckMemoryErrors a second
// release and damaged guard bytes are reported (EMultiFree, EMemoryOverrun) where the release is.
//
// What is not tracked: malloc, calloc, realloc and free are not interposed, so memory that C
// code or containers built on malloc (Qt's, for instance) take stays invisible; blocks allocated
// before tracking started (in the constructors of shared objects loaded earlier) are freed as
// they are; and a shared object that links the hook tracks nothing when the operator new in
// effect is another module's.
//
// Order at exit: the report runs from an atexit handler registered when tracking starts (the
// hook's constructor, before the program's and the layer's other static objects are made), so
// after the destructors of every static object of the program, namespace-scope and
// function-local: what a destructor frees is not a leak. What the report needs of the layer is
// made once and never destroyed (runtime/NoDestroy.h). No report on _exit, on a fatal signal or
// in a forked child.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/SysUtils.h"

// The leak report and the memory errors; processed like any other exception, never thrown.
ZELK_DECLARE_EXCEPTION(EMemoryLeak, Exception);
ZELK_DECLARE_EXCEPTION(EMultiFree, Exception);
ZELK_DECLARE_EXCEPTION(EMemoryOverrun, Exception);

// Bits of the leak flags byte (the options' TLeakFlags).
constexpr uint8_t kLeakCatch = 1 << 0;
constexpr uint8_t kLeakGroupChildren = 1 << 1;
constexpr uint8_t kLeakIgnoreKnown = 1 << 2;
constexpr uint8_t kLeakFreeAtExit = 1 << 3;  // accepted, does nothing: see ELeakExit.cpp
constexpr uint8_t kLeakCheckErrors = 1 << 4;

// Bytes 14 and 15 of a file's stored block (leak flags, defer to the main module), read with
// plain file reads into fixed buffers: no allocation, usable inside operator new. False when the
// file has no block with a known magic number and a format version of at least 6000.
bool ReadStoredLeakBytes(const char* fileName, uint8_t* leakFlags, uint8_t* deferToMain);

// The leak flags that decide for the module containing `codeAddress`: its own block, or the main
// module's when it is another module whose defer byte is set. 0 without a block.
uint8_t StartLeakFlags(const void* codeAddress);

// Whether the hook is linked and tracks blocks now, and the flags it started with.
bool LeakTrackingActive();
uint8_t ActiveLeakFlags();

// Frames recorded per allocation (at most 35, the default).
void SetLeakStackDepth(unsigned frames);
unsigned LeakStackDepth();

// ---- Used by the hook; also by tests and the benchmark ----

// Starts tracking with these flags without any stored block (the benchmark; tests of a program
// that is not a fixture). With `reportAtExit` the exit sequence is registered as for a program
// whose block asked for tracking.
void StartLeakTracking(uint8_t flags, bool reportAtExit);
// Stops tracking: later blocks are passed through; tracked ones are still freed correctly.
void StopLeakTracking();

// The exit sequence (what the atexit handler runs); exposed for the exit tests. Returns the
// number of leak groups reported.
size_t RunLeakExitSequence();

// Memory errors found at a release: reported through the flow with the release's stack, whose
// first entry is the return address into the code that called operator delete.
enum class TMemoryError { MultiFree, Overrun };
void ReportMemoryError(TMemoryError kind, const uintptr_t* frames, size_t count);
