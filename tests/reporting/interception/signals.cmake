# The program that dies of each fault with the handlers installed, and the tests that run it.
add_executable(signal_child ESignals_child.cpp)
target_include_directories(signal_child PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(signal_child PRIVATE zelk_reporting_signals)

zelk_add_test(reporting_signals_tests
  SOURCES ESignals_test.cpp
  DEPS zelk_reporting_signals)
add_dependencies(reporting_signals_tests signal_child)
target_compile_definitions(reporting_signals_tests PRIVATE SIGNAL_CHILD="$<TARGET_FILE:signal_child>")
# The access-violation text names the module through the dynamic symbol table.
set_target_properties(reporting_signals_tests PROPERTIES ENABLE_EXPORTS ON)
