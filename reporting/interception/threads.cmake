# The thread registry, the wrapped thread start and other threads' contexts.
zelk_add_reporting_library(zelk_reporting_threads
  SOURCES EThreads.cpp EThreads_linux.cpp EThreadContext_linux.cpp
  DEPS zelk_reporting_options Threads::Threads)
target_link_libraries(zelk_reporting INTERFACE zelk_reporting_threads)
