zelk_add_test(reporting_threads_tests
  SOURCES EThreads_test.cpp EThreadContext_test.cpp
  DEPS zelk_reporting_threads ${CMAKE_DL_LIBS})
# The tests find the extent of their own functions through the dynamic symbol table.
set_target_properties(reporting_threads_tests PROPERTIES ENABLE_EXPORTS ON)
