#include "reporting/options/EModuleData.h"

#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "reporting/options/EModules.h"
#include "runtime/NoDestroy.h"

namespace {

struct TRegistry {
  std::mutex mutex;
  std::map<TModuleHandle, std::unique_ptr<TTarvexModuleData>> records;
  std::set<TModuleHandle> examined;
};

TRegistry& Registry() {
  static TNoDestroy<TRegistry> registry;  // the leak report at exit looks modules up
  return *registry;
}

}  // namespace

std::unique_ptr<TTarvexModuleData> LoadModuleData(TModuleHandle handle, const std::string& fileName) {
  try {
    auto block = ReadStoredBlock(fileName);
    if (!block) return nullptr;
    auto data = std::make_unique<TTarvexModuleData>();
    data->Handle = handle;
    data->FileName = fileName;
    data->Options = std::make_unique<TTarvexModuleOptionsEx>(fileName);
    std::istringstream in(block->Options);
    data->Options->LoadFromStream(in);
    data->Block = std::move(*block);
    if (handle != ReportingModuleHandle()) data->Options->RefreshFromShared();
    return data;
  } catch (...) {
    return nullptr;
  }
}

void LoadAllModulesOptions() {
  try {
    TRegistry& reg = Registry();
    for (const auto& module : LoadedModules()) {
      {
        std::lock_guard lock(reg.mutex);
        if (!reg.examined.insert(module.Handle).second) continue;
      }
      // Loading publishes the module's own set, so it runs outside the registry lock.
      auto data = LoadModuleData(module.Handle, module.FileName);
      if (!data) continue;
      TTarvexModuleOptionsEx* options = data->Options.get();
      bool own = module.Handle == ReportingModuleHandle();
      {
        std::lock_guard lock(reg.mutex);
        reg.records[module.Handle] = std::move(data);
      }
      // The own set was loaded before it became the record's; start the watch it asks for.
      if (own && options->ReportingActive() && options->FreezeDetection()) RunFreezeWatch(true);
    }
  } catch (...) {
  }
}

TTarvexModuleData* FindModuleData(TModuleHandle handle) {
  TRegistry& reg = Registry();
  std::lock_guard lock(reg.mutex);
  auto it = reg.records.find(handle);
  return it == reg.records.end() ? nullptr : it->second.get();
}

bool IsOwnModuleOptions(const TTarvexModuleOptions* options) {
  TTarvexModuleData* own = FindModuleData(ReportingModuleHandle());
  return own && own->Options.get() == options;
}

TTarvexModuleOptionsEx& CurrentTarvexLogOptions() {
  TTarvexModuleData* own = FindModuleData(ReportingModuleHandle());
  if (!own)
    throw EAssertionFailed(
        "\r\nCannot use 'CurrentTarvexLogOptions' function in module \"%s\" without activate TarvexLog.\r\n"
        "To activate TarvexLog use the new IDE \"Project/TarvexLog Options...\" menu.",
        {ModuleFileName(ReportingModuleHandle())});
  return *own->Options;
}
