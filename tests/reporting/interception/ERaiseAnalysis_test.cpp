// The raise analysis against the real thing: each case is run twice on a thread of its own (so
// no test-framework handler sits below it). First the innermost function captures its return
// addresses where it would throw and asks for the decision; then, in a child process, it really
// throws there, and which handler ran (or that the process terminated) must agree.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unwind.h>

#include <fcntl.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "reporting/interception/ELsda.h"
#include "reporting/interception/ERaiseAnalysis.h"
#include "tests/reporting/interception/ERaiseCases.h"

using namespace raise_cases;

namespace {

// --- Thrown types beyond the shared ones ----------------------------------------------------

struct VBase {
  virtual ~VBase() = default;
  int v = 3;
};
struct VLeft : virtual VBase {};
struct VRight : virtual VBase {};
// VBase is reached through the object's virtual base offset, so matching reads the object.
struct VDiamond : VLeft, VRight {
  int x = 4;
};
struct A {
  int a = 5;
};
struct B1 : A {};
struct B2 : A {};
struct Ambiguous : B1, B2 {};  // two A subobjects: catch (A&) does not match

Derived gDerived;

template <typename T>
T MakeThrown() {
  return T{};
}
template <>
Derived* MakeThrown<Derived*>() {
  return &gDerived;
}
template <>
const Derived* MakeThrown<const Derived*>() {
  return &gDerived;
}
// A null pointer converts to any base pointer; reaching a virtual base must not read through it.
template <>
VDiamond* MakeThrown<VDiamond*>() {
  return nullptr;
}

// --- Probe and raise ------------------------------------------------------------------------

enum TMode { mdProbe, mdThrow };

TMode gMode = mdProbe;
volatile int gHandler = 0;  // the handler that ran in throw mode
volatile int gSink = 0;

struct TProbe {
  bool Done = false;
  std::vector<uintptr_t> Chain;
  bool Complete = false;
  uintptr_t CaptureFunction = 0;  // where the capture's own frame was
  TRaiseDecision Decision, CachedMiss, CachedHit;
};
TProbe gProbe;
// Runs inside the probe while the thrown object still exists.
void (*gInsideProbe)(std::span<const uintptr_t>, const std::type_info*, void*) = nullptr;

struct TCapture {
  uintptr_t* Out;
  size_t Count;
  size_t Max;
};

_Unwind_Reason_Code CollectFrame(_Unwind_Context* context, void* arg) {
  auto* capture = static_cast<TCapture*>(arg);
  if (capture->Count == capture->Max) return _URC_END_OF_STACK;
  capture->Out[capture->Count++] = _Unwind_GetIP(context);
  return _URC_NO_REASON;
}

[[gnu::noinline]] void ProbeRaise(const std::type_info* type, void* object) {
  static uintptr_t addresses[1024];
  TCapture capture{addresses, 0, 1024};
  _Unwind_Backtrace(CollectFrame, &capture);
  // addresses[0] lies in this function; the chain the interception hands over starts in the thrower.
  gProbe.CaptureFunction = addresses[0];
  gProbe.Chain.assign(addresses + 1, addresses + capture.Count);
  gProbe.Complete = capture.Count < 1024;
  gProbe.Decision = AnalyseRaise(gProbe.Chain, type, object, gProbe.Complete);
  ClearRaiseDecisionCaches();
  gProbe.CachedMiss = AnalyseRaiseCached(gProbe.Chain, type, object, gProbe.Complete);
  gProbe.CachedHit = AnalyseRaiseCached(gProbe.Chain, type, object, gProbe.Complete);
  if (gInsideProbe) gInsideProbe(gProbe.Chain, type, object);
  gProbe.Done = true;
}

template <typename T>
[[gnu::noinline]] void Raise() {
  T value = MakeThrown<T>();
  if (gMode == mdProbe) {
    ProbeRaise(&typeid(T), &value);
    gSink = 1;  // keeps this frame out of a tail call
    return;
  }
  throw value;
}

// --- Handler shapes -------------------------------------------------------------------------

[[gnu::noinline]] void CatchAll() {
  try { Raise<Derived>(); } catch (...) { gHandler = 1; }
}
[[gnu::noinline]] void CatchBase() {
  try { Raise<Derived>(); } catch (Base&) { gHandler = 2; }
}
[[gnu::noinline]] void CatchConstDerived() {
  try { Raise<Derived>(); } catch (const Derived&) { gHandler = 3; }
}
[[gnu::noinline]] void CatchOtherOnly() {
  try { Raise<Derived>(); } catch (Other&) { gHandler = 4; }
}
[[gnu::noinline]] void PointerCatchBasePointer() {
  try { Raise<Derived*>(); } catch (Base*) { gHandler = 5; }
}
[[gnu::noinline]] void PointerCatchConstBasePointer() {
  try { Raise<Derived*>(); } catch (const Base*) { gHandler = 6; }
}
[[gnu::noinline]] void ConstPointerCatchPointer() {
  try { Raise<const Derived*>(); } catch (Base*) { gHandler = 7; }
}
[[gnu::noinline]] void PointerCatchReference() {
  try { Raise<Derived*>(); } catch (Base&) { gHandler = 8; }
}
[[gnu::noinline]] void ObjectCatchPointer() {
  try { Raise<Derived>(); } catch (Base*) { gHandler = 9; }
}
[[gnu::noinline]] void CatchVirtualBase() {
  try { Raise<VDiamond>(); } catch (VBase&) { gHandler = 10; }
}
[[gnu::noinline]] void NullPointerCatchVirtualBasePointer() {
  try { Raise<VDiamond*>(); } catch (VBase*) { gHandler = 27; }
}
[[gnu::noinline]] void CatchAmbiguousBase() {
  try { Raise<Ambiguous>(); } catch (A&) { gHandler = 11; }
}

[[gnu::noinline]] void NoexceptFrame() noexcept {
  Raise<Derived>();
  gSink = 2;
}
[[gnu::noinline]] void CatchAllBeyondNoexcept() {
  try { NoexceptFrame(); } catch (...) { gHandler = 12; }
}

struct TGuard {
  ~TGuard() { gSink = gSink + 1; }
};
[[gnu::noinline]] void WithDestructors(int depth) {
  TGuard guard;
  if (depth > 0)
    WithDestructors(depth - 1);
  else
    Raise<Derived>();
  gSink = depth;
}
[[gnu::noinline]] void CatchAllBeyondDestructors() {
  try { WithDestructors(3); } catch (...) { gHandler = 13; }
}
[[gnu::noinline]] void DestructorsOnly() { WithDestructors(3); }
[[gnu::noinline]] void CatchAllBeyondDeepDestructors() {
  try { WithDestructors(50); } catch (...) { gHandler = 14; }
}

[[gnu::noinline]] void NestedInSameFrame() {
  try {
    try { Raise<Derived>(); } catch (Other&) { gHandler = 15; }
  } catch (Base&) {
    gHandler = 16;
  }
}
[[gnu::noinline]] void InnerCatchesOther() {
  try { Raise<Derived>(); } catch (Other&) { gHandler = 17; }
  gSink = 3;
}
[[gnu::noinline]] void NestedAcrossFrames() {
  try { InnerCatchesOther(); } catch (Base&) { gHandler = 18; }
}
[[gnu::noinline]] void SeveralHandlers() {
  try {
    Raise<Derived>();
  } catch (Other&) {
    gHandler = 19;
  } catch (Derived&) {
    gHandler = 20;
  } catch (...) {
    gHandler = 21;
  }
}

[[gnu::noinline]] void CatchAllBeyondSpecAllowing() {
  try { CallAllowingBase(&Raise<Derived>); } catch (...) { gHandler = 22; }
}
[[gnu::noinline]] void CatchAllBeyondSpecRefusing() {
  try { CallAllowingOther(&Raise<Derived>); } catch (...) { gHandler = 23; }
}
[[gnu::noinline]] void CatchAllBeyondEmptySpec() {
  try { CallAllowingNothing(&Raise<Derived>); } catch (...) { gHandler = 24; }
}

// The layer's wrapper around application code; registered as a layer catch frame in its test.
[[gnu::noinline]] void LayerWrapper(void (*application)()) {
  try { application(); } catch (...) { gHandler = 25; }
}
[[gnu::noinline]] void ApplicationRaising() {
  Raise<Derived>();
  gSink = 4;
}
[[gnu::noinline]] void CaughtByLayer() { LayerWrapper(&ApplicationRaising); }
[[gnu::noinline]] void ApplicationCatching() {
  try { Raise<Derived>(); } catch (Base&) { gHandler = 26; }
}
[[gnu::noinline]] void CaughtByApplicationInsideLayer() { LayerWrapper(&ApplicationCatching); }

// A frame whose CIE names a personality routine of some other language.
extern "C" int RaiseTestForeignPersonality() { return 8; }
extern "C" {
[[gnu::used]] void* gRaiseTestForeignPersonalityRef = reinterpret_cast<void*>(&RaiseTestForeignPersonality);
}
[[gnu::noinline]] void ForeignFrame() {
  asm volatile(".cfi_personality 0x9b, gRaiseTestForeignPersonalityRef");
  Raise<Derived>();
  gSink = 5;
}

// --- Running a case on a thread of its own --------------------------------------------------

void* RunOnThread(void* entry) {
  reinterpret_cast<void (*)()>(entry)();
  return nullptr;
}

void RunInThread(void (*entry)()) {
  pthread_t thread;
  ASSERT_EQ(0, pthread_create(&thread, nullptr, RunOnThread, reinterpret_cast<void*>(entry)));
  pthread_join(thread, nullptr);
}

TProbe Probe(void (*entry)()) {
  gProbe = TProbe{};
  gMode = mdProbe;
  gHandler = 0;
  RunInThread(entry);
  return gProbe;
}

struct TRealOutcome {
  bool Terminated = false;  // ended by SIGABRT: std::terminate
  int Handler = 0;          // otherwise the handler that ran
  bool Other = false;       // anything else: a crash, a hang
};

// Really throws in a child; the parent only waits, with a deadline.
TRealOutcome Throw(void (*entry)()) {
  fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    alarm(20);
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDERR_FILENO);  // the terminate handler's message
    gMode = mdThrow;
    gHandler = 0;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, RunOnThread, reinterpret_cast<void*>(entry)) != 0) _exit(100);
    pthread_join(thread, nullptr);
    _exit(gHandler);
  }
  TRealOutcome outcome;
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      outcome.Other = true;
      return outcome;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT)
    outcome.Terminated = true;
  else if (WIFEXITED(status) && WEXITSTATUS(status) != 100)
    outcome.Handler = WEXITSTATUS(status);
  else
    outcome.Other = true;
  return outcome;
}

uintptr_t StartOf(const void* function) {
  TFrameEhInfo info = FindFrameEhInfo(reinterpret_cast<uintptr_t>(function));
  return info.HasFde ? info.FunctionStart : 0;
}

bool SameDecision(const TRaiseDecision& a, const TRaiseDecision& b) {
  return a.Caught == b.Caught && a.FirstKind == b.FirstKind && a.CatchingFrames == b.CatchingFrames &&
         a.FirstHandler == b.FirstHandler && a.FirstFrame == b.FirstFrame && a.LayerCatch == b.LayerCatch &&
         a.End == b.End;
}

// --- The table ------------------------------------------------------------------------------

struct TRaiseCase {
  const char* Name;
  void (*Run)();
  bool Caught;
  TCatchKind Kind;
  TRaiseEnd End;
  const void* Catcher;  // the function of the first catching frame, if any
  int Handler;          // the handler that really runs; 0: the process terminates
};

const TRaiseCase kCases[] = {
    {"CatchAll", CatchAll, true, ckCatchAll, reCatch, (void*)CatchAll, 1},
    {"BaseClass", CatchBase, true, ckTyped, reCatch, (void*)CatchBase, 2},
    {"ConstReference", CatchConstDerived, true, ckTyped, reCatch, (void*)CatchConstDerived, 3},
    {"NonMatchingType", CatchOtherOnly, false, ckNone, reEndOfStack, nullptr, 0},
    {"PointerAsBasePointer", PointerCatchBasePointer, true, ckTyped, reCatch, (void*)PointerCatchBasePointer, 5},
    {"PointerAsConstBasePointer", PointerCatchConstBasePointer, true, ckTyped, reCatch,
     (void*)PointerCatchConstBasePointer, 6},
    {"ConstPointerAsPointer", ConstPointerCatchPointer, false, ckNone, reEndOfStack, nullptr, 0},
    {"PointerAsReference", PointerCatchReference, false, ckNone, reEndOfStack, nullptr, 0},
    {"ObjectAsPointer", ObjectCatchPointer, false, ckNone, reEndOfStack, nullptr, 0},
    {"VirtualBase", CatchVirtualBase, true, ckTyped, reCatch, (void*)CatchVirtualBase, 10},
    {"NullPointerAsVirtualBasePointer", NullPointerCatchVirtualBasePointer, true, ckTyped, reCatch,
     (void*)NullPointerCatchVirtualBasePointer, 27},
    {"AmbiguousBase", CatchAmbiguousBase, false, ckNone, reEndOfStack, nullptr, 0},
    {"NoexceptBoundary", CatchAllBeyondNoexcept, false, ckNone, reNoCallSite, nullptr, 0},
    {"DestructorsBetween", CatchAllBeyondDestructors, true, ckCatchAll, reCatch, (void*)CatchAllBeyondDestructors,
     13},
    {"DestructorsOnly", DestructorsOnly, false, ckNone, reEndOfStack, nullptr, 0},
    {"DeepDestructors", CatchAllBeyondDeepDestructors, true, ckCatchAll, reCatch,
     (void*)CatchAllBeyondDeepDestructors, 14},
    {"NestedInSameFrame", NestedInSameFrame, true, ckTyped, reCatch, (void*)NestedInSameFrame, 16},
    {"NestedAcrossFrames", NestedAcrossFrames, true, ckTyped, reCatch, (void*)NestedAcrossFrames, 18},
    {"SeveralHandlers", SeveralHandlers, true, ckTyped, reCatch, (void*)SeveralHandlers, 20},
    {"ThrowListAllowing", CatchAllBeyondSpecAllowing, true, ckCatchAll, reCatch,
     (void*)CatchAllBeyondSpecAllowing, 22},
    {"ThrowListRefusing", CatchAllBeyondSpecRefusing, false, ckNone, reThrowList, nullptr, 0},
    {"EmptyThrowList", CatchAllBeyondEmptySpec, false, ckNone, reThrowList, nullptr, 0},
    {"ApplicationCatchInsideLayer", CaughtByApplicationInsideLayer, true, ckTyped, reCatch,
     (void*)ApplicationCatching, 26},
};

class RaiseAnalysisTest : public ::testing::TestWithParam<TRaiseCase> {
 protected:
  void SetUp() override { RegisterLayerCatchFrame(reinterpret_cast<const void*>(&LayerWrapper)); }
  void TearDown() override { UnregisterLayerCatchFrame(reinterpret_cast<const void*>(&LayerWrapper)); }
};

TEST_P(RaiseAnalysisTest, DecisionMatchesTheRealThrow) {
  const TRaiseCase& c = GetParam();
  TProbe probe = Probe(c.Run);
  ASSERT_TRUE(probe.Done);
  ASSERT_EQ(StartOf(reinterpret_cast<const void*>(&ProbeRaise)), FindFrameEhInfo(probe.CaptureFunction - 1).FunctionStart);
  ASSERT_TRUE(probe.Complete);

  const TRaiseDecision& d = probe.Decision;
  EXPECT_EQ(c.Caught, d.Caught);
  EXPECT_EQ(c.Kind, d.FirstKind);
  EXPECT_EQ(c.End, d.End);
  EXPECT_FALSE(d.LayerCatch);
  if (c.Caught) {
    EXPECT_EQ(1, d.CatchingFrames);
    EXPECT_NE(0u, d.FirstHandler);
    ASSERT_LT(d.FirstFrame, probe.Chain.size());
    EXPECT_EQ(StartOf(c.Catcher), FindFrameEhInfo(probe.Chain[d.FirstFrame] - 1).FunctionStart)
        << "caught in the wrong frame";
  }
  EXPECT_TRUE(SameDecision(d, probe.CachedMiss));
  EXPECT_TRUE(SameDecision(d, probe.CachedHit));

  TRealOutcome real = Throw(c.Run);
  ASSERT_FALSE(real.Other) << "the child neither caught nor terminated";
  EXPECT_EQ(!c.Caught, real.Terminated);
  EXPECT_EQ(c.Handler, real.Handler);
}

INSTANTIATE_TEST_SUITE_P(Shapes, RaiseAnalysisTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TRaiseCase>& info) { return info.param.Name; });

// --- The layer's own catching frames --------------------------------------------------------

TEST(RaiseAnalysisLayer, ACatchInALayerFrameIsNotTheApplications) {
  ASSERT_TRUE(RegisterLayerCatchFrame(reinterpret_cast<const void*>(&LayerWrapper)));
  // Registering again, through another address inside the function, changes nothing.
  ASSERT_TRUE(RegisterLayerCatchFrame(reinterpret_cast<const uint8_t*>(&LayerWrapper) + 1));
  TProbe probe = Probe(CaughtByLayer);
  ASSERT_TRUE(probe.Done);
  EXPECT_FALSE(probe.Decision.Caught);
  EXPECT_TRUE(probe.Decision.LayerCatch);
  EXPECT_EQ(reLayerCatch, probe.Decision.End);
  EXPECT_EQ(ckCatchAll, probe.Decision.FirstKind);
  EXPECT_EQ(StartOf(reinterpret_cast<const void*>(&LayerWrapper)),
            FindFrameEhInfo(probe.Chain[probe.Decision.FirstFrame] - 1).FunctionStart);
  EXPECT_TRUE(SameDecision(probe.Decision, probe.CachedHit));

  // The wrapper's handler is what really runs.
  TRealOutcome real = Throw(CaughtByLayer);
  EXPECT_EQ(25, real.Handler);
  UnregisterLayerCatchFrame(reinterpret_cast<const void*>(&LayerWrapper));
}

TEST(RaiseAnalysisLayer, RegisteringDropsCachedDecisions) {
  // Inside the probe, while the thrown object lives: the same key before and after each change.
  gInsideProbe = [](std::span<const uintptr_t> chain, const std::type_info* type, void* object) {
    const void* wrapper = reinterpret_cast<const void*>(&LayerWrapper);
    UnregisterLayerCatchFrame(wrapper);
    EXPECT_TRUE(AnalyseRaiseCached(chain, type, object, true).Caught);
    EXPECT_TRUE(AnalyseRaiseCached(chain, type, object, true).Caught);
    RegisterLayerCatchFrame(wrapper);
    EXPECT_TRUE(AnalyseRaiseCached(chain, type, object, true).LayerCatch);
    UnregisterLayerCatchFrame(wrapper);
    EXPECT_TRUE(AnalyseRaiseCached(chain, type, object, true).Caught);
    RegisterLayerCatchFrame(wrapper);
    ClearRaiseDecisionCaches();
    EXPECT_TRUE(AnalyseRaiseCached(chain, type, object, true).LayerCatch);
    UnregisterLayerCatchFrame(wrapper);
  };
  Probe(CaughtByLayer);
  gInsideProbe = nullptr;
}

TEST(RaiseAnalysisLayer, AtMostSixteenFunctions) {
  // Addresses inside the test's own functions stand for 16 distinct layer functions.
  void (*const functions[])() = {CatchAll, CatchBase, CatchConstDerived, CatchOtherOnly, PointerCatchBasePointer,
                                  PointerCatchConstBasePointer, ConstPointerCatchPointer, PointerCatchReference,
                                  ObjectCatchPointer, CatchVirtualBase, CatchAmbiguousBase, CatchAllBeyondNoexcept,
                                  CatchAllBeyondDestructors, DestructorsOnly, NestedInSameFrame, NestedAcrossFrames,
                                  SeveralHandlers};
  size_t registered = 0;
  for (auto f : functions) registered += RegisterLayerCatchFrame(reinterpret_cast<const void*>(f)) ? 1 : 0;
  EXPECT_EQ(16u, registered);
  for (auto f : functions) UnregisterLayerCatchFrame(reinterpret_cast<const void*>(f));
  EXPECT_TRUE(RegisterLayerCatchFrame(reinterpret_cast<const void*>(&SeveralHandlers)));
  UnregisterLayerCatchFrame(reinterpret_cast<const void*>(&SeveralHandlers));
}

// --- Chains that end early, other personalities, foreign exceptions ------------------------

TEST(RaiseAnalysisChain, WhereTheChainEnds) {
  TProbe probe = Probe(CatchAll);
  ASSERT_TRUE(probe.Done);
  ASSERT_TRUE(probe.Decision.Caught);
  const size_t catcher = probe.Decision.FirstFrame;
  int notCode = 0;
  const uintptr_t noFde = reinterpret_cast<uintptr_t>(&notCode) + 1;

  struct TChainCase {
    const char* Name;
    std::vector<uintptr_t> Chain;
    bool Complete;
    bool Caught;
    TRaiseEnd End;
  };
  auto cut = [&](size_t n) { return std::vector<uintptr_t>(probe.Chain.begin(), probe.Chain.begin() + n); };
  auto with = [&](uintptr_t address) {
    std::vector<uintptr_t> chain = probe.Chain;
    chain.insert(chain.begin() + static_cast<ptrdiff_t>(catcher), address);
    return chain;
  };
  const TChainCase cases[] = {
      {"whole chain", probe.Chain, true, true, reCatch},
      {"cut before the catch, more frames unknown", cut(catcher), false, true, reUnknownBeyond},
      {"cut before the catch, nothing beyond", cut(catcher), true, false, reEndOfStack},
      {"return address 0 before the catch", with(0), true, false, reEndOfStack},
      {"frame without FDE before the catch", with(noFde), true, false, reEndOfStack},
      {"no frames at all", {}, true, false, reEndOfStack},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TRaiseDecision d = AnalyseRaise(c.Chain, &typeid(Derived), &gDerived, c.Complete);
    EXPECT_EQ(c.Caught, d.Caught);
    EXPECT_EQ(c.End, d.End);
  }
}

TEST(RaiseAnalysisChain, AForeignPersonalityCountsAsCatching) {
  TProbe probe = Probe(ForeignFrame);
  ASSERT_TRUE(probe.Done);
  EXPECT_TRUE(probe.Decision.Caught);
  EXPECT_EQ(reForeign, probe.Decision.End);
  EXPECT_EQ(ckCatchAll, probe.Decision.FirstKind);
  EXPECT_EQ(StartOf(reinterpret_cast<const void*>(&ForeignFrame)),
            FindFrameEhInfo(probe.Chain[probe.Decision.FirstFrame] - 1).FunctionStart);
}

TEST(RaiseAnalysisChain, AForeignExceptionMeetsOnlyCatchAll) {
  struct TForeignCase {
    void (*Run)();
    bool Caught;
  };
  for (const TForeignCase& c : {TForeignCase{CatchAll, true}, TForeignCase{CatchBase, false},
                                TForeignCase{CatchAllBeyondSpecAllowing, true},
                                TForeignCase{CatchAllBeyondEmptySpec, false}}) {
    TProbe probe = Probe(c.Run);
    ASSERT_TRUE(probe.Done);
    EXPECT_EQ(c.Caught, AnalyseRaise(probe.Chain, nullptr, nullptr, true).Caught);
  }
}

TEST(RaiseAnalysisFrames, FdeOfOwnFunctions) {
  TFrameEhInfo withHandlers = FindFrameEhInfo(reinterpret_cast<uintptr_t>(&SeveralHandlers) + 1);
  ASSERT_TRUE(withHandlers.HasFde);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(&SeveralHandlers), withHandlers.FunctionStart);
  EXPECT_EQ(pkCxx, ClassifyPersonality(withHandlers.Personality));
  EXPECT_NE(0u, withHandlers.Lsda);
  EXPECT_FALSE(withHandlers.SignalFrame);

  TFrameEhInfo foreign = FindFrameEhInfo(reinterpret_cast<uintptr_t>(&ForeignFrame) + 1);
  ASSERT_TRUE(foreign.HasFde);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(&RaiseTestForeignPersonality), foreign.Personality);
  EXPECT_EQ(pkForeign, ClassifyPersonality(foreign.Personality));

  int onTheStack = 0;
  EXPECT_FALSE(FindFrameEhInfo(reinterpret_cast<uintptr_t>(&onTheStack)).HasFde);
}

// --- Encoded pointers -----------------------------------------------------------------------

TEST(EhEncoding, EveryFormatAndBase) {
  TEhBases bases{0x10000, 0x20000, 0x30000};
  alignas(16) static uint8_t buffer[32];
  static uintptr_t target = 0x1234567890abcdefULL;
  struct TEncodingCase {
    const char* Name;
    uint8_t Encoding;
    std::vector<uint8_t> Bytes;
    size_t Offset;       // where in the buffer the field starts
    uintptr_t Expected;  // before adding the field's address for pcrel
    size_t Length;
    bool PcRelative;
  };
  const TEncodingCase cases[] = {
      {"absptr", kEhPeAbsptr, {0xef, 0xcd, 0xab, 0x89, 0x67, 0x45, 0x23, 0x01}, 0, 0x0123456789abcdefULL, 8, false},
      {"uleb128", kEhPeUleb128, {0xe5, 0x8e, 0x26}, 0, 624485, 3, false},
      {"udata2", kEhPeUdata2, {0xfe, 0xff}, 0, 0xfffe, 2, false},
      {"udata4", kEhPeUdata4, {0xfe, 0xff, 0xff, 0xff}, 1, 0xfffffffeULL, 4, false},
      {"udata8", kEhPeUdata8, {1, 0, 0, 0, 0, 0, 0, 0x80}, 3, 0x8000000000000001ULL, 8, false},
      {"sleb128", kEhPeSleb128, {0xc0, 0xbb, 0x78}, 0, static_cast<uintptr_t>(-123456), 3, false},
      {"sdata2", kEhPeSdata2, {0xfe, 0xff}, 0, static_cast<uintptr_t>(-2), 2, false},
      {"sdata4", kEhPeSdata4, {0xfc, 0xff, 0xff, 0xff}, 2, static_cast<uintptr_t>(-4), 4, false},
      {"sdata8", kEhPeSdata8, {0xf8, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, 0, static_cast<uintptr_t>(-8), 8,
       false},
      {"pcrel sdata4", kEhPePcrel | kEhPeSdata4, {0xf0, 0xff, 0xff, 0xff}, 4, static_cast<uintptr_t>(-16), 4, true},
      {"textrel udata4", kEhPeTextrel | kEhPeUdata4, {0x10, 0, 0, 0}, 0, 0x10010, 4, false},
      {"datarel sdata4", kEhPeDatarel | kEhPeSdata4, {0xf0, 0xff, 0xff, 0xff}, 0, 0x1fff0, 4, false},
      {"funcrel uleb128", kEhPeFuncrel | kEhPeUleb128, {0x7f}, 0, 0x3007f, 1, false},
      {"zero stays zero under pcrel", kEhPePcrel | kEhPeSdata4, {0, 0, 0, 0}, 0, 0, 4, false},
      {"zero stays zero under indirect", kEhPeIndirect | kEhPeAbsptr, {0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, 8, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::memset(buffer, 0xaa, sizeof buffer);
    std::memcpy(buffer + c.Offset, c.Bytes.data(), c.Bytes.size());
    uintptr_t value = 1;
    const uint8_t* end = ReadEncodedPointer(buffer + c.Offset, c.Encoding, bases, &value);
    ASSERT_NE(nullptr, end);
    EXPECT_EQ(c.Length, static_cast<size_t>(end - (buffer + c.Offset)));
    EXPECT_EQ(c.PcRelative ? c.Expected + reinterpret_cast<uintptr_t>(buffer + c.Offset) : c.Expected, value);
  }

  {
    SCOPED_TRACE("aligned: skips to the pointer boundary");
    uintptr_t stored = 0x55aa;
    std::memcpy(buffer + 8, &stored, sizeof stored);
    uintptr_t value = 0;
    const uint8_t* end = ReadEncodedPointer(buffer + 1, kEhPeAligned, bases, &value);
    EXPECT_EQ(buffer + 16, end);
    EXPECT_EQ(stored, value);
  }
  {
    SCOPED_TRACE("indirect pcrel sdata4: the pointer the field points at");
    int32_t offset = static_cast<int32_t>(reinterpret_cast<intptr_t>(&target) - reinterpret_cast<intptr_t>(buffer));
    std::memcpy(buffer, &offset, 4);
    uintptr_t value = 0;
    ReadEncodedPointer(buffer, kEhPeIndirect | kEhPePcrel | kEhPeSdata4, bases, &value);
    EXPECT_EQ(target, value);
  }
  {
    SCOPED_TRACE("omit reads nothing; an undefined format is refused");
    uintptr_t value = 1;
    EXPECT_EQ(buffer, ReadEncodedPointer(buffer, kEhPeOmit, bases, &value));
    EXPECT_EQ(0u, value);
    EXPECT_EQ(nullptr, ReadEncodedPointer(buffer, 0x05, bases, &value));
    EXPECT_EQ(nullptr, ReadEncodedPointer(buffer, 0x60 | kEhPeUdata4, bases, &value));
  }
}

// --- Hand-built tables ------------------------------------------------------------------------

// An LSDA laid out as the compiler does: header, call sites, action records, type entries
// (numbered backwards from TType), then throw() lists after TType.
struct TLsdaBuilder {
  struct TCallSite {
    uint32_t Start, Length, Pad, Action;
  };
  uint8_t LPStartEncoding = kEhPeOmit;
  uintptr_t LPStart = 0;
  uint8_t CallSiteEncoding = kEhPeUdata4;
  std::vector<TCallSite> CallSites;
  std::vector<uint8_t> Actions;
  std::vector<const std::type_info*> Types;  // Types[0] is entry 1
  std::vector<uint8_t> Specs;

  // Returns the action-table offset + 1 of the record just added.
  uint32_t Action(int filter, int nextRecord /* offset + 1 of the next, 0: end */) {
    uint32_t at = static_cast<uint32_t>(Actions.size());
    Actions.push_back(static_cast<uint8_t>(filter & 0x7f));
    // The displacement is relative to the displacement byte itself.
    int displacement = nextRecord ? (nextRecord - 1) - static_cast<int>(at + 1) : 0;
    Actions.push_back(static_cast<uint8_t>(displacement & 0x7f));
    return at + 1;
  }
  // Offset of a throw() list, as the negative filter names it.
  int ThrowList(const std::vector<uint8_t>& typeIndexes) {
    int at = static_cast<int>(Specs.size());
    for (uint8_t i : typeIndexes) Specs.push_back(i);
    Specs.push_back(0);
    return -(at + 1);
  }

  std::vector<uint8_t> Build() const {
    std::vector<uint8_t> cs;
    auto put = [](std::vector<uint8_t>& out, uint64_t v, uint8_t encoding) {
      if ((encoding & 0x0f) == kEhPeUleb128) {
        do {
          uint8_t b = v & 0x7f;
          v >>= 7;
          out.push_back(v ? (b | 0x80) : b);
        } while (v);
        return;
      }
      size_t n = EncodedPointerSize(encoding);
      for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    for (const auto& c : CallSites) {
      put(cs, c.Start, CallSiteEncoding);
      put(cs, c.Length, CallSiteEncoding);
      put(cs, c.Pad, CallSiteEncoding);
      put(cs, c.Action, kEhPeUleb128);
    }
    std::vector<uint8_t> out;
    out.push_back(LPStartEncoding);
    if (LPStartEncoding != kEhPeOmit) put(out, LPStart, LPStartEncoding);
    out.push_back(kEhPeAbsptr);  // TType entries: plain pointers
    // TType offset, as a 2-byte ULEB128, counted from after it.
    size_t ttypeOffset = 1 + 2 + cs.size() + Actions.size() + Types.size() * sizeof(void*);
    out.push_back(static_cast<uint8_t>((ttypeOffset & 0x7f) | 0x80));
    out.push_back(static_cast<uint8_t>(ttypeOffset >> 7));
    out.push_back(CallSiteEncoding);
    out.push_back(static_cast<uint8_t>((cs.size() & 0x7f) | 0x80));
    out.push_back(static_cast<uint8_t>(cs.size() >> 7));
    out.insert(out.end(), cs.begin(), cs.end());
    out.insert(out.end(), Actions.begin(), Actions.end());
    for (size_t i = Types.size(); i-- > 0;) put(out, reinterpret_cast<uintptr_t>(Types[i]), kEhPeAbsptr);
    out.insert(out.end(), Specs.begin(), Specs.end());
    return out;
  }
};

TEST(LsdaTables, HandBuiltVerdicts) {
  const TEhBases bases{0, 0, 0x40000};
  // Call sites at [0x10, 0x20) with a catch chain, [0x20, 0x30) cleanup only, [0x30, 0x40) with
  // no landing pad, [0x40, 0x50) with throw() lists; nothing at 0x50 and beyond or below 0x10.
  struct TLsdaCase {
    const char* Name;
    std::function<void(TLsdaBuilder&)> Make;
    uintptr_t Ip;
    const std::type_info* Type;
    TFrameAction Action;
    uintptr_t LandingPad;
  };
  static Derived derived;
  auto chain = [](std::vector<int> filters) {
    return [filters](TLsdaBuilder& b) {
      b.Types = {&typeid(Other), &typeid(Base), nullptr};  // entries 1, 2, 3
      int next = 0;
      for (size_t i = filters.size(); i-- > 0;) next = static_cast<int>(b.Action(filters[i], next));
      b.CallSites = {{0x10, 0x10, 0x100, static_cast<uint32_t>(next)}, {0x20, 0x10, 0x200, 0}, {0x30, 0x10, 0, 1}};
    };
  };
  auto throwLists = [](std::vector<uint8_t> allowed, bool thenCatchAll) {
    return [allowed, thenCatchAll](TLsdaBuilder& b) {
      b.Types = {&typeid(Other), &typeid(Base), nullptr};
      int throwList = b.ThrowList(allowed);
      int next = thenCatchAll ? static_cast<int>(b.Action(3, 0)) : 0;
      uint32_t first = b.Action(throwList, next);
      b.CallSites = {{0x40, 0x10, 0x400, first}};
    };
  };
  const TLsdaCase cases[] = {
      {"catch (...)", chain({3}), 0x40015, &typeid(Derived), faCatchAll, 0x40100},
      {"typed, matching base", chain({2}), 0x40015, &typeid(Derived), faCatchTyped, 0x40100},
      {"typed, not matching", chain({1}), 0x40015, &typeid(Derived), faNothing, 0},
      {"cleanup, then not matching, then matching", chain({0, 1, 2}), 0x40015, &typeid(Derived), faCatchTyped,
       0x40100},
      {"not matching, then catch (...)", chain({1, 3}), 0x40015, &typeid(Derived), faCatchAll, 0x40100},
      {"foreign exception, typed", chain({2}), 0x40015, nullptr, faNothing, 0},
      {"foreign exception, cleanup then typed", chain({0, 2}), 0x40015, nullptr, faCleanup, 0x40100},
      {"cleanup only", chain({3}), 0x4002f, &typeid(Derived), faCleanup, 0x40200},
      {"no landing pad", chain({3}), 0x40030, &typeid(Derived), faNothing, 0},
      {"below the first call site", chain({3}), 0x4000f, &typeid(Derived), faTerminate, 0},
      {"beyond the last call site", chain({3}), 0x40040, &typeid(Derived), faTerminate, 0},
      {"throw list allowing", throwLists({1, 2}, false), 0x40040, &typeid(Derived), faNothing, 0},
      {"throw list allowing, then catch (...)", throwLists({2}, true), 0x40040, &typeid(Derived), faCatchAll,
       0x40400},
      {"throw list refusing", throwLists({1}, true), 0x40040, &typeid(Derived), faUnexpected, 0x40400},
      {"empty throw list", throwLists({}, true), 0x40040, &typeid(Derived), faUnexpected, 0x40400},
      {"foreign exception, non-empty throw list", throwLists({1}, false), 0x40040, nullptr, faNothing, 0},
      {"foreign exception, empty throw list", throwLists({}, false), 0x40040, nullptr, faUnexpected, 0x40400},
      {"landing pads from an explicit LPStart",
       [](TLsdaBuilder& b) {
         b.LPStartEncoding = kEhPeUdata8;
         b.LPStart = 0x90000;
         b.Types = {nullptr};
         b.CallSites = {{0x10, 0x10, 0x100, b.Action(1, 0)}};
       },
       0x40010, &typeid(Derived), faCatchAll, 0x90100},
      {"call sites in uleb128",
       [](TLsdaBuilder& b) {
         b.CallSiteEncoding = kEhPeUleb128;
         b.Types = {&typeid(Base)};
         b.CallSites = {{0x08, 0x8, 0, 0}, {0x400, 0x200, 0x1000, b.Action(1, 0)}};
       },
       0x40500, &typeid(Derived), faCatchTyped, 0x41000},
      {"call sites in udata2",
       [](TLsdaBuilder& b) {
         b.CallSiteEncoding = kEhPeUdata2;
         b.Types = {nullptr};
         b.CallSites = {{0x10, 0x10, 0x80, b.Action(1, 0)}};
       },
       0x40011, &typeid(Derived), faCatchAll, 0x40080},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TLsdaBuilder builder;
    c.Make(builder);
    std::vector<uint8_t> lsda = builder.Build();
    TFrameVerdict v = ClassifyGxxFrame(lsda.data(), c.Ip, bases, c.Type, c.Type ? &derived : nullptr);
    EXPECT_EQ(c.Action, v.Action);
    EXPECT_EQ(c.LandingPad, v.LandingPad);
  }
}

TEST(LsdaTables, HandBuiltCieAndFde) {
  // "zPLRS" with an indirect personality, pc-relative LSDA and function start.
  static uintptr_t personalityRef = 0x7777;
  alignas(8) static uint8_t table[128];
  static const uint8_t lsdaTarget[4] = {};
  std::vector<uint8_t> t;
  auto u32 = [&t](uint32_t v) {
    for (int i = 0; i < 4; ++i) t.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto rel32 = [&t](const void* to) {
    intptr_t from = reinterpret_cast<intptr_t>(table + t.size());
    int32_t d = static_cast<int32_t>(reinterpret_cast<intptr_t>(to) - from);
    for (int i = 0; i < 4; ++i) t.push_back(static_cast<uint8_t>(static_cast<uint32_t>(d) >> (8 * i)));
  };
  // CIE
  size_t cieStart = t.size();
  u32(0);  // length, patched
  u32(0);  // CIE id
  t.push_back(1);
  for (char ch : std::string("zPLRS")) t.push_back(static_cast<uint8_t>(ch));
  t.push_back(0);
  t.push_back(1);     // code alignment
  t.push_back(0x78);  // data alignment -8
  t.push_back(16);    // return address column
  t.push_back(7);     // augmentation data length
  t.push_back(kEhPeIndirect | kEhPePcrel | kEhPeSdata4);
  rel32(&personalityRef);
  t.push_back(kEhPePcrel | kEhPeSdata4);
  t.push_back(kEhPePcrel | kEhPeSdata4);
  while ((t.size() - cieStart) % 8 != 4) t.push_back(0);  // DW_CFA_nop
  uint32_t cieLength = static_cast<uint32_t>(t.size() - cieStart - 4);
  std::memcpy(&t[cieStart], &cieLength, 4);
  // FDE
  size_t fdeStart = t.size();
  u32(0);
  u32(static_cast<uint32_t>(t.size() - cieStart));  // back to the CIE
  const uint8_t* function = reinterpret_cast<const uint8_t*>(&SeveralHandlers);
  rel32(function);
  u32(0x40);  // range
  t.push_back(4);
  rel32(lsdaTarget);
  uint32_t fdeLength = static_cast<uint32_t>(t.size() - fdeStart - 4);
  std::memcpy(&t[fdeStart], &fdeLength, 4);
  ASSERT_LE(t.size(), sizeof table);
  // The pc-relative fields were computed for their place in `table`.
  std::memcpy(table, t.data(), t.size());

  TFdeInfo info;
  ASSERT_TRUE(ParseFde(table + fdeStart, TEhBases{}, &info));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(function), info.FunctionStart);
  EXPECT_EQ(0x40u, info.FunctionSize);
  EXPECT_EQ(0x7777u, info.Personality);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(lsdaTarget), info.Lsda);
  EXPECT_TRUE(info.SignalFrame);
  EXPECT_FALSE(ParseFde(table + cieStart, TEhBases{}, &info)) << "a CIE is not an FDE";
}

}  // namespace
