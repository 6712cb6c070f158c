// The table: open addressing with linear probing and backward-shift removal (no tombstones, so a
// long-running program does not fill up with them), one lock per share. The stack store is
// append-only and lock-free: a record is written whole before its id is published in a bucket.
//
// Nothing an allocation does writes a cache line another thread writes too, unless both hit the
// same share: sequence numbers are handed to each thread in blocks, and each thread remembers the
// last stack it stored (a loop allocates from the same place again and again).
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "reporting/leaks/ELeakTable.h"

namespace {

constexpr size_t kShareBits = 6;
constexpr size_t kShares = size_t(1) << kShareBits;
constexpr size_t kSlotBits = 15;
constexpr size_t kSlots = size_t(1) << kSlotBits;  // per share
constexpr size_t kMaxLoad = kSlots / 4 * 3;
constexpr size_t kRecent = 32;                      // released blocks remembered per share

constexpr size_t kStackBits = 17;
constexpr size_t kStackCapacity = size_t(1) << kStackBits;
constexpr size_t kBucketBits = kStackBits + 1;
constexpr size_t kBuckets = size_t(1) << kBucketBits;

// A share's lock: 0 free, 1 held, 2 held with a waiter, who sleeps in the kernel. Taking and
// leaving a free lock is one atomic operation each and a few instructions.
class TShareLock {
 public:
  void Lock() {
    uint32_t seen = 0;
    if (__builtin_expect(word_.compare_exchange_strong(seen, 1, std::memory_order_acquire), 1)) return;
    if (seen != 2) seen = word_.exchange(2, std::memory_order_acquire);
    while (seen != 0) {
      ::syscall(SYS_futex, &word_, FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
      seen = word_.exchange(2, std::memory_order_acquire);
    }
  }
  void Unlock() {
    if (__builtin_expect(word_.exchange(0, std::memory_order_release) == 2, 0))
      ::syscall(SYS_futex, &word_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }

 private:
  std::atomic<uint32_t> word_{0};
};

struct alignas(64) TShare {
  TShareLock Lock;
  size_t Count = 0;
  size_t RecentNext = 0;
  uint64_t Recent[kRecent] = {};
  TLeakEntry* Slots = nullptr;
};

struct TStackRecord {
  uint64_t Hash;
  uint32_t Depth;
  uint32_t Reserved;
  uintptr_t Frames[kLeakMaxFrames];
};

TShare gShares[kShares];
std::atomic<bool> gInitialized{false};
std::atomic<bool> gFull{false};
std::atomic<uint64_t> gSequence{0};

// A thread's sequence numbers come from a block of its own. They grow within a thread, which is
// the order that matters (a constructor's blocks follow its object's); across threads they are
// only roughly in time order.
constexpr uint64_t kSequenceBlock = 256;
thread_local uint64_t tSequenceNext = 0;
thread_local uint64_t tSequenceEnd = 0;

// The last stack this thread stored; valid while the store's generation is the same.
struct TStackHint {
  uint64_t Generation = 0;
  uint32_t Id = 0;
  uint32_t Depth = 0;
  uintptr_t Frames[kLeakMaxFrames] = {};
};
thread_local TStackHint tStackHint;
std::atomic<uint64_t> gStoreGeneration{1};

TStackRecord* gStacks = nullptr;                 // record 0 is never used
std::atomic<uint32_t>* gBuckets = nullptr;
std::atomic<uint32_t> gNextStack{1};
std::atomic<uint32_t> gStoredStacks{0};

inline uint64_t Mix(uint64_t v) {
  v ^= v >> 33;
  v *= 0xff51afd7ed558ccdull;
  v ^= v >> 33;
  return v;
}
inline TShare& ShareOf(uint64_t base) { return gShares[Mix(base) >> (64 - kShareBits)]; }
inline size_t HomeOf(uint64_t base) { return Mix(base) & (kSlots - 1); }

void* MapZeroed(size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void LockAll() {
  for (TShare& s : gShares) s.Lock.Lock();
}
void UnlockAll() {
  for (TShare& s : gShares) s.Lock.Unlock();
}

// Removes slot `i` and shifts the probe chain behind it back (linear probing).
void RemoveAt(TShare& s, size_t i) {
  size_t hole = i;
  size_t j = i;
  for (;;) {
    j = (j + 1) & (kSlots - 1);
    if (s.Slots[j].Base == 0) break;
    const size_t home = HomeOf(s.Slots[j].Base);
    // Move j into the hole when its home does not lie cyclically in (hole, j].
    const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (!stays) {
      s.Slots[hole] = s.Slots[j];
      hole = j;
    }
  }
  s.Slots[hole] = TLeakEntry{};
  --s.Count;
}

void Remember(TShare& s, uint64_t base) {
  // A loop that allocates and releases one block would otherwise fill the list with its copies
  // and push out the other blocks released lately.
  if (s.Recent[(s.RecentNext + kRecent - 1) % kRecent] == base) return;
  s.Recent[s.RecentNext] = base;
  s.RecentNext = (s.RecentNext + 1) % kRecent;
}

// An address may be listed more than once (it was tracked, released, tracked and released again):
// every copy goes. The first pass has no early exit, so it compiles to a few vector compares.
void ForgetLocked(TShare& s, uint64_t base) {
  bool listed = false;
  for (uint64_t r : s.Recent) listed |= r == base;
  if (!listed) return;
  for (uint64_t& r : s.Recent)
    if (r == base) r = 0;
}

// No early exit: a few vector compares instead of a branch per frame.
inline bool SameFrames(const uintptr_t* a, const uintptr_t* b, uint32_t depth) {
  uintptr_t differ = 0;
  for (uint32_t i = 0; i < depth; ++i) differ |= a[i] ^ b[i];
  return differ == 0;
}

inline uint64_t HashStack(const uintptr_t* frames, uint32_t depth) {
  uint64_t hash = 0x9E3779B97F4A7C15ull ^ depth;
  for (uint32_t i = 0; i < depth; ++i) hash = ((hash << 23 | hash >> 41) ^ frames[i]) * 0xff51afd7ed558ccdull;
  return Mix(hash) | 1;
}

}  // namespace

namespace leak_table {

bool Initialize() {
  if (gInitialized.load(std::memory_order_acquire)) return true;
  auto* slots = static_cast<TLeakEntry*>(MapZeroed(kShares * kSlots * sizeof(TLeakEntry)));
  auto* stacks = static_cast<TStackRecord*>(MapZeroed(kStackCapacity * sizeof(TStackRecord)));
  auto* buckets = static_cast<std::atomic<uint32_t>*>(MapZeroed(kBuckets * sizeof(uint32_t)));
  if (!slots || !stacks || !buckets) return false;
  for (size_t i = 0; i < kShares; ++i) gShares[i].Slots = slots + i * kSlots;
  gStacks = stacks;
  gBuckets = buckets;
  // A child forked while another thread held a share's lock would never get it.
  pthread_atfork(&LockAll, &UnlockAll, &UnlockAll);
  gInitialized.store(true, std::memory_order_release);
  return true;
}

bool Initialized() { return gInitialized.load(std::memory_order_acquire); }
bool TableFull() { return gFull.load(std::memory_order_relaxed); }

uint64_t NextSequence() {
  if (__builtin_expect(tSequenceNext == tSequenceEnd, 0)) {
    tSequenceNext = gSequence.fetch_add(kSequenceBlock, std::memory_order_relaxed) + 1;
    tSequenceEnd = tSequenceNext + kSequenceBlock;
  }
  return tSequenceNext++;
}

namespace {

uint32_t FindOrAddStack(const uintptr_t* frames, uint32_t depth) {
  const uint64_t hash = HashStack(frames, depth);
  size_t b = hash & (kBuckets - 1);
  uint32_t claimed = 0;  // a record written but not published yet
  for (size_t probe = 0; probe < 64; ++probe, b = (b + 1) & (kBuckets - 1)) {
    uint32_t id = gBuckets[b].load(std::memory_order_acquire);
    while (id == 0) {
      if (!claimed) {
        claimed = gNextStack.fetch_add(1, std::memory_order_relaxed);
        if (claimed >= kStackCapacity) {
          gFull.store(true, std::memory_order_relaxed);
          return 0;
        }
        TStackRecord& r = gStacks[claimed];
        r.Hash = hash;
        r.Depth = depth;
        std::memcpy(r.Frames, frames, depth * sizeof(uintptr_t));
      }
      if (gBuckets[b].compare_exchange_strong(id, claimed, std::memory_order_acq_rel)) {
        gStoredStacks.fetch_add(1, std::memory_order_relaxed);
        return claimed;
      }
      // Another thread published here first: `id` now holds its record.
    }
    const TStackRecord& r = gStacks[id];
    if (r.Hash == hash && r.Depth == depth && SameFrames(r.Frames, frames, depth))
      return id;  // a claimed record stays unused: rare, and only address space
  }
  return 0;
}

}  // namespace

uint32_t StoreStack(const uintptr_t* frames, uint32_t depth) {
  if (depth > kLeakMaxFrames) depth = kLeakMaxFrames;
  TStackHint& hint = tStackHint;
  const uint64_t generation = gStoreGeneration.load(std::memory_order_relaxed);
  if (hint.Depth == depth && hint.Generation == generation &&
      std::memcmp(hint.Frames, frames, depth * sizeof(uintptr_t)) == 0)
    return hint.Id;
  const uint32_t id = FindOrAddStack(frames, depth);
  if (id != 0) {
    hint.Generation = generation;
    hint.Id = id;
    hint.Depth = depth;
    std::memcpy(hint.Frames, frames, depth * sizeof(uintptr_t));
  }
  return id;
}

TLeakStack StackOf(uint32_t id) {
  if (id == 0 || id >= kStackCapacity || !gStacks) return {};
  return {gStacks[id].Depth, gStacks[id].Frames};
}

bool Insert(const TLeakEntry& entry) {
  TShare& s = ShareOf(entry.Base);
  s.Lock.Lock();
  if (s.Count >= kMaxLoad) {
    s.Lock.Unlock();
    gFull.store(true, std::memory_order_relaxed);
    return false;
  }
  size_t i = HomeOf(entry.Base);
  while (s.Slots[i].Base != 0 && s.Slots[i].Base != entry.Base) i = (i + 1) & (kSlots - 1);
  if (s.Slots[i].Base == 0) ++s.Count;
  s.Slots[i] = entry;
  // The address may still be listed as released lately: harmless, a release finds the table's
  // entry first, and ForgetRecent drops every copy.
  s.Lock.Unlock();
  return true;
}

TLeakLookup Release(uint64_t base, const std::atomic<bool>& markOnly, TLeakEntry* entry) {
  TShare& s = ShareOf(base);
  s.Lock.Lock();
  size_t i = HomeOf(base);
  while (s.Slots[i].Base != 0 && s.Slots[i].Base != base) i = (i + 1) & (kSlots - 1);
  TLeakLookup result;
  if (s.Slots[i].Base == base) {
    *entry = s.Slots[i];
    if (s.Slots[i].State == lsReleased) {
      result = TLeakLookup::RecentlyFreed;
    } else if (markOnly.load(std::memory_order_relaxed)) {
      s.Slots[i].State = lsReleased;
      result = TLeakLookup::MarkedAtExit;
    } else {
      RemoveAt(s, i);
      Remember(s, base);
      result = TLeakLookup::Tracked;
    }
  } else {
    bool recent = false;
    for (uint64_t r : s.Recent) recent |= r == base;  // no early exit: vector compares
    result = recent ? TLeakLookup::RecentlyFreed : TLeakLookup::Untracked;
  }
  s.Lock.Unlock();
  return result;
}

void ForgetRecent(uint64_t base) {
  TShare& s = ShareOf(base);
  s.Lock.Lock();
  ForgetLocked(s, base);
  s.Lock.Unlock();
}

size_t Snapshot(TLeakEntry* out, size_t max) {
  if (!Initialized()) return 0;
  size_t n = 0;
  LockAll();
  for (TShare& s : gShares)
    for (size_t i = 0; i < kSlots && s.Count; ++i)
      if (s.Slots[i].Base != 0 && s.Slots[i].State == lsAllocated) {
        if (n < max) out[n] = s.Slots[i];
        ++n;
      }
  UnlockAll();
  return n;
}

size_t LiveCount() {
  size_t n = 0;
  for (TShare& s : gShares) {
    s.Lock.Lock();
    n += s.Count;
    s.Lock.Unlock();
  }
  return n;
}

size_t BytesPerEntry() { return sizeof(TLeakEntry) * kSlots / kMaxLoad; }
size_t BytesPerStack() { return sizeof(TStackRecord) + 2 * sizeof(uint32_t); }
size_t StackCount() { return gStoredStacks.load(); }

void ResetForTests() {
  if (!Initialized()) return;
  LockAll();
  // Dropping the pages zeroes them without touching (and so committing) the whole mapping.
  ::madvise(gShares[0].Slots, kShares * kSlots * sizeof(TLeakEntry), MADV_DONTNEED);
  for (TShare& s : gShares) {
    s.Count = 0;
    s.RecentNext = 0;
    std::memset(s.Recent, 0, sizeof s.Recent);
  }
  UnlockAll();
  ::madvise(static_cast<void*>(gBuckets), kBuckets * sizeof(uint32_t), MADV_DONTNEED);
  ::madvise(static_cast<void*>(gStacks), kStackCapacity * sizeof(TStackRecord), MADV_DONTNEED);
  gNextStack.store(1);
  gStoredStacks.store(0);
  gStoreGeneration.fetch_add(1);  // every thread's last-stack hint is stale
  gFull.store(false);
}

}  // namespace leak_table
