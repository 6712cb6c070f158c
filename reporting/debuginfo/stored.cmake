# The stored debug block: its format and the source over it (no libdw, so that the module
# list can use it), and the build step's reader of DWARF that derives it.
zelk_add_reporting_library(zelk_reporting_stored
  SOURCES EDebugStored.cpp
  DEPS zelk_reporting_options ZLIB::ZLIB OpenSSL::Crypto)
target_link_libraries(zelk_reporting INTERFACE zelk_reporting_stored)

zelk_add_reporting_library(zelk_reporting_stored_build
  SOURCES EDebugStoredBuild_linux.cpp
  DEPS zelk_reporting_stored zelk_reporting_modules PkgConfig::LIBDW PkgConfig::LIBELF)
