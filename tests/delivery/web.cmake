# Web delivery: the error table, the form upload, FTP and the trackers against loopback fakes.
zelk_add_test(delivery_web_tests
  SOURCES EWebErrors_test.cpp EWebForm_test.cpp EWebFtp_test.cpp EWebTracker_test.cpp
  DEPS zelk_delivery zelk_test_support)
