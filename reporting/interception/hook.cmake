# The patching toolkit: inline code patches with relocated trampolines, GOT entries, vtable slots.
zelk_add_reporting_library(zelk_reporting_hook
  SOURCES EHook.cpp EHook_linux.cpp
  DEPS zelk_reporting_options PkgConfig::CAPSTONE ${CMAKE_DL_LIBS})
target_link_libraries(zelk_reporting INTERFACE zelk_reporting_hook)
