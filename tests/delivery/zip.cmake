# The zip packaging: archives read back by minizip's reader and by Debian's Python.
zelk_add_test(delivery_zip_tests
  SOURCES EZip_test.cpp
  DEPS zelk_delivery delivery_log_samples zelk_test_support PkgConfig::MINIZIP)
