#include "reporting/debuginfo/EDwarfNames_linux.h"

#include <dwarf.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// How deep the unit walks go: inlined calls nest more than 50 levels deep in optimised code.
constexpr int kMaxNesting = 256;

// Follows DW_AT_abstract_origin and DW_AT_specification to the declaration; `declLine` gets the first
// decl line met on the way.
Dwarf_Die Declaration(Dwarf_Die* die, int32_t& declLine) {
  Dwarf_Die current = *die;
  declLine = 0;
  for (int guard = 0; guard < 16; ++guard) {
    Dwarf_Word line = 0;
    Dwarf_Attribute attr;
    if (declLine == 0 && dwarf_attr(&current, DW_AT_decl_line, &attr) && dwarf_formudata(&attr, &line) == 0)
      declLine = static_cast<int32_t>(line);
    Dwarf_Die next;
    if ((dwarf_attr(&current, DW_AT_abstract_origin, &attr) || dwarf_attr(&current, DW_AT_specification, &attr)) &&
        dwarf_formref_die(&attr, &next)) {
      current = next;
      continue;
    }
    break;
  }
  return current;
}

bool IsClassTag(int tag) {
  return tag == DW_TAG_class_type || tag == DW_TAG_structure_type || tag == DW_TAG_union_type;
}

bool IsClosure(Dwarf_Die* type) {
  Dwarf_Die child;
  if (dwarf_child(type, &child) != 0) return false;
  do {
    if (dwarf_tag(&child) == DW_TAG_subprogram) {
      const char* name = dwarf_diename(&child);
      if (name && std::strcmp(name, "<lambda>") == 0) return true;
    }
  } while (dwarf_siblingof(&child, &child) == 0);
  return false;
}

std::string ScopeName(Dwarf_Die* scope) {
  const char* name = dwarf_diename(scope);
  if (name && *name) return name;
  switch (dwarf_tag(scope)) {
    case DW_TAG_namespace: return "(anonymous namespace)";
    case DW_TAG_union_type: return "(anonymous union)";
    case DW_TAG_class_type: return IsClosure(scope) ? "{lambda}" : "(anonymous class)";
    default: return IsClosure(scope) ? "{lambda}" : "(anonymous struct)";
  }
}

void Join(std::string& prefix, const std::string& part) {
  prefix = prefix.empty() ? part : part + "::" + prefix;
}

TDwarfNameCache::TKey KeyOf(Dwarf_Die* die) { return {die->cu, dwarf_dieoffset(die)}; }

bool IsCodeScope(int tag) {
  return tag == DW_TAG_subprogram || tag == DW_TAG_inlined_subroutine || tag == DW_TAG_lexical_block;
}

// The DIEs whose parents are listed. Not unions: dwarf_getscopes_die does not look into them,
// and both ways of finding scopes must give the same names.
bool IsScopeLike(int tag) {
  return IsCodeScope(tag) || tag == DW_TAG_namespace || tag == DW_TAG_class_type || tag == DW_TAG_structure_type;
}

void ListParents(Dwarf_Die* parent, std::unordered_map<Dwarf_Off, Dwarf_Die>& out, int depth) {
  Dwarf_Die child;
  if (depth > kMaxNesting || dwarf_child(parent, &child) != 0) return;
  do {
    if (!IsScopeLike(dwarf_tag(&child))) continue;
    out.emplace(dwarf_dieoffset(&child), *parent);
    ListParents(&child, out, depth + 1);
  } while (dwarf_siblingof(&child, &child) == 0);
}

// The path from the unit down to the DIE, from the unit's parent links; false when the DIE is
// not one of them (another unit's, or under a DIE the links do not follow).
bool ListedScopesOf(Dwarf_Die* die, TDwarfNameCache& cache, std::vector<Dwarf_Die>& result) {
  Dwarf_Die unit;
  if (!dwarf_diecu(die, &unit, nullptr, nullptr) || dwarf_tag(&unit) != DW_TAG_compile_unit) return false;
  auto it = cache.Parents.find(die->cu);
  if (it == cache.Parents.end()) {
    it = cache.Parents.emplace(die->cu, std::unordered_map<Dwarf_Off, Dwarf_Die>()).first;
    ListParents(&unit, it->second, 0);
  }
  const auto& parents = it->second;
  const Dwarf_Off unitOffset = dwarf_dieoffset(&unit);
  result.assign(1, *die);
  for (Dwarf_Off at = dwarf_dieoffset(die); at != unitOffset;) {
    auto parent = parents.find(at);
    if (parent == parents.end() || result.size() > kMaxNesting + 2) return false;
    result.push_back(parent->second);
    at = dwarf_dieoffset(&result.back());
  }
  return true;
}

// The DIE's containing scopes, itself first (dwarf_getscopes_die).
std::vector<Dwarf_Die> ScopesOf(Dwarf_Die* die, TDwarfNameCache* cache) {
  if (cache) {
    auto it = cache->Scopes.find(KeyOf(die));
    if (it != cache->Scopes.end()) return it->second;
  }
  std::vector<Dwarf_Die> result;
  if (!cache || !ListedScopesOf(die, *cache, result)) {
    Dwarf_Die* scopes = nullptr;
    int n = dwarf_getscopes_die(die, &scopes);
    result.assign(scopes, scopes + std::max(n, 0));
    std::free(scopes);
  }
  if (cache) cache->Scopes.emplace(KeyOf(die), result);
  return result;
}

bool NamesOf(Dwarf_Die* die, TDwarfProcedureName& out, int depth, TDwarfNameCache* cache);

// NamesOf into a fresh `out`, answered from the cache when the DIE was named before.
bool FreshNamesOf(Dwarf_Die* die, TDwarfProcedureName& out, int depth, TDwarfNameCache* cache) {
  out = {};
  if (!cache) return NamesOf(die, out, depth, nullptr);
  auto key = std::make_pair(KeyOf(die), depth);
  auto it = cache->Names.find(key);
  if (it == cache->Names.end()) {
    bool named = NamesOf(die, out, depth, cache);
    it = cache->Names.emplace(key, std::make_pair(named, out)).first;
  }
  out = it->second.second;
  return it->second.first;
}

bool NamesOf(Dwarf_Die* die, TDwarfProcedureName& out, int depth, TDwarfNameCache* cache) {
  Dwarf_Die decl = Declaration(die, out.DeclLine);
  const char* name = dwarf_diename(&decl);
  if (!name || !*name) return false;
  out.ClassName.clear();
  out.ProcedureName = name;

  std::vector<Dwarf_Die> scopes = ScopesOf(&decl, cache);
  const int n = static_cast<int>(scopes.size());
  // scopes[0] is the declaration itself, the last one its compilation unit.
  std::string qualifier;
  bool inClass = false;
  for (int i = 1; i < n; ++i) {
    int tag = dwarf_tag(&scopes[i]);
    if (IsClassTag(tag)) {
      // A closure's operator() has no line of its own; the closure type's line stands in.
      Dwarf_Word line = 0;
      Dwarf_Attribute attr;
      if (!inClass && out.DeclLine == 0 && dwarf_attr(&scopes[i], DW_AT_decl_line, &attr) &&
          dwarf_formudata(&attr, &line) == 0)
        out.DeclLine = static_cast<int32_t>(line);
      inClass = true;
      Join(qualifier, ScopeName(&scopes[i]));
    } else if (tag == DW_TAG_namespace) {
      Join(qualifier, ScopeName(&scopes[i]));
    } else if (tag == DW_TAG_subprogram && depth < 8) {
      // A class local to a function: that function's own names complete the qualifier.
      TDwarfProcedureName outer;
      if (FreshNamesOf(&scopes[i], outer, depth + 1, cache)) {
        std::string full = outer.ClassName.empty() ? outer.ProcedureName : outer.ClassName + "::" + outer.ProcedureName;
        Join(qualifier, full);
      }
      break;
    }
  }
  if (inClass)
    out.ClassName = qualifier;
  else if (!qualifier.empty())
    out.ProcedureName = qualifier + "::" + out.ProcedureName;
  return true;
}

std::string FileOf(Dwarf_Die* cuDie, Dwarf_Word index) {
  Dwarf_Files* files = nullptr;
  size_t count = 0;
  if (dwarf_getsrcfiles(cuDie, &files, &count) != 0 || index >= count) return {};
  const char* name = dwarf_filesrc(files, index, nullptr, nullptr);
  return name ? name : "";
}

// The innermost code scope holding the address, by walking the whole unit: the body of a
// closure or of a local class's method lies outside the range of the function that declares
// it, where dwarf_getscopes does not look.
bool FindInnermost(Dwarf_Die* parent, Dwarf_Addr address, Dwarf_Die& found, int depth) {
  Dwarf_Die child;
  if (depth > kMaxNesting || dwarf_child(parent, &child) != 0) return false;
  do {
    int tag = dwarf_tag(&child);
    if (IsCodeScope(tag)) {
      if (dwarf_haspc(&child, address) == 1) {
        found = child;
        FindInnermost(&child, address, found, depth + 1);
        return true;
      }
      if (FindInnermost(&child, address, found, depth + 1)) return true;
    } else if (tag == DW_TAG_namespace || IsClassTag(tag)) {
      if (FindInnermost(&child, address, found, depth + 1)) return true;
    }
  } while (dwarf_siblingof(&child, &child) == 0);
  return false;
}

// The code scopes that FindInnermost visits, in its order (see TDwarfNameCache::CodeScopes).
void ListCodeScopes(Dwarf_Die* parent, std::vector<TDwarfNameCache::TCodeScope>& out, int depth) {
  Dwarf_Die child;
  if (depth > kMaxNesting || dwarf_child(parent, &child) != 0) return;
  do {
    int tag = dwarf_tag(&child);
    if (IsCodeScope(tag)) {
      const size_t at = out.size();
      out.push_back({child, 0, {}});
      Dwarf_Addr base = 0, begin = 0, end = 0;
      for (ptrdiff_t offset = 0; (offset = dwarf_ranges(&child, offset, &base, &begin, &end)) > 0;)
        out[at].Ranges.emplace_back(begin, end);
      ListCodeScopes(&child, out, depth + 1);
      out[at].End = out.size();
    } else if (tag == DW_TAG_namespace || IsClassTag(tag)) {
      ListCodeScopes(&child, out, depth + 1);
    }
  } while (dwarf_siblingof(&child, &child) == 0);
}

// FindInnermost from the unit's list: the first scope holding the address, then the first
// one nested in it that does, and so on.
bool FindInnermostListed(Dwarf_Die* cuDie, Dwarf_Addr address, Dwarf_Die& found, TDwarfNameCache& cache) {
  auto it = cache.CodeScopes.find(cuDie->cu);
  if (it == cache.CodeScopes.end()) {
    it = cache.CodeScopes.emplace(cuDie->cu, std::vector<TDwarfNameCache::TCodeScope>()).first;
    ListCodeScopes(cuDie, it->second, 0);
  }
  const auto& scopes = it->second;
  bool any = false;
  for (size_t i = 0, end = scopes.size(); i < end; ++i) {
    const auto& scope = scopes[i];
    bool holds = std::any_of(scope.Ranges.begin(), scope.Ranges.end(),
                             [&](const auto& r) { return address >= r.first && address < r.second; });
    if (!holds) continue;
    found = scope.Die;
    any = true;
    end = scope.End;  // look on among the scopes nested in this one only
  }
  return any;
}

// The scopes holding the address as they nest in the unit, innermost first (an inlined
// subroutine is followed by the function it was inlined into, not by its abstract origin's
// scopes); null when none.
std::vector<Dwarf_Die> ConcreteScopes(Dwarf_Die* cuDie, Dwarf_Addr address, TDwarfNameCache* cache) {
  Dwarf_Die innermost;
  // With the unit's scopes listed, the listed walk finds what the two walks below find (code
  // ranges do not overlap), without walking the unit's DIEs for every address.
  if (cache) return FindInnermostListed(cuDie, address, innermost, *cache) ? ScopesOf(&innermost, cache) : std::vector<Dwarf_Die>();
  bool found = false;
  Dwarf_Die* first = nullptr;
  int n = dwarf_getscopes(cuDie, address, &first);
  for (int i = 0; i < n && !found; ++i) {
    int tag = dwarf_tag(&first[i]);
    if (tag == DW_TAG_subprogram || tag == DW_TAG_inlined_subroutine) {
      innermost = first[0];
      found = true;
    }
  }
  std::free(first);
  if (!found) found = FindInnermost(cuDie, address, innermost, 0);
  if (!found) return {};
  return ScopesOf(&innermost, cache);
}

}  // namespace

std::string DwarfFilePart(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool DwarfProcedureName(Dwarf_Die* die, TDwarfProcedureName& out) {
  return FreshNamesOf(die, out, 0, nullptr);
}

bool DwarfFramesAt(Dwarf_Die* cuDie, Dwarf_Addr address, std::vector<TTLLocationInfo>& frames,
                   TDwarfNameCache* cache) {
  frames.clear();
  std::string file;
  int line = 0;
  if (Dwarf_Line* row = dwarf_getsrc_die(cuDie, address)) {
    const char* src = dwarf_linesrc(row, nullptr, nullptr);
    if (src) file = src;
    dwarf_lineno(row, &line);
  }

  std::vector<Dwarf_Die> scopes = ConcreteScopes(cuDie, address, cache);
  for (size_t i = 0; i < scopes.size(); ++i) {
    int tag = dwarf_tag(&scopes[i]);
    if (tag != DW_TAG_subprogram && tag != DW_TAG_inlined_subroutine) continue;
    TTLLocationInfo frame;
    frame.SourceName = file;
    frame.UnitName = DwarfFilePart(file);
    frame.LineNumber = line;
    TDwarfProcedureName names;
    if (FreshNamesOf(&scopes[i], names, 0, cache)) {
      frame.ClassName = names.ClassName;
      frame.ProcedureName = names.ProcedureName;
      if (line > 0 && names.DeclLine > 0 && line > names.DeclLine) frame.LineOffset = line - names.DeclLine;
    }
    frame.Inlined = tag == DW_TAG_inlined_subroutine;
    frames.push_back(std::move(frame));
    if (tag == DW_TAG_subprogram) break;
    // The next level out continues where this one was called from.
    Dwarf_Attribute attr;
    Dwarf_Word value = 0;
    file.clear();
    line = 0;
    if (dwarf_attr(&scopes[i], DW_AT_call_file, &attr) && dwarf_formudata(&attr, &value) == 0)
      file = FileOf(cuDie, value);
    if (dwarf_attr(&scopes[i], DW_AT_call_line, &attr) && dwarf_formudata(&attr, &value) == 0)
      line = static_cast<int>(value);
  }

  if (frames.empty() && !file.empty()) {
    TTLLocationInfo frame;
    frame.SourceName = file;
    frame.UnitName = DwarfFilePart(file);
    frame.LineNumber = line;
    frames.push_back(std::move(frame));
  }
  return !frames.empty() && !frames.front().UnitName.empty();
}
