// Module records, debug-information sources and call stacks: what names, for every step of a
// call stack, the module, source unit, class, procedure and line.
#pragma once

#include <cstdint>
#include <memory>
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
};

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
};
using TTarvexStackList = std::vector<TTarvexStackEntry>;

// The module list. Records live until their module is unloaded or changed.
const TTarvexModuleInfo* ModuleFromHandle(TModuleHandle handle);
const TTarvexModuleInfo* ModuleFromAddress(uintptr_t address);
void RefreshModuleList();
void DropChangedModules();

// Resolves one address into one entry per inline level (innermost first); the last is the
// address's own function. The caller resolves a return address at address - 1.
std::vector<TTarvexStackEntry> ResolveAddress(uintptr_t address, uint32_t threadId, bool firstEntry,
                                              uint8_t stackRole);
