// The exit sequence: the blocks still in the table are the leaks. A snapshot is taken under all
// of the table's locks, which are released again before anything is resolved or reported;
// releases from other threads meanwhile only mark their blocks, so every block read below stays
// allocated. Then: known harmless leaks dropped, blocks allocated while an object was being
// constructed folded into it, groups by origin (the first frame with a line that is not the
// layer's own), at most kMaxOrigins of them, reported as one EMemoryLeak through the flow whose
// call stack is the groups' rows: each group's frames from its origin on.
//
// "Free all leaks at exit" does nothing: other threads and later destructors may still use them.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "reporting/debuginfo/EDebug.h"
#include "reporting/debuginfo/EMemory.h"
#include "reporting/debuginfo/EStackScan.h"
#include "reporting/interception/ExceptionLog.h"
#include "reporting/leaks/ELeakClass.h"
#include "reporting/leaks/ELeakKnown.h"
#include "reporting/leaks/ELeakState.h"
#include "reporting/leaks/ELeakTable.h"
#include "reporting/leaks/ELeaks.h"
#include "reporting/options/EModuleData.h"
#include "reporting/options/EModules.h"

using namespace leak_state;

namespace {

constexpr size_t kMaxOrigins = 2000;

// One frame, resolved once: its outermost function (what "the same function" means when
// folding) and the entry that stands for it in a report.
struct TFrameInfo {
  bool Own = false;   // the reporting layer's code: the block is the layer's
  bool Kept = false;  // a frame a report shows
  bool HasLine = false;
  int FunctionId = 0;  // 0: unknown function
  TTarvexStackEntry Entry;
};

// Code of the C++ library's headers, inlined or instantiated in the program: a leak is the
// line that called into it.
bool LibraryHeader(const TTLLocationInfo& l) {
  auto inStd = [](const std::string& name) { return name.starts_with("std::") || name.starts_with("__gnu_cxx::"); };
  return l.SourceName.find("/c++/") != std::string::npos || inStd(l.ClassName) ||
         (l.ClassName.empty() && inStd(l.ProcedureName));
}

class TFrameCache {
 public:
  // Entries stand for the call that ends at the return address, as in other call stacks.
  const TFrameInfo& Get(uintptr_t returnAddress) {
    auto it = frames_.find(returnAddress);
    if (it != frames_.end()) return it->second;
    TFrameInfo info;
    std::vector<TTarvexStackEntry> levels = ResolveAddress(returnAddress - 1, 0, false, 1);
    std::vector<TTLLocationInfo> locations = Locations(returnAddress - 1);
    if (!levels.empty()) {
      const TTarvexStackEntry& own = levels.back();  // the function the address lies in
      if (own.EntryKind >= kEntryProcedure && !own.ProcedureName.empty()) {
        auto key = std::make_tuple(own.Module, own.ClassName, own.ProcedureName);
        auto [f, added] = functions_.emplace(key, static_cast<int>(functions_.size()) + 1);
        info.FunctionId = f->second;
      }
      // The innermost level outside the C++ library's headers.
      size_t chosen = 0;
      while (chosen < levels.size() && chosen < locations.size() && LibraryHeader(locations[chosen])) ++chosen;
      // From the source names: resolving hides the layer's units, names and all.
      for (const TTLLocationInfo& level : locations) info.Own |= IsOwnReportingUnit(level.UnitName);
      if (chosen < levels.size()) {
        const TTarvexStackEntry& e = levels[chosen];
        info.Kept = e.EntryKind >= kEntryProcedure;
        info.HasLine = e.EntryKind == kEntryLine;
        info.Entry = e;
        info.Entry.Address = CallStartBefore(returnAddress, memory_);
      }
    }
    return frames_.emplace(returnAddress, std::move(info)).first->second;
  }

 private:
  // The source names behind ResolveAddress's levels (innermost first).
  static std::vector<TTLLocationInfo> Locations(uintptr_t address) {
    std::vector<TTLLocationInfo> frames;
    const TTarvexModuleInfo* module = ModuleFromAddress(address);
    if (!module) return frames;
    auto lock = LockModuleList();
    const TTLDebugInfoSource* source =
        module->StoredDebugInfo ? module->StoredDebugInfo.get() : module->OtherDebugSource.get();
    if (source) source->GetLocationInfo(address, frames);
    return frames;
  }

  TProcessMemoryReader memory_;
  std::unordered_map<uintptr_t, TFrameInfo> frames_;
  std::map<std::tuple<const TTarvexModuleInfo*, std::string, std::string>, int> functions_;
};

struct TLeak {
  TLeakEntry Entry;
  TLeakStack Stack;
  std::string ClassName;  // empty: "Data"
  int Origin = -1;        // index of the first kept frame; -1: not reported
  bool Dropped = false;
  uint64_t Size = 0;      // with folded children
  size_t Count = 1;
};

// The leaks of one origin; the first one's stack stands for them all.
struct TGroup {
  std::string ClassName;
  TLeakStack Stack;
  uint32_t Origin = 0;  // index of the origin in Stack
  uint64_t Size = 0;
  uint64_t Count = 0;
};

// Entries in the snapshot, in a mapping of their own: the table may hold far more blocks than
// this program would like to copy into its own heap at exit.
class TSnapshot {
 public:
  TSnapshot() {
    capacity_ = leak_table::LiveCount() + 4096;
    void* p = ::mmap(nullptr, capacity_ * sizeof(TLeakEntry), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    entries_ = static_cast<TLeakEntry*>(p);
    count_ = std::min(leak_table::Snapshot(entries_, capacity_), capacity_);
  }
  ~TSnapshot() {
    if (entries_) ::munmap(entries_, capacity_ * sizeof(TLeakEntry));
  }
  const TLeakEntry* begin() const { return entries_; }
  const TLeakEntry* end() const { return entries_ + count_; }

 private:
  TLeakEntry* entries_ = nullptr;
  size_t capacity_ = 0;
  size_t count_ = 0;
};

// Whether `child` was allocated while `parent` was being constructed: later, and with the
// function that allocated the parent on its stack below the child's own first frame, the
// callers beyond it being the parent's.
bool AllocatedDuring(const TLeak& child, const TLeak& parent, TFrameCache& frames) {
  if (child.Entry.Sequence <= parent.Entry.Sequence || parent.Origin < 0 || child.Stack.Depth < 2) return false;
  const uint32_t po = static_cast<uint32_t>(parent.Origin);
  const int parentFunction = frames.Get(parent.Stack.Frames[po]).FunctionId;
  if (parentFunction == 0) return false;
  for (uint32_t i = 1; i < child.Stack.Depth; ++i) {
    if (frames.Get(child.Stack.Frames[i]).FunctionId != parentFunction) continue;
    const uint32_t rest = std::min(child.Stack.Depth - i - 1, parent.Stack.Depth - po - 1);
    if (std::equal(parent.Stack.Frames + po + 1, parent.Stack.Frames + po + 1 + rest, child.Stack.Frames + i + 1))
      return true;
  }
  return false;
}

void FoldChildren(std::vector<TLeak>& leaks, TFrameCache& frames) {
  std::vector<size_t> objects;
  for (size_t i = 0; i < leaks.size(); ++i)
    if (!leaks[i].Dropped && !leaks[i].ClassName.empty()) objects.push_back(i);
  if (objects.empty()) return;
  // Leaks are in allocation order; each block goes to the latest object it was made during.
  std::vector<int> parent(leaks.size(), -1);
  for (size_t c = 0; c < leaks.size(); ++c) {
    if (leaks[c].Dropped) continue;
    for (auto it = objects.rbegin(); it != objects.rend(); ++it)
      if (*it != c && AllocatedDuring(leaks[c], leaks[*it], frames)) {
        parent[c] = static_cast<int>(*it);
        break;
      }
  }
  for (size_t c = 0; c < leaks.size(); ++c) {
    if (parent[c] < 0) continue;
    size_t root = static_cast<size_t>(parent[c]);
    for (int guard = 0; parent[root] >= 0 && guard < 64; ++guard) root = static_cast<size_t>(parent[root]);
    leaks[root].Size += leaks[c].Size;
    leaks[c].Dropped = true;
  }
}

constexpr size_t kMaxClassName = 64;

std::string ModuleName(const TTarvexModuleInfo* module) {
  if (!module) return {};
  const size_t slash = module->FileName.rfind('/');
  return slash == std::string::npos ? module->FileName : module->FileName.substr(slash + 1);
}

// The report's call stack: every kept frame of each group from its origin on, marked as the
// group's rows. The frames are resolved already: this is one pass over at most
// kMaxOrigins x kLeakMaxFrames entries.
TTarvexStackList LeakRows(const std::vector<TGroup>& groups, TFrameCache& frames) {
  TTarvexStackList rows;
  const uint32_t thread = static_cast<uint32_t>(::gettid());
  for (size_t g = 0; g < groups.size(); ++g) {
    const TGroup& group = groups[g];
    for (uint32_t i = group.Origin; i < group.Stack.Depth; ++i) {
      const TFrameInfo& f = frames.Get(group.Stack.Frames[i]);
      if (!f.Kept) continue;
      TTarvexStackEntry& e = rows.emplace_back(f.Entry);
      e.ThreadID = thread;
      e.StackRole = 1;
      e.IsFirstEntry = rows.size() == 1;
      e.IsLeak = true;
      e.LeakIndex = static_cast<uint32_t>(g);
      e.LeakClassName = group.ClassName.substr(0, kMaxClassName);
      e.LeakSize = group.Size;
      e.LeakCount = group.Count;
    }
  }
  return rows;
}

void Report(const std::vector<TGroup>& groups, TFrameCache& frames) {
  uint64_t total = 0, count = 0;
  for (const TGroup& g : groups) total += g.Size, count += g.Count;
  const TTarvexStackList rows = LeakRows(groups, frames);
  if (total == 0 || rows.empty()) return;
  const bool installedHere = !ExceptionLogInstalled() && InstallExceptionLog();
  struct TShutdown {
    bool Installed;
    ~TShutdown() {
      if (Installed) ShutdownExceptionLog();
    }
  } shutdown{installedHere};
  TTarvexModuleData* own = FindModuleData(ReportingModuleHandle());
  if (!own || !own->Options) return;
  TTarvexModuleOptions& options = *own->Options;
  options.SetLogFlags(options.LogFlags() - TLogFlags{lfAssemblerAndCpu});
  EMemoryLeak leak(Format("%s: %s=%d - %s=%d", {options.GetText(105), options.GetText(108), total,
                                                  options.GetText(109), count}));
  TExceptNotifyParams p;
  p.Source = nsManager;
  p.Native = false;
  p.ExceptionObject = &leak;
  p.ExceptionType = &typeid(leak);
  p.ExceptionAddress = rows.front().Address;  // the first leak's origin
  p.PreparedEntries = &rows;
  p.ThreadID = ::gettid();
  NotifyException(p);
}

}  // namespace

size_t RunLeakExitSequence() {
  TGuardScope guard;
  if (!gEverTracked.load()) return 0;
  const uint8_t flags = gFlags.load();
  StopLeakTracking();
  gMarkOnly.store(true);
  std::vector<TGroup> groups;
  try {
    TFrameCache frames;
    std::vector<TLeak> leaks;
    {
      TSnapshot snapshot;
      for (const TLeakEntry& e : snapshot) {
        TLeak leak;
        leak.Entry = e;
        leak.Stack = leak_table::StackOf(e.StackId);
        leak.Size = e.Size;
        leaks.push_back(leak);
      }
    }
    std::sort(leaks.begin(), leaks.end(),
              [](const TLeak& a, const TLeak& b) { return a.Entry.Sequence < b.Entry.Sequence; });
    TClassNames classes;
    for (TLeak& leak : leaks) {
      leak.ClassName = classes.NameOf(reinterpret_cast<const void*>(leak.Entry.Base), leak.Entry.Size);
      for (uint32_t i = 0; i < leak.Stack.Depth; ++i) {
        const TFrameInfo& f = frames.Get(leak.Stack.Frames[i]);
        // Blocks the layer allocates for itself live as long as the process, on purpose.
        if (f.Own) break;
        if ((flags & kLeakIgnoreKnown) &&
            IsKnownLeak(ModuleName(f.Entry.Module), f.Entry.UnitName, f.Entry.ProcedureName)) {
          leak.Origin = -1;
          break;
        }
        if (!f.Kept) continue;
        // A leak made by code without line information is not reported.
        if (f.HasLine) leak.Origin = static_cast<int>(i);
        break;
      }
    }
    for (TLeak& leak : leaks) leak.Dropped |= leak.Origin < 0;
    if (flags & kLeakGroupChildren) FoldChildren(leaks, frames);
    // An origin is a place in the source (an unrolled loop has several addresses for one line),
    // with the class and the block size.
    std::map<std::tuple<const TTarvexModuleInfo*, std::string, std::string, int32_t, std::string, uint64_t>, size_t>
        index;
    for (const TLeak& leak : leaks) {
      if (leak.Dropped) continue;
      const uintptr_t origin = leak.Stack.Frames[leak.Origin];
      const TTarvexStackEntry& e = frames.Get(origin).Entry;
      auto key = std::make_tuple(e.Module, e.UnitName, e.ProcedureName, e.LineNumber, leak.ClassName, leak.Entry.Size);
      auto [it, added] = index.emplace(key, groups.size());
      if (added) {
        if (groups.size() == kMaxOrigins) {
          index.erase(it);
          continue;
        }
        groups.push_back({leak.ClassName, leak.Stack, static_cast<uint32_t>(leak.Origin), 0, 0});
      }
      groups[it->second].Size += leak.Size;
      groups[it->second].Count += 1;
    }
    if (!groups.empty()) Report(groups, frames);
  } catch (...) {
    // The program is ending: a failed report must not change how.
  }
  // Later releases (destructors after this one) free again; a second release now would be
  // reported into a layer that is going away.
  gFlags.store(flags & ~kLeakCheckErrors);
  gMarkOnly.store(false);
  return groups.size();
}
