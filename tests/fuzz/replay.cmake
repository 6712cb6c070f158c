# The fuzz targets' entry points as ordinary tests: each replays its seeds and regressions.
foreach(_t xmldoc response scalars dns)
  set(_deps zelk_soap)
  if(_t STREQUAL "response")
    set(_deps zelk_binding)
  elseif(_t STREQUAL "dns")
    set(_deps zelk_delivery_dns)
  endif()
  zelk_add_test(fuzz_replay_${_t} SOURCES ${CMAKE_CURRENT_LIST_DIR}/Replay_test.cpp
                ${CMAKE_CURRENT_LIST_DIR}/fuzz_${_t}.cpp DEPS ${_deps})
  target_compile_definitions(fuzz_replay_${_t} PRIVATE ZELK_FUZZ_DIR="${CMAKE_CURRENT_LIST_DIR}"
                             ZELK_FUZZ_TARGET="${_t}")
endforeach()
