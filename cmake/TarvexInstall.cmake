# The reporting layer as a package for other programs: `cmake --install <build> --prefix P`
# puts the headers under P/include/tarvex (source-tree paths kept, plus Tarvex.h), the static
# libraries under P/lib, the options tool as P/bin/tarvex-options and the package files under
# P/lib/cmake/Tarvex. A program then needs find_package(Tarvex), Tarvex::Reporting and
# tarvex_embed_options; Tarvex::Leaks adds leak tracking. Included after every target exists.
if(NOT TARGET zelk_reporting OR NOT TARGET tarvex-options)
  return()
endif()
include(CMakePackageConfigHelpers)

set(TARVEX_INSTALL_CMAKEDIR lib/cmake/Tarvex)
# Package components: the programs a user runs, and what developers build with.
set(TARVEX_RUNTIME_COMPONENT zelk)
set(TARVEX_DEV_COMPONENT zelk-tarvex-dev)

# What a program links: the layer and, once it is built, the log file's delivery part, which
# joins through its own anchor.
add_library(tarvex_reporting INTERFACE)
set_target_properties(tarvex_reporting PROPERTIES EXPORT_NAME Reporting)
target_link_libraries(tarvex_reporting INTERFACE zelk_reporting)
if(TARGET zelk_delivery)
  target_link_libraries(tarvex_reporting INTERFACE zelk_delivery)
endif()
add_library(Tarvex::Reporting ALIAS tarvex_reporting)

# Leak tracking: the layer plus the hook that replaces the global operator new and delete. A
# program links it to let its stored leak flags switch tracking on. Not in a sanitizer build's
# package: the hook would take operator new from the sanitizer and switch its checks off.
if(TARGET zelk_reporting_leaks_hook AND NOT ZELK_SANITIZE)
  add_library(tarvex_leaks INTERFACE)
  set_target_properties(tarvex_leaks PROPERTIES EXPORT_NAME Leaks)
  target_link_libraries(tarvex_leaks INTERFACE zelk_reporting_leaks_hook tarvex_reporting)
endif()

# Every library of the project that the package target reaches.
set(_tarvex_targets)
function(_tarvex_collect target)
  if(NOT TARGET ${target} OR ${target} IN_LIST _tarvex_targets)
    return()
  endif()
  get_target_property(_imported ${target} IMPORTED)
  get_target_property(_aliased ${target} ALIASED_TARGET)
  if(_imported OR _aliased)
    return()
  endif()
  list(APPEND _tarvex_targets ${target})
  set(_tarvex_targets ${_tarvex_targets} PARENT_SCOPE)
  get_target_property(_deps ${target} INTERFACE_LINK_LIBRARIES)
  foreach(_dep IN LISTS _deps)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" _dep "${_dep}")
    if(TARGET ${_dep})
      _tarvex_collect(${_dep})
      set(_tarvex_targets ${_tarvex_targets} PARENT_SCOPE)
    endif()
  endforeach()
endfunction()
_tarvex_collect(tarvex_reporting)
if(TARGET tarvex_leaks)
  _tarvex_collect(tarvex_leaks)
endif()

# The libraries name the source tree as their include folder; installed, they name
# include/tarvex instead (INCLUDES DESTINATION below).
function(_tarvex_build_includes)
  foreach(_t IN LISTS ARGN)
    get_target_property(_dirs ${_t} INTERFACE_INCLUDE_DIRECTORIES)
    if(NOT _dirs)
      continue()
    endif()
    set(_kept)
    foreach(_d IN LISTS _dirs)
      string(FIND "${_d}" "${PROJECT_SOURCE_DIR}" _in_source)
      string(FIND "${_d}" "${PROJECT_BINARY_DIR}" _in_binary)
      if(_in_source EQUAL 0 OR _in_binary EQUAL 0)
        list(APPEND _kept "$<BUILD_INTERFACE:${_d}>")
      else()
        list(APPEND _kept "${_d}")
      endif()
    endforeach()
    set_property(TARGET ${_t} PROPERTY INTERFACE_INCLUDE_DIRECTORIES "${_kept}")
  endforeach()
endfunction()
_tarvex_build_includes(${_tarvex_targets})

install(TARGETS ${_tarvex_targets} tarvex-options
  EXPORT TarvexTargets
  ARCHIVE DESTINATION lib COMPONENT ${TARVEX_DEV_COMPONENT}
  LIBRARY DESTINATION lib COMPONENT ${TARVEX_DEV_COMPONENT}
  RUNTIME DESTINATION bin COMPONENT ${TARVEX_RUNTIME_COMPONENT}
  INCLUDES DESTINATION include/tarvex)
install(EXPORT TarvexTargets NAMESPACE Tarvex:: DESTINATION ${TARVEX_INSTALL_CMAKEDIR}
  COMPONENT ${TARVEX_DEV_COMPONENT})

# The dialogs' helper program, where the layer of an installed program (<prefix>/bin) looks
# for it.
if(TARGET tarvex-dialog)
  install(TARGETS tarvex-dialog RUNTIME DESTINATION libexec/tarvex COMPONENT ${TARVEX_RUNTIME_COMPONENT})
endif()

# Headers: those of the layer, the runtime and delivery, except the Qt ones (the bridge's come
# with its component below).
set(_tarvex_header_dirs reporting runtime)
if(TARGET zelk_delivery)
  list(APPEND _tarvex_header_dirs delivery)
endif()
foreach(_dir IN LISTS _tarvex_header_dirs)
  file(GLOB_RECURSE _headers RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${_dir}/*.h)
  foreach(_h IN LISTS _headers)
    file(STRINGS ${PROJECT_SOURCE_DIR}/${_h} _qt REGEX "^#include <Q")
    if(_qt OR _h MATCHES "^reporting/bridge/" OR _h STREQUAL "runtime/Application.h"
       OR _h STREQUAL "reporting/Tarvex.h")
      continue()
    endif()
    get_filename_component(_sub ${_h} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/${_h} DESTINATION include/tarvex/${_sub} COMPONENT ${TARVEX_DEV_COMPONENT})
  endforeach()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/reporting/Tarvex.h DESTINATION include/tarvex COMPONENT ${TARVEX_DEV_COMPONENT})

# The Qt bridge, for Qt programs: the component QtBridge (Tarvex::QtBridge), in an export set of
# its own so that the package needs Qt only when it is asked for.
if(TARGET zelk_reporting_bridge)
  add_library(tarvex_qtbridge INTERFACE)
  set_target_properties(tarvex_qtbridge PROPERTIES EXPORT_NAME QtBridge)
  target_link_libraries(tarvex_qtbridge INTERFACE zelk_reporting_bridge tarvex_reporting)
  add_library(Tarvex::QtBridge ALIAS tarvex_qtbridge)
  set(_tarvex_core ${_tarvex_targets})
  _tarvex_collect(tarvex_qtbridge)
  set(_tarvex_bridge_targets ${_tarvex_targets})
  list(REMOVE_ITEM _tarvex_bridge_targets ${_tarvex_core})
  set(_tarvex_targets ${_tarvex_core})
  _tarvex_build_includes(${_tarvex_bridge_targets})
  install(TARGETS ${_tarvex_bridge_targets}
    EXPORT TarvexQtBridgeTargets
    ARCHIVE DESTINATION lib COMPONENT ${TARVEX_DEV_COMPONENT}
    INCLUDES DESTINATION include/tarvex)
  install(EXPORT TarvexQtBridgeTargets NAMESPACE Tarvex:: DESTINATION ${TARVEX_INSTALL_CMAKEDIR}
    COMPONENT ${TARVEX_DEV_COMPONENT})
  file(GLOB _headers RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/reporting/bridge/*.h)
  foreach(_h IN LISTS _headers ITEMS runtime/Application.h)
    get_filename_component(_sub ${_h} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/${_h} DESTINATION include/tarvex/${_sub} COMPONENT ${TARVEX_DEV_COMPONENT})
  endforeach()
endif()

# The packages that the libraries' link interfaces name, found again by the package.
set(_tarvex_deps)
set(_tarvex_pkg_modules)
foreach(_t IN LISTS _tarvex_targets)
  get_target_property(_links ${_t} INTERFACE_LINK_LIBRARIES)
  foreach(_l IN LISTS _links)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" _l "${_l}")
    # Plain libraries (dl, rt), the project's own targets and the markers of calls from other
    # folders need nothing found; imported targets of a folder are not visible here, so they
    # go by name.
    if(NOT _l MATCHES "::" OR _l MATCHES "^::@" OR _l IN_LIST _tarvex_targets)
      continue()
    endif()
    if(_l MATCHES "^PkgConfig::(.+)$")
      set(_prefix ${CMAKE_MATCH_1})
      set(_module "${${_prefix}_MODULE_NAME}")
      if(NOT _module)
        string(TOLOWER ${_prefix} _module)
      endif()
      list(APPEND _tarvex_pkg_modules "${_prefix}=${_module}")
    elseif(_l MATCHES "^(ZLIB|OpenSSL|Threads|CURL|LibXml2)::")
      list(APPEND _tarvex_deps ${CMAKE_MATCH_1})
    else()
      message(WARNING "Tarvex package: no rule to find ${_l} again, needed by ${_t}")
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES _tarvex_deps)
list(REMOVE_DUPLICATES _tarvex_pkg_modules)
set(TARVEX_FIND_DEPENDENCIES "")
foreach(_dep IN LISTS _tarvex_deps)
  string(APPEND TARVEX_FIND_DEPENDENCIES "find_dependency(${_dep})\n")
endforeach()
if(_tarvex_pkg_modules)
  string(APPEND TARVEX_FIND_DEPENDENCIES "find_dependency(PkgConfig)\n")
  foreach(_pm IN LISTS _tarvex_pkg_modules)
    string(REPLACE "=" ";" _pm "${_pm}")
    list(GET _pm 0 _prefix)
    list(GET _pm 1 _module)
    string(APPEND TARVEX_FIND_DEPENDENCIES
      "if(NOT TARGET PkgConfig::${_prefix})\n  pkg_check_modules(${_prefix} REQUIRED QUIET IMPORTED_TARGET ${_module})\nendif()\n")
  endforeach()
endif()

# The package files. A build with sanitizers hands their run-time libraries on to whatever
# links the instrumented libraries.
set(TARVEX_SANITIZE OFF)
if(ZELK_SANITIZE)
  set(TARVEX_SANITIZE ON)
endif()
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TarvexConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TarvexConfig.cmake
  INSTALL_DESTINATION ${TARVEX_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarvexConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/TarvexConfig.cmake
  ${PROJECT_BINARY_DIR}/TarvexConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/TarvexOptions.cmake
  DESTINATION ${TARVEX_INSTALL_CMAKEDIR} COMPONENT ${TARVEX_DEV_COMPONENT})
