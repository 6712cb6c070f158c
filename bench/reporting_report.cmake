# The full bug report of a live 10-thread process, first in a fresh process and warm.
if(TARGET zelk_reporting_report_live AND TARGET zelk_reporting_threads)
  add_executable(reporting_report_bench ReportingReportBench.cpp
    ${PROJECT_SOURCE_DIR}/tests/reporting/debuginfo/stack_fixtures.cpp)
  target_include_directories(reporting_report_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(reporting_report_bench PRIVATE -g)
  target_link_libraries(reporting_report_bench PRIVATE zelk_reporting_report zelk_reporting_report_live
    zelk_reporting_stack benchmark::benchmark)
endif()
