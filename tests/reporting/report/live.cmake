# The live snapshot: the parsers on fixture texts, and the values of this machine.
zelk_add_test(reporting_live_tests
  SOURCES ESystemInfo_test.cpp ELiveSnapshot_test.cpp
  DEPS zelk_reporting_report_live zelk_test_support)
target_compile_definitions(reporting_live_tests PRIVATE
  LIVE_FIXTURES="${CMAKE_CURRENT_SOURCE_DIR}/live_fixtures")
