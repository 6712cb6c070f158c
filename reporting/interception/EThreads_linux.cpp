// Thread registration on Linux: the wrapped start routine, the pthread_key destructor that
// removes a record on every exit path, and the creator's stack at creation.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unwind.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <exception>

#include "reporting/interception/EThreadContext.h"
#include "reporting/interception/EThreads.h"

namespace {

constexpr size_t kMaxHooks = 4;

// Key values: a registered thread, and a wrapped one whose start hooks ran.
void* const kRegistered = reinterpret_cast<void*>(1);
void* const kWrapped = reinterpret_cast<void*>(2);

struct THookList {
  std::atomic<TThreadHook> Hooks[kMaxHooks] = {};
  std::atomic<size_t> Count{0};

  void Add(TThreadHook hook) {
    static std::atomic_flag busy = ATOMIC_FLAG_INIT;  // adding is rare; a spin suffices
    while (busy.test_and_set(std::memory_order_acquire)) {
    }
    size_t n = Count.load(std::memory_order_relaxed);
    bool known = false;
    for (size_t i = 0; i < n; ++i) known = known || Hooks[i].load(std::memory_order_relaxed) == hook;
    if (!known && n < kMaxHooks && hook) {
      Hooks[n].store(hook, std::memory_order_relaxed);
      Count.store(n + 1, std::memory_order_release);
    }
    busy.clear(std::memory_order_release);
  }
  void Run() const {
    size_t n = Count.load(std::memory_order_acquire);
    for (size_t i = 0; i < n; ++i)
      if (TThreadHook h = Hooks[i].load(std::memory_order_relaxed)) h();
  }
};

THookList& StartHooks() {
  static THookList list;
  return list;
}
THookList& ExitHooks() {
  static THookList list;
  return list;
}

std::atomic<TThreadEscapeHandler> gEscapeHandler{nullptr};
thread_local int tLayerScopeDepth = 0;
thread_local uintptr_t tStackTop = 0;
thread_local uintptr_t tStackBottom = 0;  // lowest address, known with tStackTop

void OnThreadExit(void* value) {
  int savedErrno = errno;
  try {
    ThreadRegistry().Remove(CurrentThreadId());
  } catch (...) {
    // A lock that cannot be taken leaves a dead record, which RemoveDead drops later.
  }
  if (value == kWrapped) ExitHooks().Run();
  errno = savedErrno;
}

pthread_key_t ExitKey() {
  static pthread_key_t key = [] {
    pthread_key_t k{};
    pthread_key_create(&k, &OnThreadExit);
    return k;
  }();
  return key;
}

// Everything a wrapped thread needs from its creator; freed by the thread once registered.
struct TStartBlock {
  void* (*Start)(void*) = nullptr;
  void* Arg = nullptr;
  pid_t CreatorThreadID = 0;
  std::shared_ptr<const TCreatorStack> CreatorStack;
};

struct TBacktrace {
  uintptr_t* Out;
  size_t Count;
  size_t Max;
  int Skip;
};

_Unwind_Reason_Code CollectFrame(_Unwind_Context* context, void* arg) {
  auto* bt = static_cast<TBacktrace*>(arg);
  uintptr_t ip = _Unwind_GetIP(context);
  if (ip == 0) return _URC_END_OF_STACK;
  if (bt->Skip > 0) {
    --bt->Skip;
    return _URC_NO_REASON;
  }
  bt->Out[bt->Count++] = ip;
  return bt->Count == bt->Max ? _URC_END_OF_STACK : _URC_NO_REASON;
}

// The calling thread's return addresses (this function's own frame left out) and its stack
// from here up to its top.
__attribute__((noinline)) std::shared_ptr<const TCreatorStack> CaptureCreatorStack() {
  auto stack = std::make_shared<TCreatorStack>();
  uintptr_t addresses[kCreatorReturnAddresses];
  TBacktrace bt{addresses, 0, kCreatorReturnAddresses, 1};
  _Unwind_Backtrace(&CollectFrame, &bt);
  stack->ReturnAddresses.assign(addresses, addresses + bt.Count);

  uintptr_t sp;
  asm volatile("mov %%rsp, %0" : "=r"(sp));
  uintptr_t top = CurrentStackTop();
  if (top > sp) {
    size_t size = std::min<size_t>(top - sp, kStackSnapshotSize);
    stack->Copy.resize(size);
    stack->Copy.resize(CopyOwnMemory(sp, size, stack->Copy.data()));
    stack->Start = sp;
    stack->Top = top;
  }
  return stack;
}

// Kept out of the wrapper so that no catch block of the wrapper covers the layer's own work.
void RegisterWrappedThread(TStartBlock& block) noexcept {
  try {
    TTarvexThreadRecord rec;
    rec.ThreadID = CurrentThreadId();
    rec.ThreadHandle = pthread_self();
    rec.CreatorThreadID = block.CreatorThreadID;
    rec.ThreadPriority = ThreadPriorityOf(rec.ThreadID);
    rec.StackTop = CurrentStackTop();
    rec.StartRoutine = reinterpret_cast<void*>(block.Start);
    rec.StartParameter = block.Arg;
    rec.CreatorStack = std::move(block.CreatorStack);
    ThreadRegistry().Add(std::move(rec));
  } catch (...) {
    // Unregistered, the thread still runs: it is only missing from reports.
  }
  pthread_setspecific(ExitKey(), kWrapped);
}

void ReportEscape(pid_t tid) noexcept {
  TThreadEscapeHandler handler = gEscapeHandler.load(std::memory_order_acquire);
  if (!handler) return;
  try {
    handler(tid);
  } catch (...) {
  }
}

// A forced unwind does not clear AddressSanitizer's poison of the frames it removes, and the
// sanitizer's own check before the rethrow then trips over it below this frame.
#if defined(__SANITIZE_ADDRESS__)
__attribute__((noinline)) void ClearStalePoisonBelowHere() {
  auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  if (tStackBottom != 0 && tStackBottom < here)
    __asan_unpoison_memory_region(reinterpret_cast<void*>(tStackBottom), here - tStackBottom);
}
#else
void ClearStalePoisonBelowHere() {}
#endif

// The start routine of every wrapped thread. Its catch (...) is registered with the raise
// analysis as the layer's, so an exception reaching it counts as not caught by the
// application; it is reported once and thrown on, and the thread ends as it would have.
__attribute__((noinline)) void* ThreadWrapper(void* param) {
  auto* block = static_cast<TStartBlock*>(param);
  void* (*start)(void*) = block->Start;
  void* arg = block->Arg;
  RegisterWrappedThread(*block);
  delete block;
  StartHooks().Run();
  try {
    return start(arg);
  } catch (...) {
    // Cancellation and pthread_exit unwind with abi::__forced_unwind, which has no object, so
    // current_exception() is empty for it (as for any foreign exception); binding a reference
    // to it in a catch clause of its own would bind to null. The key destructor removes the
    // record on that path.
    if (std::current_exception())
      ReportEscape(CurrentThreadId());
    else
      ClearStalePoisonBelowHere();
    throw;
  }
}

}  // namespace

// Not cached: a forked child's thread would keep its parent's id.
pid_t CurrentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

uintptr_t CurrentStackTop() {
  if (tStackTop != 0) return tStackTop;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  void* addr = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr) {
    tStackBottom = reinterpret_cast<uintptr_t>(addr);
    tStackTop = tStackBottom + size;
  }
  pthread_attr_destroy(&attr);
  return tStackTop;
}

int32_t ThreadPriorityOf(pid_t tid) {
  int savedErrno = errno;
  int32_t result = INT32_MIN;
  int policy = sched_getscheduler(tid);
  if (policy >= 0) {
    policy &= ~SCHED_RESET_ON_FORK;
    if (policy == SCHED_FIFO || policy == SCHED_RR) {
      sched_param param{};
      if (sched_getparam(tid, &param) == 0) result = param.sched_priority;
    } else {
      errno = 0;
      int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));  // per thread on Linux
      if (!(nice == -1 && errno != 0)) result = nice;
    }
  }
  errno = savedErrno;
  return result;
}

namespace {

// Whether /proc shows the thread as gone or on its way out. A joined thread's id stays
// signalable for a while: the kernel wakes the joiner before the task is released, and a
// signal sent meanwhile is accepted but never delivered. Reads into the stack only.
bool ProcShowsExiting(pid_t tid) {
  char path[48] = "/proc/self/task/";
  char* at = std::to_chars(path + std::strlen(path), path + sizeof path - 6, tid).ptr;
  std::memcpy(at, "/stat", 6);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ESRCH;
  char buf[512];
  ssize_t got = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (got <= 0) return got == 0 || errno == ESRCH;
  buf[got] = 0;
  // "tid (comm) S ppid pgrp session tty tpgid flags ...": comm may hold anything, so parse
  // from its last parenthesis.
  const char* p = std::strrchr(buf, ')');
  if (!p || p[1] != ' ') return false;
  const char state = p[2];
  if (state == 'Z' || state == 'X' || state == 'x') return true;
  p += 3;
  for (int field = 0; field < 5; ++field) {  // ppid pgrp session tty tpgid
    p = std::strchr(p + 1, ' ');
    if (!p) return false;
  }
  unsigned long flags = 0;
  std::from_chars(p + 1, buf + got, flags);
  constexpr unsigned long kExiting = 0x4;  // PF_EXITING
  return (flags & kExiting) != 0;
}

}  // namespace

bool ThreadExists(pid_t tid) {
  int savedErrno = errno;
  bool exists = syscall(SYS_tgkill, getpid(), tid, 0) == 0 || errno != ESRCH;
  if (exists) exists = !ProcShowsExiting(tid);
  errno = savedErrno;
  return exists;
}

void RegisterCurrentThread(bool mainThread) {
  TTarvexThreadRecord rec;
  rec.ThreadID = CurrentThreadId();
  rec.ThreadHandle = pthread_self();
  rec.ThreadPriority = ThreadPriorityOf(rec.ThreadID);
  rec.StackTop = CurrentStackTop();
  rec.MainThread = mainThread;
  ThreadRegistry().Add(std::move(rec));
  if (pthread_getspecific(ExitKey()) == nullptr) pthread_setspecific(ExitKey(), kRegistered);
}

void UnregisterCurrentThread() { ThreadRegistry().Remove(CurrentThreadId()); }

int TarvexPthreadCreate(TPthreadCreate original, pthread_t* thread, const pthread_attr_t* attr,
                        void* (*start)(void*), void* arg) {
  if (tLayerScopeDepth > 0 || start == nullptr) return original(thread, attr, start, arg);
  int savedErrno = errno;
  TStartBlock* block = nullptr;
  try {
    ThreadRegistry().RemoveDead();
    block = new TStartBlock;
    block->Start = start;
    block->Arg = arg;
    block->CreatorThreadID = CurrentThreadId();
    block->CreatorStack = CaptureCreatorStack();
    ExitKey();
  } catch (...) {
    delete block;
    errno = savedErrno;
    return original(thread, attr, start, arg);
  }
  errno = savedErrno;
  int rc = original(thread, attr, &ThreadWrapper, block);
  if (rc != 0) delete block;
  return rc;
}

TLayerThreadScope::TLayerThreadScope() { ++tLayerScopeDepth; }
TLayerThreadScope::~TLayerThreadScope() { --tLayerScopeDepth; }

void AddThreadStartHook(TThreadHook hook) { StartHooks().Add(hook); }
void AddThreadExitHook(TThreadHook hook) { ExitHooks().Add(hook); }

void SetThreadEscapeHandler(TThreadEscapeHandler handler) { gEscapeHandler.store(handler, std::memory_order_release); }

const void* ThreadWrapperFunction() { return reinterpret_cast<const void*>(&ThreadWrapper); }
