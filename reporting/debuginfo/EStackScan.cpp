#include "reporting/debuginfo/EStackScan.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kWindowBytes = 400;
constexpr size_t kWord = 8;
// The longest x86-64 call the scan knows: REX FF 94 sib d32.
constexpr int kMaxCallLength = 8;
// Bytes read before a return address: the call and the 8 bytes in front of it (for the load test).
constexpr int kLookBack = 16;

int32_t Int32At(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

bool IsRex(uint8_t b) { return (b & 0xF0) == 0x40; }

// A lazily bound slot still points into the PLT, at the stub's push of its relocation index
// (after an endbr64 with indirect-branch tracking).
bool LooksLikeLazyStub(const uint8_t* b) {
  if (b[0] == 0x68) return true;
  return b[0] == 0xF3 && b[1] == 0x0F && b[2] == 0x1E && b[3] == 0xFA && b[4] == 0x68;
}

// Where a PLT stub at `stub` jumps when its GOT slot is bound; 0 for anything else.
uintptr_t BoundStubTarget(uintptr_t stub, IMemoryReader& memory) {
  uint8_t b[16];
  if (!memory.Read(stub, b, 12)) return 0;
  size_t i = 0;
  if (b[0] == 0xF3 && b[1] == 0x0F && b[2] == 0x1E && b[3] == 0xFA) i = 4;  // endbr64
  if (b[i] == 0xF2) ++i;                                                     // bnd
  if (b[i] != 0xFF || b[i + 1] != 0x25) return 0;                            // jmp [rip+disp32]
  uintptr_t slot = stub + i + 6 + static_cast<intptr_t>(Int32At(b + i + 2));
  uint64_t target = 0;
  if (!memory.Read(slot, &target, sizeof target) || target == 0) return 0;
  if (target >= stub && target < stub + 16) return 0;
  uint8_t t[5];
  if (!memory.Read(target, t, sizeof t) || LooksLikeLazyStub(t)) return 0;
  return target;
}

}  // namespace

TCallSite FindCallBefore(uintptr_t r, IMemoryReader& memory, bool followStubs, bool strict) {
  uint8_t b[kLookBack] = {};
  int known = kLookBack;  // bytes before r that were read
  if (r < kLookBack || !memory.Read(r - kLookBack, b, kLookBack)) {
    if (r < kMaxCallLength || !memory.Read(r - kMaxCallLength, b + kLookBack - kMaxCallLength, kMaxCallLength))
      return {};
    known = kMaxCallLength;
  }
  // The byte k bytes before r.
  auto at = [&](int k) -> uint8_t { return b[kLookBack - k]; };
  auto i32 = [&](int k) { return Int32At(b + kLookBack - k); };
  // A call of `len` bytes ending at r, with the REX prefix in front of it when there is one.
  auto site = [&](TCallForm form, int len) {
    if (len < kMaxCallLength && IsRex(at(len + 1))) ++len;
    return TCallSite{form, r - static_cast<uintptr_t>(len), 0};
  };

  if (at(5) == 0xE8) {
    uintptr_t dest = r + static_cast<intptr_t>(i32(4));
    if (memory.IsReadable(dest, 1)) {
      TCallSite s{TCallForm::Relative, r - 5, 0};
      if (followStubs) {
        uintptr_t target = BoundStubTarget(dest, memory);
        uint8_t first = 0;
        if (target && memory.IsReadable(target, 5) && memory.Read(target, &first, 1) && first != 0xE8)
          s.StubTarget = target;
      }
      return s;
    }
  }
  if (at(2) == 0xFF && (at(1) & 0xF8) == 0xD0) return site(TCallForm::Register, 2);
  if (at(2) == 0xFF && (at(1) & 0xF8) == 0x10 && (at(1) & 7) != 4 && (at(1) & 7) != 5)
    return site(TCallForm::Indirect, 2);
  if (at(3) == 0xFF && (at(2) & 0xF8) == 0x50 && (at(2) & 7) != 4) {
    TCallSite s = site(TCallForm::IndirectD8, 3);
    if (!strict) return s;
    // A register call with a small displacement is usually a virtual call: the object's
    // table was loaded just before (mov r64, [..] is REX.W 8B).
    int len = static_cast<int>(r - s.Start);
    for (int k = len + 2; k <= len + 8 && k <= known; ++k)
      if ((at(k) & 0xF8) == 0x48 && at(k - 1) == 0x8B) return s;
  }
  if (at(6) == 0xFF && (at(5) & 0xF8) == 0x90 && (at(5) & 7) != 4) {
    int32_t disp = i32(4);
    if (!strict || (disp >= -0x4000 && disp <= 0x4000)) return site(TCallForm::IndirectD32, 6);
  }
  if (at(3) == 0xFF && at(2) == 0x14 && (at(1) & 7) != 5) return site(TCallForm::Sib, 3);
  if (at(7) == 0xFF && at(6) == 0x14 && (at(5) & 7) == 5) return site(TCallForm::Sib, 7);
  if (at(4) == 0xFF && at(3) == 0x54) return site(TCallForm::SibD8, 4);
  if (at(7) == 0xFF && at(6) == 0x94) return site(TCallForm::SibD32, 7);
  if (at(6) == 0xFF && at(5) == 0x15) {
    uintptr_t slot = r + static_cast<intptr_t>(i32(4));
    uint64_t target = 0;
    if (memory.Read(slot, &target, sizeof target) && memory.IsReadable(target, 1))
      return site(TCallForm::RipRelative, 6);
  }
  return {};
}

uintptr_t CallStartBefore(uintptr_t returnAddress, IMemoryReader& memory) {
  TCallSite s = FindCallBefore(returnAddress, memory, false, false);
  return s.Form != TCallForm::None ? s.Start : returnAddress - 1;
}

bool TStackEntrySink::Full() const {
  return list_.size() >= kMaxStackEntries || (options_.MaxEntries && kept_ >= options_.MaxEntries);
}

void TStackEntrySink::Add(uintptr_t address, bool firstEntry) {
  std::vector<TTarvexStackEntry> entries;
  if (options_.Resolve) entries = symbols_.Resolve(address, options_.ThreadID, firstEntry, options_.StackRole);
  if (entries.empty()) {
    TTarvexStackEntry e;
    e.Module = symbols_.ModuleOf(address);
    e.EntryKind = e.Module ? kEntryModule : kEntryHidden;
    e.ThreadID = options_.ThreadID;
    e.StackRole = options_.StackRole;
    e.IsFirstEntry = firstEntry;
    e.Address = address;
    entries.push_back(std::move(e));
  }
  for (auto& e : entries) {
    if (list_.size() >= kMaxStackEntries) return;
    if (!(options_.Kinds & EntryKindBit(e.EntryKind))) continue;
    ++candidates_;
    if (candidates_ <= options_.FirstIndex) continue;
    if (options_.MaxEntries && kept_ >= options_.MaxEntries) continue;
    ++kept_;
    list_.push_back(std::move(e));
  }
}

void ScanStackArea(TStackEntrySink& sink, uintptr_t stackStart, uintptr_t stackEnd, bool followStubs,
                   IMemoryReader& memory, IStackSymbols& symbols) {
  uintptr_t start = (stackStart + kWord - 1) & ~(kWord - 1);
  if (stackEnd <= start) return;
  uintptr_t end = start + std::min<uintptr_t>(stackEnd - start, kMaxScannedStackBytes);
  uint8_t window[kWindowBytes];
  uintptr_t windowStart = 0;
  size_t windowSize = 0;
  for (uintptr_t a = start; a + kWord <= end; a += kWord) {
    // Readability is tested a window at a time; a word outside every readable window is skipped.
    if (a < windowStart || a + kWord > windowStart + windowSize) {
      size_t n = std::min<uintptr_t>(kWindowBytes, end - a) & ~(kWord - 1);
      if (memory.Read(a, window, n))
        windowSize = n;
      else if (memory.Read(a, window, kWord))
        windowSize = kWord;
      else {
        windowSize = 0;
        continue;
      }
      windowStart = a;
    }
    uint64_t word;
    std::memcpy(&word, window + (a - windowStart), kWord);
    if (!symbols.IsCodeAddress(word)) continue;
    TCallSite s = FindCallBefore(word, memory, followStubs);
    if (s.Form == TCallForm::None) continue;
    if (s.StubTarget) sink.Add(s.StubTarget, false);
    sink.Add(s.Start, false);
    if (sink.Full()) return;
  }
}

void ScanStack(TTarvexStackList& list, uintptr_t address, uintptr_t stackStart, uintptr_t stackEnd,
               const TStackScanOptions& options, IMemoryReader& memory, IStackSymbols& symbols) {
  size_t firstNew = list.size();
  TStackEntrySink sink(list, options, symbols);
  if (address) sink.Add(address, true);
  ScanStackArea(sink, stackStart, stackEnd, options.FollowStubs, memory, symbols);
  CleanUpScannedEntries(list, firstNew);
}

namespace {

bool NamesProcedure(const TTarvexStackEntry& e) {
  return e.EntryKind >= kEntryProcedure && e.EntryKind <= kEntryLine;
}

bool SameProcedure(const TTarvexStackEntry& a, const TTarvexStackEntry& b) {
  return a.Module == b.Module && a.ProcedureName == b.ProcedureName && a.ClassName == b.ClassName &&
         a.UnitName == b.UnitName;
}

// The next entry after `from` that names a procedure of `module`; list.size() when none.
size_t NextOfModule(const TTarvexStackList& list, size_t from, const TTarvexModuleInfo* module) {
  for (size_t j = from; j < list.size(); ++j)
    if (NamesProcedure(list[j]) && list[j].Module == module) return j;
  return list.size();
}

void HideRecursion(TTarvexStackList& list, size_t firstNew) {
  if (list.size() < firstNew + 2) return;
  for (size_t i = list.size() - 1; i-- > firstNew;) {
    TTarvexStackEntry& e = list[i];
    // The exception's own address stays, whatever follows it.
    if (!NamesProcedure(e) || e.IsFirstEntry) continue;
    size_t j = NextOfModule(list, i + 1, e.Module);
    if (j == list.size()) continue;
    if (!SameProcedure(e, list[j])) {
      j = NextOfModule(list, j + 1, e.Module);
      if (j == list.size() || !SameProcedure(e, list[j])) continue;
    }
    e.EntryKind = kEntryHidden;
  }
}

// An entry at a procedure's first line (a call site at offset 0, or a stub's target) ends a
// run of entries of the same procedure or without a line in front of it; the run is noise.
void HideRunsWithoutLines(TTarvexStackList& list, size_t firstNew) {
  for (size_t e = list.size(); e-- > firstNew;) {
    const TTarvexStackEntry& entry = list[e];
    if (entry.EntryKind != kEntryLine || entry.LineOffset != 0) continue;
    size_t d = e;  // list[d - 1] is the first differing entry
    while (d > firstNew) {
      const TTarvexStackEntry& p = list[d - 1];
      bool same = p.ThreadID == entry.ThreadID && p.StackRole == entry.StackRole &&
                  (p.LineNumber == 0 || (p.ProcedureName == entry.ProcedureName && p.ClassName == entry.ClassName &&
                                         p.UnitName == entry.UnitName));
      if (!same) break;
      --d;
    }
    for (size_t k = d; k < e; ++k)
      if (!list[k].IsFirstEntry) list[k].EntryKind = kEntryHidden;
  }
}

}  // namespace

void CleanUpScannedEntries(TTarvexStackList& list, size_t firstNew) {
  HideRecursion(list, firstNew);
  HideRunsWithoutLines(list, firstNew);
}
