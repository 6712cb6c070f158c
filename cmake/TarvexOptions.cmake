# tarvex_embed_options(<target> <options file> [APPEND])
#
# After each link of <target>, stores the reporting options of <options file> (the readable
# form, or an options stream ending in .tlo) in the binary: as the section ".tldata", or with
# APPEND as a block appended to the file. The target relinks when the options file changes.
function(tarvex_embed_options target options_file)
  cmake_parse_arguments(ARG "APPEND" "" "" ${ARGN})
  get_filename_component(_options "${options_file}" ABSOLUTE)
  if(NOT EXISTS "${_options}")
    message(FATAL_ERROR "tarvex_embed_options: options file ${_options} does not exist")
  endif()
  set(_mode)
  if(ARG_APPEND)
    set(_mode --append)
  endif()
  set(_objcopy "${CMAKE_OBJCOPY}")
  if(NOT _objcopy)
    set(_objcopy objcopy)
  endif()
  add_dependencies(${target} tarvex-options)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${_options}")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND $<TARGET_FILE:tarvex-options> import $<TARGET_FILE:${target}> "${_options}"
            --objcopy "${_objcopy}" ${_mode}
    COMMENT "Embedding reporting options into ${target}"
    VERBATIM)
endfunction()
