# The MX lookup against loopback DNS servers, and the mail program route with scripts standing
# in for the desktop's helpers.
zelk_add_test(delivery_dns_tests
  SOURCES EDns_test.cpp
  DEPS zelk_delivery_dns zelk_test_support)
zelk_add_test(delivery_mailclient_tests
  SOURCES EMailClient_test.cpp
  DEPS zelk_delivery zelk_test_support)
