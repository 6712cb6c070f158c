// Fatal signal handlers, the signal thread they hand over to, and the per-thread alternate
// stacks. Everything the handler touches is prepared beforehand: one static record, the
// previous dispositions, and, per thread, a page above its alternate stack with its stack
// bounds. The handler reads foreign memory only through process_vm_readv, which fails where a
// plain read would fault.
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>

#include "reporting/interception/ESignals.h"

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kSignalCount = std::size(kSignals);
constexpr uintptr_t kPage = 4096;
constexpr size_t kMinAltStackSize = 128 * 1024;
// The kernel keeps this gap below the main thread's growable stack (stack_guard_gap).
constexpr uintptr_t kMainStackGuardGap = 1024 * 1024;

int SignalIndex(int sig) {
  for (size_t i = 0; i < kSignalCount; ++i)
    if (kSignals[i] == sig) return static_cast<int>(i);
  return -1;
}

pid_t Gettid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// ---- Per-thread facts, in the page just above the thread's alternate stack -------------------
// Found through sigaltstack alone: a thread_local in a shared object may allocate on first use.

constexpr uint64_t kAltStackMagic = 0x4B5453544C415A45ULL;

struct TAltStackInfo {
  uint64_t Magic = 0;
  uintptr_t StackLow = 0;   // lowest usable address of the thread's own stack, 0 when unknown
  uintptr_t StackTop = 0;
  uintptr_t GuardSize = 0;  // the extent below StackLow that counts as the guard area
  stack_t Previous{};       // the alternate stack the thread had before
  void* Map = nullptr;
  size_t MapSize = 0;
};

// Copies `size` bytes at `address` into `out`, page by page so that a partial copy stops at the
// first unreadable page; returns the bytes copied.
size_t ReadMemory(uintptr_t address, void* out, size_t size) {
  iovec remote[kStackSnapshotSize / kPage + 2];
  size_t count = 0;
  for (uintptr_t a = address, end = address + size; a < end && count < std::size(remote);) {
    const uintptr_t next = std::min((a & ~(kPage - 1)) + kPage, end);
    remote[count++] = {reinterpret_cast<void*>(a), next - a};
    a = next;
  }
  iovec local{out, size};
  const ssize_t got = ::process_vm_readv(::getpid(), &local, 1, remote, count, 0);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

// The calling thread's info when its alternate stack is one of ours.
bool ReadAltStackInfo(const stack_t& ss, TAltStackInfo* info) {
  if ((ss.ss_flags & SS_DISABLE) || !ss.ss_sp) return false;
  const uintptr_t at = reinterpret_cast<uintptr_t>(ss.ss_sp) + ss.ss_size;
  return ReadMemory(at, info, sizeof *info) == sizeof *info && info->Magic == kAltStackMagic &&
         static_cast<char*>(info->Map) + kPage == ss.ss_sp;
}

size_t AltStackSize() {
  size_t size = kMinAltStackSize;
  const long least = ::sysconf(_SC_SIGSTKSZ);  // grows with the processor's register state
  if (least > 0) size = std::max(size, static_cast<size_t>(least) * 4);
  return (size + kPage - 1) & ~(kPage - 1);
}

// ---- The record and the hand-over -------------------------------------------------------------

struct TRecord {
  TSignalReport Report;
  alignas(64) uint8_t Stack[kStackSnapshotSize];
};
TRecord gRecord;

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "futex words");
static_assert(sizeof(*mcontext_t{}.fpregs) == sizeof(TFpState{}.FxSave), "FXSAVE image");

// The thread whose fault is in the record, 0 when free.
std::atomic<int> gOwner{0};
// The record's state, each change followed by a wake.
enum : int { kIdle = 0, kReady = 1, kDone = 2, kStopped = 3 };
std::atomic<int> gState{kStopped};

std::atomic<TSignalCallback> gCallback{nullptr};
std::atomic<pid_t> gSignalTid{0};
std::atomic<bool> gSuppressAbort{false};
struct sigaction gPrevious[kSignalCount];

// The last processor fault reported whose chained handler returned: without a repair the
// instruction faults again, which is the same exception. (A handler that leaves by siglongjmp
// does not return here, and the next fault at the same place is a new one.)
struct {
  std::atomic<pid_t> Tid{0};
  std::atomic<int> Signal{0};
  std::atomic<uintptr_t> Rip{0}, Address{0};
} gLastFault;

std::mutex gInstallMutex;
bool gHandlersInstalled = false;
bool gThreadRunning = false;
pthread_t gThread{};

void FutexWait(std::atomic<int>& word, int expected) {
  ::syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}
void FutexWake(std::atomic<int>& word) {
  ::syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// False when this thread holds the record already (a fault while its own report is made).
bool AcquireRecord(pid_t tid) {
  for (;;) {
    int owner = 0;
    if (gOwner.compare_exchange_strong(owner, tid)) return true;
    if (owner == tid) return false;
    FutexWait(gOwner, owner);
  }
}

void ReleaseRecord() {
  gOwner.store(0);
  FutexWake(gOwner);
}

void SetState(int state) {
  gState.store(state);
  FutexWake(gState);
}

bool IsStackOverflow(const siginfo_t* info, uintptr_t rsp, const TAltStackInfo* alt) {
  if (!alt || alt->StackLow == 0) return false;
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  if (address >= alt->StackLow) return false;
  if (address >= alt->StackLow - std::min(alt->GuardSize, alt->StackLow)) return true;
  // A frame larger than the guard: the stack pointer has left the stack and the access is next to it.
  return rsp < alt->StackLow && address + kPage >= rsp && address < rsp + kPage;
}

void FillRecord(int sig, const siginfo_t* info, const ucontext_t* uc, pid_t tid, bool raised,
                const TAltStackInfo* alt) {
  TSignalReport& r = gRecord.Report;
  r.Signal = sig;
  std::memcpy(&r.Info, info, sizeof r.Info);
  r.Raised = raised;
  const greg_t* g = uc->uc_mcontext.gregs;
  r.ErrorCode = raised ? 0 : static_cast<uint64_t>(g[REG_ERR]);

  TCpuRegisters& regs = r.Context.Registers;
  regs.Rax = g[REG_RAX], regs.Rbx = g[REG_RBX], regs.Rcx = g[REG_RCX], regs.Rdx = g[REG_RDX];
  regs.Rsi = g[REG_RSI], regs.Rdi = g[REG_RDI], regs.Rbp = g[REG_RBP], regs.Rsp = g[REG_RSP];
  regs.R8 = g[REG_R8], regs.R9 = g[REG_R9], regs.R10 = g[REG_R10], regs.R11 = g[REG_R11];
  regs.R12 = g[REG_R12], regs.R13 = g[REG_R13], regs.R14 = g[REG_R14], regs.R15 = g[REG_R15];
  regs.Rip = g[REG_RIP], regs.EFlags = g[REG_EFL];
  const auto segments = static_cast<uint64_t>(g[REG_CSGSFS]);  // cs, gs, fs, ss: 16 bits each
  regs.Cs = static_cast<uint16_t>(segments), regs.Gs = static_cast<uint16_t>(segments >> 16);
  regs.Fs = static_cast<uint16_t>(segments >> 32), regs.Ss = static_cast<uint16_t>(segments >> 48);
  regs.Valid = regs.Full = true;

  // fpregs points into the signal frame: copied, never kept.
  r.Context.Fp.Valid = uc->uc_mcontext.fpregs != nullptr;
  if (r.Context.Fp.Valid) std::memcpy(r.Context.Fp.FxSave, uc->uc_mcontext.fpregs, sizeof r.Context.Fp.FxSave);
  else std::memset(r.Context.Fp.FxSave, 0, sizeof r.Context.Fp.FxSave);
  r.Context.ThreadID = tid;

  r.StackOverflow = sig == SIGSEGV && !raised && IsStackOverflow(info, regs.Rsp, alt);

  // The stack from the stack pointer up to the thread's top; an overflowed stack from its low
  // end (the stack pointer is in the guard). An unknown stack: as far up as is readable.
  uintptr_t start = regs.Rsp, top = 0;
  if (alt && alt->StackLow != 0 && regs.Rsp < alt->StackTop && (regs.Rsp >= alt->StackLow || r.StackOverflow)) {
    start = std::max<uintptr_t>(regs.Rsp, alt->StackLow);
    top = alt->StackTop;
  }
  const size_t want = top ? std::min<size_t>(top - start, kStackSnapshotSize) : kStackSnapshotSize;
  r.Context.Stack.Start = start;
  r.Context.Stack.Top = top;
  r.Context.Stack.Size = ReadMemory(start, gRecord.Stack, want);
  r.Context.Stack.Bytes = gRecord.Stack;
}

// Copies the fault into the record, hands it to the signal thread and waits for the callback.
// False when it was not reported.
bool Report(int sig, const siginfo_t* info, const ucontext_t* uc, pid_t tid, bool raised,
            const TAltStackInfo* alt) {
  if (!AcquireRecord(tid)) return false;
  const auto rip = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  if (!raised && gLastFault.Tid.load() == tid && gLastFault.Signal.load() == sig && gLastFault.Rip.load() == rip &&
      gLastFault.Address.load() == address) {
    ReleaseRecord();
    return false;
  }
  if (gState.load() != kIdle) {  // stopped
    ReleaseRecord();
    return false;
  }
  FillRecord(sig, info, uc, tid, raised, alt);
  int idle = kIdle;
  if (!gState.compare_exchange_strong(idle, kReady)) {
    ReleaseRecord();
    return false;
  }
  FutexWake(gState);
  for (int s; (s = gState.load()) == kReady;) FutexWait(gState, s);
  SetState(kIdle);
  ReleaseRecord();
  return true;
}

// The disposition in effect before ours takes over: its handler, or the signal's own course.
void Chain(int sig, siginfo_t* info, void* context, pid_t tid, bool raised) {
  const int index = SignalIndex(sig);
  const struct sigaction previous = gPrevious[index];
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    if (previous.sa_flags & SA_RESETHAND) {
      struct sigaction dfl {};
      dfl.sa_handler = SIG_DFL;
      ::sigaction(sig, &dfl, nullptr);
    }
    sigset_t mask = previous.sa_mask, old;
    if (!(previous.sa_flags & SA_NODEFER)) sigaddset(&mask, sig);
    ::pthread_sigmask(SIG_BLOCK, &mask, &old);
    if (previous.sa_flags & SA_SIGINFO) previous.sa_sigaction(sig, info, context);
    else previous.sa_handler(sig);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return;
  }
  if (previous.sa_handler == SIG_IGN && raised) return;  // a sent signal that was being ignored
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(sig, &dfl, nullptr);
  // A sent signal is sent again (delivered when the handler returns); a processor fault happens
  // again when the instruction is executed again.
  if (raised) ::syscall(SYS_tgkill, ::getpid(), tid, sig);
}

void Handler(int sig, siginfo_t* info, void* context) {
  const int savedErrno = errno;
  const auto* uc = static_cast<const ucontext_t*>(context);
  const pid_t tid = Gettid();
  const bool raised = info->si_code <= 0 || sig == SIGABRT;

  stack_t ss{};
  TAltStackInfo alt;
  const bool haveAlt = ::sigaltstack(nullptr, &ss) == 0 && ReadAltStackInfo(ss, &alt);
  // Interrupted while already running on the alternate stack: inside a handler (the chained
  // one, say), whose fault belongs to the exception being handled.
  const auto rsp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
  const bool nested = !(ss.ss_flags & SS_DISABLE) && rsp >= reinterpret_cast<uintptr_t>(ss.ss_sp) &&
                      rsp < reinterpret_cast<uintptr_t>(ss.ss_sp) + ss.ss_size;

  bool report = gCallback.load() != nullptr && tid != gSignalTid.load() && !nested;
  if (report && sig == SIGABRT && gSuppressAbort.exchange(false)) report = false;
  const bool reported = report && Report(sig, info, uc, tid, raised, haveAlt ? &alt : nullptr);

  errno = savedErrno;
  Chain(sig, info, context, tid, raised);
  if (reported && !raised) {
    gLastFault.Tid = tid, gLastFault.Signal = sig;
    gLastFault.Rip = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
    gLastFault.Address = reinterpret_cast<uintptr_t>(info->si_addr);
  }
  errno = savedErrno;
}

void* SignalThreadMain(void*) {
  gSignalTid.store(Gettid());
  for (;;) {
    const int s = gState.load();
    if (s == kStopped) break;
    if (s != kReady) {
      FutexWait(gState, s);
      continue;
    }
    if (TSignalCallback callback = gCallback.load()) {
      try {
        callback(gRecord.Report);
      } catch (...) {
        // the faulting thread must go on to its end whatever the callback did
      }
    }
    SetState(kDone);
  }
  return nullptr;
}

bool StartSignalThread() {
  // Every signal blocked but the processor faults: the signal thread takes none meant for the
  // application's threads and is never stopped for a report.
  sigset_t blocked, old;
  sigfillset(&blocked);
  for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) sigdelset(&blocked, sig);
  gState.store(kIdle);
  ::pthread_sigmask(SIG_SETMASK, &blocked, &old);
  const int rc = ::pthread_create(&gThread, nullptr, SignalThreadMain, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rc != 0) {
    gState.store(kStopped);
    return false;
  }
  pthread_setname_np(gThread, "tarvex-signals");
  while (gSignalTid.load() == 0) ::sched_yield();
  return true;
}

void StopSignalThread() {
  // Waits for a report in progress to end.
  for (int idle = kIdle; !gState.compare_exchange_strong(idle, kStopped); idle = kIdle) ::usleep(1000);
  FutexWake(gState);
  ::pthread_join(gThread, nullptr);
  gSignalTid.store(0);
}

}  // namespace

bool InstallSignalHandlers(TSignalCallback callback) {
  std::lock_guard<std::mutex> lock(gInstallMutex);
  SetupThreadAltStack();
  if (!gThreadRunning) {
    if (!StartSignalThread()) return false;
    gThreadRunning = true;
  }
  gCallback.store(callback);
  if (!gHandlersInstalled) {
    struct sigaction ours {};
    ours.sa_sigaction = Handler;
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&ours.sa_mask);
    for (size_t i = 0; i < kSignalCount; ++i) ::sigaction(kSignals[i], &ours, &gPrevious[i]);
    gHandlersInstalled = true;
  }
  return true;
}

void UninstallSignalHandlers() {
  std::lock_guard<std::mutex> lock(gInstallMutex);
  if (gHandlersInstalled) {
    for (size_t i = 0; i < kSignalCount; ++i) {
      struct sigaction current {};
      // A handler installed after ours may chain to ours: it stays, and ours then only chains.
      if (::sigaction(kSignals[i], nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) &&
          current.sa_sigaction == Handler)
        ::sigaction(kSignals[i], &gPrevious[i], nullptr);
    }
    gHandlersInstalled = false;
  }
  gCallback.store(nullptr);
  if (gThreadRunning) {
    StopSignalThread();
    gThreadRunning = false;
  }
}

pid_t SignalThreadId() { return gSignalTid.load(); }

void SetupThreadAltStack() {
  stack_t current{};
  if (::sigaltstack(nullptr, &current) != 0) return;
  TAltStackInfo existing;
  if (ReadAltStackInfo(current, &existing) || (current.ss_flags & SS_ONSTACK)) return;

  const size_t stackSize = AltStackSize();
  const size_t mapSize = kPage + stackSize + kPage;  // guard, stack, info
  void* map = ::mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) return;
  char* base = static_cast<char*>(map);
  ::mprotect(base, kPage, PROT_NONE);

  auto* info = new (base + kPage + stackSize) TAltStackInfo;
  info->Magic = kAltStackMagic;
  info->Map = map;
  info->MapSize = mapSize;
  info->Previous = current;
  pthread_attr_t attr;
  if (::pthread_getattr_np(::pthread_self(), &attr) == 0) {
    void* low = nullptr;
    size_t size = 0, guard = 0;
    if (::pthread_attr_getstack(&attr, &low, &size) == 0 && low) {
      info->StackLow = reinterpret_cast<uintptr_t>(low);
      info->StackTop = info->StackLow + size;
    }
    ::pthread_attr_getguardsize(&attr, &guard);
    info->GuardSize = std::max<uintptr_t>(guard, kPage);
    if (Gettid() == ::getpid()) info->GuardSize = std::max(info->GuardSize, kMainStackGuardGap);
    ::pthread_attr_destroy(&attr);
  }
  ::mprotect(info, kPage, PROT_READ);

  stack_t ss{};
  ss.ss_sp = base + kPage;
  ss.ss_size = stackSize;
  if (::sigaltstack(&ss, nullptr) != 0) ::munmap(map, mapSize);
}

void ReleaseThreadAltStack() {
  stack_t current{};
  TAltStackInfo info;
  if (::sigaltstack(nullptr, &current) != 0 || !ReadAltStackInfo(current, &info) || (current.ss_flags & SS_ONSTACK))
    return;
  stack_t previous = info.Previous;
  previous.ss_flags &= SS_DISABLE;
  if (::sigaltstack(&previous, nullptr) != 0) {
    stack_t none{};
    none.ss_flags = SS_DISABLE;
    ::sigaltstack(&none, nullptr);
  }
  ::munmap(info.Map, info.MapSize);
}

void SuppressAbortReport() { gSuppressAbort.store(true); }
