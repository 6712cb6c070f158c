// The shared option block: what a module's own option set last published, for the other
// copies of the reporting layer in the same process.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "reporting/options/ECore.h"

// "/" + process id (8 upper-case hex digits) + module handle (16 upper-case hex digits).
std::string SharedBlockName(TModuleHandle handle);

// Replaces this process's block for `handle` by one holding `data` (its 4-byte length first).
// False when the block cannot be created. Blocks are removed again when the layer unloads.
bool WriteSharedBlock(TModuleHandle handle, std::string_view data);
// The data of the block for `handle`; none when there is none, or when it is not this
// process's (left behind by an earlier process with the same id, or owned by another user).
std::optional<std::string> ReadSharedBlock(TModuleHandle handle);
void RemoveSharedBlock(TModuleHandle handle);
