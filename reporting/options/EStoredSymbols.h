// The symbol directory of the stored data: the build step finds the routines the layer
// intercepts in a module by name in the binary's symbol table and stores their offsets from
// the module's load base, so that a stripped binary still has them.
#pragma once

#include <string>
#include <vector>

#include "reporting/options/EStoredData.h"

// Symbol ids: the application object's exception handler pair, and its event-dispatch wrapper,
// whose catch counts as the layer's.
constexpr uint32_t kSymbolHandleException = 0;
constexpr uint32_t kSymbolShowException = 1;
constexpr uint32_t kSymbolApplicationNotify = 11;

// The directory entries of the routines the file defines (empty when it defines none or is not
// an ELF file). Never throws.
std::vector<TStoredSymbol> FindFrameworkSymbols(const std::string& fileName);
