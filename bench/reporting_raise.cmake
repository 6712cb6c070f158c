# The raise-time decision: capture of return addresses, analysis uncached and cached.
add_executable(reporting_raise_bench ReportingRaiseBench.cpp)
target_include_directories(reporting_raise_bench PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(reporting_raise_bench PRIVATE zelk_reporting_raise benchmark::benchmark)
