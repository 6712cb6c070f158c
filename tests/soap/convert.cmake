# Tests of the message converter.
list(APPEND ZELK_SOAP_TEST_SOURCES ConvTestTypes.cpp OPToSOAPDomConv_request_test.cpp
     OPToSOAPDomConv_response_test.cpp)
list(APPEND ZELK_SOAP_TEST_DEPS zelk_binding)
set_source_files_properties(OPToSOAPDomConv_request_test.cpp OPToSOAPDomConv_response_test.cpp
  PROPERTIES COMPILE_DEFINITIONS
  "ZELK_CONVERT_TEST_DATA=\"${CMAKE_CURRENT_SOURCE_DIR}/data\";ZELK_DISTANCE_SAMPLES=\"${PROJECT_SOURCE_DIR}/tools/distance-service/samples\"")
