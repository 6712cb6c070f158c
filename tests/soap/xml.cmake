list(APPEND ZELK_SOAP_TEST_SOURCES XMLDoc_test.cpp TypeTrans_test.cpp XSBuiltIns_test.cpp)
list(APPEND ZELK_SOAP_TEST_SOURCES XMLReadTree_test.cpp)
