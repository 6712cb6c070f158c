// How a DWARF location is named: the one rule that both the live DWARF source and the build
// step that writes the stored debug block follow, so that the two give identical answers.
//
// Names of a procedure (a DW_TAG_subprogram or DW_TAG_inlined_subroutine DIE):
// - The declaration is found by following DW_AT_abstract_origin, then DW_AT_specification,
//   as long as either is there (an inlined call -> its abstract instance -> the in-class
//   declaration).
// - ProcedureName is the declaration's DW_AT_name ("Method", "operator()", "~TFoo"). For a
//   function that is not a member of a class, the enclosing namespaces are put in front:
//   "ns::Func", "(anonymous namespace)::Helper".
// - ClassName is the qualified name of the innermost class/struct/union scope of the
//   declaration, outer scopes first, joined by "::": "ns::TClass", "Outer::Inner". Empty for
//   free functions. An anonymous namespace is "(anonymous namespace)". An unnamed class is
//   "{lambda}" when it is a closure type (it has a member named "<lambda>"), otherwise
//   "(anonymous struct)", "(anonymous class)" or "(anonymous union)". A class declared
//   inside a function (closures mostly) is prefixed with that function's qualified name
//   (its ClassName and ProcedureName joined by "::"): "ns::TFoo::Method::{lambda}".
//   Lexical blocks are skipped.
// - The declaration line is the first DW_AT_decl_line met when going from the DIE itself
//   along DW_AT_abstract_origin and DW_AT_specification (the definition's line when it has one, like
//   libdw's dwarf_decl_line); when there is none (a closure's operator()), that of the
//   innermost enclosing class; else 0.
//
// Frames of one address (in the DWARF's own address space, i.e. the run-time address less
// the module's load bias), innermost first:
// - The innermost scope DIE holding the address is the first of dwarf_getscopes on the
//   address's compilation unit when that list holds a subprogram or inlined subroutine;
//   otherwise (the body of a closure or of a local class's method lies outside the range of
//   the function that declares it) the innermost subprogram, inlined subroutine or lexical
//   block found by walking the whole unit (into namespaces, classes and functions).
// - The levels are that DIE's containing scopes as they nest in the unit
//   (dwarf_getscopes_die: an inlined subroutine is followed by the function it was inlined
//   into); only subprogram and inlined-subroutine DIEs count, up to and including the first
//   subprogram.
// - The innermost level's source file and line come from the line table (dwarf_getsrc_die).
//   Each outer level's come from DW_AT_call_file / DW_AT_call_line of the inlined-subroutine
//   DIE one level inward.
// - SourceName is the file name as the line table gives it (a full path); UnitName its file
//   part. LineOffset is LineNumber less the level's declaration line, never below 0, and 0
//   when either is unknown.
// - Inlined is true for every level that is an inlined subroutine (inlined into the next).
// - An address inside a unit but inside no procedure gives one frame with unit and line only.
#pragma once

#include <elfutils/libdw.h>

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "reporting/debuginfo/EDebug.h"

struct TDwarfProcedureName {
  std::string ClassName;
  std::string ProcedureName;
  int32_t DeclLine = 0;
};

// The names of a subprogram or inlined-subroutine DIE; false when it has no name.
bool DwarfProcedureName(Dwarf_Die* die, TDwarfProcedureName& out);

// What the naming rule finds out about one DIE, kept for the next address of the same
// procedure: finding a DIE's enclosing scopes walks its whole unit. Valid as long as the
// Dwarf data it was filled from stays open; not safe for concurrent use.
struct TDwarfNameCache {
  using TKey = std::pair<const void*, Dwarf_Off>;  // the DIE's unit and offset
  std::map<TKey, std::vector<Dwarf_Die>> Scopes;
  std::map<std::pair<TKey, int>, std::pair<bool, TDwarfProcedureName>> Names;  // by DIE and nesting depth
  // A unit's code scopes in the order the whole-unit walk meets them, each with the index
  // past its own nested ones and its address ranges.
  struct TCodeScope {
    Dwarf_Die Die;
    size_t End = 0;
    std::vector<std::pair<Dwarf_Addr, Dwarf_Addr>> Ranges;
  };
  std::map<const void*, std::vector<TCodeScope>> CodeScopes;  // by unit
  // Each scope-like DIE's parent (namespaces, classes and code scopes, by offset), from one walk
  // of the unit: a DIE's scopes without walking the unit again for every procedure.
  std::map<const void*, std::unordered_map<Dwarf_Off, Dwarf_Die>> Parents;  // by unit
};

// The frames at `address` of the compilation unit `cuDie` (frames' Address is left 0 and
// Source null, for the caller to fill). Replaces `frames`; false when no source unit is known
// for the address. A cache, when given, saves repeated walks of the unit.
bool DwarfFramesAt(Dwarf_Die* cuDie, Dwarf_Addr address, std::vector<TTLLocationInfo>& frames,
                   TDwarfNameCache* cache = nullptr);

// The file part of a path.
std::string DwarfFilePart(const std::string& path);
