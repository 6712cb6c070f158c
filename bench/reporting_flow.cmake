# From the raise of an uncaught exception to its report on standard output, cold and warm.
if(TARGET zelk_reporting_flow)
  add_executable(reporting_flow_bench ReportingFlowBench.cpp)
  target_include_directories(reporting_flow_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(reporting_flow_bench PRIVATE -g)
  target_link_libraries(reporting_flow_bench PRIVATE zelk_reporting_flow benchmark::benchmark)
  tarvex_embed_options(reporting_flow_bench ${PROJECT_SOURCE_DIR}/tests/reporting/test-options.tlt)
endif()
