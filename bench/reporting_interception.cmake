# Throw/catch with and without the layer.
add_executable(reporting_throw_bench ReportingThrowBench.cpp)
target_include_directories(reporting_throw_bench PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(reporting_throw_bench PRIVATE zelk_reporting_interception)
tarvex_embed_options(reporting_throw_bench ${PROJECT_SOURCE_DIR}/tests/reporting/test-options.tlt)
