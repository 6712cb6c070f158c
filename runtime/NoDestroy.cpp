#include "runtime/NoDestroy.h"

#if !defined(__SANITIZE_ADDRESS__)
#include <atomic>

extern "C" void* __dso_handle;
extern "C" int __cxa_atexit(void (*)(void*), void*, void*);

namespace {

std::atomic<nodestroy::TNode*> g_made{nullptr};
bool g_unloading = false;

// How the two ends are told apart: when a shared object is unloaded, its destructor functions
// run first and then its exit handlers; at process exit every exit handler runs first and the
// destructor functions last.
__attribute__((destructor)) void MarkUnloading() { g_unloading = true; }

void AtModuleEnd(void*) {
  if (!g_unloading) return;  // process exit: kept until the end
  // Registered before any of the module's statics, so this runs after their destructors.
  for (nodestroy::TNode* node = g_made.exchange(nullptr); node;) {
    nodestroy::TNode* next = node->Next;
    node->Destroy(node);
    node = next;
  }
}

__attribute__((constructor(101))) void WatchModuleEnd() { __cxa_atexit(AtModuleEnd, nullptr, &__dso_handle); }

}  // namespace

void nodestroy::Register(TNode* node) noexcept {
  node->Next = g_made.load(std::memory_order_relaxed);
  while (!g_made.compare_exchange_weak(node->Next, node, std::memory_order_release, std::memory_order_relaxed)) {
  }
}
#endif
