// Leaks that are not the program's: blocks the C++ library, the C library and the frameworks
// under it keep for the process's life on purpose. Measured on an empty program and on
// zelk-distance with tracking on; matched against every frame from the allocation up to the
// origin, by module file name, unit and procedure.
#pragma once

#include <string_view>

bool IsKnownLeak(std::string_view moduleName, std::string_view unitName, std::string_view procedureName);
