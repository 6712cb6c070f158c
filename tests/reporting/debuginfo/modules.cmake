# The fixture object: known code built with -g -O1, loaded and copied by the tests.
add_library(modules_fixture MODULE modules_fixture.cpp)
target_include_directories(modules_fixture PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(modules_fixture PRIVATE -g -O1 -fno-omit-frame-pointer)

zelk_add_test(reporting_modules_tests
  SOURCES EModuleList_test.cpp EResolve_test.cpp
  DEPS zelk_reporting_modules ${CMAKE_DL_LIBS})
add_dependencies(reporting_modules_tests modules_fixture)
target_compile_definitions(reporting_modules_tests PRIVATE MODULES_FIXTURE="$<TARGET_FILE:modules_fixture>")
