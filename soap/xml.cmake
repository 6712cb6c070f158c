# The XML document component and the XML Schema scalar conversions.
list(APPEND ZELK_SOAP_SOURCES XMLDoc.cpp XMLReadTree.cpp XMLDirectRead.cpp TypeTrans.cpp)
list(APPEND ZELK_SOAP_DEPS LibXml2::LibXml2)
