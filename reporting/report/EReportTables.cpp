#include "reporting/report/EReportTables.h"

#include <algorithm>
#include <numeric>
#include <vector>

#include "reporting/debuginfo/ECallStack.h"
#include "reporting/report/EReportFormats.h"
#include "runtime/SysUtils.h"

namespace {

constexpr const char* kCrLf = "\r\n";

// Rows of cells under a caption row; every column as wide as its widest cell.
class TTable {
 public:
  TTable(std::vector<std::string> captions, std::vector<size_t> minimum) : captions_(std::move(captions)) {
    widths_.resize(captions_.size());
    for (size_t c = 0; c < captions_.size(); ++c) widths_[c] = std::max(captions_[c].size(), minimum[c]);
  }
  void Fit(const std::vector<std::string>& row) {
    for (size_t c = 0; c < row.size(); ++c) widths_[c] = std::max(widths_[c], row[c].size());
  }
  size_t Width(size_t column) const { return widths_[column]; }
  size_t InnerWidth() const { return std::accumulate(widths_.begin(), widths_.end(), size_t{0}) + widths_.size() - 1; }
  std::string Separator() const { return std::string(InnerWidth() + 2, '-'); }
  std::string Row(const std::vector<std::string>& cells) const {
    std::string line = "|";
    for (size_t c = 0; c < cells.size(); ++c) {
      line += cells[c];
      line.append(widths_[c] - std::min(widths_[c], cells[c].size()), ' ');
      line += '|';
    }
    return line + kCrLf;
  }
  // One cell over the whole width.
  std::string Cell(const std::string& text) const {
    std::string line = "|" + text;
    line.append(InnerWidth() - std::min(InnerWidth(), text.size()), ' ');
    return line + "|" + kCrLf;
  }
  std::string Top(const std::string& heading) const {
    return heading + ":" + kCrLf + Separator() + kCrLf + Row(captions_) + Separator() + kCrLf;
  }
  std::string Bottom() const { return Separator() + kCrLf + kCrLf; }

 private:
  std::vector<std::string> captions_;
  std::vector<size_t> widths_;
};

std::string HeadingOnly(const std::string& heading) {
  return heading + ":" + kCrLf + std::string(heading.size() + 1, '-') + kCrLf + kCrLf;
}

std::string LineCell(const TTarvexStackEntry& e) {
  if (e.LineNumber == 0) return {};
  return std::to_string(e.LineNumber) + "[" + std::to_string(e.LineOffset) + "]";
}

std::string ThreadHeading(const TTarvexModuleOptions& options, const TTarvexStackEntry& e, bool exceptionThread,
                          const std::vector<TThreadRow>& threads) {
  std::string text;
  if (e.StackRole == 0)
    text = options.GetText(101) + ": ";
  else if (exceptionThread)
    text = "*" + options.GetText(99) + ": ";
  else
    text = options.GetText(100) + ": ";
  auto row = std::find_if(threads.begin(), threads.end(), [&](const TThreadRow& t) { return t.ThreadID == e.ThreadID; });
  int64_t id = static_cast<int32_t>(e.ThreadID);
  std::string priority = row != threads.end() && row->Priority ? std::to_string(*row->Priority) : "??";
  text += options.GetText(102) + "=" + std::to_string(std::max<int64_t>(id, 0)) + "; " + options.GetText(103) + "=" +
          priority;
  text += "; " + options.GetText(104) + "=" + (row != threads.end() ? row->ClassName : std::string());
  if (row != threads.end() && row->MainThread) text += "; [" + options.GetText(98) + "]";
  return text;
}

}  // namespace

std::string LeakGroupText(const TTarvexModuleOptions& options, const TTarvexStackEntry& leakRow) {
  const std::string type = leakRow.LeakClassName.empty() ? options.GetText(106) : leakRow.LeakClassName;
  return Format("%s: %s=%s; %s=%d; %s=%d", {options.GetText(105), options.GetText(107), type, options.GetText(108),
                                            leakRow.LeakSize, options.GetText(109), leakRow.LeakCount});
}

std::string CallStackTable(const TTarvexModuleOptions& options, const TTarvexStackList& callStack,
                           const IReportSnapshot& snapshot) {
  TEntryKinds visible = VisibleKinds(options);
  std::vector<const TTarvexStackEntry*> entries;
  for (const TTarvexStackEntry& e : callStack)
    if (e.EntryKind < 8 && (visible & EntryKindBit(e.EntryKind))) entries.push_back(&e);

  TTable table({options.GetText(92), options.GetText(93), options.GetText(94), options.GetText(95),
                options.GetText(96), options.GetText(97)},
               {16, 0, 0, 0, 0, 0});
  std::vector<std::vector<std::string>> rows;
  rows.reserve(entries.size());
  for (const TTarvexStackEntry* e : entries) {
    rows.push_back({HexText(e->Address), e->Module ? FileNameOf(e->Module->FileName) : std::string(), e->UnitName,
                    e->ClassName, e->ProcedureName, LineCell(*e)});
    table.Fit(rows.back());
  }

  std::vector<TThreadRow> threads = snapshot.Threads();
  uint32_t exceptionThread = callStack.empty() ? 0 : callStack.front().ThreadID;
  std::string text = table.Top(options.GetText(8));
  const TTarvexStackEntry* previous = nullptr;
  for (size_t n = 0; n < entries.size(); ++n) {
    const TTarvexStackEntry& e = *entries[n];
    bool starts = !previous || e.ThreadID != previous->ThreadID || e.StackRole != previous->StackRole ||
                  e.IsFirstEntry || e.IsLeak != previous->IsLeak || (e.IsLeak && e.LeakIndex != previous->LeakIndex);
    if (starts) {
      if (previous) {
        text += table.Cell(std::string(table.InnerWidth(), '-'));
        // An empty cell opens a thread of its own; a calling thread's stack belongs to the one before.
        if (e.StackRole != 0) text += table.Cell({});
      }
      bool isExceptionThread = e.StackRole != 0 && e.ThreadID == exceptionThread;
      text += table.Cell(e.IsLeak ? LeakGroupText(options, e) : ThreadHeading(options, e, isExceptionThread, threads));
      text += table.Cell(std::string(table.InnerWidth(), '-'));
    }
    text += table.Row(rows[n]);
    previous = &e;
  }
  return text + table.Bottom();
}

std::string ModulesTable(const TTarvexModuleOptions& options, const IReportSnapshot& snapshot) {
  std::string heading = options.GetText(10);
  if (!options.LogFlags().Contains(lfModulesAndProcesses)) return HeadingOnly(heading);
  TTable table({options.GetText(126), options.GetText(127), options.GetText(128), options.GetText(129),
                options.GetText(130), options.GetText(131), options.GetText(132)},
               {16, 0, 0, 0, 0, 0, 0});
  std::vector<TModuleRow> modules = snapshot.Modules();
  std::vector<std::vector<std::string>> rows;
  for (const TModuleRow& m : modules) {
    rows.push_back({{}, FileNameOf(m.FileName), m.Description, m.Version, std::to_string(m.Size),
                    TimestampText(m.Modified), FolderOf(m.FileName)});
    table.Fit(rows.back());
  }
  std::string text = table.Top(heading);
  for (size_t n = 0; n < rows.size(); ++n) {
    // The handle fills its column with leading zeros, however wide the caption made it.
    rows[n][0] = HexText(modules[n].Handle, static_cast<int>(table.Width(0)));
    text += table.Row(rows[n]);
  }
  return text + table.Bottom();
}

std::string ProcessesTable(const TTarvexModuleOptions& options, const IReportSnapshot& snapshot) {
  std::string heading = options.GetText(12);
  if (!options.LogFlags().Contains(lfModulesAndProcesses)) return HeadingOnly(heading);
  TTable table({options.GetText(133), options.GetText(134), options.GetText(135), options.GetText(136),
                options.GetText(137), options.GetText(138), options.GetText(139), options.GetText(140)},
               {0, 0, 0, 0, 0, 0, 0, 0});
  std::vector<std::vector<std::string>> rows;
  for (const TProcessRow& p : snapshot.Processes()) {
    rows.push_back({std::to_string(p.Id), p.Name, p.Description, p.Version, std::to_string(p.Memory), p.Priority,
                    p.Threads > 0 ? std::to_string(p.Threads) : "??", FolderOf(p.Path)});
    table.Fit(rows.back());
  }
  std::string text = table.Top(heading);
  for (const auto& row : rows) text += table.Row(row);
  return text + table.Bottom();
}
