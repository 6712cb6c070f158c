// The fast walk: per frame one lookup in a process-wide table of reduced call-frame rules and
// one or two stack reads.
//
// The table is open-addressed with a short probe window. A slot is two words written once: the
// key (the lookup address, a "being written" bit and the epoch it belongs to) and the packed
// rule. A writer claims an empty or out-of-epoch slot with a CAS, stores the rule, then
// releases the key; a reader loads the key, the rule, and the key again, and takes the rule
// only when both keys match its own. Nobody waits: a slot being written is passed over, and a
// rule that finds no slot is used uncached. A child forked while a slot was being written
// keeps that slot unusable until the next epoch.
#include <atomic>

#include "reporting/debuginfo/ECfaRule.h"
#include "reporting/debuginfo/EFastUnwind.h"

extern "C" void* __libc_stack_end;  // the process's initial stack pointer (the loader's)

namespace {

constexpr size_t kSlotCount = 16384;  // 256 KiB, touched only where used
constexpr size_t kProbeWindow = 16;
constexpr uint64_t kAddressMask = (uint64_t(1) << 47) - 1;  // user space on x86-64
constexpr uint64_t kBusyBit = uint64_t(1) << 47;
constexpr unsigned kEpochShift = 48;

// Slot i is Keys[i] and Rules[i]: two arrays, so that a slot's words are found from its index
// by the load itself (no multiply or shift on the walk's critical path).
std::atomic<uint64_t> gKeys[kSlotCount];
std::atomic<uint64_t> gRules[kSlotCount];
std::atomic<uint64_t> gEpoch{1};  // 16 bits used, never 0 (a key of 0 is an empty slot)

// Code addresses differ in their low bits; two that share them (code a multiple of the table's
// size apart) take neighbouring slots of the probe window.
size_t SlotIndex(uintptr_t address) { return address & (kSlotCount - 1); }
static_assert(kSlotCount == size_t(1) << 14);


__attribute__((noinline)) uint64_t LookUpFurther(uintptr_t address, uint64_t key, size_t first, uint64_t epoch);

// The packed rule (PackCfaRule) of `address`. A rule is nearly always in its first slot, so
// only that one is looked at here; the rest of the window and a miss are out of line.
inline uint64_t RuleFor(uintptr_t address, uint64_t epochKey) {
  const uint64_t key = (address & kAddressMask) | epochKey;
  const size_t first = SlotIndex(address);
  const uint64_t seen = gKeys[first].load(std::memory_order_acquire);
  const uint64_t packed = gRules[first].load(std::memory_order_acquire);
  if (__builtin_expect(seen == key, 1) && __builtin_expect(gKeys[first].load(std::memory_order_relaxed) == key, 1))
    return packed;
  return LookUpFurther(address, key, first, epochKey >> kEpochShift);
}

uint64_t ComputeAndPublish(uintptr_t address, uint64_t key, size_t first, uint64_t epoch) {
  const TCfaRule rule = ComputeCfaRule(address);
  // Publish in the first free or stale slot of the window; a duplicate from a racing writer
  // further on is harmless (readers take the first).
  const uint64_t packed = PackCfaRule(rule);
  for (size_t i = 0; i < kProbeWindow; ++i) {
    const size_t at = (first + i) & (kSlotCount - 1);
    uint64_t seen = gKeys[at].load(std::memory_order_relaxed);
    if (seen == key) break;
    bool stale = seen != 0 && (seen >> kEpochShift) != epoch;
    if (seen != 0 && !stale) continue;
    if (!gKeys[at].compare_exchange_strong(seen, key | kBusyBit, std::memory_order_acq_rel)) continue;
    gRules[at].store(packed, std::memory_order_relaxed);
    gKeys[at].store(key, std::memory_order_release);
    break;
  }
  return packed;
}

uint64_t LookUpFurther(uintptr_t address, uint64_t key, size_t first, uint64_t epoch) {
  for (size_t i = 0; i < kProbeWindow; ++i) {
    const size_t at = (first + i) & (kSlotCount - 1);
    uint64_t seen = gKeys[at].load(std::memory_order_acquire);
    if (seen == 0) break;
    if (seen != key) continue;
    uint64_t packed = gRules[at].load(std::memory_order_acquire);
    if (gKeys[at].load(std::memory_order_relaxed) == key) return packed;
  }
  return ComputeAndPublish(address, key, first, epoch);
}

// Bounds and alignment of every stack read; the walk is over the live stack of this thread or
// over bounds its caller vouches for.
class TStack {
 public:
  // Offsets below `limit_` leave room for a whole word; none when the stack is too small.
  TStack(uintptr_t low, uintptr_t high)
      : low_(low), limit_(high >= low && high - low >= sizeof(uintptr_t) ? high - low - sizeof(uintptr_t) + 1 : 0) {}
  __attribute__((no_sanitize("address"))) bool Read(uintptr_t address, uintptr_t* value) const {
    // One comparison for both bounds: below `low_` wraps to a large offset.
    if (address - low_ >= limit_ || (address & 7)) return false;
    *value = *reinterpret_cast<const volatile uintptr_t*>(address);
    return true;
  }

 private:
  uintptr_t low_;
  uintptr_t limit_;
};

inline bool InRanges(uintptr_t pc, const TFrameSkip& skip) {
  for (size_t i = 0; i < skip.Count; ++i)
    if (pc - skip.Ranges[i].Lo < skip.Ranges[i].Hi - skip.Ranges[i].Lo) return true;
  return false;
}

size_t Walk(const TUnwindStart& start, uintptr_t* out, size_t max, const TFrameSkip* skip, bool* complete,
            bool* needsSlowPath) {
  *complete = false;
  *needsSlowPath = false;
  if (max == 0 || start.Pc == 0) return 0;
  const uint64_t epochKey = gEpoch.load(std::memory_order_acquire) << kEpochShift;
  const TStack stack(start.StackLow, start.StackHigh);
  uintptr_t pc = start.Pc, rsp = start.Rsp, rbp = start.Rbp;
  uintptr_t lookup = start.Activation ? pc : pc - 1;
  bool skipping = skip && skip->Count;
  size_t count = 0;
  for (;;) {
    if (__builtin_expect(skipping, 0)) skipping = InRanges(pc, *skip);
    if (!skipping) out[count++] = pc;
    // The packed rule is read in place: kind in bits 0-1, rbp-based CFA bit 2, rbp-saved bit 3,
    // CFA offset bits 8-39, rbp offset bits 40-63.
    const uint64_t rule = RuleFor(lookup, epochKey);
    if (__builtin_expect((rule & 3) != crSimple, 0)) {
      if ((rule & 3) == crOutermost) *complete = true;
      else *needsSlowPath = true;
      return count;
    }
    const uintptr_t cfa = ((rule & 4) ? rbp : rsp) + intptr_t(int32_t(uint32_t(rule >> 8)));
    uintptr_t returnAddress = 0;
    if (__builtin_expect(cfa <= rsp, 0)) return count;  // no progress: a damaged stack
    if (!stack.Read(cfa - 8, &returnAddress) || ((rule & 8) && !stack.Read(cfa + (int64_t(rule) >> 40), &rbp))) {
      *needsSlowPath = true;  // the stack goes on outside the bounds given (another stack)
      return count;
    }
    if (returnAddress == 0) {
      *complete = true;
      return count;
    }
    if (count == max) return count;
    pc = returnAddress;
    lookup = pc - 1;
    rsp = cfa;
  }
}

// The walk's start at a call into this file: the caller's return address, its stack pointer
// after the return and its rbp, bounded by the calling thread's stack.
TUnwindStart StartHere(uintptr_t pc, uintptr_t rsp, uintptr_t rbp) {
  // glibc puts a thread's control block at the top of its stack, above every frame; the main
  // thread's block lies elsewhere (below its stack), and its frames end below the initial stack
  // pointer, whose page is mapped.
  uintptr_t threadPointer;
  asm("movq %%fs:0, %0" : "=r"(threadPointer));
  uintptr_t high = 0;
  if (rsp < threadPointer) {
    high = threadPointer;
  } else {
    const auto initial = reinterpret_cast<uintptr_t>(__libc_stack_end);
    if (rsp < initial) high = (initial + 4095) & ~uintptr_t(4095);
  }
  TUnwindStart start;
  start.Pc = pc;
  start.Rsp = rsp;
  start.Rbp = rbp;
  start.StackLow = rsp;
  start.StackHigh = high;
  return start;
}

}  // namespace

size_t FastBacktrace(const TUnwindStart& start, uintptr_t* out, size_t max, bool* complete, bool* needsSlowPath) {
  return Walk(start, out, max, nullptr, complete, needsSlowPath);
}

size_t FastBacktrace(const TUnwindStart& start, uintptr_t* out, size_t max, const TFrameSkip& skip, bool* complete,
                     bool* needsSlowPath) {
  return Walk(start, out, max, &skip, complete, needsSlowPath);
}

void ClearFastUnwindRules() {
  uint64_t epoch = gEpoch.load(std::memory_order_relaxed);
  uint64_t next;
  do {
    next = (epoch + 1) & 0xffff;
    if (next == 0) next = 1;
  } while (!gEpoch.compare_exchange_weak(epoch, next, std::memory_order_acq_rel));
}

// FastBacktraceHere is a few instructions of assembly: the caller's return address, its stack
// pointer after the return and its rbp, exactly as they are at the call, whatever the compiler
// does with this file's frames. The rbp goes as the seventh argument, on the stack (which the
// push also aligns for the call). FastBacktraceHereSkipping is the same with other arguments.
extern "C" size_t tarvex_fast_backtrace_from(uintptr_t* out, size_t max, bool* complete, bool* needsSlowPath,
                                             uintptr_t pc, uintptr_t rsp, uintptr_t rbp);
extern "C" size_t tarvex_fast_backtrace_skipping_from(uintptr_t* out, size_t max, const TFrameSkip* skip,
                                                      bool* needsSlowPath, uintptr_t pc, uintptr_t rsp, uintptr_t rbp);

#define ZELK_FAST_BACKTRACE_ENTRY(name, target) \
  "  .text\n"                                   \
  "  .globl " name "\n"                         \
  "  .type " name ", @function\n"               \
  name ":\n"                                    \
  "  .cfi_startproc\n"                          \
  "  movq (%rsp), %r8\n"                        \
  "  leaq 8(%rsp), %r9\n"                       \
  "  pushq %rbp\n"                              \
  "  .cfi_adjust_cfa_offset 8\n"                \
  "  call " target "\n"                         \
  "  addq $8, %rsp\n"                           \
  "  .cfi_adjust_cfa_offset -8\n"               \
  "  ret\n"                                     \
  "  .cfi_endproc\n"                            \
  "  .size " name ", .-" name "\n"

asm(ZELK_FAST_BACKTRACE_ENTRY("_Z17FastBacktraceHerePmmPbS0_", "tarvex_fast_backtrace_from"));
asm(ZELK_FAST_BACKTRACE_ENTRY("_Z25FastBacktraceHereSkippingPmmRK10TFrameSkipPb",
                              "tarvex_fast_backtrace_skipping_from"));

extern "C" __attribute__((visibility("hidden"))) size_t tarvex_fast_backtrace_from(uintptr_t* out, size_t max,
                                                                                   bool* complete, bool* needsSlowPath,
                                                                                   uintptr_t pc, uintptr_t rsp,
                                                                                   uintptr_t rbp) {
  return Walk(StartHere(pc, rsp, rbp), out, max, nullptr, complete, needsSlowPath);
}

extern "C" __attribute__((visibility("hidden"))) size_t tarvex_fast_backtrace_skipping_from(
    uintptr_t* out, size_t max, const TFrameSkip* skip, bool* needsSlowPath, uintptr_t pc, uintptr_t rsp,
    uintptr_t rbp) {
  bool complete = false;
  return Walk(StartHere(pc, rsp, rbp), out, max, skip, &complete, needsSlowPath);
}
