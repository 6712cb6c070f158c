# The fast walk over return addresses against _Unwind_Backtrace, 8, 30 and 64 frames.
if(TARGET zelk_reporting_fastunwind)
  add_executable(reporting_fastunwind_bench ReportingFastUnwindBench.cpp
    ${PROJECT_SOURCE_DIR}/tests/reporting/debuginfo/fastunwind_frames.cpp)
  set_source_files_properties(${PROJECT_SOURCE_DIR}/tests/reporting/debuginfo/fastunwind_frames.cpp
    TARGET_DIRECTORY reporting_fastunwind_bench
    PROPERTIES COMPILE_OPTIONS "-O2;-fomit-frame-pointer" COMPILE_DEFINITIONS "FASTUNWIND_VARIANT=fastunwind_O2_nofp")
  target_include_directories(reporting_fastunwind_bench PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(reporting_fastunwind_bench PRIVATE zelk_reporting_fastunwind benchmark::benchmark)
endif()
