// The stored debug block: a compact line table that the build step derives from a binary's
// DWARF and stores with the module's reporting data, so that stripped binaries still resolve
// unit, class, procedure and line (inlined levels included).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "reporting/debuginfo/EDebug.h"

// The debug source over a module's stored block (`blob` is the stored debug information).
// Returns null when the blob is not a valid block or its recorded build-id differs from the
// module's. Names enciphered under a password show as "?"+Base64 unless `password` opens them.
std::unique_ptr<TTLDebugInfoSource> MakeStoredDebugSource(const TTarvexModuleInfo& module, std::string_view blob,
                                                          const std::string& password);
