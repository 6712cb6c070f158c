# What a user installs: the programs with their desktop entry and icon, the dialog helper, and
# (from TarvexInstall) the reporting layer's libraries, headers and CMake package. Installed
# programs are stripped; each carries its stored line table (the distance client) and its debug
# file goes under lib/debug/.build-id/. `cpack -G DEB` makes three packages from it: zelk (the
# programs), zelk-tarvex-dev (the layer for developers) and zelk-dbg (the debug files).
if(NOT TARGET zelk-distance-cli)
  return()
endif()
include(GNUInstallDirs)

set(ZELK_RUNTIME_COMPONENT zelk)
set(ZELK_DEBUG_COMPONENT zelk-dbg)
set(ZELK_DEV_COMPONENT zelk-tarvex-dev)

set(_zelk_programs zelk-distance-cli)
if(TARGET zelk-distance)
  list(APPEND _zelk_programs zelk-distance)
  install(FILES ${PROJECT_SOURCE_DIR}/resources/zelk-distance.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT ${ZELK_RUNTIME_COMPONENT})
  install(FILES ${PROJECT_SOURCE_DIR}/resources/zelk-distance.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps COMPONENT ${ZELK_RUNTIME_COMPONENT})
endif()
install(TARGETS ${_zelk_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${ZELK_RUNTIME_COMPONENT})

# Each package's documentation folder: the copyright file and the compressed changelog.
set(_zelk_changelog ${PROJECT_BINARY_DIR}/package/changelog.gz)
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
add_custom_command(OUTPUT ${_zelk_changelog}
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/resources/package/changelog > ${_zelk_changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/resources/package/changelog VERBATIM)
add_custom_target(zelk_package_changelog ALL DEPENDS ${_zelk_changelog})
foreach(_component ${ZELK_RUNTIME_COMPONENT} ${ZELK_DEV_COMPONENT} ${ZELK_DEBUG_COMPONENT})
  install(FILES ${PROJECT_SOURCE_DIR}/resources/package/copyright ${_zelk_changelog}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_component} COMPONENT ${_component})
endforeach()

# The shipped programs, stripped, made beside the build (the build tree keeps its DWARF for the
# tests): the distance client gets its stored line table first (tarvex-options moves the DWARF
# out and stores the table after stripping, keeping the embedded options); the others are split
# with objcopy. Installing puts the stripped copies over the installed programs and the debug
# files under lib/debug/.build-id/.
set(_zelk_stage ${PROJECT_BINARY_DIR}/package/stage)
set(_zelk_debug ${PROJECT_BINARY_DIR}/package/debug)
set(_zelk_staged)
foreach(_t zelk-distance zelk-distance-cli tarvex-options tarvex-dialog)
  if(NOT TARGET ${_t})
    continue()
  endif()
  set(_line_table OFF)
  if(_t STREQUAL "zelk-distance")
    set(_line_table ON)
  endif()
  set(_dir ${CMAKE_INSTALL_BINDIR})
  if(_t STREQUAL "tarvex-dialog")
    set(_dir libexec/tarvex)
  endif()
  add_custom_command(OUTPUT ${_zelk_stage}/${_t}
    COMMAND ${CMAKE_COMMAND} -DBINARY=$<TARGET_FILE:${_t}> -DSTAGE=${_zelk_stage} -DDEBUG_ROOT=${_zelk_debug}
            -DLINE_TABLE=${_line_table} -DOPTIONS_TOOL=$<TARGET_FILE:tarvex-options> -DOBJCOPY=${CMAKE_OBJCOPY}
            -P ${PROJECT_SOURCE_DIR}/cmake/ZelkStrip.cmake
    DEPENDS ${_t} tarvex-options ${PROJECT_SOURCE_DIR}/cmake/ZelkStrip.cmake
    COMMENT "Stripping ${_t} for installation" VERBATIM)
  list(APPEND _zelk_staged ${_zelk_stage}/${_t})
  install(CODE "file(COPY_FILE \"${_zelk_stage}/${_t}\" \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${_dir}/${_t}\")"
          COMPONENT ${ZELK_RUNTIME_COMPONENT})
endforeach()
add_custom_target(zelk_package_stage ALL DEPENDS ${_zelk_staged})
install(DIRECTORY ${_zelk_debug}/ DESTINATION lib/debug/.build-id COMPONENT ${ZELK_DEBUG_COMPONENT}
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# ---- The Debian packages ----
set(CPACK_PACKAGE_NAME zelk)
set(CPACK_PACKAGE_VENDOR "The Zelk developers")
set(CPACK_PACKAGE_CONTACT "Zelk developers <developers@zelk.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${ZELK_RUNTIME_COMPONENT} ${ZELK_DEV_COMPONENT} ${ZELK_DEBUG_COMPONENT})
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zelk.invalid/")

set(CPACK_DEBIAN_ZELK_PACKAGE_NAME zelk)
set(CPACK_DEBIAN_ZELK_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_ZELK_DESCRIPTION "sea-route distance client with an exception-reporting layer
zelk-distance asks a sea-route distance service (SOAP over HTTP) for the route
Busan - London - Mobile under an anti-piracy route option and prints the
answer. Failures are reported by the built-in exception-reporting layer,
whose dialogs are shown by its helper program. The package also holds the
console client zelk-distance-cli and tarvex-options, which reads and changes
the reporting options stored in a program.")

set(CPACK_DEBIAN_ZELK-TARVEX-DEV_PACKAGE_NAME zelk-tarvex-dev)
set(CPACK_DEBIAN_ZELK-TARVEX-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_ZELK-TARVEX-DEV_PACKAGE_DEPENDS "zelk (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_ZELK-TARVEX-DEV_DESCRIPTION "exception-reporting layer for C++ programs (development files)
The static libraries, headers and CMake package (find_package(Tarvex)) of the
exception-reporting layer: interception of exceptions and crashes, call
stacks resolved through debug information, bug reports, dialogs, a log
file and delivery by e-mail or web upload.")

set(CPACK_DEBIAN_ZELK-DBG_PACKAGE_NAME zelk-dbg)
set(CPACK_DEBIAN_ZELK-DBG_PACKAGE_SECTION debug)
set(CPACK_DEBIAN_ZELK-DBG_PACKAGE_DEPENDS "zelk (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_ZELK-DBG_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_ZELK-DBG_DESCRIPTION "debug files of the zelk programs
The separate debug information of the programs of the zelk package, found
by build id under /usr/lib/debug/.build-id.")
include(CPack)
