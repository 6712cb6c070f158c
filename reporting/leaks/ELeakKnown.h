// Leaks that are not the program's: blocks the C++ library, the C library and the frameworks
// under it keep for the process's life on purpose. Measured on an empty program and on
// zelk-distance with tracking on; matched by the origin's module file name and procedure.
#pragma once

#include <string_view>

bool IsKnownLeak(std::string_view moduleName, std::string_view className, std::string_view procedureName);
