// The stack scan over crafted bytes: a fake memory with a code area, a data area and a stack,
// and fake symbols that name chosen call sites.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "reporting/debuginfo/EStackScan.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uintptr_t kCode = 0x400000, kCodeSize = 0x4000;
constexpr uintptr_t kData = 0x600000, kDataSize = 0x1000;
constexpr uintptr_t kStack = 0x7f0000000000;

class TFakeMemory final : public IMemoryReader {
 public:
  void Map(uintptr_t base, size_t size, uint8_t fill = 0) { regions_[base] = Bytes(size, fill); }
  void Put(uintptr_t address, const Bytes& bytes) {
    uint8_t* p = Find(address, bytes.size());
    ASSERT_NE(p, nullptr);
    std::memcpy(p, bytes.data(), bytes.size());
  }
  void PutWord(uintptr_t address, uint64_t word) {
    Bytes b(8);
    std::memcpy(b.data(), &word, 8);
    Put(address, b);
  }
  bool Read(uintptr_t address, void* dst, size_t size) override {
    uint8_t* p = Find(address, size);
    if (!p) return false;
    std::memcpy(dst, p, size);
    if (address >= kStack) highestStackRead = std::max(highestStackRead, address + size);
    return true;
  }
  uintptr_t highestStackRead = 0;

 private:
  uint8_t* Find(uintptr_t address, size_t size) {
    auto it = regions_.upper_bound(address);
    if (it == regions_.begin()) return nullptr;
    --it;
    if (address + size < address || address + size > it->first + it->second.size()) return nullptr;
    return it->second.data() + (address - it->first);
  }
  std::map<uintptr_t, Bytes> regions_;
};

TTarvexModuleInfo gModule;

class TFakeSymbols final : public IStackSymbols {
 public:
  bool IsCodeAddress(uintptr_t a) const override { return a >= kCode && a < kCode + kCodeSize; }
  const TTarvexModuleInfo* ModuleOf(uintptr_t a) override { return IsCodeAddress(a) ? &gModule : nullptr; }
  std::vector<TTarvexStackEntry> Resolve(uintptr_t a, uint32_t tid, bool first, uint8_t role) override {
    auto it = names.find(a);
    if (it == names.end()) return {};
    TTarvexStackEntry e = it->second;
    e.Address = a;
    e.ThreadID = tid;
    e.IsFirstEntry = first;
    e.StackRole = role;
    if (!e.Module) e.Module = &gModule;
    return {e};
  }
  std::map<uintptr_t, TTarvexStackEntry> names;
};

TTarvexStackEntry Named(const char* proc, int line, int offset, uint8_t kind = kEntryLine) {
  TTarvexStackEntry e;
  e.EntryKind = kind;
  e.UnitName = "unit.cpp";
  e.ProcedureName = proc;
  e.LineNumber = line;
  e.LineOffset = offset;
  return e;
}

Bytes Le32(int32_t v) {
  Bytes b(4);
  std::memcpy(b.data(), &v, 4);
  return b;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class StackScan : public ::testing::Test {
 protected:
  void SetUp() override {
    mem.Map(kCode, kCodeSize, 0xCC);  // int3 filler: no call form
    mem.Map(kData, kDataSize);
    mem.Map(kStack, 4096);
  }
  // Places `bytes` so that they end at the returned return address.
  uintptr_t Site(uintptr_t offset, const Bytes& bytes) {
    mem.Put(kCode + offset, bytes);
    return kCode + offset + bytes.size();
  }
  TTarvexStackList Scan(const std::vector<uint64_t>& words, TStackScanOptions options = Unresolved(),
                        uintptr_t address = 0) {
    for (size_t i = 0; i < words.size(); ++i) mem.PutWord(kStack + 8 * i, words[i]);
    TTarvexStackList list;
    ScanStack(list, address, kStack, kStack + 8 * words.size(), options, mem, symbols);
    return list;
  }
  static TStackScanOptions Unresolved() {
    TStackScanOptions o;
    o.Resolve = false;
    return o;
  }
  static std::vector<uintptr_t> Addresses(const TTarvexStackList& list) {
    std::vector<uintptr_t> out;
    for (const auto& e : list) out.push_back(e.Address);
    return out;
  }
  static std::vector<std::string> Visible(const TTarvexStackList& list) {
    std::vector<std::string> out;
    for (const auto& e : list)
      if (e.EntryKind != kEntryHidden) out.push_back(e.ProcedureName);
    return out;
  }
  TFakeMemory mem;
  TFakeSymbols symbols;
};

// Targets used by the call-form table.
constexpr uintptr_t kSiteOffset = 0x100;
constexpr uintptr_t kCallee = kCode + 0x2000;  // readable code
constexpr uintptr_t kPointerSlot = kData + 0x40;

struct CallFormCase {
  const char* name;
  Bytes bytes;    // ending at the return address
  int callStart;  // bytes before the return address where the call starts; 0: not accepted
};

// rel32 from the end of a call ending at kSiteOffset + size to `target`.
int32_t RelTo(uintptr_t target, size_t size) {
  return static_cast<int32_t>(target - (kCode + kSiteOffset + size));
}

std::vector<CallFormCase> CallFormCases() {
  const Bytes nops(8, 0x90);
  return {
      {"E8 to readable code", Cat({{0xE8}, Le32(RelTo(kCallee, 5))}), 5},
      {"E8 to unreadable destination", Cat({{0xE8}, Le32(RelTo(0x1000, 5))}), 0},
      {"FF D0 call rax", {0x90, 0xFF, 0xD0}, 2},
      {"REX FF D3 call r11", {0x90, 0x41, 0xFF, 0xD3}, 3},
      {"FF D8 is a far call, refused", {0x90, 0xFF, 0xD8}, 0},
      {"FF 13 call [rbx]", {0x90, 0xFF, 0x13}, 2},
      {"REX FF 17 call [r15]", {0x90, 0x41, 0xFF, 0x17}, 3},
      {"FF 50 d8 after a REX.W load", {0x90, 0x48, 0x8B, 0x07, 0xFF, 0x50, 0x10}, 3},
      {"REX FF 50 d8 after a load with SIB", {0x49, 0x8B, 0x04, 0x24, 0x41, 0xFF, 0x50, 0x08}, 4},
      {"FF 53 d8 with the load 8 bytes before",
       {0x48, 0x8B, 0x03, 0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0x53, 0x08}, 3},
      {"FF 53 d8 with the load 9 bytes before, refused",
       {0x48, 0x8B, 0x03, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0x53, 0x08}, 0},
      {"FF 53 d8 without a load, refused", Cat({nops, {0xFF, 0x53, 0x08}}), 0},
      {"FF 53 d8 after a load without REX.W, refused", {0x90, 0x90, 0x8B, 0x03, 0xFF, 0x53, 0x08}, 0},
      {"FF 90 d32 0x100", Cat({{0x90, 0xFF, 0x90}, Le32(0x100)}), 6},
      {"FF 97 d32 0x4000", Cat({{0x90, 0xFF, 0x97}, Le32(0x4000)}), 6},
      {"FF 90 d32 -0x4000", Cat({{0x90, 0xFF, 0x90}, Le32(-0x4000)}), 6},
      {"FF 90 d32 0x4001, refused", Cat({{0x90, 0xFF, 0x90}, Le32(0x4001)}), 0},
      {"FF 93 d32 0x5000, refused", Cat({{0x90, 0xFF, 0x93}, Le32(0x5000)}), 0},
      {"REX FF 96 d32 call [r14+d32]", Cat({{0x90, 0x41, 0xFF, 0x96}, Le32(0x208)}), 7},
      {"FF 14 24 call [rsp]", {0x90, 0xFF, 0x14, 0x24}, 3},
      {"REX FF 14 24 call [r12]", {0x90, 0x41, 0xFF, 0x14, 0x24}, 4},
      {"FF 14 C5 disp32 call [rax*8+disp32]", Cat({{0x90, 0xFF, 0x14, 0xC5}, Le32(0x601000)}), 7},
      {"FF 54 24 d8", {0x90, 0xFF, 0x54, 0x24, 0x08}, 4},
      {"REX FF 54 DD d8 call [r13+rbx*8+d8]", {0x90, 0x41, 0xFF, 0x54, 0xDD, 0x08}, 5},
      {"FF 94 24 d32", Cat({{0x90, 0xFF, 0x94, 0x24}, Le32(0x120)}), 7},
      {"REX FF 94 24 d32, 8 bytes", Cat({{0x41, 0xFF, 0x94, 0x24}, Le32(0x120)}), 8},
      {"FF 15 through a pointer to code",
       Cat({{0x90, 0xFF, 0x15}, Le32(static_cast<int32_t>(kPointerSlot - (kCode + kSiteOffset + 7)))}), 6},
      {"FF 15 through a pointer to unreadable memory, refused",
       Cat({{0x90, 0xFF, 0x15}, Le32(static_cast<int32_t>(kPointerSlot + 8 - (kCode + kSiteOffset + 7)))}), 0},
      {"no call", nops, 0},
  };
}

TEST_F(StackScan, CallForms) {
  mem.PutWord(kPointerSlot, kCallee);
  mem.PutWord(kPointerSlot + 8, 0x10);
  for (const auto& c : CallFormCases()) {
    SCOPED_TRACE(c.name);
    // Every case uses the same place: only its own bytes may stand in front of r.
    mem.Put(kCode + kSiteOffset - 16, Bytes(32, 0xCC));
    uintptr_t r = Site(kSiteOffset, c.bytes);
    auto list = Scan({0, r, 0x12345});
    if (c.callStart == 0) {
      EXPECT_TRUE(list.empty());
    } else {
      ASSERT_EQ(list.size(), 1u);
      EXPECT_EQ(list[0].Address, r - c.callStart);
      EXPECT_EQ(list[0].EntryKind, kEntryModule);
      EXPECT_EQ(list[0].Module, &gModule);
    }
  }
}

TEST_F(StackScan, WordsOutsideCodeAreNotCandidates) {
  // Bytes of a call in front of a data address do not make it a return address.
  mem.Put(kData + 0x100, {0xFF, 0xD0});
  EXPECT_TRUE(Scan({kData + 0x102, kStack + 8}).empty());
}

// A known return address needs only the shape of a call; its start is where the call begins.
TEST_F(StackScan, RaiseAddressFromReturnAddressForEachCallLength) {
  mem.PutWord(kPointerSlot, kCallee);
  struct Case {
    const char* name;
    Bytes bytes;
    int length;
  } cases[] = {
      {"2: FF D0", {0xCC, 0xFF, 0xD0}, 2},
      {"3: REX FF D0", {0xCC, 0x41, 0xFF, 0xD0}, 3},
      {"3: FF 50 d8 without a load", {0xCC, 0xFF, 0x50, 0x08}, 3},
      {"4: FF 54 24 d8", {0xCC, 0xFF, 0x54, 0x24, 0x10}, 4},
      {"5: E8 rel32", Cat({{0xCC, 0xE8}, Le32(RelTo(kCallee, 6))}), 5},
      {"6: FF 15 disp32", Cat({{0xCC, 0xFF, 0x15}, Le32(static_cast<int32_t>(kPointerSlot - (kCode + 0x107)))}), 6},
      {"6: FF 90 d32 beyond the scan's range", Cat({{0xCC, 0xFF, 0x90}, Le32(0x9000)}), 6},
      {"7: REX FF 90 d32", Cat({{0xCC, 0x41, 0xFF, 0x90}, Le32(0x10)}), 7},
      {"7: FF 94 24 d32", Cat({{0xCC, 0xFF, 0x94, 0x24}, Le32(0x10)}), 7},
      {"8: REX FF 94 24 d32", Cat({{0x41, 0xFF, 0x94, 0x24}, Le32(0x10)}), 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    mem.Put(kCode + 0xF0, Bytes(0x20, 0xCC));
    uintptr_t r = Site(0x100, c.bytes);
    EXPECT_EQ(CallStartBefore(r, mem), r - c.length);
  }
  uintptr_t r = Site(0x100, Bytes(8, 0x90));
  EXPECT_EQ(CallStartBefore(r, mem), r - 1) << "unknown bytes: inside the call, on its line";
}

// E8 to a PLT stub: the stub's bound target is an entry of its own, before the call.
TEST_F(StackScan, PltStubFollowedOnlyWhenBound) {
  constexpr uintptr_t kStub = kCode + 0x3000, kFunction = kCode + 0x3800, kGotSlot = kData + 0x200;
  struct Case {
    const char* name;
    Bytes stub;
    uint64_t slot;
    Bytes function;
    bool followed;
  } cases[] = {
      {"bound slot", Cat({{0xFF, 0x25}, Le32(static_cast<int32_t>(kGotSlot - (kStub + 6))), {0x68, 0, 0, 0, 0}}),
       kFunction, {0x55, 0x48, 0x89, 0xE5, 0x90}, true},
      {"bound slot behind endbr64 and bnd",
       Cat({{0xF3, 0x0F, 0x1E, 0xFA, 0xF2, 0xFF, 0x25}, Le32(static_cast<int32_t>(kGotSlot - (kStub + 11)))}),
       kFunction, {0xF3, 0x0F, 0x1E, 0xFA, 0x55}, true},
      {"unbound slot points back into the stub",
       Cat({{0xFF, 0x25}, Le32(static_cast<int32_t>(kGotSlot - (kStub + 6))), {0x68, 0, 0, 0, 0}}), kStub + 6,
       {0x55, 0x90, 0x90, 0x90, 0x90}, false},
      {"unbound slot points at another stub's push",
       Cat({{0xFF, 0x25}, Le32(static_cast<int32_t>(kGotSlot - (kStub + 6)))}), kFunction,
       {0xF3, 0x0F, 0x1E, 0xFA, 0x68}, false},
      {"target that begins with E8 is not added",
       Cat({{0xFF, 0x25}, Le32(static_cast<int32_t>(kGotSlot - (kStub + 6)))}), kFunction,
       {0xE8, 0, 0, 0, 0}, false},
      {"slot pointing to unreadable memory", Cat({{0xFF, 0x25}, Le32(static_cast<int32_t>(kGotSlot - (kStub + 6)))}),
       0x2000, {0x55, 0x90, 0x90, 0x90, 0x90}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    mem.Put(kStub, Bytes(16, 0xCC));
    mem.Put(kStub, c.stub);
    mem.PutWord(kGotSlot, c.slot);
    mem.Put(kFunction, c.function);
    uintptr_t r = Site(0x100, Cat({{0xE8}, Le32(static_cast<int32_t>(kStub - (kCode + 0x105)))}));
    auto list = Scan({r});
    std::vector<uintptr_t> expected;
    if (c.followed) expected.push_back(kFunction);
    expected.push_back(r - 5);
    EXPECT_EQ(Addresses(list), expected);
    TStackScanOptions noStubs = Unresolved();
    noStubs.FollowStubs = false;
    EXPECT_EQ(Addresses(Scan({r}, noStubs)), std::vector<uintptr_t>{r - 5}) << "stubs not followed";
  }
}

TEST_F(StackScan, OnlyTheFirst102400BytesOfALargeAreaAreScanned) {
  constexpr size_t kArea = 1 << 20;
  mem.Map(kStack, kArea);
  uintptr_t r = Site(0x100, {0xFF, 0xD0});
  mem.PutWord(kStack + kMaxScannedStackBytes - 8, r);  // the last word inside
  mem.PutWord(kStack + kMaxScannedStackBytes, r);      // the first word beyond
  mem.PutWord(kStack + kArea - 8, r);
  TTarvexStackList list;
  ScanStack(list, 0, kStack, kStack + kArea, Unresolved(), mem, symbols);
  EXPECT_EQ(list.size(), 1u);
  EXPECT_LE(mem.highestStackRead, kStack + kMaxScannedStackBytes);
}

TEST_F(StackScan, AListHoldsAtMost1024Entries) {
  uintptr_t r = Site(0x100, {0xFF, 0xD0});
  mem.Map(kStack, 8 * 2000);
  std::vector<uint64_t> words(2000, r);
  EXPECT_EQ(Scan(words).size(), kMaxStackEntries);
  // The cap holds for a list that already has entries.
  TTarvexStackList list(1000);
  ScanStack(list, 0, kStack, kStack + 8 * words.size(), Unresolved(), mem, symbols);
  EXPECT_EQ(list.size(), kMaxStackEntries);
}

TEST_F(StackScan, UnreadableWordsAreSkipped) {
  uintptr_t r = Site(0x100, {0xFF, 0xD0});
  // Readable, a hole of 4 KiB, readable again: the walk goes on after the hole.
  mem.Map(kStack, 4096);
  mem.Map(kStack + 8192, 4096);
  mem.PutWord(kStack + 4096 - 8, r);
  mem.PutWord(kStack + 8192 + 16, r);
  TTarvexStackList list;
  ScanStack(list, 0, kStack, kStack + 12288, Unresolved(), mem, symbols);
  EXPECT_EQ(list.size(), 2u);
}

// Kinds mask, first index and maximum decide which candidates are kept.
TEST_F(StackScan, KeptEntries) {
  uintptr_t ra = Site(0x100, {0xFF, 0xD0}), rb = Site(0x200, {0xFF, 0xD0}), rc = Site(0x300, {0xFF, 0xD0}),
            rx = Site(0x400, {0xFF, 0xD0});
  symbols.names[ra - 2] = Named("a", 10, 1);
  symbols.names[rb - 2] = Named("b", 20, 1);
  symbols.names[rc - 2] = Named("c", 30, 1);
  symbols.names[rx - 2] = Named("exported", 0, 0, kEntryProcedure);
  struct Case {
    const char* name;
    TEntryKinds kinds;
    uint32_t first, max;
    std::vector<std::string> expected;
  } cases[] = {
      {"all kinds", kAllEntryKinds, 0, 0, {"a", "exported", "b", "c"}},
      {"lines only", EntryKindBit(kEntryLine), 0, 0, {"a", "b", "c"}},
      {"first index 2", EntryKindBit(kEntryLine), 2, 0, {"c"}},
      {"at most 2", kAllEntryKinds, 0, 2, {"a", "exported"}},
      {"first index 1, at most 2", kAllEntryKinds, 1, 2, {"exported", "b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TStackScanOptions o;
    o.Kinds = c.kinds;
    o.FirstIndex = c.first;
    o.MaxEntries = c.max;
    o.ThreadID = 77;
    o.StackRole = 0;
    auto list = Scan({ra, rx, rb, rc}, o);
    EXPECT_EQ(Visible(list), c.expected);
    for (const auto& e : list) {
      EXPECT_EQ(e.ThreadID, 77u);
      EXPECT_EQ(e.StackRole, 0);
    }
  }
}

TEST_F(StackScan, FirstEntryIsTheGivenAddress) {
  uintptr_t ra = Site(0x100, {0xFF, 0xD0});
  symbols.names[kCode + 0x50] = Named("thrower", 5, 2);
  symbols.names[ra - 2] = Named("caller", 9, 1);
  TStackScanOptions o;
  auto list = Scan({ra}, o, kCode + 0x50);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].ProcedureName, "thrower");
  EXPECT_EQ(list[0].IsFirstEntry, 1);
  EXPECT_EQ(list[1].IsFirstEntry, 0);
}

// The clean-up passes, each case a stack of named call sites.
TEST_F(StackScan, CleanUp) {
  struct Frame {
    const char* proc;
    int line, offset;
    uint8_t kind;
  };
  struct Case {
    const char* name;
    std::vector<Frame> stack;  // innermost first
    std::vector<std::string> expected;
  } cases[] = {
      {"direct recursion shows once", {{"f", 10, 2, 4}, {"f", 10, 2, 4}, {"f", 10, 2, 4}, {"g", 20, 1, 4}}, {"f", "g"}},
      {"recursion through two call sites", {{"f", 10, 2, 4}, {"f", 12, 4, 4}, {"g", 20, 1, 4}}, {"f", "g"}},
      {"one entry between: the earlier one is hidden", {{"f", 10, 2, 4}, {"g", 20, 1, 4}, {"f", 11, 3, 4}},
       {"g", "f"}},
      {"two entries between: both kept", {{"f", 10, 2, 4}, {"g", 20, 1, 4}, {"h", 30, 1, 4}, {"f", 11, 3, 4}},
       {"f", "g", "h", "f"}},
      {"entries without a line before a first line are hidden",
       {{"g", 20, 1, 4}, {"exported", 0, 0, 2}, {"f", 7, 0, 4}, {"h", 30, 2, 4}}, {"g", "f", "h"}},
      {"a first line ends the run of its own procedure",
       {{"g", 20, 1, 4}, {"f", 9, 2, 4}, {"exported", 0, 0, 2}, {"f", 7, 0, 4}}, {"g", "f"}},
      {"a procedure with a line stops the run", {{"exported", 0, 0, 2}, {"g", 20, 1, 4}, {"f", 7, 0, 4}},
       {"exported", "g", "f"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    symbols.names.clear();
    std::vector<uint64_t> words;
    for (size_t i = 0; i < c.stack.size(); ++i) {
      uintptr_t r = Site(0x100 + 0x20 * i, {0xFF, 0xD0});
      symbols.names[r - 2] = Named(c.stack[i].proc, c.stack[i].line, c.stack[i].offset, c.stack[i].kind);
      words.push_back(r);
    }
    EXPECT_EQ(Visible(Scan(words, TStackScanOptions{})), c.expected);
  }
}

TEST_F(StackScan, RecursionInDifferentModulesIsKept) {
  TTarvexModuleInfo other;
  uintptr_t ra = Site(0x100, {0xFF, 0xD0}), rb = Site(0x200, {0xFF, 0xD0});
  symbols.names[ra - 2] = Named("f", 10, 2);
  symbols.names[rb - 2] = Named("f", 10, 2);
  symbols.names[rb - 2].Module = &other;
  EXPECT_EQ(Visible(Scan({ra, rb}, TStackScanOptions{})), (std::vector<std::string>{"f", "f"}));
}

TEST_F(StackScan, TheExceptionEntryIsNeverHidden) {
  uintptr_t ra = Site(0x100, {0xFF, 0xD0});
  symbols.names[kCode + 0x50] = Named("f", 8, 0);
  symbols.names[ra - 2] = Named("f", 10, 2);
  auto list = Scan({ra}, TStackScanOptions{}, kCode + 0x50);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].EntryKind, kEntryLine);
}

}  // namespace
