# Symbolising a 30-frame stack, cold and warm.
add_executable(reporting_modules_bench ReportingModulesBench.cpp)
target_include_directories(reporting_modules_bench PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(reporting_modules_bench PRIVATE -g)
target_link_libraries(reporting_modules_bench PRIVATE zelk_reporting_modules benchmark::benchmark)
