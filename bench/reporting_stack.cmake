# Call stacks: capture of a 30-frame stack, symbolising it cold and warm, and all threads of a
# 10-thread process.
add_executable(reporting_stack_bench ReportingStackBench.cpp
  ${PROJECT_SOURCE_DIR}/tests/reporting/debuginfo/stack_fixtures.cpp)
target_include_directories(reporting_stack_bench PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(reporting_stack_bench PRIVATE -g)
target_link_libraries(reporting_stack_bench PRIVATE zelk_reporting_stack benchmark::benchmark)
