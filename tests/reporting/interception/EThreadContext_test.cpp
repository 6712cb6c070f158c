#include "reporting/interception/EThreadContext.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>

#include "reporting/interception/EThreads.h"
#include "tests/reporting/interception/ThreadTestSupport.h"

// One function per thread, so that each stack names its own (exported, so their extents are
// known).
template <int N>
__attribute__((noinline)) ssize_t ZelkBlockedIn(TPipeGate* gate) {
  ssize_t r = gate->Wait();
  asm volatile("" ::: "memory");  // keeps the return address inside this function
  return r;
}

namespace {

constexpr int kThreads = 10;

// A thread that reports its id and stack top, then blocks in its own function until released.
// One that blocks the suspension signal unblocks it once released, then blocks there again.
struct TBlockedThread {
  TPipeGate Gate;
  pid_t Tid = 0;
  uintptr_t StackTop = 0;
  const void* Function = nullptr;
  ssize_t Result = -1;
  bool BlockSignal = false;
  std::atomic<bool> Ready{false};
  std::atomic<bool> Unblocked{false};
  std::thread Thread;

  template <int N>
  void Start() {
    Function = reinterpret_cast<const void*>(&ZelkBlockedIn<N>);
    Thread = std::thread([this] {
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, SuspendSignal());
      if (BlockSignal) pthread_sigmask(SIG_BLOCK, &set, nullptr);
      Tid = CurrentThreadId();
      StackTop = CurrentStackTop();
      Ready.store(true);
      Ready.notify_all();
      Result = ZelkBlockedIn<N>(&Gate);
      if (!BlockSignal) return;
      pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // a pending suspension signal arrives here
      Unblocked.store(true);
      Unblocked.notify_all();
      Result = ZelkBlockedIn<N>(&Gate);
    });
    Ready.wait(false);
    EXPECT_TRUE(WaitUntilBlockedInRead(Tid));
  }
  void Finish() {
    Gate.Open();
    if (BlockSignal) Gate.Open();
    Thread.join();
  }
};

void CaptureOf(TThreadCapture& capture, std::initializer_list<const TBlockedThread*> threads,
               std::chrono::milliseconds deadline) {
  std::vector<pid_t> tids;
  std::vector<uintptr_t> tops;
  for (const TBlockedThread* t : threads) tids.push_back(t->Tid), tops.push_back(t->StackTop);
  capture.Capture(tids, tops, deadline);
}

template <int... N>
void StartAll(std::array<std::unique_ptr<TBlockedThread>, sizeof...(N)>& threads, std::integer_sequence<int, N...>) {
  (threads[N]->template Start<N>(), ...);
}

TEST(ThreadCaptureTest, EachStoppedThreadsStackNamesItsFunction) {
  std::array<std::unique_ptr<TBlockedThread>, kThreads> threads;
  for (auto& t : threads) t = std::make_unique<TBlockedThread>();
  StartAll(threads, std::make_integer_sequence<int, kThreads>());
  std::vector<pid_t> tids;
  std::vector<uintptr_t> tops;
  for (auto& t : threads) tids.push_back(t->Tid), tops.push_back(t->StackTop);

  TThreadCapture capture;
  capture.Capture(tids, tops);
  ASSERT_EQ(capture.Threads().size(), tids.size());
  for (int i = 0; i < kThreads; ++i) {
    SCOPED_TRACE("thread " + std::to_string(i));
    const TCapturedThread& c = capture.Threads()[i];
    ASSERT_TRUE(c.Captured);
    const TThreadContext& ctx = c.Context;
    EXPECT_EQ(ctx.ThreadID, tids[i]);
    EXPECT_TRUE(ctx.Registers.Valid && ctx.Registers.Full);
    EXPECT_EQ(ctx.Registers.Cs, 0x33);  // the 64-bit user code segment: the registers are where expected
    EXPECT_TRUE(ctx.Fp.Valid);
    EXPECT_NE(ctx.Registers.Rip, 0u);
    EXPECT_EQ(ctx.Stack.Start, ctx.Registers.Rsp);
    EXPECT_EQ(ctx.Stack.Top, tops[i]);
    EXPECT_GT(ctx.Stack.Size, 0u);
    EXPECT_LE(ctx.Stack.Size, kStackSnapshotSize);
    EXPECT_TRUE(StackHoldsAddressIn(ctx.Stack, threads[i]->Function));
    EXPECT_FALSE(StackHoldsAddressIn(ctx.Stack, threads[(i + 1) % kThreads]->Function));
  }
  EXPECT_GT(capture.StoppedFor().count(), 0);

  // All of them run on: released by the capture itself (a stopped thread would sit in a futex
  // wait for seconds), they are back in their read and return from it.
  for (auto& t : threads) EXPECT_TRUE(WaitUntilBlockedInRead(t->Tid, 3000)) << "not released: " << t->Tid;
  for (auto& t : threads) {
    t->Finish();
    EXPECT_EQ(t->Result, 1);
  }
}

TEST(ThreadCaptureTest, ThreadThatBlocksTheSignalIsSkippedAndAnswersLaterHarmlessly) {
  TBlockedThread blocking, normal;
  blocking.BlockSignal = true;
  blocking.Start<0>();
  normal.Start<1>();
  const pid_t tids[] = {blocking.Tid, normal.Tid, CurrentThreadId()};
  const uintptr_t tops[] = {blocking.StackTop, normal.StackTop, CurrentStackTop()};

  TThreadCapture capture;
  auto begin = std::chrono::steady_clock::now();
  capture.Capture(tids, tops, std::chrono::milliseconds(100));
  auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(took, std::chrono::milliseconds(100));
  EXPECT_LT(took, std::chrono::seconds(10)) << "the capture hung on the blocking thread";
  ASSERT_EQ(capture.Threads().size(), 3u);
  EXPECT_FALSE(capture.Threads()[0].Captured);
  EXPECT_TRUE(capture.Threads()[1].Captured);
  EXPECT_FALSE(capture.Threads()[2].Captured) << "the capturing thread cannot stop itself";

  // Its signal is delivered once it unblocks it, long after the capture gave up: the late
  // answer must find nothing to fill and let the thread go on; a new capture of it works.
  blocking.Gate.Open();
  blocking.Unblocked.wait(false);
  ASSERT_TRUE(WaitUntilBlockedInRead(blocking.Tid));
  TThreadCapture again;
  CaptureOf(again, {&blocking, &normal}, std::chrono::milliseconds(200));
  for (const TCapturedThread& c : again.Threads()) EXPECT_TRUE(c.Captured);
  EXPECT_TRUE(StackHoldsAddressIn(again.Threads()[0].Context.Stack, blocking.Function));
  EXPECT_TRUE(StackHoldsAddressIn(again.Threads()[1].Context.Stack, normal.Function));

  blocking.Gate.Open();
  blocking.Thread.join();
  EXPECT_EQ(blocking.Result, 1);
  normal.Finish();
  EXPECT_EQ(normal.Result, 1);
}

TEST(ThreadCaptureTest, ExitedThreadIsSkippedAtOnce) {
  pid_t dead = 0;
  std::thread([&] { dead = CurrentThreadId(); }).join();
  const pid_t tids[] = {dead};
  const uintptr_t tops[] = {0};
  TThreadCapture capture;
  auto begin = std::chrono::steady_clock::now();
  capture.Capture(tids, tops, std::chrono::seconds(30));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10)) << "waited for a dead thread";
  EXPECT_FALSE(capture.Threads()[0].Captured);
}

// A thread that counts until stopped.
struct TCounter {
  std::atomic<long> Ticks{0};
  std::atomic<pid_t> Tid{0};
  std::atomic<bool> Stop{false};
  std::thread Thread{[this] {
    Tid = CurrentThreadId();
    while (!Stop) Ticks.fetch_add(1), std::this_thread::sleep_for(std::chrono::microseconds(100));
  }};
  TCounter() {
    while (!Tid) std::this_thread::yield();
  }
  ~TCounter() {
    Stop = true;
    Thread.join();
  }
  bool Moving(std::chrono::milliseconds during = std::chrono::milliseconds(200)) {
    const long before = Ticks;
    std::this_thread::sleep_for(during);
    return Ticks != before;
  }
};

TEST(ThreadPauseTest, HeldUntilResumedWhileOtherThreadsStayCapturable) {
  TCounter held, other;
  const pid_t tids[] = {held.Tid};
  TThreadPause pause;
  ASSERT_EQ(pause.Pause(tids), 1u);
  EXPECT_FALSE(held.Moving());

  // A capture meanwhile takes other slots and leaves the held thread held.
  const pid_t otherTids[] = {other.Tid};
  const uintptr_t tops[] = {0};
  TThreadCapture capture;
  capture.Capture(otherTids, tops);
  EXPECT_TRUE(capture.Threads()[0].Captured);
  EXPECT_TRUE(other.Moving());
  EXPECT_FALSE(held.Moving());

  pause.Resume();
  EXPECT_TRUE(held.Moving());
}

TEST(ThreadPauseTest, HeldThreadGoesOnWhenItsHolderEnds) {
  TCounter held;
  std::thread([&] {
    const pid_t tids[] = {held.Tid};
    static TThreadPause pause;  // not resumed before its holder ends
    EXPECT_EQ(pause.Pause(tids), 1u);
  }).join();
  EXPECT_FALSE(held.Moving(std::chrono::milliseconds(100)));
  EXPECT_TRUE(held.Moving(std::chrono::seconds(3)));
}

}  // namespace
