// The replaceable global operator new and operator delete, every form, on malloc and
// aligned_alloc. While tracking, a block gets guard bytes and an entry in the table; whether a
// released pointer is tracked is the table's answer, never memory in front of the pointer.
//
// A release never throws (operator delete is noexcept): memory errors are reported through the
// flow from here, and the release then goes on as if it had not happened.
#include <dlfcn.h>
#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "reporting/leaks/ELeakGuard.h"
#include "reporting/leaks/ELeakState.h"
#include "reporting/leaks/ELeakTable.h"
#include "reporting/leaks/ELeaks.h"

using namespace leak_state;

namespace {

inline size_t RoundUp(size_t n, size_t to) { return (n + to - 1) & ~(to - 1); }

inline void* PlainAllocate(size_t size, size_t align) {
  if (align <= alignof(std::max_align_t)) return std::malloc(size ? size : 1);
  return std::aligned_alloc(align, RoundUp(size ? size : 1, align));
}

ZELK_LEAK_HOOK_CODE void* TrackedAllocate(size_t size, size_t align) {
  TGuardScope guard;
  if (!gExitRegistered.load(std::memory_order_relaxed)) RegisterExitOnce();
  unsigned shift = kLeakFrontShiftMin;
  while ((size_t(1) << shift) < align) ++shift;
  const size_t front = size_t(1) << shift;
  if (size > SIZE_MAX / 2) return nullptr;
  const size_t total = front + size + kLeakBackGuardMin;
  void* raw = front > 16 ? std::aligned_alloc(front, RoundUp(total, front)) : std::malloc(total);
  if (!raw) return nullptr;
  auto* bytes = static_cast<unsigned char*>(raw);
  FillLeakGuards(bytes, front, size, malloc_usable_size(raw));
  // A stale vtable pointer left by an earlier block would make plain data look like an object
  // at exit; constructors overwrite this word, data buffers usually do not.
  if (size >= sizeof(uintptr_t)) std::memset(bytes + front, 0, sizeof(uintptr_t));
  TLeakEntry entry;
  entry.Base = reinterpret_cast<uint64_t>(bytes + front);
  entry.Size = size;
  entry.Sequence = leak_table::NextSequence();
  entry.StackId = CaptureAllocationStack();
  entry.FrontShift = static_cast<uint8_t>(shift);
  if (!leak_table::Insert(entry)) {
    // Out of room: tracking stops; this block goes untracked like every later one.
    StopLeakTracking();
    std::free(raw);
    return PlainAllocate(size, align);
  }
  return bytes + front;
}

// Inlined into operator new: fewer frames of the tracker's own for the stack walk to pass.
__attribute__((always_inline)) inline void* Allocate(size_t size, size_t align) {
  void* p;
  if (gTracking.load(std::memory_order_relaxed) && !tGuard) {
    p = TrackedAllocate(size, align);
  } else {
    p = PlainAllocate(size, align);
    // The address may have been a tracked block released lately: it is not a second release
    // when this block is released.
    if (p && gEverTracked.load(std::memory_order_relaxed)) leak_table::ForgetRecent(reinterpret_cast<uint64_t>(p));
  }
  return p;
}

__attribute__((always_inline)) inline void* AllocateOrThrow(size_t size, size_t align) {
  for (;;) {
    if (void* p = Allocate(size, align)) return p;
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

// Everything but the plain allocation of a program that never tracked. Reached by a tail call,
// so it takes operator new's place on the stack instead of adding a frame to walk.
ZELK_LEAK_HOOK_CODE void* AllocateSlowly(size_t size, size_t align) { return AllocateOrThrow(size, align); }

// Tracking off from the start is the usual case: malloc and nothing else.
__attribute__((always_inline)) inline void* New(size_t size) {
  if (__builtin_expect(!gEverTracked.load(std::memory_order_relaxed), 1))
    if (void* p = std::malloc(size ? size : 1); __builtin_expect(p != nullptr, 1)) return p;
  return AllocateSlowly(size, alignof(std::max_align_t));
}

ZELK_LEAK_HOOK_CODE void* AllocateNoThrow(size_t size, size_t align) noexcept {
  try {
    return AllocateOrThrow(size, align);
  } catch (...) {
    return nullptr;
  }
}

ZELK_LEAK_HOOK_CODE void ReportError(TMemoryError kind) {
  if (!(gFlags.load(std::memory_order_relaxed) & kLeakCheckErrors) || tGuard) return;
  TGuardScope guard;
  uintptr_t frames[kLeakMaxFrames];
  const size_t n = CaptureReleaseStack(frames, kLeakMaxFrames);
  try {
    ReportMemoryError(kind, frames, n);
  } catch (...) {
  }
}

ZELK_LEAK_HOOK_CODE void Release(void* p) noexcept {
  if (!p) return;
  if (!gEverTracked.load(std::memory_order_relaxed)) {
    std::free(p);
    return;
  }
  TLeakEntry entry;
  switch (leak_table::Release(reinterpret_cast<uint64_t>(p), gMarkOnly, &entry)) {
    case TLeakLookup::Untracked:
      std::free(p);
      return;
    case TLeakLookup::MarkedAtExit:
      return;
    case TLeakLookup::RecentlyFreed:
      // Handing it to the allocator again would corrupt its lists: ignored, reported when asked.
      ReportError(TMemoryError::MultiFree);
      return;
    case TLeakLookup::Tracked:
      break;
  }
  const size_t front = size_t(1) << entry.FrontShift;
  unsigned char* raw = static_cast<unsigned char*>(p) - front;
  if (!LeakGuardsIntact(raw, front, entry.Size, malloc_usable_size(raw)) &&
      (gFlags.load(std::memory_order_relaxed) & kLeakCheckErrors)) {
    // The damage may reach the allocator's own bytes: the block stays where it is.
    ReportError(TMemoryError::Overrun);
    return;
  }
  std::free(raw);
}

constexpr size_t kDefaultAlign = alignof(std::max_align_t);

// As New: straight to free while nothing was ever tracked (a tail call either way).
__attribute__((always_inline)) inline void Delete(void* p) {
  if (__builtin_expect(!gEverTracked.load(std::memory_order_relaxed), 1)) return std::free(p);
  Release(p);
}

// Tracking starts before the executable's other static objects are made (priority 101), when
// the stored block asks for it and this module's operator new is the one in effect.
__attribute__((constructor(101))) void StartLeakHook() {
  const uint8_t flags = StartLeakFlags(reinterpret_cast<const void*>(&StartLeakHook));
  if (!(flags & kLeakCatch)) return;
  Dl_info own{}, effective{};
  void* inEffect = dlsym(RTLD_DEFAULT, "_Znwm");
  if (!dladdr(reinterpret_cast<const void*>(&StartLeakHook), &own) || !inEffect || !dladdr(inEffect, &effective) ||
      own.dli_fbase != effective.dli_fbase)
    return;
  StartLeakTracking(flags, true);
}

}  // namespace

// Links this object into a program that names nothing of it.
extern "C" __attribute__((visibility("default"))) void TarvexLog_LeaksAnchor() {}

ZELK_LEAK_HOOK_CODE void* operator new(size_t size) { return New(size); }
ZELK_LEAK_HOOK_CODE void* operator new[](size_t size) { return New(size); }
ZELK_LEAK_HOOK_CODE void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return AllocateNoThrow(size, kDefaultAlign);
}
ZELK_LEAK_HOOK_CODE void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return AllocateNoThrow(size, kDefaultAlign);
}
ZELK_LEAK_HOOK_CODE void* operator new(size_t size, std::align_val_t align) {
  return AllocateOrThrow(size, static_cast<size_t>(align));
}
ZELK_LEAK_HOOK_CODE void* operator new[](size_t size, std::align_val_t align) {
  return AllocateOrThrow(size, static_cast<size_t>(align));
}
ZELK_LEAK_HOOK_CODE void* operator new(size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return AllocateNoThrow(size, static_cast<size_t>(align));
}
ZELK_LEAK_HOOK_CODE void* operator new[](size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return AllocateNoThrow(size, static_cast<size_t>(align));
}

ZELK_LEAK_HOOK_CODE void operator delete(void* p) noexcept { Delete(p); }
ZELK_LEAK_HOOK_CODE void operator delete[](void* p) noexcept { Delete(p); }
ZELK_LEAK_HOOK_CODE void operator delete(void* p, const std::nothrow_t&) noexcept { Delete(p); }
ZELK_LEAK_HOOK_CODE void operator delete[](void* p, const std::nothrow_t&) noexcept { Delete(p); }
ZELK_LEAK_HOOK_CODE void operator delete(void* p, size_t) noexcept { Delete(p); }
ZELK_LEAK_HOOK_CODE void operator delete[](void* p, size_t) noexcept { Delete(p); }
ZELK_LEAK_HOOK_CODE void operator delete(void* p, std::align_val_t) noexcept { Delete(p); }
ZELK_LEAK_HOOK_CODE void operator delete[](void* p, std::align_val_t) noexcept { Delete(p); }
ZELK_LEAK_HOOK_CODE void operator delete(void* p, size_t, std::align_val_t) noexcept { Delete(p); }
ZELK_LEAK_HOOK_CODE void operator delete[](void* p, size_t, std::align_val_t) noexcept { Delete(p); }
ZELK_LEAK_HOOK_CODE void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { Delete(p); }
ZELK_LEAK_HOOK_CODE void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { Delete(p); }
