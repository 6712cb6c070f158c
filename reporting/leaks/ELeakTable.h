// The leak tracker's bookkeeping, kept outside the blocks it describes: a table of live blocks
// in a mapping of its own, split into shares with a lock each, a store of distinct allocation
// stacks, and per share a short list of recently released blocks.
//
// Nothing here calls malloc or operator new, so it can run inside operator new. A full share
// or a full stack store turns new tracking off (TableFull); it never fails an allocation.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr size_t kLeakMaxFrames = 35;

enum TLeakBlockState : uint8_t {
  lsAllocated = 0,
  lsReleased = 1,  // released while the exit report runs: kept, only marked
};

// One live block. `Base` is the caller's pointer; the raw block starts `Front` bytes before it.
struct TLeakEntry {
  uint64_t Base = 0;
  uint64_t Size = 0;
  uint64_t Sequence = 0;
  uint32_t StackId = 0;  // 0: no stack
  uint8_t State = lsAllocated;
  uint8_t FrontShift = 0;  // the front guard is 1 << FrontShift bytes
  uint16_t Reserved = 0;
};
static_assert(sizeof(TLeakEntry) == 32);

struct TLeakStack {
  uint32_t Depth = 0;
  const uintptr_t* Frames = nullptr;
};

// What a release finds.
enum class TLeakLookup {
  Untracked,       // not in the table and not released lately: the caller frees it as is
  Tracked,         // removed from the table, `entry` filled
  RecentlyFreed,   // released lately: a second release
  MarkedAtExit,    // the exit report runs: marked released, stays allocated
};

namespace leak_table {

// Maps the table and the stack store (address space only; pages are touched as used) and
// registers the fork handlers. False when the mappings cannot be made. Once per process.
bool Initialize();
bool Initialized();
// True once a share or the stack store ran out of room: no new block is tracked.
bool TableFull();

// Allocation order: increasing within a thread, never handed out twice; across threads only
// roughly in time order (each thread draws from a block of its own).
uint64_t NextSequence();
// The id of a stack in the store (the same frames give the same id); 0 when the store is full.
uint32_t StoreStack(const uintptr_t* frames, uint32_t depth);
TLeakStack StackOf(uint32_t id);

// False when the block's share is full (tracking then stops).
bool Insert(const TLeakEntry& entry);
// Looks a released pointer up; a tracked one leaves the table and joins its share's recent list,
// except while the exit report runs (`markOnly` set), when it is only marked. The switch is read
// under the share's lock, so no release that Snapshot missed frees a block it copied.
TLeakLookup Release(uint64_t base, const std::atomic<bool>& markOnly, TLeakEntry* entry);
// Forgets a pointer from the recent lists (the allocator handed the address out again).
void ForgetRecent(uint64_t base);

// Copies every entry in state lsAllocated into `out` (at most `max`), holding all locks at once
// so the copy is one moment's; returns the number copied (the total when larger than max).
size_t Snapshot(TLeakEntry* out, size_t max);
size_t LiveCount();

// Bytes of mapped table per tracked block and per stored stack (the benchmark prints them).
size_t BytesPerEntry();
size_t BytesPerStack();
size_t StackCount();

// Empties everything (tests and the benchmark, between rounds with no allocation running).
void ResetForTests();

}  // namespace leak_table
