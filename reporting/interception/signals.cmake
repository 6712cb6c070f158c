# Fatal signals as unhandled exceptions: the handlers, the signal thread, the alternate stacks.
zelk_add_reporting_library(zelk_reporting_signals
  SOURCES ESignals_linux.cpp ESignalTexts_linux.cpp
  DEPS zelk_reporting_options Threads::Threads ${CMAKE_DL_LIBS})
target_link_libraries(zelk_reporting INTERFACE zelk_reporting_signals)
