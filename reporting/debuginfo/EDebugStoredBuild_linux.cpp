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

// Where the chain of procedures can change: the bounds of every procedure and inlined call.
void CollectScopeBounds(Dwarf_Die* parent, std::vector<uint64_t>& bounds, int depth) {
  Dwarf_Die child;
  if (depth > 64 || dwarf_child(parent, &child) != 0) return;
  do {
    int tag = dwarf_tag(&child);
    if (tag == DW_TAG_subprogram || tag == DW_TAG_inlined_subroutine) {
      for (auto [start, end] : DieRanges(&child)) {
        bounds.push_back(start);
        bounds.push_back(end);
      }
    }
    if (dwarf_haschildren(&child)) CollectScopeBounds(&child, bounds, depth + 1);
  } while (dwarf_siblingof(&child, &child) == 0);
}

bool SameFrames(const std::vector<TTLLocationInfo>& a, const std::vector<TTLLocationInfo>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const TTLLocationInfo& x, const TTLLocationInfo& y) {
    return x.SourceName == y.SourceName && x.UnitName == y.UnitName && x.ClassName == y.ClassName &&
           x.ProcedureName == y.ProcedureName && x.LineNumber == y.LineNumber && x.LineOffset == y.LineOffset &&
           x.Inlined == y.Inlined;
  });
}

void AddUnit(Dwarf_Die* cuDie, TStoredDebugTable& table) {
  TRanges ranges = DieRanges(cuDie);
  if (ranges.empty()) return;
  std::sort(ranges.begin(), ranges.end());
  TRanges merged;
  for (auto r : ranges) {
    if (!merged.empty() && r.first <= merged.back().second) merged.back().second = std::max(merged.back().second, r.second);
    else merged.push_back(r);
  }

  std::vector<uint64_t> bounds;
  Dwarf_Lines* lines = nullptr;
  size_t lineCount = 0;
  if (dwarf_getsrclines(cuDie, &lines, &lineCount) == 0) {
    for (size_t i = 0; i < lineCount; ++i) {
      Dwarf_Addr a = 0;
      if (dwarf_lineaddr(dwarf_onesrcline(lines, i), &a) == 0) bounds.push_back(a);
    }
  }
  CollectScopeBounds(cuDie, bounds, 0);
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());

  const char* cuName = dwarf_diename(cuDie);
  std::vector<TTLLocationInfo> frames, previous;
  for (auto [low, high] : merged) {
    TStoredUnit unit;
    unit.Name = cuName ? cuName : "";
    unit.Start = low;
    unit.Size = high - low;
    std::vector<uint64_t> points{low};
    for (auto it = std::upper_bound(bounds.begin(), bounds.end(), low); it != bounds.end() && *it < high; ++it)
      points.push_back(*it);
    for (uint64_t at : points) {
      DwarfFramesAt(cuDie, at, frames);
      if (!unit.Ranges.empty() && SameFrames(frames, previous)) continue;
      TStoredRange range;
      range.Start = at;
      for (const TTLLocationInfo& f : frames) {
        // DeclLine holds the line offset until AssignDeclLines turns it into a first line.
        range.Frames.push_back({f.SourceName, f.ClassName, f.ProcedureName, f.LineNumber, f.LineOffset, f.Inlined});
      }
      if (unit.FirstLine == 0 && !range.Frames.empty()) unit.FirstLine = range.Frames.front().LineNumber;
      unit.Ranges.push_back(std::move(range));
      previous = frames;
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
  while (dwarf_get_units(dwarf, cu, &cu, &version, &unitType, &cuDie, &subDie) == 0) {
    if (unitType != DW_UT_compile || dwarf_tag(&cuDie) != DW_TAG_compile_unit) continue;
    AddUnit(&cuDie, table);
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
