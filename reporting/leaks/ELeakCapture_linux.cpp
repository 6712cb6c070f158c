// Allocation stacks through the fast walk (call-frame rules cached per code address), so that a
// stack costs a table lookup and a read or two per frame. Frames of the tracker itself and of the
// C++ library are skipped: a leaked std::string is attributed to the line that made it.
#include <dlfcn.h>
#include <link.h>

#include "reporting/debuginfo/EFastUnwind.h"
#include "reporting/leaks/ELeakState.h"
#include "reporting/leaks/ELeakTable.h"

extern "C" {
extern const char __start_zelk_leaks_hook[] __attribute__((visibility("hidden")));
extern const char __stop_zelk_leaks_hook[] __attribute__((visibility("hidden")));
}

namespace {

// The code whose leading frames an allocation stack leaves out: the tracker's own section and the
// executable segments of libstdc++ (one or two).
constexpr int kMaxRanges = 5;
struct TSkippedCode {
  TCodeRange Ranges[kMaxRanges];
  size_t Count = 0;
};

void FindLibstdcxx(TSkippedCode& code) {
  // A function that only libstdc++ defines.
  void* probe = dlsym(RTLD_DEFAULT, "_ZSt9terminatev");
  if (!probe) return;
  struct TSearch {
    uintptr_t Address;
    TSkippedCode* Out;
  } search{reinterpret_cast<uintptr_t>(probe), &code};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* s = static_cast<TSearch*>(data);
        TCodeRange found[kMaxRanges];
        size_t count = 0;
        bool holds = false;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X)) continue;
          const uintptr_t lo = info->dlpi_addr + ph.p_vaddr, hi = lo + ph.p_memsz;
          holds |= s->Address >= lo && s->Address < hi;
          if (s->Out->Count + count < kMaxRanges) found[count++] = {lo, hi};
        }
        if (!holds) return 0;
        for (size_t i = 0; i < count; ++i) s->Out->Ranges[s->Out->Count++] = found[i];
        return 1;
      },
      &search);
}

TSkippedCode FindSkippedCode() {
  TSkippedCode code;
  code.Ranges[code.Count++] = {reinterpret_cast<uintptr_t>(__start_zelk_leaks_hook),
                                    reinterpret_cast<uintptr_t>(__stop_zelk_leaks_hook)};
  FindLibstdcxx(code);
  return code;
}

TFrameSkip Skipped() {
  // Found on the first allocation tracked; the loader's calls here use malloc, not operator new.
  static const TSkippedCode code = FindSkippedCode();
  return {code.Ranges, code.Count};
}

}  // namespace

namespace leak_state {

// Walks only as far as the frames kept: the skipped ones are passed, not counted.
ZELK_LEAK_HOOK_CODE uint32_t CaptureAllocationStack() {
  const unsigned depth = gDepth.load(std::memory_order_relaxed);
  uintptr_t frames[kLeakMaxFrames];
  bool slow = false;
  const size_t n = FastBacktraceHereSkipping(frames, depth < kLeakMaxFrames ? depth : kLeakMaxFrames, Skipped(), &slow);
  if (n == 0) return 0;
  return leak_table::StoreStack(frames, static_cast<uint32_t>(n));
}

ZELK_LEAK_HOOK_CODE size_t CaptureReleaseStack(uintptr_t* out, size_t max) {
  bool slow = false;
  return FastBacktraceHereSkipping(out, max, Skipped(), &slow);
}

}  // namespace leak_state
