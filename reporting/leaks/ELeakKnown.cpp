#include "reporting/leaks/ELeakKnown.h"

namespace {

struct TKnownLeak {
  std::string_view ModulePrefix;  // file name of the origin's module; empty: any
  std::string_view UnitName;      // empty: any
  std::string_view Procedure;     // its beginning; empty: any
};

constexpr TKnownLeak kKnownLeaks[] = {
    // The C library's start and exit code (with its debug information installed, its lines
    // resolve): static constructors of modules without line information allocate there.
    {"libc.so.6", "", ""},
    {"ld-linux-x86-64.so.2", "", ""},
    // Qt keeps what it allocates itself (application globals, meta-type and resource
    // registries, platform plugin state) until its own libraries unload, after the report.
    {"libQt6", "", ""},
    // The runtime's interface records and their method tables: made on first use and kept for
    // the process's life.
    {"", "", "StaticTypeInfo"},
    {"", "", "TIntfMethodInfo"},
    {"", "", "MakeInterfaceInfo"},
    // Delivery registers its log store and routes with the flow once; the flow keeps them for
    // the process's life.
    {"", "ELogStore.cpp", ""},
    {"", "EScreenshot_linux.cpp", ""},
    {"", "EScreenshotPolicy.cpp", ""},
    // The runtime's cache of readable class names.
    {"", "ClassNames.cpp", ""},
};

bool Matches(std::string_view pattern, std::string_view value, bool prefix) {
  if (pattern.empty()) return true;
  return prefix ? value.substr(0, pattern.size()) == pattern : value == pattern;
}

}  // namespace

bool IsKnownLeak(std::string_view moduleName, std::string_view unitName, std::string_view procedureName) {
  for (const TKnownLeak& k : kKnownLeaks)
    if (Matches(k.ModulePrefix, moduleName, true) && Matches(k.UnitName, unitName, false) &&
        Matches(k.Procedure, procedureName, true))
      return true;
  return false;
}
