#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>

#include "reporting/options/EModules.h"
#include "reporting/options/EPaths.h"

namespace {

struct CollectState {
  std::vector<TLoadedModule> modules;
  bool first = true;
};

int Collect(dl_phdr_info* info, size_t, void* data) {
  auto* state = static_cast<CollectState*>(data);
  bool main = state->first;  // the loader reports the executable first
  state->first = false;
  std::string name = main ? MainModuleFileName() : std::string(info->dlpi_name ? info->dlpi_name : "");
  // The vDSO and similar objects have no file.
  if (!name.empty() && name.front() == '/') state->modules.push_back({ModuleLoadBase(info), name});
  return 0;
}

// Its address lies in the module that holds this copy of the layer.
void Anchor() {}

}  // namespace

// The module handle is where the loader mapped the object's first segment (what dladdr
// reports as dli_fbase), also for executables linked at a fixed address.
TModuleHandle ModuleLoadBase(const dl_phdr_info* info) {
  ElfW(Addr) lowest = ~ElfW(Addr){0};
  for (int i = 0; i < info->dlpi_phnum; ++i)
    if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_vaddr < lowest)
      lowest = info->dlpi_phdr[i].p_vaddr;
  if (lowest == ~ElfW(Addr){0}) return 0;
  const ElfW(Addr) page = static_cast<ElfW(Addr)>(::sysconf(_SC_PAGESIZE));
  return static_cast<TModuleHandle>((info->dlpi_addr + lowest) & ~(page - 1));
}

std::string MainModuleFileName() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::vector<TLoadedModule> LoadedModules() {
  CollectState state;
  dl_iterate_phdr(&Collect, &state);
  return std::move(state.modules);
}

TModuleHandle ModuleHandleOf(std::string_view fileName) {
  if (fileName.empty()) return 0;
  bool bare = fileName.find('/') == std::string_view::npos;
  for (const auto& m : LoadedModules()) {
    if (m.FileName == fileName || (bare && ExtractFileName(m.FileName) == fileName)) return m.Handle;
  }
  return 0;
}

std::string ModuleFileName(TModuleHandle handle) {
  for (const auto& m : LoadedModules())
    if (m.Handle == handle) return m.FileName;
  return {};
}

TModuleHandle ReportingModuleHandle() {
  static const TModuleHandle handle = [] {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<const void*>(&Anchor), &info)) return TModuleHandle{0};
    return reinterpret_cast<TModuleHandle>(info.dli_fbase);
  }();
  return handle;
}

TModuleHandle MainModuleHandle() {
  auto modules = LoadedModules();
  return modules.empty() || modules.front().FileName != MainModuleFileName() ? 0 : modules.front().Handle;
}
