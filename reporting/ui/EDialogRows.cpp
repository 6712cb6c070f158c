#include "reporting/ui/EDialogRows.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "reporting/options/ECore.h"
#include "reporting/report/EReportTables.h"
#include "runtime/SysUtils.h"

using namespace tarvex_dialog;

namespace {

std::string Hex16(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIX64, value);
  return text;
}

std::string FileNameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Kilobytes(uint64_t bytes) {
  if (bytes == 0) return {};
  return std::to_string((bytes + 512) / 1024) + " Kb";
}

std::string ModifiedText(const TReportTime& t) {
  if (t.UnixSeconds == 0) return {};
  const time_t local = static_cast<time_t>(t.UnixSeconds + t.UtcOffsetSeconds);
  tm parts{};
  gmtime_r(&local, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

bool SharedObject(const std::string& fileName) {
  const std::string name = FileNameOf(fileName);
  return name.size() > 3 && (name.ends_with(".so") || name.find(".so.") != std::string::npos);
}

const TThreadRow* FindThread(const std::vector<TThreadRow>& threads, uint32_t id) {
  for (const TThreadRow& t : threads)
    if (t.ThreadID == id) return &t;
  return nullptr;
}

int32_t StackImage(const TTarvexStackEntry& e) {
  const int kind = e.Module ? e.Module->ModuleKind : 0;
  if (e.EntryKind == kEntryLine || kind >= 4) return riSource;
  if (kind == 1) return riApplication;
  if (kind == 2) return riPackage;
  return riLibrary;
}

}  // namespace

std::string ShortVersion(const std::string& version) {
  if (version.empty()) return {};
  const size_t first = version.find('.');
  const size_t second = first == std::string::npos ? std::string::npos : version.find('.', first + 1);
  return version.substr(0, second) + ".x";
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

TStackRows CallStackRows(const TTarvexModuleOptions& o, const TTarvexStackList& stack,
                         const std::vector<TThreadRow>& threads, uint32_t exceptionThread) {
  TStackRows out;
  const TCallStackFlags flags = o.CallStackFlags();
  const TTarvexStackEntry* previous = nullptr;
  bool previousRunning = false;
  for (const TTarvexStackEntry& e : stack) {
    const int moduleKind = e.Module ? e.Module->ModuleKind : 0;
    const bool listed = e.EntryKind == kEntryLine || (e.EntryKind == kEntryProcedure && flags.Contains(cfShowDllEntries)) ||
                        (e.EntryKind == kEntryUnit && flags.Contains(cfShowPackageEntries) && moduleKind != 1);
    if (!listed) continue;
    // Own stack of a thread: running (first flag); of the exception's thread: second flag too.
    const bool running = e.StackRole == 1;
    const bool exceptional = running && e.ThreadID == exceptionThread && e.IsFirstEntry;
    const bool otherLeak = previous && (e.IsLeak != previous->IsLeak || (e.IsLeak && e.LeakIndex != previous->LeakIndex));
    if (!previous || e.ThreadID != previous->ThreadID || running != previousRunning || exceptional || otherLeak) {
      if (running && previous) out.Rows.push_back({{"", "", "", "", "", ""}, {}, false, 0, riNone, -1});
      TListRow group;
      group.Group = true;
      if (e.IsLeak) {
        group.Header = LeakGroupText(o, e);
      } else {
        const TThreadRow* thread = FindThread(threads, e.ThreadID);
        std::string header = o.GetText(!running ? 101 : e.ThreadID == exceptionThread ? 99 : 100) + ": ";
        const std::string priority = thread && thread->Priority ? std::to_string(*thread->Priority) : "??";
        header += Format("%s=%d; %s=%s", {o.GetText(102), static_cast<int64_t>(e.ThreadID), o.GetText(103), priority});
        if (thread && !thread->ClassName.empty()) header += Format("; %s=%s", {o.GetText(104), thread->ClassName});
        if (thread && thread->MainThread) header += "; [" + o.GetText(98) + "]";
        group.Header = header;
      }
      group.ColourClass = (running ? 1 : 0) + (running && e.ThreadID == exceptionThread ? 2 : 0);
      out.Rows.push_back(std::move(group));
    }
    previous = &e;
    previousRunning = running;
    TListRow row;
    row.Cells = {Hex16(e.Address), e.Module ? FileNameOf(e.Module->FileName) : std::string(), e.UnitName,
                 e.ClassName, e.ProcedureName,
                 e.LineNumber ? std::to_string(e.LineNumber) + "[" + std::to_string(e.LineOffset) + "]" : std::string()};
    row.Image = StackImage(e);
    if (e.LineNumber) {
      row.JumpId = static_cast<int32_t>(out.JumpEntries.size());
      out.JumpEntries.push_back(&e);
    }
    out.Rows.push_back(std::move(row));
  }
  return out;
}

std::vector<TListRow> ModuleRows(const std::vector<TModuleRow>& modules, TModuleHandle mainModule) {
  std::vector<TListRow> rows;
  for (const TModuleRow& m : modules) {
    TListRow row;
    row.Cells = {Hex16(m.Handle), FileNameOf(m.FileName), m.Description, ShortVersion(m.Version), Kilobytes(m.Size),
                 ModifiedText(m.Modified), FolderOf(m.FileName)};
    row.Image = m.Handle == mainModule ? riApplication : SharedObject(m.FileName) ? riLibrary : riApplication;
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<TListRow> ProcessRows(const std::vector<TProcessRow>& processes) {
  std::vector<TListRow> rows;
  for (const TProcessRow& p : processes) {
    TListRow row;
    row.Cells = {std::to_string(p.Id), p.Name, p.Description, ShortVersion(p.Version), Kilobytes(p.Memory), p.Priority,
                 p.Threads ? std::to_string(p.Threads) : std::string("??"), FolderOf(p.Path)};
    row.Image = riApplication;
    rows.push_back(std::move(row));
  }
  return rows;
}
