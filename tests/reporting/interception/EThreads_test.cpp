#include "reporting/interception/EThreads.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unwind.h>

#include <atomic>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/reporting/interception/ThreadTestSupport.h"

// libgcc's lookup of the FDE that covers an address (not in the public unwind header).
struct TEhBases {
  void* TextBase;
  void* DataBase;
  void* Function;
};
extern "C" const void* _Unwind_Find_FDE(void* pc, TEhBases* bases);

namespace {

std::atomic<int> gEscapes{0};
void CountEscape(pid_t) { ++gEscapes; }

thread_local bool tStartHookRan = false;
std::atomic<int> gExitHookRuns{0};
void MarkStart() { tStartHookRan = true; }
void CountExit() { ++gExitHookRuns; }
const bool kHooksAdded = (AddThreadStartHook(&MarkStart), AddThreadExitHook(&CountExit), true);

enum class TEnd { Return, Exit, Cancel };

struct TProbe {
  TPipeGate Release;
  std::atomic<bool> Started{false};
  pid_t Tid = 0;
  uintptr_t Local = 0;
  bool StartHookRan = false;
  uintptr_t ReturnAddress = 0;  // where the routine returns to: the wrapper
  TEnd End = TEnd::Return;

  void WaitStarted() { Started.wait(false); }
};

void* ProbeRoutine(void* param) {
  auto* probe = static_cast<TProbe*>(param);
  int local = 0;
  probe->Tid = CurrentThreadId();
  probe->Local = reinterpret_cast<uintptr_t>(&local);
  probe->StartHookRan = tStartHookRan;
  probe->ReturnAddress = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
  probe->Started.store(true);
  probe->Started.notify_all();
  probe->Release.Wait();  // a cancellation point
  if (probe->End == TEnd::Exit) pthread_exit(&probe->End);
  return probe;
}

}  // namespace

// The creating function the creator stack must name (exported, so its extent is known).
__attribute__((noinline)) int ZelkThreadsTestCreate(pthread_t* thread, void* probe) {
  int rc = TarvexPthreadCreate(&pthread_create, thread, nullptr, &ProbeRoutine, probe);
  asm volatile("" ::: "memory");  // keeps the return address inside this function
  return rc;
}

namespace {

struct TStartedProbe {
  TProbe Probe;
  pthread_t Thread{};
  bool Joined = false;

  explicit TStartedProbe(TEnd end = TEnd::Return) {
    Probe.End = end;
    EXPECT_EQ(ZelkThreadsTestCreate(&Thread, &Probe), 0);
    Probe.WaitStarted();
  }
  void* Join() {
    void* result = nullptr;
    pthread_join(Thread, &result);
    Joined = true;
    return result;
  }
  ~TStartedProbe() {
    if (Joined) return;
    Probe.Release.Open();
    Join();
  }
};

TEST(ThreadRegistryTest, WrappedThreadRecordsItselfWhileRunning) {
  ASSERT_TRUE(kHooksAdded);
  TStartedProbe started;
  const TProbe& probe = started.Probe;
  std::optional<TTarvexThreadRecord> rec = ThreadRegistry().Find(probe.Tid);
  ASSERT_TRUE(rec.has_value());
  EXPECT_TRUE(pthread_equal(rec->ThreadHandle, started.Thread));
  EXPECT_EQ(rec->CreatorThreadID, CurrentThreadId());
  EXPECT_EQ(rec->StartRoutine, reinterpret_cast<void*>(&ProbeRoutine));
  EXPECT_EQ(rec->StartParameter, &started.Probe);
  EXPECT_EQ(rec->ThreadPriority, getpriority(PRIO_PROCESS, 0));  // inherited from its creator
  EXPECT_FALSE(rec->MainThread);
  EXPECT_FALSE(rec->ForeignRecord);
  EXPECT_GT(rec->StackTop, probe.Local);
  EXPECT_LT(rec->StackTop - probe.Local, 64u << 20);
  EXPECT_TRUE(probe.StartHookRan);

  ASSERT_NE(rec->CreatorStack, nullptr);
  const TCreatorStack& creator = *rec->CreatorStack;
  EXPECT_LE(creator.ReturnAddresses.size(), kCreatorReturnAddresses);
  bool named = false;
  for (uintptr_t a : creator.ReturnAddresses) named = named || AddressInFunction(a, (void*)&ZelkThreadsTestCreate);
  EXPECT_TRUE(named) << "no return address inside the creating function";
  EXPECT_GT(creator.Copy.size(), 0u);
  EXPECT_LE(creator.Copy.size(), kStackSnapshotSize);
  EXPECT_EQ(creator.Top, CurrentStackTop());
  EXPECT_TRUE(StackHoldsAddressIn(creator.View(), (void*)&ZelkThreadsTestCreate))
      << "the stack copy does not hold the creating call's return address";

  // What the framework bridge does once it knows the thread's object.
  int object = 0;
  EXPECT_TRUE(ThreadRegistry().Update(probe.Tid, [&](TTarvexThreadRecord& r) { r.ThreadObject = &object; }));
  EXPECT_EQ(ThreadRegistry().Find(probe.Tid)->ThreadObject, &object);
  EXPECT_FALSE(ThreadRegistry().Update(-1, [](TTarvexThreadRecord&) {}));
}

TEST(ThreadRegistryTest, UnwinderSeesTheWrapperAsTheRoutinesCaller) {
  // The raise analysis recognises the wrapper's catch by the function the unwinder reports.
  TStartedProbe started;
  TEhBases bases{};
  ASSERT_NE(_Unwind_Find_FDE(reinterpret_cast<void*>(started.Probe.ReturnAddress - 1), &bases), nullptr);
  EXPECT_EQ(bases.Function, ThreadWrapperFunction());
}

TEST(ThreadRegistryTest, RecordRemovedAndExitHooksRunOnEveryExitPath) {
  struct TCase {
    const char* Name;
    TEnd End;
  };
  const TCase cases[] = {{"return", TEnd::Return}, {"pthread_exit", TEnd::Exit}, {"cancel", TEnd::Cancel}};
  SetThreadEscapeHandler(&CountEscape);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    gEscapes = 0;
    int exitsBefore = gExitHookRuns;
    TStartedProbe started(c.End);
    EXPECT_TRUE(ThreadRegistry().Find(started.Probe.Tid).has_value());
    if (c.End == TEnd::Cancel) {
      WaitUntilBlockedInRead(started.Probe.Tid);
      pthread_cancel(started.Thread);
    } else {
      started.Probe.Release.Open();
    }
    void* result = started.Join();
    void* expected = c.End == TEnd::Cancel ? PTHREAD_CANCELED
                     : c.End == TEnd::Exit ? static_cast<void*>(&started.Probe.End)
                                           : &started.Probe;
    EXPECT_EQ(result, expected);
    EXPECT_FALSE(ThreadRegistry().Find(started.Probe.Tid).has_value());
    EXPECT_EQ(gExitHookRuns - exitsBefore, 1);
    EXPECT_EQ(gEscapes, 0) << "a forced unwind was reported as an escaping exception";
  }
  SetThreadEscapeHandler(nullptr);
}

TEST(ThreadRegistryTest, SnapshotKeepsCreatorStackAfterTheThreadExits) {
  std::vector<TTarvexThreadRecord> snapshot;
  pid_t tid = 0;
  {
    TStartedProbe started;
    tid = started.Probe.Tid;
    snapshot = ThreadRegistry().Snapshot();
  }
  EXPECT_FALSE(ThreadRegistry().Find(tid).has_value());
  auto it = std::find_if(snapshot.begin(), snapshot.end(), [&](const auto& r) { return r.ThreadID == tid; });
  ASSERT_NE(it, snapshot.end());
  ASSERT_NE(it->CreatorStack, nullptr);
  EXPECT_EQ(it->CreatorStack.use_count(), 1);  // the snapshot is the last owner
  // Read it all: AddressSanitizer reports it if the exit freed it.
  TStackCopyView view = it->CreatorStack->View();
  EXPECT_TRUE(StackHoldsAddressIn(view, (void*)&ZelkThreadsTestCreate));
}

TEST(ThreadRegistryTest, RemoveDeadDropsOnlyExitedThreads) {
  pid_t dead = 0;
  std::thread([&] { dead = CurrentThreadId(); }).join();
  auto record = [](pid_t tid) {
    TTarvexThreadRecord r;
    r.ThreadID = tid;
    return r;
  };
  TTarvexThreadsList list;
  list.Add(record(dead));
  list.Add(record(CurrentThreadId()));
  list.Add(record(dead));  // replaces, does not duplicate
  EXPECT_EQ(list.Count(), 2u);
  list.RemoveDead();
  EXPECT_FALSE(list.Find(dead).has_value());
  EXPECT_TRUE(list.Find(CurrentThreadId()).has_value());
  EXPECT_EQ(list.Count(), 1u);
}

TEST(ThreadRegistryTest, SelfRegisteredThreadIsRemovedWhenItEnds) {
  pid_t tid = 0;
  bool registeredWhileRunning = false;
  uintptr_t local = 0;
  std::thread t([&] {
    int x = 0;
    local = reinterpret_cast<uintptr_t>(&x);
    RegisterCurrentThread(false);
    tid = CurrentThreadId();
    auto rec = ThreadRegistry().Find(tid);
    registeredWhileRunning = rec && rec->StackTop > local && !rec->MainThread && !rec->CreatorStack;
  });
  t.join();
  EXPECT_TRUE(registeredWhileRunning);
  EXPECT_FALSE(ThreadRegistry().Find(tid).has_value());
}

TEST(ThreadRegistryTest, ThreadsOfTheLayerAreNotRegistered) {
  TProbe probe;
  pthread_t thread;
  {
    TLayerThreadScope scope;
    ASSERT_EQ(TarvexPthreadCreate(&pthread_create, &thread, nullptr, &ProbeRoutine, &probe), 0);
  }
  probe.WaitStarted();
  EXPECT_FALSE(ThreadRegistry().Find(probe.Tid).has_value());
  EXPECT_FALSE(probe.StartHookRan);
  probe.Release.Open();
  pthread_join(thread, nullptr);
}

TEST(ThreadRegistryTest, PriorityIsTheNiceValueOfTheThread) {
  pid_t dead = 0;
  int32_t seen = 0;
  std::thread([&] {
    dead = CurrentThreadId();
    setpriority(PRIO_PROCESS, 0, getpriority(PRIO_PROCESS, 0) + 3);  // only this thread
    seen = ThreadPriorityOf(dead);
  }).join();
  EXPECT_EQ(seen, getpriority(PRIO_PROCESS, 0) + 3);
  EXPECT_EQ(ThreadPriorityOf(dead), INT32_MIN);
}

int gEscapeOutput = -1;

void WriteEscape(pid_t tid) {
  std::string text = "escape:";
  try {
    std::rethrow_exception(std::current_exception());
  } catch (const std::exception& e) {
    text += e.what();
  }
  text += tid == CurrentThreadId() ? ":own thread\n" : ":other thread\n";
  (void)!write(gEscapeOutput, text.data(), text.size());
}

void* ThrowingRoutine(void*) { throw std::runtime_error("boom"); }

TEST(ThreadEscapeTest, EscapingExceptionIsReportedOnceAndStillEndsTheProcess) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(10);
    close(fds[0]);
    gEscapeOutput = fds[1];
    SetThreadEscapeHandler(&WriteEscape);
    pthread_t thread;
    if (TarvexPthreadCreate(&pthread_create, &thread, nullptr, &ThrowingRoutine, nullptr) == 0)
      pthread_join(thread, nullptr);
    _exit(0);
  }
  close(fds[1]);
  std::string output;
  char buf[256];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) output.append(buf, n);
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << "status " << status;
  EXPECT_EQ(output, "escape:boom:own thread\n");
}

}  // namespace
