# The raise analysis against real throws of the same shapes, and against hand-built tables.
zelk_add_test(reporting_raise_tests
  SOURCES ERaiseAnalysis_test.cpp ERaiseThrowListCases.cpp
  DEPS zelk_reporting_raise Threads::Threads)
# throw() lists on functions exist only up to C++14; the later -std wins on GCC's line.
set_source_files_properties(ERaiseThrowListCases.cpp PROPERTIES COMPILE_OPTIONS "-std=gnu++14;-Wno-deprecated")
