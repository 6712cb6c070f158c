# Call stacks: readable memory, the stack scan, call-frame unwinding of captured contexts and
# the stacks of one exception.
zelk_add_reporting_library(zelk_reporting_stack
  SOURCES EMemory_linux.cpp EStackScan.cpp EUnwind_linux.cpp ECallStack.cpp
  DEPS zelk_reporting_options PkgConfig::LIBDW ${CMAKE_DL_LIBS})
foreach(_lib zelk_reporting_modules zelk_reporting_threads)
  if(TARGET ${_lib})
    target_link_libraries(zelk_reporting_stack PUBLIC ${_lib})
  endif()
endforeach()
target_link_libraries(zelk_reporting INTERFACE zelk_reporting_stack)
