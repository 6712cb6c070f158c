// The unwinder's side of the raise analysis: FDE lookup through libgcc and the addresses of the
// personality routines.
#include <dlfcn.h>
#include <unwind.h>

#include <atomic>

#include "reporting/interception/ELsda.h"
#include "reporting/interception/ERaiseAnalysis.h"

namespace {

// libgcc's own declaration lives in an internal header; the layout is fixed.
struct TDwarfEhBases {
  void* tbase;
  void* dbase;
  void* func;
};

}  // namespace

extern "C" {
const void* _Unwind_Find_FDE(void* pc, TDwarfEhBases* bases);
_Unwind_Reason_Code __gxx_personality_v0(int, _Unwind_Action, _Unwind_Exception_Class, _Unwind_Exception*,
                                         _Unwind_Context*);
}

namespace {

// The process-wide routines as other modules' CIEs name them; a module linked with its own copy
// of libstdc++ may see a different __gxx_personality_v0 than the one dlsym finds, so both count.
// Filled before main; until then only this module's own reference is known.
std::atomic<uintptr_t> gGlobalCxxPersonality{0};
std::atomic<uintptr_t> gCCleanupPersonality{0};

[[gnu::constructor]] void ResolvePersonalities() {
  gGlobalCxxPersonality.store(reinterpret_cast<uintptr_t>(dlsym(RTLD_DEFAULT, "__gxx_personality_v0")),
                              std::memory_order_relaxed);
  gCCleanupPersonality.store(reinterpret_cast<uintptr_t>(dlsym(RTLD_DEFAULT, "__gcc_personality_v0")),
                             std::memory_order_relaxed);
}

}  // namespace

TPersonalityKind ClassifyPersonality(uintptr_t personality) {
  if (personality == reinterpret_cast<uintptr_t>(&__gxx_personality_v0) ||
      personality == gGlobalCxxPersonality.load(std::memory_order_relaxed))
    return pkCxx;
  if (personality != 0 && personality == gCCleanupPersonality.load(std::memory_order_relaxed)) return pkCCleanup;
  return pkForeign;
}

TFrameEhInfo FindFrameEhInfo(uintptr_t pc) {
  TFrameEhInfo info;
  TDwarfEhBases raw{};
  const void* fde = _Unwind_Find_FDE(reinterpret_cast<void*>(pc), &raw);
  if (!fde) return info;
  TEhBases bases;
  bases.TextBase = reinterpret_cast<uintptr_t>(raw.tbase);
  bases.DataBase = reinterpret_cast<uintptr_t>(raw.dbase);
  bases.FunctionStart = reinterpret_cast<uintptr_t>(raw.func);
  TFdeInfo parsed;
  if (!ParseFde(static_cast<const uint8_t*>(fde), bases, &parsed)) {
    // Whatever the CIE says is unknown; the walk counts the frame as catching.
    info.HasFde = true;
    info.Readable = false;
    info.FunctionStart = bases.FunctionStart;
    return info;
  }
  info.HasFde = true;
  info.SignalFrame = parsed.SignalFrame;
  info.FunctionStart = parsed.FunctionStart;
  info.Personality = parsed.Personality;
  info.Lsda = parsed.Lsda;
  info.TextBase = bases.TextBase;
  info.DataBase = bases.DataBase;
  return info;
}
