# The live snapshot of the process and its system that a bug report is built from. X11 and
# libcups are opened at run time when present, never linked.
zelk_add_reporting_library(zelk_reporting_report_live
  SOURCES
    ESystemInfoParse_linux.cpp ELiveSystem_linux.cpp ELiveNetwork_linux.cpp
    ELiveProcesses_linux.cpp ELiveDisplay_linux.cpp ELivePrinter_linux.cpp
    ELiveSnapshot_linux.cpp
  DEPS zelk_reporting_options zelk_reporting_modules zelk_reporting_stack zelk_reporting_threads ${CMAKE_DL_LIBS})
target_link_libraries(zelk_reporting INTERFACE zelk_reporting_report_live)
