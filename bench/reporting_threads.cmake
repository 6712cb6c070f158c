# How long a capture keeps the threads of a 10-thread process stopped.
add_executable(reporting_threads_bench ReportingThreadsBench.cpp)
target_include_directories(reporting_threads_bench PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(reporting_threads_bench PRIVATE zelk_reporting_threads benchmark::benchmark)
