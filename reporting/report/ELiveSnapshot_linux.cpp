// The live snapshot: this process and its system, read when the report asks.
#include <time.h>

#include <cxxabi.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "reporting/debuginfo/EDebug.h"
#include "reporting/debuginfo/EMemory.h"
#include "reporting/interception/EThreads.h"
#include "reporting/report/ELiveSnapshot.h"
#include "reporting/report/ESystemInfo.h"

namespace {

TModuleRow RowOf(const TTarvexModuleInfo& m) {
  TModuleRow row;
  row.Handle = m.ModuleHandle;
  row.FileName = m.FileName;
  row.Description = m.FileDescription;
  row.Version = m.FileVersion;
  row.Size = m.FileSize;
  row.Modified = ReportTimeOf(m.LastModified / 1000000000);
  return row;
}

// The dynamic class of a framework thread object, from its vtable's type information (the
// Itanium layout: the type_info pointer sits just before the address points to). Read without
// faulting, since the object may already be gone.
std::string ClassOfObject(const void* object) {
  if (!object) return {};
  uintptr_t vtable = 0, typeInfo = 0, namePtr = 0;
  if (!ReadOwnMemory(reinterpret_cast<uintptr_t>(object), &vtable, sizeof vtable) || !vtable ||
      !ReadOwnMemory(vtable - sizeof(void*), &typeInfo, sizeof typeInfo) || !typeInfo ||
      !ReadOwnMemory(typeInfo + sizeof(void*), &namePtr, sizeof namePtr) || !namePtr)
    return {};
  char mangled[256] = {};
  size_t n = 0;
  for (; n + 1 < sizeof mangled; ++n) {
    if (!ReadOwnMemory(namePtr + n, &mangled[n], 1)) return {};
    if (!mangled[n]) break;
  }
  mangled[n] = 0;
  if (!n) return {};
  // A type_info name has no "_Z" prefix; a local class's name begins with '*'.
  const char* name = mangled[0] == '*' ? mangled + 1 : mangled;
  int status = 0;
  char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string text = status == 0 && demangled ? demangled : name;
  std::free(demangled);
  return text;
}

class TLiveSnapshot final : public IReportSnapshot {
 public:
  TLiveSnapshot(TReportTime start, TReportTime exceptionTime, const TLiveSnapshotOptions& options)
      : start_(start), exception_(exceptionTime), options_(options), upTime_(::SystemUpTimeMilliseconds()),
        memory_(TLiveCodeRanges::Instance().Current()) {}

  TReportTime StartTime() const override { return start_; }
  TReportTime ExceptionTime() const override { return exception_; }
  int64_t SystemUpTimeMilliseconds() const override { return upTime_; }

  TSystemValues System() const override {
    std::call_once(systemOnce_, [this] { system_ = ReadSystemValues(options_.AskX11); });
    return system_;
  }

  std::vector<TModuleRow> Modules() const override {
    std::call_once(modulesOnce_, [this] {
      try {
        RefreshModuleList();
        auto lock = LockModuleList();
        for (const auto& m : ModuleList())
          if (m && !m->Retired) modules_.push_back(RowOf(*m));
      } catch (...) {
      }
    });
    return modules_;
  }

  std::vector<TProcessRow> Processes() const override {
    std::call_once(processesOnce_, [this] { processes_ = ReadProcesses(); });
    return processes_;
  }

  std::vector<TThreadRow> Threads() const override {
    std::vector<TThreadRow> rows;
    try {
      for (const TTarvexThreadRecord& rec : ThreadRegistry().Snapshot()) {
        TThreadRow row;
        row.ThreadID = static_cast<uint32_t>(rec.ThreadID);
        int32_t priority = rec.ThreadPriority != INT32_MIN ? rec.ThreadPriority : ThreadPriorityOf(rec.ThreadID);
        if (priority != INT32_MIN) row.Priority = priority;
        row.ClassName = ClassOfObject(rec.ThreadObject);
        row.MainThread = rec.MainThread;
        rows.push_back(std::move(row));
      }
    } catch (...) {
    }
    return rows;
  }

  IMemoryReader& Memory() const override { return memory_; }

  // The innermost level: the code that runs at the address (an inlined callee when there is one).
  TTarvexStackEntry Resolve(uintptr_t address) const override {
    std::vector<TTarvexStackEntry> levels = ResolveAddress(address, 0, false, 1);
    if (levels.empty()) {
      TTarvexStackEntry entry;
      entry.Address = address;
      return entry;
    }
    return levels.front();
  }

  std::optional<TModuleRow> ModuleOf(uintptr_t address) const override {
    try {
      const TTarvexModuleInfo* m = ModuleFromAddress(address);
      if (!m) return std::nullopt;
      auto lock = LockModuleList();
      return RowOf(*m);
    } catch (...) {
      return std::nullopt;
    }
  }

 private:
  TReportTime start_, exception_;
  TLiveSnapshotOptions options_;
  int64_t upTime_;
  mutable TProcessMemoryReader memory_;
  mutable std::once_flag systemOnce_, modulesOnce_, processesOnce_;
  mutable TSystemValues system_;
  mutable std::vector<TModuleRow> modules_;
  mutable std::vector<TProcessRow> processes_;
};

}  // namespace

TReportTime ReportTimeOf(int64_t unixSeconds) {
  TReportTime t;
  t.UnixSeconds = unixSeconds;
  time_t seconds = static_cast<time_t>(unixSeconds);
  tm local{};
  if (::localtime_r(&seconds, &local)) t.UtcOffsetSeconds = static_cast<int32_t>(local.tm_gmtoff);
  return t;
}

TReportTime NowReportTime() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return ReportTimeOf(now.tv_sec);
}

std::unique_ptr<IReportSnapshot> MakeLiveSnapshot(TReportTime start, TReportTime exceptionTime,
                                                  const TLiveSnapshotOptions& options) {
  return std::make_unique<TLiveSnapshot>(start, exceptionTime, options);
}
