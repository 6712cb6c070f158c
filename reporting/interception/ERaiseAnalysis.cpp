#include "reporting/interception/ERaiseAnalysis.h"

#include <atomic>

#include "reporting/interception/ELsda.h"

namespace {

// --- The layer's own catching frames -------------------------------------------------------

constexpr size_t kMaxLayerCatchFrames = 16;
std::atomic<uintptr_t> gLayerCatchFrames[kMaxLayerCatchFrames];

// Thread caches compare it with the one they were filled under.
std::atomic<uint32_t> gCacheGeneration{1};

bool IsLayerCatchFrame(uintptr_t functionStart) {
  for (const auto& slot : gLayerCatchFrames)
    if (slot.load(std::memory_order_acquire) == functionStart) return true;
  return false;
}

uintptr_t FunctionStartOf(const void* address) {
  uintptr_t pc = reinterpret_cast<uintptr_t>(address);
  TFrameEhInfo info = FindFrameEhInfo(pc);
  return info.HasFde ? info.FunctionStart : pc;
}

// --- The per-thread decision cache ---------------------------------------------------------

constexpr size_t kCacheEntries = 10;

struct TCacheEntry {
  const std::type_info* Type;
  uintptr_t ThrowAddress;
  uint64_t ChainHash;
  uint32_t Frames;
  bool Complete;
  TRaiseDecision Decision;
};

struct TDecisionCache {
  uint32_t Generation;
  uint8_t Count;
  uint8_t Next;  // the slot the next decision overwrites: the oldest once full
  TCacheEntry Entries[kCacheEntries];
};

// Constant-initialised and trivially destructible: no TLS constructor runs on a throw path.
constinit thread_local TDecisionCache tCache{};

uint64_t HashChain(std::span<const uintptr_t> chain) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (uintptr_t a : chain) {
    h = (h ^ a) * 0x100000001b3ULL;
    h ^= h >> 29;
  }
  return h;
}

}  // namespace

TRaiseDecision AnalyseRaise(std::span<const uintptr_t> returnAddresses, const std::type_info* type,
                            void* thrownObject, bool complete) {
  TRaiseDecision decision;
  bool exactPc = false;  // the inner frame was a signal trampoline: this address is the pc itself
  for (size_t i = 0; i < returnAddresses.size(); ++i) {
    const uintptr_t address = returnAddresses[i];
    if (address == 0) {
      decision.End = reEndOfStack;
      return decision;
    }
    const uintptr_t ip = exactPc ? address : address - 1;
    const TFrameEhInfo frame = FindFrameEhInfo(ip);
    if (!frame.HasFde) {
      decision.End = reEndOfStack;
      return decision;
    }
    exactPc = frame.SignalFrame;

    if (frame.Readable && frame.Personality == 0) continue;
    const TPersonalityKind personality = frame.Readable ? ClassifyPersonality(frame.Personality) : pkForeign;
    if (personality == pkCCleanup) continue;
    TFrameVerdict verdict;
    bool foreign = personality == pkForeign;
    if (foreign) {
      verdict.Action = faCatchAll;
    } else {
      if (frame.Lsda == 0) continue;
      TEhBases bases{frame.TextBase, frame.DataBase, frame.FunctionStart};
      verdict = ClassifyGxxFrame(reinterpret_cast<const uint8_t*>(frame.Lsda), ip, bases, type, thrownObject);
    }

    switch (verdict.Action) {
      case faNothing:
      case faCleanup:
        continue;
      case faTerminate:
        decision.End = reNoCallSite;
        return decision;
      case faUnexpected:
        decision.End = reThrowList;
        return decision;
      case faUnreadable:
        // The personality would read the same bytes; claim nothing we cannot prove.
        foreign = true;
        verdict.Action = faCatchAll;
        verdict.LandingPad = 0;
        break;
      case faCatchAll:
      case faCatchTyped:
        break;
    }
    decision.FirstKind = verdict.Action == faCatchTyped ? ckTyped : ckCatchAll;
    decision.CatchingFrames = 1;
    decision.FirstHandler = verdict.LandingPad;
    decision.FirstFrame = i;
    if (IsLayerCatchFrame(frame.FunctionStart)) {
      decision.LayerCatch = true;
      decision.End = reLayerCatch;
      return decision;
    }
    decision.Caught = true;
    decision.End = foreign ? reForeign : reCatch;
    return decision;
  }
  if (!complete) {
    decision.Caught = true;
    decision.End = reUnknownBeyond;
  }
  return decision;
}

TRaiseDecision AnalyseRaiseCached(std::span<const uintptr_t> returnAddresses, const std::type_info* type,
                                  void* thrownObject, bool complete) {
  TDecisionCache& cache = tCache;
  const uint32_t generation = gCacheGeneration.load(std::memory_order_acquire);
  if (cache.Generation != generation) {
    cache.Generation = generation;
    cache.Count = 0;
    cache.Next = 0;
  }
  const uintptr_t throwAddress = returnAddresses.empty() ? 0 : returnAddresses[0];
  const uint64_t hash = HashChain(returnAddresses);
  const auto frames = static_cast<uint32_t>(returnAddresses.size());
  for (size_t i = 0; i < cache.Count; ++i) {
    const TCacheEntry& e = cache.Entries[i];
    if (e.Type == type && e.ThrowAddress == throwAddress && e.ChainHash == hash && e.Frames == frames &&
        e.Complete == complete)
      return e.Decision;
  }
  TRaiseDecision decision = AnalyseRaise(returnAddresses, type, thrownObject, complete);
  // A registration during the analysis has moved the generation on: the next lookup drops this.
  cache.Entries[cache.Next] = TCacheEntry{type, throwAddress, hash, frames, complete, decision};
  cache.Next = static_cast<uint8_t>((cache.Next + 1) % kCacheEntries);
  if (cache.Count < kCacheEntries) ++cache.Count;
  return decision;
}

void ClearRaiseDecisionCaches() { gCacheGeneration.fetch_add(1, std::memory_order_acq_rel); }

bool RegisterLayerCatchFrame(const void* functionAddress) {
  const uintptr_t start = FunctionStartOf(functionAddress);
  if (start == 0) return false;
  bool registered = IsLayerCatchFrame(start);
  for (size_t i = 0; !registered && i < kMaxLayerCatchFrames; ++i) {
    uintptr_t expected = 0;
    registered = gLayerCatchFrames[i].compare_exchange_strong(expected, start, std::memory_order_acq_rel);
  }
  ClearRaiseDecisionCaches();
  return registered;
}

void UnregisterLayerCatchFrame(const void* functionAddress) {
  const uintptr_t start = FunctionStartOf(functionAddress);
  for (auto& slot : gLayerCatchFrames) {
    uintptr_t expected = start;
    slot.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
  }
  ClearRaiseDecisionCaches();
}
