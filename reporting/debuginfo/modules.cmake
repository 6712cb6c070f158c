# Module records, the debug-information sources (DWARF, ELF symbols) and address resolution.
zelk_add_reporting_library(zelk_reporting_modules
  SOURCES
    EDwarfNames_linux.cpp
  DEPS zelk_reporting_options PkgConfig::LIBDW PkgConfig::LIBELF)
target_link_libraries(zelk_reporting INTERFACE zelk_reporting_modules)
