list(APPEND ZELK_TEST_SUPPORT_SOURCES HttpTestServer.cpp)
# The loopback server speaks TLS when OpenSSL's headers are installed; https tests skip otherwise.
find_package(OpenSSL QUIET)
if(OpenSSL_FOUND)
  cmake_language(DEFER CALL target_link_libraries zelk_test_support PUBLIC OpenSSL::SSL OpenSSL::Crypto)
  cmake_language(DEFER CALL target_compile_definitions zelk_test_support PRIVATE ZELK_TEST_TLS=1)
endif()
