# The sections drawn from the exception's memory (assembler, CPU), the rich-text renderings
# and the HTML page.
zelk_add_reporting_library(zelk_reporting_report_sections
  SOURCES EAssembler.cpp ECpuSection.cpp ERichText.cpp EHtmlPage.cpp EHtmlPage_linux.cpp
  DEPS zelk_reporting_options zelk_reporting_modules zelk_reporting_stack PkgConfig::CAPSTONE)
target_link_libraries(zelk_reporting INTERFACE zelk_reporting_report_sections)
