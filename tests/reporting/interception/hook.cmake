# A small shared object whose imports and GOT the toolkit patches. Its calls to its own exported
# functions go through its PLT, and the program binds lazily (binding at load time would bind
# every module at once), so a PLT slot the library has not used yet still leads to its lazy stub.
add_library(reporting_hook_testlib SHARED EHook_lib.cpp)

zelk_add_test(reporting_hook_tests
  SOURCES EHook_test.cpp
  DEPS zelk_reporting_hook reporting_hook_testlib ${CMAKE_DL_LIBS})
target_link_options(reporting_hook_tests PRIVATE -Wl,-z,lazy -Wl,-z,relro)
target_compile_definitions(reporting_hook_tests PRIVATE
  HOOK_TESTLIB_NAME="$<TARGET_FILE_NAME:reporting_hook_testlib>")
