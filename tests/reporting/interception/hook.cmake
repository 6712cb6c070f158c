# A small shared object whose imports and GOT the toolkit patches. It binds lazily, so a slot it
# has never called still points into its PLT; the test program binds at load time, so its GOT
# lies in the read-only RELRO area and can be compared byte for byte after a restore.
add_library(reporting_hook_testlib SHARED EHook_lib.cpp)
target_link_options(reporting_hook_testlib PRIVATE -Wl,-z,lazy)

zelk_add_test(reporting_hook_tests
  SOURCES EHook_test.cpp
  DEPS zelk_reporting_hook reporting_hook_testlib ${CMAKE_DL_LIBS})
target_link_options(reporting_hook_tests PRIVATE -Wl,-z,now -Wl,-z,relro)
target_compile_definitions(reporting_hook_tests PRIVATE
  HOOK_TESTLIB_NAME="$<TARGET_FILE_NAME:reporting_hook_testlib>")
