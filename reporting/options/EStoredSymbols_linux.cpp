#include "reporting/options/EStoredSymbols.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "runtime/FileHandle_linux.h"

namespace {

const std::map<std::string, uint32_t>& Wanted() {
  static const std::map<std::string, uint32_t> wanted{
      {"_ZN12TApplication15HandleExceptionENSt15__exception_ptr13exception_ptrE", kSymbolHandleException},
      {"_ZN12TApplication13ShowExceptionENSt15__exception_ptr13exception_ptrE", kSymbolShowException},
      {"_ZN12TApplication6notifyEP7QObjectP6QEvent", kSymbolApplicationNotify},
  };
  return wanted;
}

}  // namespace

std::vector<TStoredSymbol> FindFrameworkSymbols(const std::string& fileName) {
  std::vector<TStoredSymbol> found;
  static const bool initialised = elf_version(EV_CURRENT) != EV_NONE;
  if (!initialised) return found;
  TFileHandle fd(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return found;
  Elf* elf = elf_begin(fd.get(), ELF_C_READ_MMAP, nullptr);
  if (!elf) return found;
  // The module handle is the page of the lowest loaded segment.
  uint64_t base = ~uint64_t{0};
  size_t phnum = 0;
  if (elf_kind(elf) == ELF_K_ELF && elf_getphdrnum(elf, &phnum) == 0) {
    for (size_t i = 0; i < phnum; ++i) {
      GElf_Phdr ph;
      if (gelf_getphdr(elf, static_cast<int>(i), &ph) && ph.p_type == PT_LOAD && ph.p_vaddr < base) base = ph.p_vaddr;
    }
  }
  base &= ~uint64_t{0xFFF};
  for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn && base != ~uint64_t{0xFFF}; scn = elf_nextscn(elf, scn)) {
    GElf_Shdr shdr;
    if (!gelf_getshdr(scn, &shdr) || (shdr.sh_type != SHT_SYMTAB && shdr.sh_type != SHT_DYNSYM)) continue;
    Elf_Data* data = elf_getdata(scn, nullptr);
    if (!data || !shdr.sh_entsize) continue;
    for (size_t i = 0; i < shdr.sh_size / shdr.sh_entsize; ++i) {
      GElf_Sym sym;
      if (!gelf_getsym(data, static_cast<int>(i), &sym) || sym.st_shndx == SHN_UNDEF || !sym.st_value) continue;
      if (GELF_ST_TYPE(sym.st_info) != STT_FUNC) continue;
      const char* name = elf_strptr(elf, shdr.sh_link, sym.st_name);
      auto it = name ? Wanted().find(name) : Wanted().end();
      if (it == Wanted().end()) continue;
      bool known = false;
      for (const auto& s : found) known = known || s.Id == it->second;
      if (!known) found.push_back({it->second, sym.st_value - base});
    }
  }
  elf_end(elf);
  return found;
}
