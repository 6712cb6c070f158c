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

struct TSlot {
  std::atomic<uint64_t> Key{0};
  std::atomic<uint64_t> Rule{0};
};

TSlot gSlots[kSlotCount];
std::atomic<uint64_t> gEpoch{1};  // 16 bits used, never 0 (a key of 0 is an empty slot)

size_t SlotIndex(uintptr_t address) { return (address * 0x9E3779B97F4A7C15ull) >> (64 - 14); }
static_assert(kSlotCount == size_t(1) << 14);

uint64_t KeyOf(uintptr_t address, uint64_t epoch) { return (address & kAddressMask) | epoch << kEpochShift; }

__attribute__((noinline)) uint64_t ComputeAndPublish(uintptr_t address, uint64_t key, size_t first, uint64_t epoch);

// The packed rule (PackCfaRule) of `address`.
inline uint64_t RuleFor(uintptr_t address, uint64_t epoch) {
  const uint64_t key = KeyOf(address, epoch);
  const size_t first = SlotIndex(address);
  for (size_t i = 0; i < kProbeWindow; ++i) {
    TSlot& slot = gSlots[(first + i) & (kSlotCount - 1)];
    uint64_t seen = slot.Key.load(std::memory_order_acquire);
    if (seen == 0) break;
    if (seen != key) continue;
    uint64_t packed = slot.Rule.load(std::memory_order_acquire);
    if (__builtin_expect(slot.Key.load(std::memory_order_relaxed) == key, 1)) return packed;
  }
  return ComputeAndPublish(address, key, first, epoch);
}

uint64_t ComputeAndPublish(uintptr_t address, uint64_t key, size_t first, uint64_t epoch) {
  const TCfaRule rule = ComputeCfaRule(address);
  // Publish in the first free or stale slot of the window; a duplicate from a racing writer
  // further on is harmless (readers take the first).
  const uint64_t packed = PackCfaRule(rule);
  for (size_t i = 0; i < kProbeWindow; ++i) {
    TSlot& slot = gSlots[(first + i) & (kSlotCount - 1)];
    uint64_t seen = slot.Key.load(std::memory_order_relaxed);
    if (seen == key) break;
    bool stale = seen != 0 && (seen >> kEpochShift) != epoch;
    if (seen != 0 && !stale) continue;
    if (!slot.Key.compare_exchange_strong(seen, key | kBusyBit, std::memory_order_acq_rel)) continue;
    slot.Rule.store(packed, std::memory_order_relaxed);
    slot.Key.store(key, std::memory_order_release);
    break;
  }
  return packed;
}

// Bounds and alignment of every stack read; the walk is over the live stack of this thread or
// over bounds its caller vouches for.
class TStack {
 public:
  TStack(uintptr_t low, uintptr_t high)
      : low_(low), lastWord_(high >= low && high - low >= sizeof(uintptr_t) ? high - low - sizeof(uintptr_t) : 0),
        empty_(!(high >= low && high - low >= sizeof(uintptr_t))) {}
  __attribute__((no_sanitize("address"))) bool Read(uintptr_t address, uintptr_t* value) const {
    // One comparison for both bounds: below `low_` wraps to a large offset.
    if (address - low_ > lastWord_ || (address & 7) || empty_) return false;
    *value = *reinterpret_cast<const volatile uintptr_t*>(address);
    return true;
  }

 private:
  uintptr_t low_;
  uintptr_t lastWord_;  // offset of the last word that fits
  bool empty_;
};

}  // namespace

size_t FastBacktrace(const TUnwindStart& start, uintptr_t* out, size_t max, bool* complete, bool* needsSlowPath) {
  *complete = false;
  *needsSlowPath = false;
  if (max == 0 || start.Pc == 0) return 0;
  const uint64_t epoch = gEpoch.load(std::memory_order_acquire);
  const TStack stack(start.StackLow, start.StackHigh);
  uintptr_t pc = start.Pc, rsp = start.Rsp, rbp = start.Rbp;
  bool activation = start.Activation;
  size_t count = 0;
  for (;;) {
    out[count++] = pc;
    // The packed rule is read in place: kind in bits 0-1, rbp-based CFA bit 2, rbp-saved bit 3,
    // CFA offset bits 8-39, rbp offset bits 40-63.
    const uint64_t rule = RuleFor(activation ? pc : pc - 1, epoch);
    activation = false;
    if (__builtin_expect((rule & 3) != crSimple, 0)) {
      if ((rule & 3) == crOutermost) *complete = true;
      else *needsSlowPath = true;
      return count;
    }
    const uintptr_t cfa = ((rule & 4) ? rbp : rsp) + intptr_t(int32_t(uint32_t(rule >> 8)));
    uintptr_t returnAddress = 0;
    if (cfa <= rsp) return count;  // no progress: a damaged stack
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
    rsp = cfa;
  }
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
// push also aligns for the call).
extern "C" size_t tarvex_fast_backtrace_from(uintptr_t* out, size_t max, bool* complete, bool* needsSlowPath,
                                             uintptr_t pc, uintptr_t rsp, uintptr_t rbp);

asm(R"(
  .text
  .globl _Z17FastBacktraceHerePmmPbS0_
  .type _Z17FastBacktraceHerePmmPbS0_, @function
_Z17FastBacktraceHerePmmPbS0_:
  .cfi_startproc
  movq (%rsp), %r8
  leaq 8(%rsp), %r9
  pushq %rbp
  .cfi_adjust_cfa_offset 8
  call tarvex_fast_backtrace_from
  addq $8, %rsp
  .cfi_adjust_cfa_offset -8
  ret
  .cfi_endproc
  .size _Z17FastBacktraceHerePmmPbS0_, .-_Z17FastBacktraceHerePmmPbS0_
)");

extern "C" __attribute__((visibility("hidden"))) size_t tarvex_fast_backtrace_from(uintptr_t* out, size_t max,
                                                                                   bool* complete, bool* needsSlowPath,
                                                                                   uintptr_t pc, uintptr_t rsp,
                                                                                   uintptr_t rbp) {
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
  return FastBacktrace(start, out, max, complete, needsSlowPath);
}
