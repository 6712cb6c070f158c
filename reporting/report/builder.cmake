# The bug report builder: the general sections and their writer, the tables, the identifier.
zelk_add_reporting_library(zelk_reporting_report
  SOURCES ELogItem.cpp EReportFormats.cpp EReportTables.cpp EReport.cpp
  DEPS zelk_reporting_options zelk_reporting_modules zelk_reporting_stack)
# The sections drawn from memory, once they are built.
if(TARGET zelk_reporting_report_sections)
  target_link_libraries(zelk_reporting_report PUBLIC zelk_reporting_report_sections)
  target_compile_definitions(zelk_reporting_report PRIVATE ZELK_HAVE_REPORT_SECTIONS=1)
endif()
target_link_libraries(zelk_reporting INTERFACE zelk_reporting_report)
