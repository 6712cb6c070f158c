#include "reporting/bridge/EQtApplicationHook.h"

#include <QApplication>
#include <atomic>
#include <cstring>
#include <exception>

#include "reporting/interception/EHook.h"
#include "reporting/interception/ERaiseAnalysis.h"
#include "reporting/interception/ExceptionLog.h"
#include "reporting/options/EModules.h"
#include "runtime/Application.h"

namespace {

using TNotify = bool (*)(QApplication* self, QObject* receiver, QEvent* event);

std::atomic<TNotify> g_original{nullptr};
void* g_vtable = nullptr;

size_t NotifySlot() {
  bool (QApplication::*member)(QObject*, QEvent*) = &QApplication::notify;
  struct {
    uintptr_t Pointer;
    ptrdiff_t Adjustment;
  } raw;
  static_assert(sizeof member == sizeof raw);
  std::memcpy(&raw, &member, sizeof raw);
  // Itanium C++ ABI: a pointer to a virtual member holds 1 plus the slot's offset in the table.
  return (raw.Pointer - 1) / sizeof(void*);
}

bool NotifyWrapper(QApplication* self, QObject* receiver, QEvent* event) {
  try {
    return g_original.load()(self, receiver, event);
  } catch (...) {
    std::exception_ptr e = std::current_exception();
    void* object = *reinterpret_cast<void**>(&e);  // the exception_ptr's one word is the object
    // Already reported at its raise: dealt with. The standard handling is what Qt does without
    // the layer: the exception goes on out of the event loop.
    if (ExceptionManager(object, nullptr, nullptr, 1, ReportingModuleHandle())) throw;
    return false;
  }
}

}  // namespace

bool HookApplicationNotify(QApplication& app) {
  if (g_vtable || dynamic_cast<TApplication*>(&app)) return false;
  void* vtable = *reinterpret_cast<void**>(&app);
  try {
    g_original.store(reinterpret_cast<TNotify>(
        PatchVirtualSlot(vtable, NotifySlot(), reinterpret_cast<void*>(&NotifyWrapper))));
  } catch (...) {
    return false;  // the table is not where a loaded module can be patched: not intercepted
  }
  g_vtable = vtable;
  RegisterLayerCatchFrame(reinterpret_cast<const void*>(&NotifyWrapper));
  return true;
}

void UnhookApplicationNotify() {
  if (!g_vtable) return;
  RestoreVirtualSlot(g_vtable, NotifySlot());
  UnregisterLayerCatchFrame(reinterpret_cast<const void*>(&NotifyWrapper));
  g_vtable = nullptr;
}
