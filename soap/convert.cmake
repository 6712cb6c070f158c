# The message converter: request encoding and response decoding.
list(APPEND ZELK_SOAP_SOURCES SOAPDomConv.cpp OPToSOAPDomConv.cpp)
