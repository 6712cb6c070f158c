# Handled or not, decided at raise time: the exception tables read without unwinding.
zelk_add_reporting_library(zelk_reporting_raise
  SOURCES
    ELsda.cpp
    ERaiseAnalysis.cpp
    ERaiseAnalysis_linux.cpp
  DEPS zelk_reporting_options ${CMAKE_DL_LIBS})
target_link_libraries(zelk_reporting INTERFACE zelk_reporting_raise)
