// Allocation stacks through the fast walk (call-frame rules cached per code address), so that a
// stack costs a table lookup and a read or two per frame. Frames of the tracker itself and of the
// C++ library are skipped: a leaked std::string is attributed to the line that made it.
#include <dlfcn.h>
#include <link.h>

#include <atomic>

#include "reporting/debuginfo/EFastUnwind.h"
#include "reporting/leaks/ELeakState.h"
#include "reporting/leaks/ELeakTable.h"

extern "C" {
extern const char __start_zelk_leaks_hook[] __attribute__((visibility("hidden")));
extern const char __stop_zelk_leaks_hook[] __attribute__((visibility("hidden")));
}

namespace {

// Executable ranges of libstdc++ (one or two segments).
constexpr int kMaxRanges = 4;
struct TRanges {
  uintptr_t Lo[kMaxRanges] = {};
  uintptr_t Hi[kMaxRanges] = {};
  int Count = 0;
};
TRanges gLibstdcxx;
std::atomic<bool> gRangesKnown{false};

void FindLibstdcxx() {
  // A function that only libstdc++ defines.
  void* probe = dlsym(RTLD_DEFAULT, "_ZSt9terminatev");
  if (!probe) return;
  struct TSearch {
    uintptr_t Address;
    TRanges* Out;
  } search{reinterpret_cast<uintptr_t>(probe), &gLibstdcxx};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* s = static_cast<TSearch*>(data);
        TRanges found;
        bool holds = false;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X) || found.Count == kMaxRanges) continue;
          const uintptr_t lo = info->dlpi_addr + ph.p_vaddr, hi = lo + ph.p_memsz;
          found.Lo[found.Count] = lo;
          found.Hi[found.Count++] = hi;
          holds |= s->Address >= lo && s->Address < hi;
        }
        if (!holds) return 0;
        *s->Out = found;
        return 1;
      },
      &search);
}

inline bool Skipped(uintptr_t pc) {
  if (pc - reinterpret_cast<uintptr_t>(__start_zelk_leaks_hook) <
      uintptr_t(__stop_zelk_leaks_hook - __start_zelk_leaks_hook))
    return true;
  for (int i = 0; i < gLibstdcxx.Count; ++i)
    if (pc >= gLibstdcxx.Lo[i] && pc < gLibstdcxx.Hi[i]) return true;
  return false;
}

// Frames walked beyond the depth kept: this capture, the hook's helper, operator new, and
// libstdc++'s frames in between (std::string's _M_create and what calls it).
constexpr size_t kSkipAllowance = 8;

}  // namespace

namespace leak_state {

ZELK_LEAK_HOOK_CODE uint32_t CaptureAllocationStack() {
  if (!gRangesKnown.load(std::memory_order_acquire)) {
    FindLibstdcxx();
    gRangesKnown.store(true, std::memory_order_release);
  }
  const unsigned depth = gDepth.load(std::memory_order_relaxed);
  uintptr_t frames[kLeakMaxFrames + kSkipAllowance];
  bool complete = false, slow = false;
  const size_t n = FastBacktraceHere(frames, depth + kSkipAllowance, &complete, &slow);
  size_t first = 0;
  while (first < n && Skipped(frames[first])) ++first;
  size_t kept = n - first;
  if (kept > depth) kept = depth;
  if (kept == 0) return 0;
  return leak_table::StoreStack(frames + first, static_cast<uint32_t>(kept));
}

ZELK_LEAK_HOOK_CODE size_t CaptureReleaseStack(uintptr_t* out, size_t max) {
  uintptr_t frames[kLeakMaxFrames + kSkipAllowance];
  bool complete = false, slow = false;
  const size_t n = FastBacktraceHere(frames, kLeakMaxFrames + kSkipAllowance, &complete, &slow);
  size_t first = 0;
  while (first < n && Skipped(frames[first])) ++first;
  size_t count = 0;
  for (size_t i = first; i < n && count < max; ++i) out[count++] = frames[i];
  return count;
}

}  // namespace leak_state
