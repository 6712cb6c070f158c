// What the patching toolkit needs from the operating system: the memory map, writes to
// protected pages, trampoline memory near a target, and the loaded modules. Private to EHook.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "reporting/options/ECore.h"

namespace ehook {

// How many bytes from `address` on (at most `max`) lie in consecutive readable regions.
size_t ReadableBytes(uintptr_t address, size_t max);

// Copies `size` bytes to `address`, adding write access around the copy and restoring the
// previous protection afterwards. A write that fits an aligned 8- or 16-byte block is one
// atomic store, so a thread running through the bytes sees either the old or the new ones.
// False when a part of the range is not mapped or cannot be made writable.
bool WriteProtected(uintptr_t address, const void* bytes, size_t size);

// `size` bytes of executable memory starting in [low, high] (both inclusive, the start), or 0.
// The pages are never unmapped: a thread may still run inside a trampoline after its restore.
uintptr_t AllocateTrampoline(size_t size, uintptr_t low, uintptr_t high);

// The range lies inside a loaded segment of some loaded module.
bool InsideLoadedModule(uintptr_t address, size_t size);

// The load base of the module whose segments contain `address`, or 0.
TModuleHandle ModuleContaining(uintptr_t address);

// The address under which the loaded module `fileName` (full path or file part) defines
// `symbol` itself (not through its dependencies), or 0.
uintptr_t FindExport(const std::string& fileName, const std::string& symbol);

// The address the global lookup scope binds `symbol` to, or 0.
uintptr_t GlobalLookup(const std::string& symbol);

struct TGotSlot {
  uintptr_t Address = 0;  // the GOT entry
  bool JumpSlot = false;  // a PLT slot, which may still point into the module's lazy PLT stub
};

enum class TGotScan { NotLoaded, NoDynamicSection, Scanned };

// The GOT entries of `module` (a load base; 0 the main executable) whose JUMP_SLOT or GLOB_DAT
// relocation names `symbol`.
TGotScan FindGotSlots(TModuleHandle module, const std::string& symbol, std::vector<TGotSlot>& slots);

}  // namespace ehook
