# cmake -DBINARY=... -DSTAGE=... -DDEBUG_ROOT=... -DLINE_TABLE=ON|OFF -DOPTIONS_TOOL=...
#       -DOBJCOPY=... -P ZelkStrip.cmake
#
# Copies BINARY into STAGE stripped and puts its DWARF, named by build id, under DEBUG_ROOT
# (<first two hex digits>/<the rest>.debug). With LINE_TABLE the program's embedded options are
# stored again together with a line table read from its DWARF, so that its reports still name
# units, procedures and lines.
get_filename_component(_name "${BINARY}" NAME)
set(_out "${STAGE}/${_name}")
file(MAKE_DIRECTORY "${STAGE}")
file(REMOVE "${_out}" "${_out}.debug")
file(COPY_FILE "${BINARY}" "${_out}")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _err)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "${ARGN}: ${_rc}\n${_out}${_err}")
  endif()
endfunction()

if(LINE_TABLE)
  run("${OPTIONS_TOOL}" export "${_out}" "${_out}.tlo")
  run("${OPTIONS_TOOL}" import "${_out}" "${_out}.tlo" --strip --objcopy "${OBJCOPY}")
  file(REMOVE "${_out}.tlo")
else()
  run("${OBJCOPY}" --only-keep-debug "${_out}" "${_out}.debug")
  run("${OBJCOPY}" --strip-debug --strip-unneeded "${_out}")
  run("${OBJCOPY}" "--add-gnu-debuglink=${_out}.debug" "${_out}")
endif()

execute_process(COMMAND readelf -n "${_out}" OUTPUT_VARIABLE _notes RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0 OR NOT _notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
  message(FATAL_ERROR "${_name} has no build id")
endif()
set(_debug "${DEBUG_ROOT}/${CMAKE_MATCH_1}/${CMAKE_MATCH_2}.debug")
# The debug file of this program's previous build goes.
if(EXISTS "${_out}.debug-path")
  file(READ "${_out}.debug-path" _old)
  file(REMOVE "${_old}")
endif()
get_filename_component(_debug_dir "${_debug}" DIRECTORY)
file(MAKE_DIRECTORY "${_debug_dir}")
file(RENAME "${_out}.debug" "${_debug}")
file(WRITE "${_out}.debug-path" "${_debug}")
