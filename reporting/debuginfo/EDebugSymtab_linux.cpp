// The last debug source: the ELF symbol tables of the module's file (".symtab", else
// ".dynsym"). It knows procedures, not units or lines.
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "reporting/debuginfo/EModuleImage.h"

namespace {

struct TSymbol {
  uint64_t Value = 0;  // file-relative
  uint64_t Size = 0;
  uint32_t NameOffset = 0;
};

class TTLDebugInfoSymtab final : public TTLDebugInfoSource {
 public:
  using TTLDebugInfoSource::TTLDebugInfoSource;

  bool InitializeSource() override {
    if (elf_version(EV_CURRENT) == EV_NONE) return false;
    int fd = ::open(module_.FileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    Elf* elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    if (elf && elf_kind(elf) == ELF_K_ELF) {
      if (!Load(elf, SHT_SYMTAB)) Load(elf, SHT_DYNSYM);
    }
    if (elf) elf_end(elf);
    ::close(fd);
    std::sort(symbols_.begin(), symbols_.end(), [](const TSymbol& a, const TSymbol& b) {
      return a.Value != b.Value ? a.Value < b.Value : a.Size > b.Size;
    });
    return !symbols_.empty();
  }

  bool IsSourceValid() const override { return !symbols_.empty(); }

  bool GetLocationInfo(uintptr_t address, std::vector<TTLLocationInfo>& frames) const override {
    frames.clear();
    uint64_t offset = ModuleRelativeAddress(address);
    auto it = std::upper_bound(symbols_.begin(), symbols_.end(), offset,
                               [](uint64_t a, const TSymbol& s) { return a < s.Value; });
    const TSymbol* hit = nullptr;
    while (it != symbols_.begin()) {
      --it;
      if (it->Size == 0 || offset < it->Value + it->Size) {
        hit = &*it;
        break;
      }
      // A sized symbol that ends before the address: nothing below can hold it, unless an
      // enclosing one starts at the same place.
      if (it != symbols_.begin() && (it - 1)->Value == it->Value) continue;
      break;
    }
    if (!hit) return false;
    TTLLocationInfo frame;
    frame.Address = address;
    frame.ProcedureName = NameOf(*hit);
    frame.Source = this;
    frames.push_back(std::move(frame));
    return false;  // a procedure, but no unit
  }

  const char* SourceKindName() const override { return "symtab"; }

 private:
  bool Load(Elf* elf, Elf64_Word type) {
    for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
      GElf_Shdr shdr;
      if (!gelf_getshdr(scn, &shdr) || shdr.sh_type != type || shdr.sh_entsize == 0) continue;
      Elf_Data* data = elf_getdata(scn, nullptr);
      Elf_Scn* strScn = elf_getscn(elf, shdr.sh_link);
      Elf_Data* strData = strScn ? elf_getdata(strScn, nullptr) : nullptr;
      if (!data || !strData) continue;
      strings_.assign(static_cast<const char*>(strData->d_buf), strData->d_size);
      size_t count = shdr.sh_size / shdr.sh_entsize;
      for (size_t i = 0; i < count; ++i) {
        GElf_Sym sym;
        if (!gelf_getsym(data, static_cast<int>(i), &sym)) continue;
        int kind = GELF_ST_TYPE(sym.st_info);
        if ((kind != STT_FUNC && kind != STT_GNU_IFUNC) || sym.st_shndx == SHN_UNDEF || sym.st_value == 0) continue;
        if (sym.st_name >= strings_.size()) continue;
        symbols_.push_back({sym.st_value, sym.st_size, static_cast<uint32_t>(sym.st_name)});
      }
      return !symbols_.empty();
    }
    return false;
  }

  std::string NameOf(const TSymbol& symbol) const {
    std::lock_guard lock(mutex_);
    auto it = names_.find(symbol.NameOffset);
    if (it != names_.end()) return it->second;
    std::string name = WithoutParameters(DemangledName(strings_.c_str() + symbol.NameOffset));
    names_.emplace(symbol.NameOffset, name);
    return name;
  }

  std::vector<TSymbol> symbols_;
  std::string strings_;
  mutable std::mutex mutex_;
  mutable std::unordered_map<uint32_t, std::string> names_;  // demangled on first use
};

}  // namespace

std::unique_ptr<TTLDebugInfoSource> MakeSymtabDebugSource(const TTarvexModuleInfo& module) {
  try {
    auto source = std::make_unique<TTLDebugInfoSymtab>(module);
    if (source->InitializeSource()) return source;
  } catch (...) {
  }
  return nullptr;
}
