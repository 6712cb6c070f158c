// DWARF through libdw: in the module itself or in its separate debug file. The debug file is
// looked for by our own callback (build-id, then .gnu_debuglink), so libdw never asks a
// debuginfod server for one.
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "reporting/debuginfo/EDwarfNames_linux.h"
#include "reporting/debuginfo/EModuleImage.h"

namespace {

std::string HexOf(const unsigned char* bytes, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

bool FileCrcIs(int fd, uint32_t expected) {
  uLong crc = crc32(0, nullptr, 0);
  unsigned char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) return false;
    if (n == 0) break;
    crc = crc32(crc, buf, static_cast<uInt>(n));
  }
  ::lseek(fd, 0, SEEK_SET);
  return static_cast<uint32_t>(crc) == expected;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

class TTLDebugInfoDwarf final : public TTLDebugInfoSource {
 public:
  explicit TTLDebugInfoDwarf(const TTarvexModuleInfo& module) : TTLDebugInfoSource(module), root_(DebugFileRoot()) {}

  ~TTLDebugInfoDwarf() override {
    if (dwfl_) dwfl_end(dwfl_);
  }

  bool InitializeSource() override {
    static const Dwfl_Callbacks callbacks = {
        nullptr,  // the file is reported directly
        &FindDebugInfo,
        &dwfl_offline_section_address,
        nullptr,
    };
    dwfl_ = dwfl_begin(&callbacks);
    if (!dwfl_) return false;
    dwfl_report_begin(dwfl_);
    mod_ = dwfl_report_elf(dwfl_, module_.FileName.c_str(), module_.FileName.c_str(), -1, module_.LoadBias, true);
    dwfl_report_end(dwfl_, nullptr, nullptr);
    if (!mod_) return false;
    void** slot = nullptr;
    dwfl_module_info(mod_, &slot, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (slot) *slot = this;
    // A file replaced on disk no longer describes the code in memory.
    const unsigned char* bits = nullptr;
    GElf_Addr vaddr = 0;
    int n = dwfl_module_build_id(mod_, &bits, &vaddr);
    if (n > 0 && !module_.BuildId.empty() &&
        std::string(reinterpret_cast<const char*>(bits), static_cast<size_t>(n)) != module_.BuildId)
      return false;
    Dwarf_Addr bias = 0;
    return dwfl_module_getdwarf(mod_, &bias) != nullptr;
  }

  bool IsSourceValid() const override { return mod_ != nullptr; }

  bool GetLocationInfo(uintptr_t address, std::vector<TTLLocationInfo>& frames) const override {
    std::lock_guard lock(mutex_);
    auto cached = cache_.find(address);
    if (cached == cache_.end()) cached = cache_.emplace(address, Lookup(address)).first;
    frames = cached->second;
    return !frames.empty() && !frames.front().UnitName.empty();
  }

  const char* SourceKindName() const override { return "dwarf"; }

 private:
  std::vector<TTLLocationInfo> Lookup(uintptr_t address) const {
    std::vector<TTLLocationInfo> frames;
    Dwarf_Addr bias = 0;
    Dwarf_Die* cu = dwfl_module_addrdie(mod_, address, &bias);
    if (cu) DwarfFramesAt(cu, address - bias, frames, &names_);
    if (frames.empty() || frames.front().ProcedureName.empty()) {
      // No unit covers it (code built without -g): the symbol tables still name it.
      GElf_Off offset = 0;
      GElf_Sym sym;
      const char* name = dwfl_module_addrinfo(mod_, address, &offset, &sym, nullptr, nullptr, nullptr);
      if (name) {
        if (frames.empty()) frames.emplace_back();
        frames.front().ProcedureName = WithoutParameters(DemangledName(name));
      }
    }
    for (auto& frame : frames) {
      frame.Address = address;
      frame.Source = this;
    }
    return frames;
  }

  static int OpenChecked(const std::string& path, const std::string& buildId, bool crcCheck, uint32_t crc,
                         char** found) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    bool ok = crcCheck ? FileCrcIs(fd, crc) : (buildId.empty() || FileBuildId(path) == buildId);
    if (!ok) {
      ::close(fd);
      return -1;
    }
    *found = ::strdup(path.c_str());
    return fd;
  }

  static int FindDebugInfo(Dwfl_Module* mod, void** userdata, const char*, Dwarf_Addr, const char* fileName,
                           const char* debugLink, GElf_Word crc, char** found) {
    auto* self = userdata ? static_cast<TTLDebugInfoDwarf*>(*userdata) : nullptr;
    if (!self) return -1;
    const std::string& root = self->root_;
    const unsigned char* bits = nullptr;
    GElf_Addr vaddr = 0;
    int n = dwfl_module_build_id(mod, &bits, &vaddr);
    if (n > 1) {
      std::string hex = HexOf(bits, static_cast<size_t>(n));
      std::string path = root + "/.build-id/" + hex.substr(0, 2) + "/" + hex.substr(2) + ".debug";
      int fd = OpenChecked(path, std::string(reinterpret_cast<const char*>(bits), static_cast<size_t>(n)), false, 0, found);
      if (fd >= 0) return fd;
    }
    if (debugLink && *debugLink && fileName) {
      std::string file = fileName, folder = FolderOf(file);
      for (const std::string& path : {folder + "/" + debugLink, folder + "/.debug/" + debugLink,
                                      root + folder + "/" + debugLink}) {
        if (path == file) continue;
        int fd = OpenChecked(path, {}, true, crc, found);
        if (fd >= 0) return fd;
      }
    }
    return -1;
  }

  std::string root_;
  Dwfl* dwfl_ = nullptr;
  Dwfl_Module* mod_ = nullptr;
  mutable std::mutex mutex_;  // libdw is not safe for concurrent use of one Dwarf
  mutable std::unordered_map<uintptr_t, std::vector<TTLLocationInfo>> cache_;
  mutable TDwarfNameCache names_;  // under mutex_, like cache_
};

}  // namespace

std::unique_ptr<TTLDebugInfoSource> MakeDwarfDebugSource(const TTarvexModuleInfo& module) {
  try {
    auto source = std::make_unique<TTLDebugInfoDwarf>(module);
    if (source->InitializeSource()) return source;
  } catch (...) {
  }
  return nullptr;
}
