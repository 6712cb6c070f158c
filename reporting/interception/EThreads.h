// The thread registry: one record per thread the layer knows (the main thread and every
// thread started through pthread_create once the layer is installed), guarded by a
// multiple-reader single-writer lock. A snapshot shares ownership of the creator stack copies,
// so a thread that exits during a report cannot free what the report reads.
//
// A wrapped thread registers itself when it starts (only then is its kernel thread id known)
// and a pthread_key destructor removes its record on every exit path: return, pthread_exit,
// cancellation. An exception escaping the routine ends the process through std::terminate, as
// it would without the layer.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "reporting/interception/EContext.h"

// The creator's stack when it started a thread: its unwound return addresses, and a copy of
// its stack from the creating call up to its stack top (at most kStackSnapshotSize bytes).
struct TCreatorStack {
  std::vector<uintptr_t> ReturnAddresses;
  uintptr_t Start = 0;  // address of Copy[0]
  uintptr_t Top = 0;
  std::vector<uint8_t> Copy;
  TStackCopyView View() const { return {Start, Top, Copy.size(), Copy.data()}; }
};

// The most return addresses kept of a creator's stack.
constexpr size_t kCreatorReturnAddresses = 64;

struct TTarvexThreadRecord {
  pid_t ThreadID = 0;
  pthread_t ThreadHandle{};
  pid_t CreatorThreadID = 0;
  int32_t ThreadPriority = INT32_MIN;  // 0x80000000 until known
  void* ThreadObject = nullptr;        // the framework's thread object (a QThread), if any
  uintptr_t StackTop = 0;
  void* StartRoutine = nullptr;
  void* StartParameter = nullptr;
  std::shared_ptr<const TCreatorStack> CreatorStack;
  bool ForeignRecord = false;
  bool MainThread = false;
};

class TTarvexThreadsList {
 public:
  // Adds or replaces the record of rec.ThreadID.
  void Add(TTarvexThreadRecord rec);
  void Remove(pid_t tid);
  std::optional<TTarvexThreadRecord> Find(pid_t tid) const;
  // Applies `update` to the record of `tid` under the write lock; false when there is none.
  template <class F>
  bool Update(pid_t tid, F&& update);
  // Copies of every record, in registration order.
  std::vector<TTarvexThreadRecord> Snapshot() const;
  // Removes records of threads that no longer exist (tgkill(pid, tid, 0) fails with ESRCH).
  // The threads are probed outside the lock.
  void RemoveDead();
  size_t Count() const;
  void Clear();

 private:
  bool UpdateImpl(pid_t tid, void (*fn)(TTarvexThreadRecord&, void*), void* ctx);
  struct Impl;
  std::shared_ptr<Impl> impl_ = MakeImpl();
  static std::shared_ptr<Impl> MakeImpl();
};

template <class F>
bool TTarvexThreadsList::Update(pid_t tid, F&& update) {
  return UpdateImpl(
      tid, [](TTarvexThreadRecord& r, void* c) { (*static_cast<std::remove_reference_t<F>*>(c))(r); }, &update);
}

// The process's registry. Never destroyed: threads may still exit while statics are torn down.
TTarvexThreadsList& ThreadRegistry();

// Registers the calling thread (tid, pthread_self, stack top from pthread_getattr_np, priority
// from its policy and nice value) and arranges, through a pthread_key destructor, that its
// record is removed on every exit path. Used for the main thread at start-up.
void RegisterCurrentThread(bool mainThread);
// Removes the calling thread's record (the exit forwarded by another module's copy of the
// layer). pthread_exit itself needs no interception: the key destructor runs on that path.
void UnregisterCurrentThread();
pid_t CurrentThreadId();
// Top of the calling thread's stack (highest address); 0 when unknown. Cached per thread.
uintptr_t CurrentStackTop();
// The scheduling priority as recorded: policy priority for real-time policies, else the nice
// value; INT32_MIN when the thread cannot be asked.
int32_t ThreadPriorityOf(pid_t tid);
// Whether a thread of this process with that id still exists and is not exiting (tgkill with
// signal 0, then its /proc state). Async-signal-safe; allocates nothing.
bool ThreadExists(pid_t tid);

// pthread_create as the layer runs it. `original` is the real pthread_create (the
// trampoline). Dead records are removed first. The start routine is wrapped: the new thread
// registers itself (creator tid, start routine, parameter, creator stack: up to 64 return
// addresses and the stack copy from the creating call), calls the per-thread start hooks,
// runs the routine inside a catch of its own that reports an escaping exception once through
// the escape handler, and is removed from the registry when it ends. A failure to prepare the
// wrapper falls back to the unwrapped call; so does a creation inside TLayerThreadScope.
using TPthreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int TarvexPthreadCreate(TPthreadCreate original, pthread_t* thread, const pthread_attr_t* attr,
                        void* (*start)(void*), void* arg);

// While an instance lives, the threads the calling thread creates are the layer's own: they
// are started unwrapped and never registered (so never stopped or scanned for a report).
class TLayerThreadScope {
 public:
  TLayerThreadScope();
  ~TLayerThreadScope();
  TLayerThreadScope(const TLayerThreadScope&) = delete;
  TLayerThreadScope& operator=(const TLayerThreadScope&) = delete;
};

// Called in each wrapped thread before its routine runs, and when it ends (alternate signal
// stack set-up); the exit hooks run from the key destructor, so on every exit path. At most 4
// of each; adding the same hook twice is a no-op.
using TThreadHook = void (*)();
void AddThreadStartHook(TThreadHook hook);
void AddThreadExitHook(TThreadHook hook);

// Receives an exception that escapes a wrapped thread's routine (called inside the wrapper's
// catch block, so std::current_exception() is it). The wrapper rethrows afterwards, as the
// thread would have seen it without the layer. Cancellation and pthread_exit unwinding
// (abi::__forced_unwind) never reach it. Unset: nothing is reported.
using TThreadEscapeHandler = void (*)(pid_t tid);
void SetThreadEscapeHandler(TThreadEscapeHandler handler);

// The function whose catch block is the thread wrapper's (registered with the raise analysis
// as the layer's own catch).
const void* ThreadWrapperFunction();
