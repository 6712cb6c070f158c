list(APPEND ZELK_SOAP_SOURCES SOAPHTTPTrans.cpp SOAPHTTPTrans_curl.cpp HTTPWire.cpp HTTPWireConnection.cpp HTTPWireSocket_linux.cpp)
list(APPEND ZELK_SOAP_DEPS CURL::libcurl)
