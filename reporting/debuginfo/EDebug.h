// Module records, debug-information sources and call stacks: what names, for every step of a
// call stack, the module, source unit, class, procedure and line.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "reporting/options/ECore.h"

class TTLDebugInfoSource;

struct TTarvexFunctionInfo {
  std::string Name;  // demangled
  uintptr_t Address = 0;
  uint64_t CodeLength = 0;  // st_size of the symbol
};
using TTarvexFunctionsList = std::vector<TTarvexFunctionInfo>;  // sorted by Address

struct TTarvexModuleInfo {
  TModuleHandle ModuleHandle = 0;  // load base
  uintptr_t LoadBias = 0;          // dlpi_addr: added to the file's virtual addresses
  std::string FileName;
  std::string FileDescription;  // from our version note; empty for other files
  std::string FileVersion;      // "a.b.c.d"; empty when none or 0.0.0.0
  uint64_t FileSize = 0;
  int64_t LastModified = 0;     // st_mtime in nanoseconds
  std::string BuildId;          // raw bytes of NT_GNU_BUILD_ID; empty when none
  TTarvexFunctionsList ExportedProcs;  // .dynsym functions; empty for the main module
  uint8_t ModuleKind = 0;       // 0 not examined, 1 main executable, 3 shared object
  uint16_t DataVersion = 6020;
  double CompileTime = 0;
  TTarvexModuleOptionsEx* ModuleOptions = nullptr;  // owned by the module data records
  std::unique_ptr<TTLDebugInfoSource> StoredDebugInfo;
  std::unique_ptr<TTLDebugInfoSource> OtherDebugSource;
  std::string DebugPassword;
  bool DebugPasswordValid = false;
  // Executable PT_LOAD segments, as run-time address ranges [first, second).
  std::vector<std::pair<uintptr_t, uintptr_t>> CodeRanges;
  // Every PT_LOAD segment, as run-time address ranges [first, second).
  std::vector<std::pair<uintptr_t, uintptr_t>> LoadRanges;
  bool Retired = false;  // dropped from the list: unloaded or its file changed

  bool Contains(uintptr_t address) const;
  // The export whose range holds the address; null when none.
  const TTarvexFunctionInfo* ExportAt(uintptr_t address) const;
};
// The module list, sorted by module handle.
using TTarvexModulesList = std::vector<std::unique_ptr<TTarvexModuleInfo>>;

// One location: for an inlined call, one of these per level, innermost first.
struct TTLLocationInfo {
  uintptr_t Address = 0;
  std::string UnitName;       // source file name (file part)
  std::string SourceName;     // source file name as recorded (may hold a path)
  std::string ClassName;      // qualified class, empty for a free function
  std::string ProcedureName;  // member or function name, demangled, without parameters
  int32_t LineNumber = 0;
  int32_t LineOffset = 0;     // lines from the procedure's first line
  bool Inlined = false;       // this level was inlined into the next one
  const TTLDebugInfoSource* Source = nullptr;
};

// A source of debug information for one module.
class TTLDebugInfoSource {
 public:
  explicit TTLDebugInfoSource(const TTarvexModuleInfo& module) : module_(module) {}
  virtual ~TTLDebugInfoSource() = default;
  // Finds and opens the information; whether any was found.
  virtual bool InitializeSource() = 0;
  // The address as the information knows it: the run-time address less the load bias.
  virtual uint64_t ModuleRelativeAddress(uintptr_t address) const { return address - module_.LoadBias; }
  virtual bool IsSourceValid() const = 0;
  // Fills `frames` (innermost first, inlined levels included); whether a unit was found.
  virtual bool GetLocationInfo(uintptr_t address, std::vector<TTLLocationInfo>& frames) const = 0;
  virtual const char* SourceKindName() const = 0;  // "stored", "dwarf", "symtab"
  // False while names are enciphered under a password that did not open them.
  virtual bool NamesReadable() const { return true; }
  const TTarvexModuleInfo& Module() const { return module_; }

 protected:
  const TTarvexModuleInfo& module_;
};

// Entry kinds.
constexpr uint8_t kEntryHidden = 0, kEntryModule = 1, kEntryProcedure = 2, kEntryUnit = 3, kEntryLine = 4;

struct TTarvexStackEntry {
  uint8_t EntryKind = 0;
  const TTarvexModuleInfo* Module = nullptr;
  uint32_t ThreadID = 0;
  uint8_t StackRole = 1;    // 1 own stack, 0 creator's stack copy
  uint8_t IsFirstEntry = 0;
  uintptr_t Address = 0;
  std::string UnitName, ClassName, ProcedureName;  // at most 255 bytes each
  int32_t LineNumber = 0;
  int32_t LineOffset = 0;
  bool Inlined = false;
  // A row of a leak report: the leak it belongs to (an index, so that two leaks alike in
  // everything stay apart), its class (empty: "Data", at most 64 characters), total size and
  // number of blocks.
  bool IsLeak = false;
  uint32_t LeakIndex = 0;
  uint64_t LeakSize = 0;
  uint64_t LeakCount = 0;
  std::string LeakClassName;
};
using TTarvexStackList = std::vector<TTarvexStackEntry>;

// The module list. It changes with dlopen/dlclose, so every access holds its lock. A record
// stays valid while its module is in the list; a dropped record (unloaded module, changed
// file) is kept for the process's life so that stack entries never dangle, but loses its
// exports and debug sources.
//
// The record of a loaded module, created or completed on first use (exports, kind, stored
// data, debug sources); null for 0 or a handle that is not a loaded module's.
const TTarvexModuleInfo* ModuleFromHandle(TModuleHandle handle);
// The record of the module whose segments hold the address; null when none does.
const TTarvexModuleInfo* ModuleFromAddress(uintptr_t address);
// Drops records of unloaded modules and adds light records (kind 0, no debug sources) for
// new ones.
void RefreshModuleList();
// Drops records whose file is gone or changed: another last-write time, size or build-id.
void DropChangedModules();
// The lock of the list, for walking ModuleList().
std::unique_lock<std::recursive_mutex> LockModuleList();
const TTarvexModulesList& ModuleList();

// Where separate debug files are looked for ("/usr/lib/debug" unless set; tests point it
// elsewhere). Applies to records made afterwards.
void SetDebugFileRoot(const std::string& root);
std::string DebugFileRoot();

// Asked for the password of a module's stored debug information when its names do not open
// without one; returns false to give up.
using TDebugPasswordRequest = std::function<bool(const TTarvexModuleInfo& module, std::string& password)>;
void SetDebugPasswordRequest(TDebugPasswordRequest request);

// The debug sources behind a module record, tried in this order when it has no usable stored
// block; null when the source finds nothing.
std::unique_ptr<TTLDebugInfoSource> MakeDwarfDebugSource(const TTarvexModuleInfo& module);
std::unique_ptr<TTLDebugInfoSource> MakeSymtabDebugSource(const TTarvexModuleInfo& module);

// Resolves one address into one entry per inline level (innermost first); the last is the
// address's own function. The caller resolves a return address at address - 1. Never throws.
std::vector<TTarvexStackEntry> ResolveAddress(uintptr_t address, uint32_t threadId, bool firstEntry,
                                              uint8_t stackRole);
// The same for a symbol name of any address (the assembler section).
std::vector<TTarvexStackEntry> ResolveLocation(uintptr_t address);

// Whether a source file name (its file part) is one of the reporting layer's own units,
// whose frames are never shown.
bool IsOwnReportingUnit(std::string_view unitName);

// The internal-error report's text forms. A stack list: one line per entry, "NN $address -
// [handle] file" and, for an entry with a line, " - unit - class - procedure - line[offset]",
// every line after the first indented by 12 blanks.
std::string StackEntryText(const TTarvexStackEntry& entry, size_t index);
std::string StackListText(const TTarvexStackList& list);
// One address, resolved: "$address - [handle] file - unit - class - procedure - line[offset]".
std::string AddressText(uintptr_t address);

// The version note our build step writes into our own binaries (section ".note.tarvex.version",
// owner "Tarvex", type 1): four 16-bit numbers (major, minor, release, build) followed by the
// file description, zero-terminated.
constexpr const char* kVersionNoteSection = ".note.tarvex.version";
constexpr uint32_t kVersionNoteType = 1;

// Writes the version note into the binary that compiles it (once per binary), e.g.
//   TARVEX_VERSION_NOTE(1, 2, 3, 4, "Distance client");
#define TARVEX_VERSION_NOTE(major, minor, release, build, description)                       \
  __asm__(".pushsection .note.tarvex.version,\"a\",@note\n"                                  \
          ".balign 4\n"                                                                      \
          ".long 7\n"                                                                        \
          ".long 2f - 1f\n"                                                                  \
          ".long 1\n"                                                                        \
          ".asciz \"Tarvex\"\n"                                                              \
          ".balign 4\n"                                                                      \
          "1: .short " #major ", " #minor ", " #release ", " #build "\n"                     \
          ".asciz \"" description "\"\n"                                                     \
          "2: .balign 4\n"                                                                   \
          ".popsection\n")
