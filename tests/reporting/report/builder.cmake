# The report builder over a fake snapshot: golden reports, forms, fields, the identifier; and
# the identifier of a real program, stable when code moves above the failing procedure.
add_library(report_fake_snapshot STATIC FakeSnapshot.cpp)
target_include_directories(report_fake_snapshot PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(report_fake_snapshot PUBLIC zelk_reporting_options zelk_reporting_stack)

zelk_add_test(reporting_report_tests
  SOURCES EReport_test.cpp ELogItem_test.cpp
  DEPS zelk_reporting_report report_fake_snapshot)
target_compile_definitions(reporting_report_tests PRIVATE
  REPORT_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/golden")
