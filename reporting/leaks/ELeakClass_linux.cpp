#include "reporting/leaks/ELeakClass.h"

#include <cxxabi.h>
#include <link.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <typeinfo>

namespace {

// One class of each type_info kind: plain, single and virtual/multiple inheritance.
struct TKindPlain {
  virtual ~TKindPlain() = default;
};
struct TKindSingle : TKindPlain {};
struct TKindVirtual : virtual TKindPlain {};

uintptr_t VtableOf(const std::type_info& info) {
  uintptr_t v;
  std::memcpy(&v, static_cast<const void*>(&info), sizeof v);
  return v;
}

}  // namespace

TClassNames::TClassNames() {
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* out = static_cast<std::vector<std::pair<uintptr_t, uintptr_t>>*>(data);
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          const bool readOnlyLoad = ph.p_type == PT_LOAD && !(ph.p_flags & PF_W);
          if (readOnlyLoad || ph.p_type == PT_GNU_RELRO)
            out->emplace_back(info->dlpi_addr + ph.p_vaddr, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
        }
        return 0;
      },
      &readOnly_);
  std::sort(readOnly_.begin(), readOnly_.end());
  typeInfoVtables_[0] = VtableOf(typeid(TKindPlain));
  typeInfoVtables_[1] = VtableOf(typeid(TKindSingle));
  typeInfoVtables_[2] = VtableOf(typeid(TKindVirtual));
}

bool TClassNames::ReadOnly(uintptr_t address, size_t length) const {
  auto it = std::upper_bound(readOnly_.begin(), readOnly_.end(), std::make_pair(address, UINTPTR_MAX));
  if (it == readOnly_.begin()) return false;
  --it;
  return address >= it->first && address + length <= it->second && address + length >= address;
}

std::string TClassNames::NameOf(const void* block, size_t size) const {
  if (size < sizeof(uintptr_t)) return {};
  uintptr_t vtable;
  std::memcpy(&vtable, block, sizeof vtable);
  if ((vtable & 7) || !ReadOnly(vtable - 8, 16)) return {};
  uintptr_t typeInfo;
  std::memcpy(&typeInfo, reinterpret_cast<const void*>(vtable - 8), sizeof typeInfo);
  if ((typeInfo & 7) || !ReadOnly(typeInfo, 16)) return {};
  uintptr_t kind, name;
  std::memcpy(&kind, reinterpret_cast<const void*>(typeInfo), sizeof kind);
  std::memcpy(&name, reinterpret_cast<const void*>(typeInfo + 8), sizeof name);
  if (std::find(std::begin(typeInfoVtables_), std::end(typeInfoVtables_), kind) == std::end(typeInfoVtables_))
    return {};
  if (!ReadOnly(name, 1)) return {};
  // The name is a NUL-terminated string in .rodata; bounded by its segment.
  const char* text = reinterpret_cast<const char*>(name);
  size_t length = 0;
  while (length < 1024 && ReadOnly(name + length, 1) && text[length]) ++length;
  if (length == 0 || length == 1024 || !ReadOnly(name + length, 1)) return {};
  if (*text == '*') ++text;  // a type local to one unit
  int status = 0;
  char* demangled = abi::__cxa_demangle(text, nullptr, nullptr, &status);
  std::string result = status == 0 && demangled ? demangled : text;
  std::free(demangled);
  return result;
}
