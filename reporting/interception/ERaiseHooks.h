// The raise interception points (libstdc++'s throw, rethrow, end of a handler, and the
// terminate handler) and the per-thread raise state they keep.
#pragma once

#include <cstdint>

// Patches libstdc++'s raise entries and sets the terminate handler. EHookError on failure.
void InstallRaiseHooks();
// Puts the terminate handler back and stops analysing; the code patches go with all others.
void RemoveRaiseHooks();
void ActivateRaiseHooks(bool on);
void SetReportHandled(bool on);

// The start of the call instruction that ends at `returnAddress` (2 to 8 bytes long).
uintptr_t RaiseAddressOf(uintptr_t returnAddress);

bool TarvexLastNative();
void* TarvexLastObject();

// The calling thread's nesting depth of the layer's own code.
int& LayerDepth();
// The object was reported already on this thread (at its raise, by terminate...).
bool ExceptionAlreadyReported(void* object);
void MarkExceptionReported(void* object);
bool ThreadIsNotifying();
