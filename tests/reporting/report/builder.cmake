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

# Three builds of one failing program: as it is; from a copy with code inserted above the
# failing procedure (same file name, so the same unit); and failing on another line.
set(IDENT_EXTRA_LINES "
__attribute__((noinline)) int Unrelated(int x) {
  int y = x * 3;
  y += x / 2;
  y ^= 0x55;
  return y;
}
")
configure_file(ident_fixture.cpp ${CMAKE_CURRENT_BINARY_DIR}/extra_lines/ident_fixture.cpp @ONLY)
set(_ident_fixtures)
foreach(_variant plain extra_lines other_line)
  if(_variant STREQUAL "extra_lines")
    add_executable(report_ident_fixture_${_variant} ${CMAKE_CURRENT_BINARY_DIR}/extra_lines/ident_fixture.cpp)
  else()
    add_executable(report_ident_fixture_${_variant} ident_fixture.cpp)
  endif()
  target_include_directories(report_ident_fixture_${_variant} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(report_ident_fixture_${_variant} PRIVATE -g -O0 -fno-omit-frame-pointer)
  target_link_libraries(report_ident_fixture_${_variant} PRIVATE zelk_reporting_report)
  add_dependencies(reporting_report_tests report_ident_fixture_${_variant})
  string(TOUPPER ${_variant} _upper)
  list(APPEND _ident_fixtures IDENT_FIXTURE_${_upper}="$<TARGET_FILE:report_ident_fixture_${_variant}>")
endforeach()
target_compile_definitions(report_ident_fixture_other_line PRIVATE OTHER_LINE)
target_compile_definitions(reporting_report_tests PRIVATE ${_ident_fixtures})
