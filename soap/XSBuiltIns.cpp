#include "soap/XSBuiltIns.h"

#define ZELK_XS_PENDING(Name)                                                                \
  ZELK_CLASS_INFO(Name, "XSBuiltIns")                                                        \
  WideString Name::ToXmlText() const { throw Exception(#Name " text form not built yet"); } \
  void Name::FromXmlText(const WideString&) { throw Exception(#Name " text form not built yet"); }
ZELK_XS_PENDING(TXSDateTime)
ZELK_XS_PENDING(TXSTime)
ZELK_XS_PENDING(TXSDate)
ZELK_XS_PENDING(TXSDuration)
ZELK_XS_PENDING(TXSHexBinary)
ZELK_XS_PENDING(TXSDecimal)
ZELK_XS_PENDING(TXSString)
ZELK_XS_PENDING(TXSBoolean)
ZELK_XS_PENDING(TXSInteger)
ZELK_XS_PENDING(TXSLong)
ZELK_CLASS_INFO(TXMLData, "XSBuiltIns")
