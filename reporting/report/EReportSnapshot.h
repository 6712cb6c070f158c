// What a bug report is built from. The builder reads everything through this interface, so a
// fake snapshot gives a fully determined report; the live implementation reads the system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reporting/debuginfo/EDebug.h"
#include "reporting/debuginfo/EMemory.h"
#include "reporting/interception/EContext.h"

// A point in time with the local zone's offset from UTC in force then.
struct TReportTime {
  int64_t UnixSeconds = 0;
  int32_t UtcOffsetSeconds = 0;  // local minus UTC (+0530 is 19800)
};

struct TNetworkAdapter {
  std::string Address;  // dotted IPv4, empty when none
  std::string Mask;
  std::string Gateway;
  std::string Dns1, Dns2;
  bool Dhcp = false;
};

// The values of the general sections that come from the system (empty when unknown).
struct TSystemValues {
  std::string CommandLine;        // the process's arguments after the program, joined by blanks
  std::string UserId;             // login name
  std::string UserName;           // full name (GECOS)
  std::string UserEmail;
  std::string Company;            // Linux has none: empty
  std::vector<std::pair<std::string, bool>> Privileges;  // capability name, enabled
  std::string ComputerName;
  std::optional<uint64_t> TotalMemory, FreeMemory;        // bytes
  std::optional<uint64_t> TotalDisk, FreeDisk;            // bytes
  std::string Processor;
  std::string DisplayMode;        // "%d x %d, %d bit" or empty
  std::string DisplayDpi;
  std::string VideoCard;
  std::string Printer;
  std::string OsType, OsBuild, OsUpdate, Language, Charset;
  std::vector<TNetworkAdapter> Network;
  std::string FormClass, FormText;  // active window (from the Qt bridge)
};

struct TModuleRow {
  TModuleHandle Handle = 0;
  std::string FileName;  // full path
  std::string Description, Version;
  uint64_t Size = 0;
  TReportTime Modified;
};

struct TProcessRow {
  int64_t Id = 0;
  std::string Name;  // executable file name
  std::string Description, Version;
  uint64_t Memory = 0;   // resident bytes, 0 when unknown
  std::string Priority;  // "Normal", "Low", "High", "Real-Time", "Below-Normal", "Above-Normal" or empty
  int32_t Threads = 0;   // 0 when unknown ("??")
  std::string Path;      // full path of the executable
};

// Threads as the call-stack table's group headings name them.
struct TThreadRow {
  uint32_t ThreadID = 0;
  std::optional<int32_t> Priority;  // none: not registered ("??")
  std::string ClassName;            // framework object's class, empty when none
  bool MainThread = false;
};

class IReportSnapshot {
 public:
  virtual ~IReportSnapshot() = default;
  virtual TReportTime StartTime() const = 0;
  virtual TReportTime ExceptionTime() const = 0;
  // The local zone's offset from UTC in force at a moment (the compilation date is shown with
  // the offset of its own day); by default the one in force at the exception.
  virtual int32_t UtcOffsetAt(int64_t unixSeconds) const {
    (void)unixSeconds;
    return ExceptionTime().UtcOffsetSeconds;
  }
  virtual int64_t SystemUpTimeMilliseconds() const = 0;
  virtual TSystemValues System() const = 0;
  virtual std::vector<TModuleRow> Modules() const = 0;      // sorted by handle
  virtual std::vector<TProcessRow> Processes() const = 0;   // sorted by id
  virtual std::vector<TThreadRow> Threads() const = 0;
  // Memory of the process (code bytes for the assembler, stack words and bytes for the CPU section).
  virtual IMemoryReader& Memory() const = 0;
  // The location of a code address, as the call stack resolves it (kinds 0 to 4).
  virtual TTarvexStackEntry Resolve(uintptr_t address) const = 0;
  // The module that holds an address: its file name, description, version (empty when none).
  virtual std::optional<TModuleRow> ModuleOf(uintptr_t address) const = 0;
};

// The exception the report is about, as the processing flow hands it over.
struct TReportException {
  std::string ClassName;         // "Unknown exception type" when the object is not valid
  std::string Message;           // as raised; "Unknown error message." when not an exception
  std::string ShownMessage;      // the deciding filter's text; replaces the kept last message when set
  bool IsException = true;       // a valid exception object
  uintptr_t Address = 0;
  std::optional<TCpuRegisters> Context;
  bool AccessViolation = false;  // rebuild the message from the fault address
  uintptr_t FaultAddress = 0;
  bool WriteFault = false;
  std::string ActiveControlClass, ActiveControlText;
  bool ConsoleOrWeb = false;     // the Active Controls section is left out
  TTarvexStackList CallStack;    // the exception thread's entries first
  double CompileTime = 0;        // of the main module's stored data (day count, UTC); 0 unknown
  std::string MainModuleFile;    // full path
  std::string MainModuleDescription, MainModuleVersion;
};
