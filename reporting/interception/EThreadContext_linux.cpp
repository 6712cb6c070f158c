// Stopping other threads to read their contexts.
//
// The capturing thread arms one slot per target (thread id, stack top, where to write), sends
// the suspension signal with tgkill and waits on a futex for the answers. Each target's
// handler finds the armed slot of its thread id, claims it (Armed -> Copying), copies its
// registers, FP state and the top of its stack, marks it Answered, wakes the capturer and waits
// on the slot's state word until released. At the deadline, slots still Armed are cancelled
// (Armed -> Cancelled): a thread that answers later finds no armed slot and returns at once.
//
// Slot headers live in static or never-freed blocks, so a late handler always reads valid
// memory; the capture's buffers are touched only by a handler that claimed a slot, and the
// capturer does not give them back while a claimed slot is still being filled. The state word
// carries the capture's generation, so a waiting thread leaves on any change of it.
#include <errno.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>

#include "reporting/interception/EThreadContext.h"
#include "reporting/interception/EThreads.h"

namespace {

enum : uint32_t { kIdle = 0, kArmed = 1, kCopying = 2, kAnswered = 3, kReleased = 4, kCancelled = 5 };
constexpr uint32_t kPhaseBits = 3;
constexpr uint32_t Phase(uint32_t word) { return word & ((1u << kPhaseBits) - 1); }
constexpr uint32_t Generation(uint32_t word) { return word >> kPhaseBits; }
constexpr uint32_t Word(uint32_t generation, uint32_t phase) { return generation << kPhaseBits | phase; }

struct TSuspendSlot {
  std::atomic<uint32_t> State{kIdle};
  std::atomic<pid_t> Tid{0};
  // Written before State becomes Armed, read by the handler after it claimed the slot.
  uintptr_t StackTop = 0;
  uint8_t* Buffer = nullptr;
  TThreadContext* Out = nullptr;
  // Set for a pause: the answered thread waits until released for as long as this thread lives.
  pid_t Holder = 0;
};

constexpr size_t kSlotsPerBlock = 64;
struct TSlotBlock {
  TSuspendSlot Slots[kSlotsPerBlock];
  std::atomic<TSlotBlock*> Next{nullptr};
};

TSlotBlock gFirstBlock;  // further blocks are allocated by a capturer and never freed
// Signalled threads that have not answered yet: the last answer wakes the capturer, so it
// does not compete for the processor with the threads it waits for.
std::atomic<uint32_t> gPending{0};
uint32_t gGeneration = 0;  // under gCaptureLock
std::mutex gCaptureLock;

std::mutex gInstallLock;
bool gInstalled = false;
struct sigaction gPrevious;

// How long a released thread may wait for a capturer that never releases it (one that died).
constexpr int kHandlerWaitRounds = 10;
// How long a capturer waits, after the deadline, for a thread that claimed its slot.
constexpr std::chrono::seconds kClaimedGrace{1};
// While waiting, how often the capturer looks for targets that exited instead of answering;
// the interval doubles from the first to the last.
constexpr std::chrono::milliseconds kFirstExitProbe{5};
constexpr std::chrono::milliseconds kLastExitProbe{200};

long Futex(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op | FUTEX_PRIVATE_FLAG, value, timeout, nullptr, 0);
}

timespec ToTimespec(std::chrono::nanoseconds ns) {
  auto s = std::chrono::duration_cast<std::chrono::seconds>(ns);
  return {static_cast<time_t>(s.count()), static_cast<long>((ns - s).count())};
}

// Signal-safe: copies from the signal frame into the claimed slot's targets.
__attribute__((no_sanitize("address"))) void FillContext(TThreadContext& out, pid_t tid, const ucontext_t* uc,
                                                         uintptr_t stackTop, uint8_t* buffer) {
  const greg_t* g = uc->uc_mcontext.gregs;
  TCpuRegisters& r = out.Registers;
  r.Rax = g[REG_RAX], r.Rbx = g[REG_RBX], r.Rcx = g[REG_RCX], r.Rdx = g[REG_RDX];
  r.Rsi = g[REG_RSI], r.Rdi = g[REG_RDI], r.Rbp = g[REG_RBP], r.Rsp = g[REG_RSP];
  r.R8 = g[REG_R8], r.R9 = g[REG_R9], r.R10 = g[REG_R10], r.R11 = g[REG_R11];
  r.R12 = g[REG_R12], r.R13 = g[REG_R13], r.R14 = g[REG_R14], r.R15 = g[REG_R15];
  r.Rip = g[REG_RIP], r.EFlags = g[REG_EFL];
  uint64_t segments = static_cast<uint64_t>(g[REG_CSGSFS]);  // cs, gs, fs, ss: 16 bits each
  r.Cs = static_cast<uint16_t>(segments), r.Gs = static_cast<uint16_t>(segments >> 16);
  r.Fs = static_cast<uint16_t>(segments >> 32), r.Ss = static_cast<uint16_t>(segments >> 48);
  r.Valid = r.Full = true;

  static_assert(sizeof(*uc->uc_mcontext.fpregs) == sizeof(out.Fp.FxSave));
  out.Fp.Valid = uc->uc_mcontext.fpregs != nullptr;
  if (out.Fp.Valid) __builtin_memcpy(out.Fp.FxSave, uc->uc_mcontext.fpregs, sizeof(out.Fp.FxSave));

  uintptr_t sp = r.Rsp;
  size_t copied = 0;
  if (buffer && stackTop > sp) copied = CopyOwnMemory(sp, std::min<size_t>(stackTop - sp, kStackSnapshotSize), buffer);
  out.Stack = {sp, stackTop, copied, buffer};
  out.ThreadID = tid;
}

__attribute__((no_sanitize("address"))) void SuspendHandler(int, siginfo_t*, void* context) {
  int savedErrno = errno;
  pid_t me = static_cast<pid_t>(syscall(SYS_gettid));
  TSuspendSlot* slot = nullptr;
  uint32_t generation = 0;
  for (TSlotBlock* block = &gFirstBlock; block && !slot; block = block->Next.load(std::memory_order_acquire)) {
    for (TSuspendSlot& s : block->Slots) {
      uint32_t word = s.State.load(std::memory_order_acquire);
      if (Phase(word) != kArmed || s.Tid.load(std::memory_order_relaxed) != me) continue;
      if (s.State.compare_exchange_strong(word, Word(Generation(word), kCopying), std::memory_order_acq_rel)) {
        slot = &s;
        generation = Generation(word);
        break;
      }
    }
  }
  if (!slot) {  // not asked, or asked by a capture that gave up on this thread
    errno = savedErrno;
    return;
  }

  FillContext(*slot->Out, me, static_cast<const ucontext_t*>(context), slot->StackTop, slot->Buffer);

  uint32_t copying = Word(generation, kCopying);
  const uint32_t answered = Word(generation, kAnswered);
  if (slot->State.compare_exchange_strong(copying, answered, std::memory_order_acq_rel)) {
    const pid_t holder = slot->Holder;
    if (gPending.fetch_sub(1, std::memory_order_acq_rel) == 1) Futex(&gPending, FUTEX_WAKE, 1, nullptr);
    const timespec second{1, 0};
    for (int round = 0; slot->State.load(std::memory_order_acquire) == answered;) {
      if (Futex(&slot->State, FUTEX_WAIT, answered, &second) != 0 && errno == ETIMEDOUT) {
        // A pause lasts while its holder lives; a capture is released within moments.
        if (holder ? syscall(SYS_tgkill, getpid(), holder, 0) != 0 && errno == ESRCH : ++round >= kHandlerWaitRounds) {
          uint32_t expected = answered;  // the slot may be used again
          slot->State.compare_exchange_strong(expected, Word(generation, kReleased), std::memory_order_acq_rel);
          break;
        }
      }
    }
  }
  errno = savedErrno;
}

int ChooseSuspendSignal() {
  for (int sig = SIGRTMIN + 3; sig <= SIGRTMAX; ++sig) {
    struct sigaction current {};
    if (sigaction(sig, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_DFL)
      return sig;
  }
  return SIGRTMIN + 3;
}

// Slots for `count` targets, allocating blocks as needed. A slot still being filled by a
// thread whose capture gave up on it is left alone. Runs before any thread is stopped.
void AssignSlots(std::vector<TSuspendSlot*>& out) {
  size_t taken = 0;
  for (TSlotBlock* block = &gFirstBlock; taken < out.size();) {
    for (TSuspendSlot& s : block->Slots) {
      if (taken == out.size()) break;
      const uint32_t phase = Phase(s.State.load(std::memory_order_acquire));
      if (phase != kCopying && phase != kAnswered) out[taken++] = &s;  // not filled, not held
    }
    if (taken == out.size()) break;
    TSlotBlock* next = block->Next.load(std::memory_order_acquire);
    if (!next) {
      next = new TSlotBlock;
      block->Next.store(next, std::memory_order_release);
    }
    block = next;
  }
}

}  // namespace

size_t CopyOwnMemory(uintptr_t start, size_t size, uint8_t* out) noexcept {
  if (size == 0) return 0;
  int savedErrno = errno;
  iovec local{out, size};
  iovec remote{reinterpret_cast<void*>(start), size};
  long n = syscall(SYS_process_vm_readv, getpid(), &local, 1, &remote, 1, 0);
  errno = savedErrno;
  return n > 0 ? static_cast<size_t>(n) : 0;
}

int SuspendSignal() {
  static const int sig = ChooseSuspendSignal();
  return sig;
}

void InstallSuspendHandler() {
  std::lock_guard lock(gInstallLock);
  if (gInstalled) return;
  struct sigaction action {};
  action.sa_sigaction = &SuspendHandler;
  action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  if (sigaction(SuspendSignal(), &action, &gPrevious) == 0) gInstalled = true;
}

void UninstallSuspendHandler() {
  std::lock_guard lock(gInstallLock);
  if (!gInstalled) return;
  struct sigaction restore = gPrevious;
  if (!(restore.sa_flags & SA_SIGINFO) && restore.sa_handler == SIG_DFL) {
    restore = {};
    restore.sa_handler = SIG_IGN;
    sigemptyset(&restore.sa_mask);
  }
  sigaction(SuspendSignal(), &restore, nullptr);
  gInstalled = false;
}

struct TThreadCapture::Slots {
  std::unique_ptr<uint8_t[]> Buffers;  // kStackSnapshotSize per thread, left uninitialised
  std::unique_ptr<TThreadContext[]> Contexts;
  size_t Capacity = 0;
};

namespace {

// Only a slot still answered in this generation: a held thread whose holder ended has released
// its slot itself, and it may serve another capture by now.
void ReleaseSlot(TSuspendSlot& slot, uint32_t generation) {
  uint32_t expected = Word(generation, kAnswered);
  if (slot.State.compare_exchange_strong(expected, Word(generation, kReleased), std::memory_order_acq_rel))
    Futex(&slot.State, FUTEX_WAKE, 1, nullptr);
}

// Signals the targets and waits until each answered or its deadline passed. Answered threads
// are left waiting in their handler (their slots stay Answered, `answered[i]` true); every
// other slot ends cancelled or released. False when a thread still fills its slot, so the
// buffers must never be given back. Runs under gCaptureLock; from the first signal on, nothing
// allocates.
bool StopThreads(std::span<const pid_t> tids, std::span<const uintptr_t> stackTops,
                 std::chrono::milliseconds answerDeadline, pid_t holder, uint8_t* buffers, TThreadContext* contexts,
                 std::vector<TSuspendSlot*>& slots, std::vector<bool>& answered, uint32_t& generationOut) {
  using Clock = std::chrono::steady_clock;
  const size_t count = tids.size();
  slots.assign(count, nullptr);
  answered.assign(count, false);
  const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  const pid_t pid = getpid();
  const int sig = SuspendSignal();

  AssignSlots(slots);
  const uint32_t generation = ++gGeneration & (UINT32_MAX >> kPhaseBits);
  generationOut = generation;
  for (size_t i = 0; i < count; ++i) {
    if (tids[i] <= 0 || tids[i] == self) {
      slots[i] = nullptr;
      continue;
    }
    TSuspendSlot& s = *slots[i];
    s.Tid.store(tids[i], std::memory_order_relaxed);
    s.StackTop = i < stackTops.size() ? stackTops[i] : 0;
    s.Buffer = buffers ? buffers + i * kStackSnapshotSize : nullptr;
    s.Out = &contexts[i];
    s.Holder = holder;
    s.State.store(Word(generation, kArmed), std::memory_order_release);
  }
  const uint32_t armed = Word(generation, kArmed);

  size_t signalled = 0;
  for (TSuspendSlot* sl : slots) signalled += sl != nullptr;
  gPending.store(static_cast<uint32_t>(signalled), std::memory_order_release);
  auto cancel = [&](TSuspendSlot& sl) {
    uint32_t expected = armed;
    if (sl.State.compare_exchange_strong(expected, Word(generation, kCancelled), std::memory_order_acq_rel))
      gPending.fetch_sub(1, std::memory_order_acq_rel);
  };

  const auto start = Clock::now();
  for (size_t i = 0; i < count; ++i)
    if (slots[i] && syscall(SYS_tgkill, pid, tids[i], sig) != 0) cancel(*slots[i]);
  const auto deadline = start + answerDeadline;
  bool cancelled = false;
  auto nextProbe = start + kFirstExitProbe;
  auto probeEvery = kFirstExitProbe;
  for (;;) {
    const uint32_t pending = gPending.load(std::memory_order_acquire);
    if (pending == 0) break;
    const auto now = Clock::now();
    if (now >= deadline && !cancelled) {
      for (TSuspendSlot* sl : slots)
        if (sl) cancel(*sl);
      cancelled = true;
      continue;
    }
    if (cancelled && now >= deadline + kClaimedGrace) break;
    // A thread that was exiting took the signal but will never answer: stop waiting for it.
    if (!cancelled && now >= nextProbe) {
      for (size_t i = 0; i < count; ++i)
        if (slots[i] && Phase(slots[i]->State.load(std::memory_order_acquire)) == kArmed && !ThreadExists(tids[i]))
          cancel(*slots[i]);
      probeEvery = std::min(probeEvery * 2, kLastExitProbe);
      nextProbe = now + probeEvery;
      continue;
    }
    const auto until = cancelled ? deadline + kClaimedGrace : std::min(deadline, nextProbe);
    const timespec wait = ToTimespec(until - now);
    Futex(&gPending, FUTEX_WAIT, pending, &wait);
  }

  bool buffersFree = true;
  for (size_t i = 0; i < count; ++i) {
    TSuspendSlot* sl = slots[i];
    if (!sl) continue;
    uint32_t word = sl->State.load(std::memory_order_acquire);
    if (Phase(word) == kArmed) {
      cancel(*sl);
      word = sl->State.load(std::memory_order_acquire);  // it may have been claimed meanwhile
    }
    if (Phase(word) == kAnswered) {
      answered[i] = true;
    } else if (Phase(word) == kCopying) {
      // Still filling its slot after the grace: it will find the slot released and leave,
      // but may write into the buffers until then.
      if (!sl->State.compare_exchange_strong(word, Word(generation, kReleased), std::memory_order_acq_rel) &&
          Phase(word) == kAnswered)
        answered[i] = true;
      else
        buffersFree = false;
    }
  }
  return buffersFree;
}

}  // namespace

TThreadCapture::TThreadCapture() : slots_(std::make_unique<Slots>()) {}

// Capture releases every thread it stopped before it returns; nothing is left to release.
TThreadCapture::~TThreadCapture() = default;

void TThreadCapture::Capture(std::span<const pid_t> tids, std::span<const uintptr_t> stackTops,
                             std::chrono::milliseconds answerDeadline) {
  using Clock = std::chrono::steady_clock;
  InstallSuspendHandler();
  const size_t count = tids.size();
  threads_.assign(count, TCapturedThread{});
  for (size_t i = 0; i < count; ++i) threads_[i].Context.ThreadID = tids[i];
  stoppedFor_ = std::chrono::nanoseconds(0);
  if (slots_->Capacity < count) {
    slots_->Buffers.reset(new uint8_t[count * kStackSnapshotSize]);
    slots_->Contexts.reset(new TThreadContext[count]);
    slots_->Capacity = count;
  }
  std::fill_n(slots_->Contexts.get(), count, TThreadContext{});
  std::vector<TSuspendSlot*> slots;
  std::vector<bool> answered;
  slots.reserve(count);
  answered.reserve(count);

  std::lock_guard lock(gCaptureLock);
  const auto start = Clock::now();
  uint32_t generation = 0;
  const bool buffersFree = StopThreads(tids, stackTops, answerDeadline, 0, slots_->Buffers.get(),
                                       slots_->Contexts.get(), slots, answered, generation);
  for (size_t i = 0; i < count; ++i)
    if (answered[i]) ReleaseSlot(*slots[i], generation), threads_[i].Captured = true;
  stoppedFor_ = Clock::now() - start;

  for (size_t i = 0; i < count; ++i)
    if (threads_[i].Captured) threads_[i].Context = slots_->Contexts[i];
  if (!buffersFree) {
    (void)slots_->Buffers.release();
    (void)slots_->Contexts.release();
    slots_->Capacity = 0;
  }
}

struct TThreadPause::Held {
  std::vector<TSuspendSlot*> Slots;
  uint32_t Generation = 0;
};

TThreadPause::TThreadPause() = default;
TThreadPause::~TThreadPause() { Resume(); }

size_t TThreadPause::Pause(std::span<const pid_t> tids, std::chrono::milliseconds answerDeadline) {
  Resume();
  InstallSuspendHandler();
  auto held = std::make_unique<Held>();
  std::unique_ptr<TThreadContext[]> scratch(new TThreadContext[tids.size()]);  // written, never read
  std::vector<TSuspendSlot*> slots;
  std::vector<bool> answered;
  {
    std::lock_guard lock(gCaptureLock);
    const bool buffersFree = StopThreads(tids, {}, answerDeadline, static_cast<pid_t>(syscall(SYS_gettid)), nullptr,
                                         scratch.get(), slots, answered, held->Generation);
    if (!buffersFree) (void)scratch.release();  // a late thread may still write its context
  }
  for (size_t i = 0; i < slots.size(); ++i)
    if (answered[i]) held->Slots.push_back(slots[i]);
  const size_t count = held->Slots.size();
  if (count) held_ = std::move(held);
  return count;
}

void TThreadPause::Resume() {
  if (!held_) return;
  for (TSuspendSlot* slot : held_->Slots) ReleaseSlot(*slot, held_->Generation);
  held_.reset();
}
