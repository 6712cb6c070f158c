# tarvex_embed_options(<target> <options file> [APPEND] [DEBUG_INFO] [STRIP]
#                      [DEBUG_PASSWORD <password>])
#
# After each link of <target>, stores the reporting options of <options file> (the readable
# form, or an options stream ending in .tlo) in the binary: as the section ".tldata", or with
# APPEND as a block appended to the file. The target relinks when the options file or the
# tool changes. The tool is the installed package's Tarvex::tarvex-options when
# find_package(Tarvex) made it known, else this build's tarvex-options target.
# DEBUG_INFO also stores a line table derived from the binary's DWARF (build it with -g), so
# that call stacks resolve unit, class, procedure and line without the DWARF. STRIP (implies
# DEBUG_INFO) moves the DWARF into "<binary>.debug", strips the binary and links it to that
# file; the stored block is written after stripping. DEBUG_PASSWORD enciphers the names of
# the line table.
function(tarvex_embed_options target options_file)
  cmake_parse_arguments(ARG "APPEND;DEBUG_INFO;STRIP" "DEBUG_PASSWORD" "" ${ARGN})
  get_filename_component(_options "${options_file}" ABSOLUTE)
  if(NOT EXISTS "${_options}")
    message(FATAL_ERROR "tarvex_embed_options: options file ${_options} does not exist")
  endif()
  set(_mode)
  if(ARG_APPEND)
    list(APPEND _mode --append)
  endif()
  if(ARG_DEBUG_INFO)
    list(APPEND _mode --debug-info)
  endif()
  if(ARG_STRIP)
    list(APPEND _mode --strip)
  endif()
  if(DEFINED ARG_DEBUG_PASSWORD)
    list(APPEND _mode --debug-password "${ARG_DEBUG_PASSWORD}")
  endif()
  set(_objcopy "${CMAKE_OBJCOPY}")
  if(NOT _objcopy)
    set(_objcopy objcopy)
  endif()
  if(TARGET Tarvex::tarvex-options)
    set(_tool Tarvex::tarvex-options)
  else()
    set(_tool tarvex-options)  # may be defined after the caller
    add_dependencies(${target} tarvex-options)
  endif()
  # Relinked, and so embedded again, when the options or the tool that writes them change.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${_options}" "$<TARGET_FILE:${_tool}>")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND $<TARGET_FILE:${_tool}> import $<TARGET_FILE:${target}> "${_options}"
            --objcopy "${_objcopy}" ${_mode}
    COMMENT "Embedding reporting options into ${target}"
    VERBATIM)
endfunction()
