// The build step's side of the stored debug block: reads a binary's DWARF and derives the
// table that EncodeStoredDebugInfo packs. Linked by the options tool and tests only.
#pragma once

#include <cstdint>
#include <string>

#include "reporting/debuginfo/EDebugStored.h"

// The table of an ELF file: per compilation unit and contiguous code range, the runs of code
// that resolve to one location chain, named exactly as the live DWARF source names them.
// Raises Exception when the file cannot be read or holds no DWARF.
TStoredDebugTable BuildStoredDebugTable(const std::string& fileName);

// The build-id (raw bytes) of an ELF file; empty when it has none.
std::string ReadElfBuildId(const std::string& fileName);

// The total size of the file's ".debug_*" sections in the file.
uint64_t DwarfSectionsSize(const std::string& fileName);
