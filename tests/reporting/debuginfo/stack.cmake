# The stack scan on crafted bytes; live call stacks of this and other threads.
set(_stack_test_sources EStackScan_test.cpp)
if(TARGET zelk_reporting_modules AND TARGET zelk_reporting_threads)
  list(APPEND _stack_test_sources ECallStack_test.cpp stack_fixtures.cpp)
endif()
zelk_add_test(reporting_stack_tests SOURCES ${_stack_test_sources} DEPS zelk_reporting_stack)
