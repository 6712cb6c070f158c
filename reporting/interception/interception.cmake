# The interception points themselves, the notification entry and the exported functions.
zelk_add_reporting_library(zelk_reporting_interception
  SOURCES ExceptionLog.cpp ENotify.cpp ERaiseHooks_linux.cpp EPointHooks_linux.cpp
  DEPS zelk_reporting_options zelk_reporting_fastunwind PkgConfig::CAPSTONE ${CMAKE_DL_LIBS})
foreach(_lib zelk_reporting_hook zelk_reporting_raise zelk_reporting_threads zelk_reporting_signals)
  if(TARGET ${_lib})
    target_link_libraries(zelk_reporting_interception PUBLIC ${_lib})
  endif()
endforeach()
target_link_libraries(zelk_reporting INTERFACE zelk_reporting_interception)
# Other modules' copies of the layer find these in the executable.
target_link_options(zelk_reporting_interception INTERFACE
  "LINKER:--export-dynamic-symbol=ExceptionManager" "LINKER:--export-dynamic-symbol=TarvexLog_*")
