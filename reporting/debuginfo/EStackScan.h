// The stack scan: every 8-byte word of a stack area that points just after a call instruction
// of a loaded module is taken as a return address. It finds frames without frame pointers or
// call-frame information, at the price of stale words; two clean-up passes remove the worst
// of that noise. Memory, code ranges and naming come through interfaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "reporting/debuginfo/EDebug.h"
#include "reporting/debuginfo/EMemory.h"

constexpr size_t kMaxScannedStackBytes = 102400;
constexpr size_t kMaxStackEntries = 1024;

// Entry kinds as a mask: bit k for kind k.
using TEntryKinds = uint8_t;
constexpr TEntryKinds EntryKindBit(uint8_t kind) { return static_cast<TEntryKinds>(1u << kind); }
constexpr TEntryKinds kAllEntryKinds = 0x1F;

// What the scan asks about code addresses: whether they are code, the module, and the full
// resolution (one entry per inline level, innermost first).
class IStackSymbols : public ICodeRanges {
 public:
  virtual const TTarvexModuleInfo* ModuleOf(uintptr_t address) = 0;
  virtual std::vector<TTarvexStackEntry> Resolve(uintptr_t address, uint32_t threadId, bool firstEntry,
                                                 uint8_t stackRole) = 0;
};

struct TStackScanOptions {
  TEntryKinds Kinds = kAllEntryKinds;
  uint32_t MaxEntries = 0;  // entries kept by this call; 0: no limit
  uint32_t FirstIndex = 0;  // candidates of a kept kind skipped before the first kept one
  bool Resolve = true;
  bool FollowStubs = true;
  uint8_t StackRole = 1;
  uint32_t ThreadID = 0;
};

// The call forms recognised before a return address.
enum class TCallForm : uint8_t {
  None,
  Relative,      // E8 rel32
  Register,      // FF D0-D7
  Indirect,      // FF 10-13, 16, 17
  IndirectD8,    // FF 50-53, 55-57 d8, after a load
  IndirectD32,   // FF 90-93, 95-97 d32
  Sib,           // FF 14 sib (disp32 when the SIB has no base)
  SibD8,         // FF 54 sib d8
  SibD32,        // FF 94 sib d32
  RipRelative,   // FF 15 disp32
};

struct TCallSite {
  TCallForm Form = TCallForm::None;
  uintptr_t Start = 0;       // first byte of the call, a REX prefix included
  uintptr_t StubTarget = 0;  // for E8 to a bound PLT stub: where the stub jumps
};

// The call instruction that ends at `returnAddress`, tested in the scan's order. `strict`
// adds the scan's plausibility tests (a load before FF 5x, the d32 displacement within
// +-0x4000); without it a known return address only needs the shape of a call.
TCallSite FindCallBefore(uintptr_t returnAddress, IMemoryReader& memory, bool followStubs, bool strict = true);

// The start of the call that returns to `returnAddress` (x86-64 calls are 2 to 8 bytes
// long); returnAddress - 1, inside the call, when its bytes are not recognised.
uintptr_t CallStartBefore(uintptr_t returnAddress, IMemoryReader& memory);

// Adds entries to a list under the kind mask, the first index, the maximum and the 1024 cap.
class TStackEntrySink {
 public:
  TStackEntrySink(TTarvexStackList& list, const TStackScanOptions& options, IStackSymbols& symbols)
      : list_(list), options_(options), symbols_(symbols) {}
  // Resolves `address` (a code address: the start of a call, or the first entry's address)
  // and appends what is kept.
  void Add(uintptr_t address, bool firstEntry);
  bool Full() const;

 private:
  TTarvexStackList& list_;
  const TStackScanOptions& options_;
  IStackSymbols& symbols_;
  uint32_t candidates_ = 0;
  uint32_t kept_ = 0;
};

// Walks the area word by word and adds, through `sink`, every call site found (and, for a
// call to a bound PLT stub, the called procedure before it).
void ScanStackArea(TStackEntrySink& sink, uintptr_t stackStart, uintptr_t stackEnd, bool followStubs,
                   IMemoryReader& memory, IStackSymbols& symbols);

// Appends the entries found between stackStart and stackEnd (at most the first 102400
// bytes); when `address` is not 0 it is added first, as the first entry. Then cleans up the
// entries this call added.
void ScanStack(TTarvexStackList& list, uintptr_t address, uintptr_t stackStart, uintptr_t stackEnd,
               const TStackScanOptions& options, IMemoryReader& memory, IStackSymbols& symbols);

// The two clean-up passes over list[firstNew, end): direct recursion, then runs without lines.
void CleanUpScannedEntries(TTarvexStackList& list, size_t firstNew);
