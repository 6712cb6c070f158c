# Leak tracking: new+delete pairs per second with tracking off and on (16 and 35 frames), one
# and two threads, and the bookkeeping per block. Not in the sanitizer build: the hook would
# replace the sanitizer's operator new.
if(TARGET zelk_reporting_leaks_hook AND NOT ZELK_SANITIZE)
  add_executable(reporting_leaks_bench ReportingLeaksBench.cpp)
  target_include_directories(reporting_leaks_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(reporting_leaks_bench PRIVATE zelk_reporting_leaks_hook benchmark::benchmark ${CMAKE_DL_LIBS})
endif()
