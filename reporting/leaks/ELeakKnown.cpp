#include "reporting/leaks/ELeakKnown.h"

namespace {

struct TKnownLeak {
  std::string_view ModulePrefix;  // file name of the origin's module; empty: any
  std::string_view ClassName;     // empty: any
  std::string_view Procedure;     // its beginning; empty: any
};

constexpr TKnownLeak kKnownLeaks[] = {
    // The C library's start and exit code (with its debug information installed, its lines
    // resolve): static constructors of modules without line information allocate there.
    {"libc.so.6", "", ""},
    {"ld-linux-x86-64.so.2", "", ""},
    // The runtime's type records (enumeration names and the like): function-local statics made
    // while the layer starts, destroyed after the report.
    {"", "", "TypeInfo<"},
    // Qt keeps its singletons (application globals, meta-type and resource registries,
    // platform plugin state) until its own libraries unload, after the report.
    {"libQt6", "", ""},
};

bool Matches(std::string_view pattern, std::string_view value, bool prefix) {
  if (pattern.empty()) return true;
  return prefix ? value.substr(0, pattern.size()) == pattern : value == pattern;
}

}  // namespace

bool IsKnownLeak(std::string_view moduleName, std::string_view className, std::string_view procedureName) {
  for (const TKnownLeak& k : kKnownLeaks)
    if (Matches(k.ModulePrefix, moduleName, true) && Matches(k.ClassName, className, false) &&
        Matches(k.Procedure, procedureName, true))
      return true;
  return false;
}
