# E-mail delivery: the message builder and the SMTP dialogue against the loopback SMTP server
# (and the DNS test server for direct delivery).
zelk_add_test(delivery_email_tests
  SOURCES EMime_test.cpp ESmtp_test.cpp
  DEPS zelk_delivery zelk_test_support)
target_compile_definitions(delivery_email_tests PRIVATE DELIVERY_EMAIL_DIR="${CMAKE_CURRENT_SOURCE_DIR}/email")
