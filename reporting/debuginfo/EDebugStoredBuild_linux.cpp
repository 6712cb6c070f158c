#include "reporting/debuginfo/EDebugStoredBuild_linux.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwelf.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <unordered_map>
#include <utility>

#include "reporting/debuginfo/EDwarfNames_linux.h"
#include "runtime/FileHandle_linux.h"
#include "runtime/Streams.h"
#include "runtime/SysUtils.h"

namespace {

class TElfFile {
 public:
  explicit TElfFile(const std::string& fileName) : fd_(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_.get() < 0) throw EFOpenError("Cannot open file \"%s\". %s", {fileName, std::strerror(errno)});
    elf_version(EV_CURRENT);
    elf_ = elf_begin(fd_.get(), ELF_C_READ_MMAP, nullptr);
    if (!elf_ || elf_kind(elf_) != ELF_K_ELF) {
      if (elf_) elf_end(elf_);
      throw Exception("\"%s\" is not an ELF file", {fileName});
    }
  }
  ~TElfFile() {
    if (dwarf_) dwarf_end(dwarf_);
    elf_end(elf_);
  }
  TElfFile(const TElfFile&) = delete;
  TElfFile& operator=(const TElfFile&) = delete;
  Elf* Get() const { return elf_; }
  Dwarf* OpenDwarf() {
    if (!dwarf_) dwarf_ = dwarf_begin_elf(elf_, DWARF_C_READ, nullptr);
    return dwarf_;
  }

 private:
  TFileHandle fd_;
  Elf* elf_ = nullptr;
  Dwarf* dwarf_ = nullptr;
};

using TRanges = std::vector<std::pair<uint64_t, uint64_t>>;

TRanges DieRanges(Dwarf_Die* die) {
  TRanges out;
  Dwarf_Addr base = 0, start = 0, end = 0;
  for (ptrdiff_t off = 0; (off = dwarf_ranges(die, off, &base, &start, &end)) > 0;)
    if (end > start) out.emplace_back(start, end);
  return out;
}

bool IsCodeScope(int tag) {
  return tag == DW_TAG_subprogram || tag == DW_TAG_inlined_subroutine || tag == DW_TAG_lexical_block;
}
bool IsClassTag(int tag) {
  return tag == DW_TAG_class_type || tag == DW_TAG_structure_type || tag == DW_TAG_union_type;
}

bool SameFrames(const std::vector<TTLLocationInfo>& a, const std::vector<TTLLocationInfo>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const TTLLocationInfo& x, const TTLLocationInfo& y) {
    return x.SourceName == y.SourceName && x.UnitName == y.UnitName && x.ClassName == y.ClassName &&
           x.ProcedureName == y.ProcedureName && x.LineNumber == y.LineNumber && x.LineOffset == y.LineOffset &&
           x.Inlined == y.Inlined;
  });
}

// The frames of every address of one compilation unit, as DwarfFramesAt gives them, but from
// one walk of the unit's DIE tree: asking libdw for the scopes of each address walks the
// tree every time, which takes minutes on a large program.
class TUnitFrames {
 public:
  explicit TUnitFrames(Dwarf_Die* cuDie) : cu_(*cuDie) {
    Walk(&cu_, -1, 0);
    std::sort(intervals_.begin(), intervals_.end());
  }

  // Where the frames can change: every line-table row and every bound of a code scope.
  std::vector<uint64_t> Bounds() {
    std::vector<uint64_t> bounds;
    Dwarf_Lines* lines = nullptr;
    size_t count = 0;
    if (dwarf_getsrclines(&cu_, &lines, &count) == 0) {
      for (size_t i = 0; i < count; ++i) {
        Dwarf_Addr a = 0;
        if (dwarf_lineaddr(dwarf_onesrcline(lines, i), &a) == 0) bounds.push_back(a);
      }
    }
    for (const auto& i : intervals_) {
      bounds.push_back(i.Start);
      bounds.push_back(i.End);
    }
    std::sort(bounds.begin(), bounds.end());
    bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
    return bounds;
  }

  // The frames at each of `points` (ascending).
  template <class F>
  void Sweep(const std::vector<uint64_t>& points, F&& onFrames) {
    // The innermost scope holding a point: the deepest interval that started at or before it
    // and has not ended; the first in tree order among equals.
    auto deeper = [this](size_t a, size_t b) {
      const TScope& x = scopes_[intervals_[a].Scope];
      const TScope& y = scopes_[intervals_[b].Scope];
      return x.Depth != y.Depth ? x.Depth < y.Depth : intervals_[a].Scope > intervals_[b].Scope;
    };
    std::vector<size_t> active;  // a heap of interval indexes
    size_t next = 0;
    std::vector<TTLLocationInfo> frames;
    for (uint64_t p : points) {
      while (next < intervals_.size() && intervals_[next].Start <= p) {
        active.push_back(next++);
        std::push_heap(active.begin(), active.end(), deeper);
      }
      while (!active.empty() && intervals_[active.front()].End <= p) {
        std::pop_heap(active.begin(), active.end(), deeper);
        active.pop_back();
      }
      FramesAt(p, active.empty() ? -1 : intervals_[active.front()].Scope, frames);
      onFrames(p, frames);
    }
  }

 private:
  struct TScope {
    Dwarf_Die Die;
    int Parent;  // the enclosing code scope; -1 none
    int Depth;
    int Tag;
  };
  struct TInterval {
    uint64_t Start, End;
    int Scope;
    bool operator<(const TInterval& o) const { return Start < o.Start; }
  };
  struct TNames {
    bool Named = false;
    TDwarfProcedureName Names;
  };

  void Walk(Dwarf_Die* parent, int parentScope, int depth) {
    Dwarf_Die child;
    if (depth > 64 || dwarf_child(parent, &child) != 0) return;
    do {
      int tag = dwarf_tag(&child);
      if (IsCodeScope(tag)) {
        int index = static_cast<int>(scopes_.size());
        scopes_.push_back({child, parentScope, depth, tag});
        for (auto [start, end] : DieRanges(&child)) intervals_.push_back({start, end, index});
        Walk(&child, index, depth + 1);
      } else if (tag == DW_TAG_namespace || IsClassTag(tag)) {
        Walk(&child, parentScope, depth + 1);
      }
    } while (dwarf_siblingof(&child, &child) == 0);
  }

  // Naming a DIE walks the unit to find its scopes, so names are kept per DIE; a DIE without
  // a line of its own (an inlined call, most often) is named as the DIE it refers to.
  const TNames& NamesOf(Dwarf_Die* die, int depth = 0) {
    Dwarf_Attribute attr;
    Dwarf_Die target;
    if (depth < 16 && !dwarf_hasattr(die, DW_AT_decl_line) &&
        (dwarf_attr(die, DW_AT_abstract_origin, &attr) || dwarf_attr(die, DW_AT_specification, &attr)) &&
        dwarf_formref_die(&attr, &target))
      return NamesOf(&target, depth + 1);
    auto [it, added] = names_.try_emplace(dwarf_dieoffset(die));
    if (added) it->second.Named = DwarfProcedureName(die, it->second.Names);
    return it->second;
  }

  std::string FileOf(Dwarf_Word index) {
    Dwarf_Files* files = nullptr;
    size_t count = 0;
    if (dwarf_getsrcfiles(&cu_, &files, &count) != 0 || index >= count) return {};
    const char* name = dwarf_filesrc(files, index, nullptr, nullptr);
    return name ? name : "";
  }

  void FramesAt(uint64_t address, int scope, std::vector<TTLLocationInfo>& frames) {
    frames.clear();
    std::string file;
    int line = 0;
    if (Dwarf_Line* row = dwarf_getsrc_die(&cu_, address)) {
      const char* src = dwarf_linesrc(row, nullptr, nullptr);
      if (src) file = src;
      dwarf_lineno(row, &line);
    }
    for (; scope >= 0; scope = scopes_[scope].Parent) {
      int tag = scopes_[scope].Tag;
      if (tag == DW_TAG_lexical_block) continue;
      TTLLocationInfo frame;
      frame.SourceName = file;
      frame.UnitName = DwarfFilePart(file);
      frame.LineNumber = line;
      const TNames& names = NamesOf(&scopes_[scope].Die);
      if (names.Named) {
        frame.ClassName = names.Names.ClassName;
        frame.ProcedureName = names.Names.ProcedureName;
        if (line > 0 && names.Names.DeclLine > 0 && line > names.Names.DeclLine)
          frame.LineOffset = line - names.Names.DeclLine;
      }
      frame.Inlined = tag == DW_TAG_inlined_subroutine;
      frames.push_back(std::move(frame));
      if (tag == DW_TAG_subprogram) break;
      Dwarf_Die* die = &scopes_[scope].Die;
      Dwarf_Attribute attr;
      Dwarf_Word value = 0;
      file.clear();
      line = 0;
      if (dwarf_attr(die, DW_AT_call_file, &attr) && dwarf_formudata(&attr, &value) == 0) file = FileOf(value);
      if (dwarf_attr(die, DW_AT_call_line, &attr) && dwarf_formudata(&attr, &value) == 0)
        line = static_cast<int>(value);
    }
    if (frames.empty() && !file.empty()) {
      TTLLocationInfo frame;
      frame.SourceName = file;
      frame.UnitName = DwarfFilePart(file);
      frame.LineNumber = line;
      frames.push_back(std::move(frame));
    }
  }

  Dwarf_Die cu_;
  std::vector<TScope> scopes_;
  std::vector<TInterval> intervals_;
  std::unordered_map<Dwarf_Off, TNames> names_;
};

// How many addresses of a unit are checked against DwarfFramesAt itself.
constexpr size_t kCheckedPoints = 8;

// The executable segments: code that the linker dropped keeps its DWARF at address 0.
TRanges CodeSegments(Elf* elf) {
  TRanges out;
  size_t count = 0;
  if (elf_getphdrnum(elf, &count) != 0) return out;
  for (size_t i = 0; i < count; ++i) {
    GElf_Phdr phdr;
    if (gelf_getphdr(elf, static_cast<int>(i), &phdr) && phdr.p_type == PT_LOAD && (phdr.p_flags & PF_X))
      out.emplace_back(phdr.p_vaddr, phdr.p_vaddr + phdr.p_memsz);
  }
  return out;
}

void AddUnit(Dwarf_Die* cuDie, const TRanges& code, TStoredDebugTable& table) {
  TRanges ranges;
  for (auto [start, end] : DieRanges(cuDie))
    for (auto [low, high] : code)
      if (std::max(start, low) < std::min(end, high)) ranges.emplace_back(std::max(start, low), std::min(end, high));
  if (ranges.empty()) return;
  std::sort(ranges.begin(), ranges.end());
  TRanges merged;
  for (auto r : ranges) {
    if (!merged.empty() && r.first <= merged.back().second) merged.back().second = std::max(merged.back().second, r.second);
    else merged.push_back(r);
  }

  TUnitFrames unitFrames(cuDie);
  std::vector<uint64_t> bounds = unitFrames.Bounds();
  std::vector<uint64_t> points;
  for (auto [low, high] : merged) {
    points.push_back(low);
    for (auto it = std::upper_bound(bounds.begin(), bounds.end(), low); it != bounds.end() && *it < high; ++it)
      points.push_back(*it);
  }
  std::vector<std::vector<TTLLocationInfo>> framesAt(points.size());
  size_t at = 0;
  unitFrames.Sweep(points, [&](uint64_t, const std::vector<TTLLocationInfo>& frames) { framesAt[at++] = frames; });
  // A few addresses asked the slow way: should the quick walk ever disagree, the whole unit
  // is read the slow way.
  std::vector<TTLLocationInfo> exact;
  for (size_t i = 0; i < kCheckedPoints && i < points.size(); ++i) {
    size_t k = i * points.size() / std::min(kCheckedPoints, points.size());
    DwarfFramesAt(cuDie, points[k], exact);
    if (SameFrames(exact, framesAt[k])) continue;
    for (size_t j = 0; j < points.size(); ++j) DwarfFramesAt(cuDie, points[j], framesAt[j]);
    break;
  }

  const char* cuName = dwarf_diename(cuDie);
  size_t next = 0;
  for (auto [low, high] : merged) {
    TStoredUnit unit;
    unit.Name = cuName ? cuName : "";
    unit.Start = low;
    unit.Size = high - low;
    const std::vector<TTLLocationInfo>* previous = nullptr;
    for (; next < points.size() && points[next] < high; ++next) {
      const auto& frames = framesAt[next];
      if (previous && SameFrames(frames, *previous)) continue;
      previous = &frames;
      TStoredRange range;
      range.Start = points[next];
      for (const TTLLocationInfo& f : frames) {
        // DeclLine holds the line offset until AssignDeclLines turns it into a first line.
        range.Frames.push_back({f.SourceName, f.ClassName, f.ProcedureName, f.LineNumber, f.LineOffset, f.Inlined});
      }
      if (unit.FirstLine == 0 && !range.Frames.empty()) unit.FirstLine = range.Frames.front().LineNumber;
      unit.Ranges.push_back(std::move(range));
    }
    table.Units.push_back(std::move(unit));
  }
}

// The source gives each level its line less the procedure's first line (never below 0, 0
// when the first line is unknown). A first line per procedure that yields exactly the
// offsets the DWARF gave: the one an offset reveals, else one that keeps the offset at 0.
void AssignDeclLines(TStoredDebugTable& table) {
  std::map<std::pair<std::string, std::string>, int32_t> known;
  for (auto& unit : table.Units)
    for (auto& range : unit.Ranges)
      for (auto& f : range.Frames)
        if (f.DeclLine > 0) known.emplace(std::make_pair(f.ClassName, f.ProcedureName), f.LineNumber - f.DeclLine);
  for (auto& unit : table.Units)
    for (auto& range : unit.Ranges)
      for (auto& f : range.Frames) {
        if (f.DeclLine > 0) {
          f.DeclLine = f.LineNumber - f.DeclLine;
          continue;
        }
        auto k = known.find(std::make_pair(f.ClassName, f.ProcedureName));
        f.DeclLine = k != known.end() && f.LineNumber <= k->second ? k->second : 0;
      }
}

}  // namespace

TStoredDebugTable BuildStoredDebugTable(const std::string& fileName) {
  TElfFile file(fileName);
  Dwarf* dwarf = file.OpenDwarf();
  if (!dwarf) throw Exception("\"%s\" holds no DWARF debug information", {fileName});
  TStoredDebugTable table;
  table.BuildId = ReadElfBuildId(fileName);

  Dwarf_CU* cu = nullptr;
  Dwarf_Half version = 0;
  uint8_t unitType = 0;
  Dwarf_Die cuDie, subDie;
  TRanges code = CodeSegments(file.Get());
  while (dwarf_get_units(dwarf, cu, &cu, &version, &unitType, &cuDie, &subDie) == 0) {
    if (unitType != DW_UT_compile || dwarf_tag(&cuDie) != DW_TAG_compile_unit) continue;
    AddUnit(&cuDie, code, table);
  }
  if (table.Units.empty()) throw Exception("\"%s\" holds no DWARF debug information", {fileName});
  AssignDeclLines(table);
  std::sort(table.Units.begin(), table.Units.end(),
            [](const TStoredUnit& a, const TStoredUnit& b) { return a.Start < b.Start; });
  return table;
}

std::string ReadElfBuildId(const std::string& fileName) {
  TElfFile file(fileName);
  const void* id = nullptr;
  ssize_t n = dwelf_elf_gnu_build_id(file.Get(), &id);
  return n > 0 ? std::string(static_cast<const char*>(id), static_cast<size_t>(n)) : std::string();
}

uint64_t DwarfSectionsSize(const std::string& fileName) {
  TElfFile file(fileName);
  size_t strIndex = 0;
  if (elf_getshdrstrndx(file.Get(), &strIndex) != 0) return 0;
  uint64_t total = 0;
  for (Elf_Scn* scn = elf_nextscn(file.Get(), nullptr); scn; scn = elf_nextscn(file.Get(), scn)) {
    GElf_Shdr shdr;
    if (!gelf_getshdr(scn, &shdr) || shdr.sh_type == SHT_NOBITS) continue;
    const char* name = elf_strptr(file.Get(), strIndex, shdr.sh_name);
    if (name && std::strncmp(name, ".debug_", 7) == 0) total += shdr.sh_size;
  }
  return total;
}
