# The fast walk over the current thread's return addresses with cached call-frame rules.
zelk_add_reporting_library(zelk_reporting_fastunwind
  SOURCES ECfaRule_linux.cpp EFastUnwind_linux.cpp
  DEPS zelk_reporting_options ${CMAKE_DL_LIBS})
target_link_libraries(zelk_reporting INTERFACE zelk_reporting_fastunwind)
