list(APPEND ZELK_SOAP_SOURCES IntfInfo.cpp Rio.cpp SOAPAttach.cpp SOAPHTTPClient.cpp)
