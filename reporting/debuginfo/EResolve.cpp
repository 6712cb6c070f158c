// Resolution of a code address into stack entries, one per inline level, through the
// module's sources: the stored block, else the other source (DWARF or symbols), else the
// module's exports. Also the internal-error report's text forms of entries and addresses.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "reporting/debuginfo/EModuleImage.h"

namespace {

// The layer's own source files, sorted; generated from the tree by the build.
constexpr std::string_view kOwnUnits[] = {
#include "EOwnUnits.inc"
};

std::string Limited(std::string text) {
  if (text.size() > 255) text.resize(255);
  if (!text.empty() && text.front() == '@') text.front() = '_';
  return text;
}

std::string FilePart(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void Hide(TTarvexStackEntry& entry) {
  entry.EntryKind = kEntryModule;
  entry.UnitName.clear();
  entry.ClassName.clear();
  entry.ProcedureName.clear();
  entry.LineNumber = 0;
  entry.LineOffset = 0;
}

TTarvexStackEntry EntryOf(const TTarvexStackEntry& base, const TTLLocationInfo& frame) {
  TTarvexStackEntry entry = base;
  entry.UnitName = Limited(FilePart(frame.SourceName.empty() ? frame.UnitName : frame.SourceName));
  entry.ClassName = Limited(frame.ClassName);
  entry.ProcedureName = Limited(frame.ProcedureName);
  entry.LineNumber = frame.LineNumber;
  entry.LineOffset = frame.LineOffset;
  entry.Inlined = frame.Inlined;
  entry.EntryKind = entry.LineNumber > 0         ? kEntryLine
                    : !entry.UnitName.empty()      ? kEntryUnit
                    : !entry.ProcedureName.empty() ? kEntryProcedure
                                                   : kEntryModule;
  if (!entry.UnitName.empty() && IsOwnReportingUnit(entry.UnitName)) Hide(entry);
  return entry;
}

std::string Hex16(uint64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%16.16" PRIX64, value);
  return buf;
}

std::string LineText(const TTarvexStackEntry& e) {
  return e.UnitName + " - " + e.ClassName + " - " + e.ProcedureName + " - " + std::to_string(e.LineNumber) + "[" +
         std::to_string(e.LineOffset) + "]";
}

}  // namespace

bool IsOwnReportingUnit(std::string_view unitName) {
  return std::binary_search(std::begin(kOwnUnits), std::end(kOwnUnits), unitName);
}

std::vector<TTarvexStackEntry> ResolveAddress(uintptr_t address, uint32_t threadId, bool firstEntry,
                                              uint8_t stackRole) {
  TTarvexStackEntry base;
  base.ThreadID = threadId;
  base.IsFirstEntry = firstEntry ? 1 : 0;
  base.StackRole = stackRole;
  base.Address = address;
  try {
    base.Module = ModuleFromAddress(address);
    if (!base.Module) return {base};
    base.EntryKind = kEntryModule;
    // The lock keeps the module's sources alive while they answer.
    auto lock = LockModuleList();
    const TTarvexModuleInfo& module = *base.Module;
    std::vector<TTLLocationInfo> frames;
    const TTLDebugInfoSource* source = module.StoredDebugInfo ? module.StoredDebugInfo.get() : module.OtherDebugSource.get();
    if (source) source->GetLocationInfo(address, frames);
    bool named = !frames.empty() && (!frames.front().UnitName.empty() || !frames.front().SourceName.empty() ||
                                     !frames.front().ProcedureName.empty());
    if (named) {
      std::vector<TTarvexStackEntry> entries;
      entries.reserve(frames.size());
      for (const auto& frame : frames) entries.push_back(EntryOf(base, frame));
      return entries;
    }
    // Only the exports are left: a plain name, without unit.
    if (const TTarvexFunctionInfo* exported = module.ExportAt(address)) {
      std::string name = WithoutParameters(exported->Name);
      if (!name.empty() && name.front() != '?') {
        base.ProcedureName = Limited(name);
        base.EntryKind = kEntryProcedure;
      }
    }
    return {base};
  } catch (...) {
    return {base};
  }
}

std::vector<TTarvexStackEntry> ResolveLocation(uintptr_t address) { return ResolveAddress(address, 0, false, 1); }

std::string StackEntryText(const TTarvexStackEntry& entry, size_t index) {
  char number[8];
  std::snprintf(number, sizeof number, "%2.2zX", index & 0xFF);
  std::string text = std::string(number) + " $" + Hex16(entry.Address) + " - [" +
                     Hex16(entry.Module ? entry.Module->ModuleHandle : 0) + "] " +
                     (entry.Module ? entry.Module->FileName : std::string()) + " ";
  if (entry.LineNumber > 0) text += "- " + LineText(entry);
  return text + "\r\n";
}

std::string StackListText(const TTarvexStackList& list) {
  std::string text;
  for (size_t i = 0; i < list.size(); ++i) {
    if (i > 0) text.append(12, ' ');
    text += StackEntryText(list[i], i);
  }
  return text;
}

std::string AddressText(uintptr_t address) {
  std::vector<TTarvexStackEntry> entries = ResolveAddress(address, 0, false, 1);
  const TTarvexStackEntry& e = entries.front();
  return "$" + Hex16(address) + " - [" + Hex16(e.Module ? e.Module->ModuleHandle : 0) + "] " +
         (e.Module ? e.Module->FileName : std::string()) + " - " + LineText(e);
}
