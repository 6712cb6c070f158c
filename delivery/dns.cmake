# The MX lookup in a library of its own: it needs only the runtime, so the reply parser also
# builds alone for fuzzing.
pkg_check_modules(IDN2 REQUIRED IMPORTED_TARGET libidn2)
zelk_add_reporting_library(zelk_delivery_dns
  SOURCES ESocketsDns.cpp ESocketsDns_linux.cpp
  DEPS zelk_runtime resolv PkgConfig::IDN2)
target_link_libraries(zelk_delivery PUBLIC zelk_delivery_dns)
# The mail program route reports through the flow's warnings, so it is part of zelk_delivery.
target_sources(zelk_delivery PRIVATE EMailClient_linux.cpp)
