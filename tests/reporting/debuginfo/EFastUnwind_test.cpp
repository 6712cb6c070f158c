// The fast walk against libgcc's unwinder, frame by frame, over chains compiled four ways, a
// plugin, libstdc++ and C library frames, threads, a fault, and hand-made call-frame programs.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "reporting/debuginfo/ECfaRule.h"
#include "reporting/debuginfo/EFastUnwind.h"
#include "tests/reporting/debuginfo/fastunwind_fixture.h"

namespace {

_Unwind_Reason_Code CollectReference(_Unwind_Context* context, void* arg) {
  auto* c = static_cast<TFrameCapture*>(arg);
  int beforeInstruction = 0;
  uintptr_t ip = _Unwind_GetIPInfo(context, &beforeInstruction);
  if (ip == 0) return _URC_END_OF_STACK;  // the unwinder's mark past the outermost frame
  if (c->ReferenceCount == kMaxCapturedFrames) return _URC_END_OF_STACK;
  c->Reference[c->ReferenceCount++] = ip;
  return _URC_NO_REASON;
}

// out[0] of each walk is its own call's return address in here; the rest must be the same.
__attribute__((noinline)) void CaptureBoth(TFrameCapture* c) {
  c->FastCount = FastBacktraceHere(c->Fast, kMaxCapturedFrames, &c->Complete, &c->NeedsSlowPath);
  _Unwind_Backtrace(&CollectReference, c);
  asm volatile("" ::: "memory");
}

std::string Describe(uintptr_t pc) {
  Dl_info info{};
  std::string text = "0x" + [&] {
    char buffer[32];
    snprintf(buffer, sizeof buffer, "%lx", static_cast<unsigned long>(pc));
    return std::string(buffer);
  }();
  if (dladdr(reinterpret_cast<void*>(pc), &info) && info.dli_fname) {
    text += std::string(" in ") + info.dli_fname;
    if (info.dli_sname) text += std::string(" (") + info.dli_sname + ")";
  }
  return text;
}

// The first `count` fast frames against the reference; an empty string when they agree.
std::string CompareFrames(const TFrameCapture& c, size_t count) {
  if (count > c.ReferenceCount) return "more fast frames than the unwinder's " + std::to_string(c.ReferenceCount);
  if (count == 0) return "no fast frame";
  const auto functionOf = [](uintptr_t pc) { return _Unwind_FindEnclosingFunction(reinterpret_cast<void*>(pc - 1)); };
  if (functionOf(c.Fast[0]) != functionOf(c.Reference[0]))
    return "frame 0 outside the capturing function: " + Describe(c.Fast[0]);
  for (size_t i = 1; i < count; ++i)
    if (c.Fast[i] != c.Reference[i])
      return "frame " + std::to_string(i) + ": " + Describe(c.Fast[i]) + " instead of " + Describe(c.Reference[i]);
  return {};
}

// A whole walk: every frame, to the end of the stack, without the unwinder.
std::string CompareWholeWalk(const TFrameCapture& c) {
  if (c.NeedsSlowPath) return "asked for the unwinder after " + Describe(c.Fast[c.FastCount - 1]);
  if (!c.Complete) return "did not reach the end of the stack";
  if (c.FastCount != c.ReferenceCount)
    return std::to_string(c.FastCount) + " frames instead of " + std::to_string(c.ReferenceCount);
  return CompareFrames(c, c.FastCount);
}

using TChain = int (*)(int, TCaptureFn, TFrameCapture*);

struct TChainCase {
  const char* Name;
  TChain Chain;
  int Depth;
};

#define FASTUNWIND_VARIANT_CASES(ns)                            \
  TChainCase{#ns "_Recurse40", ns::Recurse, 40},                \
  TChainCase{#ns "_LargeFrame", ns::LargeFrame, 6},             \
  TChainCase{#ns "_Alloca", ns::AllocaFrame, 6},                \
  TChainCase{#ns "_StdFunction", ns::ThroughStdFunction, 4},    \
  TChainCase{#ns "_SortComparator", ns::ThroughSortComparator, 4}, \
  TChainCase{#ns "_CallOnce", ns::ThroughCallOnce, 4}

const TChainCase kChainCases[] = {
    FASTUNWIND_VARIANT_CASES(fastunwind_O0_fp),   FASTUNWIND_VARIANT_CASES(fastunwind_O0_nofp),
    FASTUNWIND_VARIANT_CASES(fastunwind_O2_fp),   FASTUNWIND_VARIANT_CASES(fastunwind_O2_nofp),
};

class FastUnwindChains : public testing::TestWithParam<TChainCase> {};

TEST_P(FastUnwindChains, MatchesUnwinderFrameByFrame) {
  // The first walk fills the rule table, the second reads it, the third follows a new epoch.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    if (round == 2) ClearFastUnwindRules();
    TFrameCapture c;
    GetParam().Chain(GetParam().Depth, &CaptureBoth, &c);
    EXPECT_EQ(CompareWholeWalk(c), "");
    EXPECT_GE(c.FastCount, static_cast<size_t>(GetParam().Depth));
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, FastUnwindChains, testing::ValuesIn(kChainCases),
                         [](const testing::TestParamInfo<TChainCase>& info) { return std::string(info.param.Name); });

TEST(FastUnwind, FramesOfAPluginLoadedAtRunTime) {
  void* plugin = dlopen(FASTUNWIND_PLUGIN, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(plugin, nullptr) << dlerror();
  auto entry = reinterpret_cast<TPluginRecurse>(dlsym(plugin, kPluginEntry));
  ASSERT_NE(entry, nullptr);
  TFrameCapture c;
  entry(12, &CaptureBoth, &c);
  EXPECT_EQ(CompareWholeWalk(c), "");
  // Code unloaded: the rules of its addresses are dropped with the epoch.
  ClearFastUnwindRules();
  dlclose(plugin);
}

TEST(FastUnwind, ThreadsWalkTogetherWhileRulesAreDropped) {
  std::atomic<bool> stop{false};
  std::thread dropper([&] {
    while (!stop.load()) {
      ClearFastUnwindRules();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  constexpr int kThreads = 4;
  std::vector<std::string> failures(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20 && failures[t].empty(); ++round)
        for (const TChainCase& chainCase : kChainCases) {
          TFrameCapture c;
          chainCase.Chain(chainCase.Depth, &CaptureBoth, &c);
          std::string failure = CompareWholeWalk(c);
          if (!failure.empty()) {
            failures[t] = std::string(chainCase.Name) + ": " + failure;
            break;
          }
        }
    });
  for (auto& thread : threads) thread.join();
  stop = true;
  dropper.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], "") << "thread " << t;
}

size_t gMax = 0;

__attribute__((noinline)) void CaptureLimited(TFrameCapture* c) {
  c->FastCount = FastBacktraceHere(c->Fast, gMax, &c->Complete, &c->NeedsSlowPath);
  _Unwind_Backtrace(&CollectReference, c);
  asm volatile("" ::: "memory");
}

TEST(FastUnwind, StopsAtMaxWithTheSameFirstFrames) {
  for (size_t max : {size_t(0), size_t(1), size_t(2), size_t(7)}) {
    SCOPED_TRACE(max);
    gMax = max;
    TFrameCapture c;
    fastunwind_O2_nofp::Recurse(10, &CaptureLimited, &c);
    EXPECT_EQ(c.FastCount, max);
    EXPECT_FALSE(c.Complete);
    EXPECT_FALSE(c.NeedsSlowPath);
    if (max > 0) {
      EXPECT_EQ(CompareFrames(c, max), "");
    }
  }
}

TFrameSkip gSkip;

// One call site for every walk of the skipping test, so out[0] is the same address each time.
__attribute__((noinline)) void CaptureSkipping(TFrameCapture* c) {
  c->FastCount = FastBacktraceHereSkipping(c->Fast, gMax, gSkip, &c->NeedsSlowPath);
  asm volatile("" ::: "memory");
}

// One call site of the chain, so frame 12 is the same each time (the test's own frames are not).
__attribute__((noinline)) void SkippingThroughRecursion(TFrameCapture* c) {
  fastunwind_O2_nofp::Recurse(10, &CaptureSkipping, c);
  asm volatile("" ::: "memory");
}

// Leading frames inside the ranges are walked, not listed; `max` counts the frames listed.
TEST(FastUnwind, SkipsLeadingFramesInTheRangesGiven) {
  // The frames without skipping: [0] the capture, [1] Recurse's call of it, [2..11] its calls
  // of itself, [12] SkippingThroughRecursion; only these are compared.
  gMax = kMaxCapturedFrames;
  gSkip = {};
  TFrameCapture all;
  SkippingThroughRecursion(&all);
  ASSERT_GT(all.FastCount, 15u);
  ASSERT_EQ(all.Fast[2], all.Fast[11]);
  const auto just = [&](size_t i) { return TCodeRange{all.Fast[i], all.Fast[i] + 1}; };
  struct TCase {
    const char* Name;
    std::vector<TCodeRange> Ranges;
    size_t Max;
    size_t FirstListed;  // index into `all`
  };
  const TCase cases[] = {
      {"NoRange", {}, 5, 0},
      {"CapturingFrame", {just(0)}, 5, 1},
      {"WholeRecursion", {just(0), just(1), just(2)}, 1, 12},
      {"OnlyLeadingFramesAreLeftOut", {just(0), just(12)}, 12, 1},
      {"FirstFrameOutsideNothingLeftOut", {just(1), just(2)}, 5, 0},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    gMax = k.Max;
    gSkip = {k.Ranges.data(), k.Ranges.size()};
    TFrameCapture c;
    SkippingThroughRecursion(&c);
    const size_t expected = std::min(k.Max, all.FastCount - k.FirstListed);
    ASSERT_EQ(c.FastCount, expected);
    EXPECT_FALSE(c.NeedsSlowPath);
    for (size_t i = 0; i < expected; ++i) EXPECT_EQ(c.Fast[i], all.Fast[k.FirstListed + i]) << "frame " << i;
  }
  gSkip = {};
}

// A walk from this function's own state as a raise thunk would pass it: the return address
// into here, the stack pointer after that return, rbp.
__attribute__((noinline)) void WalkFromCallerState(uintptr_t stackHigh, TFrameCapture* c) {
  TUnwindStart start;
  fastunwind_caller_state(&start);
  start.StackLow = start.Rsp;
  start.StackHigh = stackHigh;
  c->FastCount = FastBacktrace(start, c->Fast, kMaxCapturedFrames, &c->Complete, &c->NeedsSlowPath);
  _Unwind_Backtrace(&CollectReference, c);
  asm volatile("" ::: "memory");
}

TEST(FastUnwind, GivenStartAndStackBounds) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_getattr_np(pthread_self(), &attr), 0);
  void* stackAddress = nullptr;
  size_t stackSize = 0;
  ASSERT_EQ(pthread_attr_getstack(&attr, &stackAddress, &stackSize), 0);
  pthread_attr_destroy(&attr);
  const uintptr_t top = reinterpret_cast<uintptr_t>(stackAddress) + stackSize;

  TFrameCapture whole;
  WalkFromCallerState(top, &whole);
  EXPECT_EQ(CompareWholeWalk(whole), "");
  // No readable stack: the first frame only, and the unwinder has to go on.
  TFrameCapture none;
  WalkFromCallerState(0, &none);
  EXPECT_EQ(none.FastCount, 1u);
  EXPECT_FALSE(none.Complete);
  EXPECT_TRUE(none.NeedsSlowPath);
}

// Frames the fast walk leaves to the unwinder: the frames before are right, the walk ends on the
// frame whose rule it cannot follow.
void ExpectEndsOnSlowFrame(const TFrameCapture& c) {
  EXPECT_TRUE(c.NeedsSlowPath);
  EXPECT_FALSE(c.Complete);
  EXPECT_LT(c.FastCount, c.ReferenceCount);
  EXPECT_EQ(CompareFrames(c, c.FastCount), "");
}

TEST(FastUnwind, CfaExpressionEndsTheFastWalk) {
  TFrameCapture c;
  fastunwind_expression_frame(&CaptureBoth, &c);
  ExpectEndsOnSlowFrame(c);
  ASSERT_EQ(c.FastCount, 2u);
  const auto start = reinterpret_cast<uintptr_t>(&fastunwind_expression_frame);
  EXPECT_TRUE(c.Fast[1] > start && c.Fast[1] < start + 32) << Describe(c.Fast[1]);
}

TFrameCapture gSignalCapture;

void CaptureInHandler(int) { CaptureBoth(&gSignalCapture); }

void RaiseSignal(TFrameCapture*) { raise(SIGUSR1); }

TEST(FastUnwind, SignalFrameEndsTheFastWalk) {
  struct sigaction action {}, previous{};
  action.sa_handler = &CaptureInHandler;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  gSignalCapture = {};
  fastunwind_O2_nofp::Recurse(3, &RaiseSignal, nullptr);
  sigaction(SIGUSR1, &previous, nullptr);
  // The handler's frames, then the signal return (mov $15, %rax; syscall), which only the
  // unwinder can pass.
  ExpectEndsOnSlowFrame(gSignalCapture);
  ASSERT_GE(gSignalCapture.FastCount, 2u);
  static constexpr uint8_t kSigreturn[] = {0x48, 0xc7, 0xc0, 0x0f, 0x00, 0x00, 0x00, 0x0f, 0x05};
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(gSignalCapture.Fast[gSignalCapture.FastCount - 1]), kSigreturn,
                        sizeof kSigreturn),
            0);
}

// A fault at a function's first instruction, walked from the signal context: the first rule is
// the one at the faulting pc (at pc - 1 it would be the previous function's). In a child.
uintptr_t gChildStackTop = 0;

void WalkFromFault(int, siginfo_t*, void* raw) {
  const auto* context = static_cast<const ucontext_t*>(raw);
  TUnwindStart start;
  start.Pc = static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RIP]);
  start.Rsp = static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RSP]);
  start.Rbp = static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RBP]);
  start.StackLow = start.Rsp;
  start.StackHigh = gChildStackTop;
  start.Activation = true;
  static TFrameCapture c;
  bool complete = false, slow = false;
  c.FastCount = FastBacktrace(start, c.Fast, kMaxCapturedFrames, &complete, &slow);
  _Unwind_Backtrace(&CollectReference, &c);
  size_t at = 0;  // the faulting frame in the unwinder's list, after the handler's frames
  while (at < c.ReferenceCount && c.Reference[at] != start.Pc) ++at;
  bool same = complete && !slow && at + c.FastCount == c.ReferenceCount;
  for (size_t i = 0; same && i < c.FastCount; ++i) same = c.Fast[i] == c.Reference[at + i];
  if (!same) {
    std::string text = "fast walk differs: " + std::to_string(c.FastCount) + " frames, complete " +
                       std::to_string(complete) + ", slow " + std::to_string(slow) + "\n";
    for (size_t i = 0; i < c.FastCount; ++i) text += Describe(c.Fast[i]) + "\n";
    fputs(text.c_str(), stderr);
  }
  _exit(same ? 0 : 1);
}

void StoreThroughNull(TFrameCapture*) { fastunwind_store_first(nullptr); }

TEST(FastUnwindDeathTest, WalkFromAFaultingInstruction) {
  EXPECT_EXIT(
      {
        alarm(20);
        pthread_attr_t attr;
        pthread_getattr_np(pthread_self(), &attr);
        void* address = nullptr;
        size_t size = 0;
        pthread_attr_getstack(&attr, &address, &size);
        gChildStackTop = reinterpret_cast<uintptr_t>(address) + size;
        struct sigaction action {};
        action.sa_sigaction = &WalkFromFault;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, nullptr);
        fastunwind_O0_fp::Recurse(5, &StoreThroughNull, nullptr);
        _exit(2);
      },
      testing::ExitedWithCode(0), "");
}

// A child forked with the table filled walks on it (the parent may have been publishing).
TEST(FastUnwindDeathTest, ForkedChildKeepsTheRules) {
  TFrameCapture warm;
  fastunwind_O2_fp::AllocaFrame(5, &CaptureBoth, &warm);
  ASSERT_EQ(CompareWholeWalk(warm), "");
  EXPECT_EXIT(
      {
        alarm(20);
        TFrameCapture c;
        fastunwind_O2_fp::AllocaFrame(5, &CaptureBoth, &c);
        std::string failure = CompareWholeWalk(c);
        fputs(failure.c_str(), stderr);
        _exit(failure.empty() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

// ---- Hand-made call-frame programs -------------------------------------------------------

constexpr uint64_t kFunctionStart = 0x401000;
constexpr uint64_t kFunctionSize = 0x40;

void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) { std::memcpy(&bytes[at], &value, 4); }
void Append64(std::vector<uint8_t>& bytes, uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A CIE (code alignment 1, data alignment -8, return address in column 16, absolute pointers,
// initial row CFA = rsp + 8 and the return address at CFA - 8) and one FDE; returns the FDE's
// offset.
size_t BuildFrame(std::vector<uint8_t>& bytes, const std::string& augmentation, const std::vector<uint8_t>& program) {
  bytes.assign(4, 0);
  for (uint8_t b : {0, 0, 0, 0, 1}) bytes.push_back(b);
  bytes.insert(bytes.end(), augmentation.begin(), augmentation.end());
  for (uint8_t b : {0x00, 0x01, 0x78, 0x10, 0x01, 0x00, 0x0c, 0x07, 0x08, 0x90, 0x01}) bytes.push_back(b);
  Put32(bytes, 0, static_cast<uint32_t>(bytes.size() - 4));
  const size_t fde = bytes.size();
  bytes.resize(fde + 8);
  Put32(bytes, fde + 4, static_cast<uint32_t>(fde + 4));  // back to the CIE
  Append64(bytes, kFunctionStart);
  Append64(bytes, kFunctionSize);
  bytes.push_back(0);  // no augmentation data
  bytes.insert(bytes.end(), program.begin(), program.end());
  Put32(bytes, fde, static_cast<uint32_t>(bytes.size() - fde - 4));
  return fde;
}

TCfaRule Simple(bool onRbp, int32_t cfaOffset, bool rbpSaved = false, int32_t rbpOffset = 0) {
  TCfaRule rule;
  rule.Kind = crSimple;
  rule.CfaOnRbp = onRbp;
  rule.CfaOffset = cfaOffset;
  rule.RbpSaved = rbpSaved;
  rule.RbpOffset = rbpOffset;
  return rule;
}

TCfaRule OfKind(TCfaRuleKind kind) {
  TCfaRule rule;
  rule.Kind = kind;
  return rule;
}

struct TProgramCase {
  const char* Name;
  const char* Augmentation;
  std::vector<uint8_t> Program;
  uint64_t Offset;  // from the function's start
  TCfaRule Expected;
};

// push rbp; mov rsp, rbp: the row after each.
const std::vector<uint8_t> kPushRbpMovRbp = {0x41, 0x0e, 0x10, 0x86, 0x02, 0x43, 0x0d, 0x06};
// A row remembered, a tail that pops everything, the row restored for the next block.
const std::vector<uint8_t> kRememberRestore = {0x41, 0x0e, 0x10, 0x86, 0x02, 0x0a, 0x41,
                                               0x0c, 0x07, 0x08, 0xc6, 0x41, 0x0b};

const TProgramCase kProgramCases[] = {
    {"EntryRow", "zR", {}, 0, Simple(false, 8)},
    {"BeforePushRow", "zR", kPushRbpMovRbp, 0, Simple(false, 8)},
    {"AfterPushRbp", "zR", kPushRbpMovRbp, 1, Simple(false, 16, true, -16)},
    {"FrameOnRbp", "zR", kPushRbpMovRbp, 4, Simple(true, 16, true, -16)},
    {"LastByteOfFunction", "zR", kPushRbpMovRbp, kFunctionSize - 1, Simple(true, 16, true, -16)},
    {"EpilogueAfterRemember", "zR", kRememberRestore, 2, Simple(false, 8)},
    {"BlockAfterRestoreState", "zR", kRememberRestore, 3, Simple(false, 16, true, -16)},
    {"SignedFactoredForms", "zR", {0x12, 0x07, 0x7e, 0x11, 0x06, 0x02}, 0, Simple(false, 16, true, -16)},
    {"RbpRestoredExtended", "zR", {0x86, 0x02, 0x06, 0x06}, 0, Simple(false, 8)},
    {"LargeFrame", "zR", {0x0e, 0xa0, 0x8d, 0x06}, 0, Simple(false, 100000)},
    {"ArgsSizeIgnored", "zR", {0x2e, 0x10}, 0, Simple(false, 8)},
    {"OtherRegisterExpression", "zR", {0x10, 0x03, 0x02, 0x73, 0x00}, 0, Simple(false, 8)},
    {"UnknownOpAfterAddress", "zR", {0x45, 0x2d}, 2, Simple(false, 8)},
    {"CfaExpression", "zR", {0x0f, 0x02, 0x77, 0x08}, 0, OfKind(crComplex)},
    {"CfaOnR10", "zR", {0x0c, 0x0a, 0x00}, 0, OfKind(crComplex)},
    {"RbpExpression", "zR", {0x10, 0x06, 0x02, 0x76, 0x00}, 0, OfKind(crComplex)},
    {"RbpInRegister", "zR", {0x09, 0x06, 0x03}, 0, OfKind(crComplex)},
    {"RspSaved", "zR", {0x87, 0x02}, 0, OfKind(crComplex)},
    {"ReturnAddressElsewhere", "zR", {0x90, 0x02}, 0, OfKind(crComplex)},
    {"UnknownOp", "zR", {0x2d}, 0, OfKind(crComplex)},
    {"RestoreStateWithoutRemember", "zR", {0x0b}, 0, OfKind(crComplex)},
    {"TruncatedOperand", "zR", {0x0c, 0x07}, 0, OfKind(crComplex)},
    {"SignalFrame", "zRS", {}, 0, OfKind(crComplex)},
    {"ReturnAddressUndefined", "zR", {0x07, 0x10}, 0, OfKind(crOutermost)},
};

class FastUnwindPrograms : public testing::TestWithParam<TProgramCase> {};

TEST_P(FastUnwindPrograms, ReducedRule) {
  const TProgramCase& p = GetParam();
  std::vector<uint8_t> bytes;
  size_t fde = BuildFrame(bytes, p.Augmentation, p.Program);
  TCfaRule rule;
  ASSERT_TRUE(ReduceFde(bytes.data() + fde, kFunctionStart + p.Offset, 0, &rule));
  EXPECT_EQ(rule.Kind, p.Expected.Kind);
  if (p.Expected.Kind != crSimple) return;
  EXPECT_EQ(rule.CfaOnRbp, p.Expected.CfaOnRbp);
  EXPECT_EQ(rule.CfaOffset, p.Expected.CfaOffset);
  EXPECT_EQ(rule.RbpSaved, p.Expected.RbpSaved);
  if (p.Expected.RbpSaved) {
    EXPECT_EQ(rule.RbpOffset, p.Expected.RbpOffset);
  }
  // The table keeps the rule packed.
  TCfaRule unpacked = UnpackCfaRule(PackCfaRule(rule));
  EXPECT_EQ(unpacked.CfaOffset, rule.CfaOffset);
  EXPECT_EQ(unpacked.RbpOffset, rule.RbpOffset);
}

INSTANTIATE_TEST_SUITE_P(Rows, FastUnwindPrograms, testing::ValuesIn(kProgramCases),
                         [](const testing::TestParamInfo<TProgramCase>& info) { return std::string(info.param.Name); });

TEST(FastUnwindPrograms, AddressOutsideTheFdeIsNotCovered) {
  std::vector<uint8_t> bytes;
  size_t fde = BuildFrame(bytes, "zR", {});
  TCfaRule rule;
  for (uint64_t address : {kFunctionStart - 1, kFunctionStart + kFunctionSize}) {
    SCOPED_TRACE(address);
    EXPECT_FALSE(ReduceFde(bytes.data() + fde, address, 0, &rule));
  }
}

}  // namespace
