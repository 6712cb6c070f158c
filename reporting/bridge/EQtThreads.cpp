#include "reporting/bridge/EQtThreads.h"

#include <dlfcn.h>

#include <QThread>
#include <atomic>

#include "reporting/interception/EThreads.h"

namespace {

std::atomic<const void*> g_qtCoreBase{nullptr};

const void* ModuleBaseOf(const void* address) {
  Dl_info info{};
  return address && ::dladdr(address, &info) ? info.dli_fbase : nullptr;
}

void NameIfQThread(TTarvexThreadRecord& r) {
  if (r.ThreadObject || !r.StartParameter) return;
  const void* base = g_qtCoreBase.load();
  if (base && ModuleBaseOf(r.StartRoutine) == base) r.ThreadObject = r.StartParameter;
}

void OnThreadStart() { ThreadRegistry().Update(CurrentThreadId(), &NameIfQThread); }

}  // namespace

void StartQThreadNaming() {
  g_qtCoreBase.store(ModuleBaseOf(reinterpret_cast<const void*>(&QThread::staticMetaObject)));
  AddThreadStartHook(&OnThreadStart);
  for (const TTarvexThreadRecord& r : ThreadRegistry().Snapshot()) ThreadRegistry().Update(r.ThreadID, &NameIfQThread);
}
