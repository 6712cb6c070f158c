// The class of a leaked object: its first word is taken for a vtable pointer only when the
// vtable, the type_info it points to (v[-1]), that type_info's own vtable and its name all lie in
// read-only segments of loaded modules (RELRO included), and the type_info is one of the
// C++ library's class kinds. Anything else is plain data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class TClassNames {
 public:
  TClassNames();
  // The demangled class name, or empty for data. The block must be allocated.
  std::string NameOf(const void* block, size_t size) const;

 private:
  bool ReadOnly(uintptr_t address, size_t length) const;
  std::vector<std::pair<uintptr_t, uintptr_t>> readOnly_;  // sorted [first, second)
  uintptr_t typeInfoVtables_[3] = {};
};
