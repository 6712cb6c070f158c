// XML Schema wrapper classes. (Initial declarations; the conversions are being built.)
#pragma once

#include "soap/InvokeRegistry.h"

#define ZELK_XS_CLASS(Name)                                   \
  class Name : public TRemotableXS {                          \
    ZELK_CLASS(Name, TRemotableXS)                            \
   public:                                                    \
    WideString ToXmlText() const override;                    \
    void FromXmlText(const WideString& text) override;        \
  }
ZELK_XS_CLASS(TXSDateTime);
ZELK_XS_CLASS(TXSTime);
ZELK_XS_CLASS(TXSDate);
ZELK_XS_CLASS(TXSDuration);
ZELK_XS_CLASS(TXSHexBinary);
ZELK_XS_CLASS(TXSDecimal);
ZELK_XS_CLASS(TXSString);
ZELK_XS_CLASS(TXSBoolean);
ZELK_XS_CLASS(TXSInteger);
ZELK_XS_CLASS(TXSLong);
#undef ZELK_XS_CLASS

// An XML fragment carried as-is.
class TXMLData : public TRemotable {
  ZELK_CLASS(TXMLData, TRemotable)
};
