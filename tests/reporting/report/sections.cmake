# The assembler and CPU sections, the rich-text renderings, the HTML page and the report
# variables; goldens under golden/ (ZELK_UPDATE_GOLDEN=1 rewrites them).
zelk_add_test(reporting_sections_tests
  SOURCES EAssembler_test.cpp ECpuSection_test.cpp ERichText_test.cpp EHtmlPage_test.cpp EReportVariables_test.cpp
  DEPS zelk_reporting_report_sections report_fake_snapshot)
target_compile_definitions(reporting_sections_tests PRIVATE ZELK_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/golden")
