// The patching toolkit: redirects code at run time. Inline patches of a procedure's first
// instructions with a relocated trampoline, GOT entries of loaded ELF modules, and vtable
// slots. Every patch is recorded and undone by RestoreAllPatches, in reverse order.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "reporting/options/ECore.h"
#include "runtime/SysUtils.h"

ZELK_DECLARE_EXCEPTION(EHookError, Exception);
// "Cannot hook a null procedure (\"%s\")."
ZELK_DECLARE_EXCEPTION(EProcNull, EHookError);
// "Cannot hook the procedure \"%s\"."
ZELK_DECLARE_EXCEPTION(EHookingError, EHookError);
// Kept for the class tree; the shared area it names does not exist on Linux, so it is never raised.
ZELK_DECLARE_EXCEPTION(ESharedArea, EHookError);

// Makes [address, address + size) writable, copies the bytes, restores the previous
// protection and keeps the instruction stream coherent. Execute access is kept throughout, so
// other code on the same pages keeps running; bytes that fit an aligned 8- or 16-byte block are
// written in one atomic store. Works on file-backed text and on RELRO pages alike.
// EHookingError when the range cannot be made writable.
void PatchCode(void* address, const void* bytes, size_t size);

// Writes E9 rel32 (target - at - 5) at `at`. EHookingError when the displacement does not fit.
void WriteRelativeJump(void* at, const void* target);

// Redirects `target` to `replacement`; returns the trampoline through which the original
// behaviour can still be called. A target that starts with FF 25 (jmp [rip+disp32], also with
// endbr64 and bnd prefixes: a PLT entry) has its pointer's destination patched instead. An
// endbr64 at the start stays in place and the jump follows it. A replacement beyond rel32 reach
// is jumped to through an absolute jump next to the trampoline. Patching the same procedure
// again returns the same trampoline. EProcNull for a null target; EHookingError when the
// instructions cannot be relocated (undecodable, a procedure that ends within the bytes the
// jump overwrites, no trampoline memory within +-2 GiB of the target and of everything its
// first instructions refer to, a PLT slot not yet bound).
// A thread that is inside the first instructions while they are replaced would run a torn
// mix: install patches while the process has one thread (at start-up) where possible.
void* PatchProcedure(void* target, const void* replacement, const std::string& name);

// Undoes the code patch whose target or trampoline is `address`. The trampoline stays mapped
// (a thread may still be inside it). Does nothing for an unknown address.
void RestoreProcedure(void* address);

struct TImportPatchResult {
  void* Original = nullptr;  // the procedure's address as the exporting module defines it
  bool Changed = false;      // some GOT entry was rewritten
};

// In each listed module (load bases; 0 stands for the main executable) rewrites every GOT
// entry (JUMP_SLOT and GLOB_DAT relocations) that refers to `procName` by symbol name and now
// holds the exporting module's address, so that it holds `replacement`. `exportingModule` is a
// file name (full path or file part) of a loaded module. EProcNull ("module.proc") when the
// exporting module lacks the procedure; unless `quiet`, EHookingError ("module.proc") when no
// entry changed or a module has no dynamic section. `record` false: not undone at shutdown.
TImportPatchResult PatchImports(const std::string& exportingModule, const std::string& procName,
                                const std::vector<TModuleHandle>& modules, void* replacement,
                                bool record = true, bool quiet = false);

// Stores `method` in slot `index` of the vtable `vtable` (only when the table lies inside a
// loaded module) and records the old value; returns the previous method. Asking again with the
// method already in place returns the recorded original. EHookingError when the table is not
// inside a loaded module.
void* PatchVirtualSlot(void* vtable, size_t index, void* method);
void RestoreVirtualSlot(void* vtable, size_t index);

// Undoes every recorded patch: GOT entries (quietly), vtable slots, then code patches in the
// reverse order of their creation.
void RestoreAllPatches();

// What is recorded, for tests and diagnostics.
size_t CodePatchCount();
size_t ImportPatchCount();
size_t VirtualSlotPatchCount();
