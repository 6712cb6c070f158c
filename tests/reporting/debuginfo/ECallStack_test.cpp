// Live call stacks: this thread's, unwound and scanned, and those of other threads stopped in
// known functions.
#include <gtest/gtest.h>

#include <ucontext.h>

#include <algorithm>
#include <string>
#include <vector>

#include "reporting/debuginfo/ECallStack.h"
#include "reporting/interception/EThreadContext.h"
#include "tests/reporting/debuginfo/stack_fixtures.h"

namespace {

struct Named {
  std::string Procedure;
  int Line;
  bool operator==(const Named&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Named& n) { return os << n.Procedure << ":" << n.Line; }

// The visible entries of one thread's own stack, outermost procedure names only (inline
// levels left out).
std::vector<Named> Lines(const TTarvexStackList& list, uint32_t tid, uint8_t role = 1) {
  std::vector<Named> out;
  for (const auto& e : list)
    if (e.ThreadID == tid && e.StackRole == role && e.EntryKind == kEntryLine && !e.Inlined)
      out.push_back({e.ProcedureName, e.LineNumber});
  return out;
}

// Whether `sub` appears in `all` in order (not necessarily next to each other).
bool InOrder(const std::vector<Named>& all, const std::vector<Named>& sub) {
  auto it = all.begin();
  for (const auto& s : sub) {
    it = std::find(it, all.end(), s);
    if (it == all.end()) return false;
    ++it;
  }
  return true;
}

const std::vector<Named> kFixtureChain = {{"StackFixtureInner", kInnerCallLine},
                                          {"StackFixtureMiddle", kMiddleCallLine},
                                          {"StackFixtureOuter", kOuterCallLine}};

TEST(CallStack, CurrentThreadUnwoundNamesTheCallersInOrder) {
  auto list = StackFixtureOuter(
      [](void*) {
        TStackScanOptions o;
        o.ThreadID = static_cast<uint32_t>(CurrentThreadId());
        return BuildCurrentThreadStack(o);
      },
      nullptr);
  auto lines = Lines(list, static_cast<uint32_t>(CurrentThreadId()));
  EXPECT_TRUE(InOrder(lines, kFixtureChain)) << ::testing::PrintToString(lines);
  // The probe itself is a lambda of this test: the first named frame.
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].Procedure.find("StackFixture"), std::string::npos);
}

TEST(CallStack, CurrentThreadScannedNamesTheCallersInOrder) {
  auto list = StackFixtureOuter(
      [](void*) {
        uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        TStackScanOptions o;
        o.ThreadID = static_cast<uint32_t>(CurrentThreadId());
        return BuildCallStack(0, sp, CurrentStackTop(), o);
      },
      nullptr);
  auto lines = Lines(list, static_cast<uint32_t>(CurrentThreadId()));
  EXPECT_TRUE(InOrder(lines, kFixtureChain)) << ::testing::PrintToString(lines);
  for (const auto& e : list) EXPECT_NE(e.Address, 0u);
}

TEST(CallStack, VisibleKinds) {
  struct Case {
    const char* name;
    std::vector<TCallStackFlag> flags;
    TEntryKinds expected;
  } cases[] = {
      {"none", {}, EntryKindBit(kEntryLine)},
      {"exported names", {cfShowDllEntries}, EntryKindBit(kEntryLine) | EntryKindBit(kEntryProcedure)},
      {"units", {cfShowPackageEntries}, EntryKindBit(kEntryLine) | EntryKindBit(kEntryUnit)},
      {"thread flags do not matter", {cfOwnThreadStacks, cfOsThreadStacks}, EntryKindBit(kEntryLine)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TCallStackFlags flags;
    for (auto f : c.flags) flags.Include(f);
    EXPECT_EQ(VisibleKinds(flags), c.expected);
  }
}

// Ten threads blocked in system calls; one of them blocks the suspension signal.
class OtherThreads : public ::testing::Test {
 protected:
  void SetUp() override { threads.Start(10, true); }
  TBlockedThreads threads;
};

TEST_F(OtherThreads, EachStackNamesItsBlockingFunctionAndLine) {
  const pid_t self = CurrentThreadId();
  std::vector<TTarvexThreadRecord> records;
  for (const auto& rec : ThreadRegistry().Snapshot())
    for (auto* t : threads.Threads())
      if (rec.ThreadID == t->Tid) records.push_back(rec);
  ASSERT_EQ(records.size(), 10u);

  TExceptionThreadStack ex;
  ex.ThreadID = self;
  TCallStackFlags flags;
  flags.Include(cfOsThreadStacks);
  TTarvexStackList list = BuildExceptionStacks(ex, records, flags);

  for (auto* t : threads.Threads()) {
    SCOPED_TRACE(t->Function + (t->BlocksSuspendSignal ? " (blocks the signal)" : ""));
    auto lines = Lines(list, static_cast<uint32_t>(t->Tid));
    if (t->BlocksSuspendSignal) {
      EXPECT_TRUE(lines.empty());
      continue;
    }
    // Below it only the C library's system-call wrapper.
    EXPECT_TRUE(InOrder(lines, {{t->Function, t->Line}, {"StackFixtureThreadMain", kThreadMainCallLine}}))
        << ::testing::PrintToString(lines);
    // The layer's thread wrapper is on the stack, reduced to its module.
    bool hiddenWrapper = std::any_of(list.begin(), list.end(), [&](const TTarvexStackEntry& e) {
      return e.ThreadID == static_cast<uint32_t>(t->Tid) && e.StackRole == 1 && e.EntryKind == kEntryModule &&
             e.Module && e.ProcedureName.empty() && e.UnitName.empty() && e.LineNumber == 0;
    });
    EXPECT_TRUE(hiddenWrapper);
    // Followed by its creator's stack copy: this test's frames.
    auto creator = Lines(list, static_cast<uint32_t>(self), 0);
    EXPECT_FALSE(creator.empty());
  }
}

TEST_F(OtherThreads, NotIncludedWithoutTheirFlag) {
  std::vector<TTarvexThreadRecord> records;
  for (const auto& rec : ThreadRegistry().Snapshot())
    for (auto* t : threads.Threads())
      if (rec.ThreadID == t->Tid) records.push_back(rec);
  TExceptionThreadStack ex;
  ex.ThreadID = CurrentThreadId();
  TCallStackFlags flags;
  flags.Include(cfOwnThreadStacks);  // framework threads only; these are plain threads
  EXPECT_TRUE(BuildExceptionStacks(ex, records, flags).empty());
}

// A captured context (as at a raise or from a stopped thread): unwound from its registers
// over its stack copy, to the outermost frame.
TEST(CallStack, CapturedContextUnwoundOverItsCopy) {
  struct Probe {
    static TTarvexStackList Run(void* out) {
      ucontext_t uc;
      getcontext(&uc);
      const greg_t* g = uc.uc_mcontext.gregs;
      TThreadContext context;
      context.ThreadID = CurrentThreadId();
      TCpuRegisters& r = context.Registers;
      r.Rax = g[REG_RAX], r.Rbx = g[REG_RBX], r.Rcx = g[REG_RCX], r.Rdx = g[REG_RDX], r.Rsi = g[REG_RSI];
      r.Rdi = g[REG_RDI], r.Rbp = g[REG_RBP], r.Rsp = g[REG_RSP], r.R8 = g[REG_R8], r.R9 = g[REG_R9];
      r.R10 = g[REG_R10], r.R11 = g[REG_R11], r.R12 = g[REG_R12], r.R13 = g[REG_R13], r.R14 = g[REG_R14];
      r.R15 = g[REG_R15], r.Rip = g[REG_RIP];
      r.Valid = r.Full = true;
      std::vector<uint8_t> copy(std::min<uintptr_t>(CurrentStackTop() - r.Rsp, kStackSnapshotSize));
      ReadOwnMemory(r.Rsp, copy.data(), copy.size());
      context.Stack = {r.Rsp, CurrentStackTop(), copy.size(), copy.data()};
      TProcessMemoryReader memory;
      *static_cast<TUnwindResult*>(out) = UnwindContext(r, context.Stack, memory);
      TTarvexStackList list;
      TStackScanOptions o;
      o.ThreadID = static_cast<uint32_t>(context.ThreadID);
      AppendContextStack(list, context, 0, o);
      return list;
    }
  };
  TUnwindResult unwound;
  auto list = StackFixtureOuter(&Probe::Run, &unwound);
  EXPECT_TRUE(unwound.Complete);
  EXPECT_GE(unwound.Frames.size(), 5u);
  auto lines = Lines(list, static_cast<uint32_t>(CurrentThreadId()));
  EXPECT_TRUE(InOrder(lines, kFixtureChain)) << ::testing::PrintToString(lines);
}

}  // namespace
