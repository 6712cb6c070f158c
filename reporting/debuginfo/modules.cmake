# Module records, the debug-information sources (DWARF, ELF symbols) and address resolution.
zelk_add_reporting_library(zelk_reporting_modules
  SOURCES
    EDwarfNames_linux.cpp EDemangle.cpp EModuleList.cpp EModuleList_linux.cpp EDebugDwarf_linux.cpp
    EDebugSymtab_linux.cpp EResolve.cpp
  DEPS zelk_reporting_options PkgConfig::LIBDW PkgConfig::LIBELF ZLIB::ZLIB)
if(TARGET zelk_reporting_stored)
  target_link_libraries(zelk_reporting_modules PUBLIC zelk_reporting_stored)
  target_compile_definitions(zelk_reporting_modules PRIVATE ZELK_HAVE_STORED_DEBUG=1)
endif()

# The layer's own source units, whose frames a report never shows: every source file name
# under reporting/, sorted, as one generated list. The runtime's kept statics count as the
# layer's too: what they hold is kept to the end on purpose and is no leak.
file(GLOB_RECURSE _own_units CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/reporting/*.cpp ${PROJECT_SOURCE_DIR}/reporting/*.h)
list(APPEND _own_units ${PROJECT_SOURCE_DIR}/runtime/NoDestroy.h ${PROJECT_SOURCE_DIR}/runtime/NoDestroy.cpp)
set(_own_names)
foreach(_unit IN LISTS _own_units)
  get_filename_component(_name ${_unit} NAME)
  list(APPEND _own_names ${_name})
endforeach()
list(REMOVE_DUPLICATES _own_names)
list(SORT _own_names)
set(_own_inc "")
foreach(_name IN LISTS _own_names)
  string(APPEND _own_inc "\"${_name}\",\n")
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/generated/EOwnUnits.inc CONTENT "${_own_inc}")
target_include_directories(zelk_reporting_modules PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated)
target_link_libraries(zelk_reporting INTERFACE zelk_reporting_modules)
