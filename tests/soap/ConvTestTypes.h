// Types, a service interface and helpers shared by the converter's tests.
#pragma once

#include <memory>
#include <string>

#include "soap/IntfInfo.h"
#include "soap/OPToSOAPDomConv.h"
#include "soap/XSBuiltIns.h"

extern const WideString kCvNamespace;

enum TCvColor : uint8_t { cvRed, cvGreen, cvBlue };
ZELK_DECLARE_ENUM(TCvColor);
using TCvColors = TSet<TCvColor>;
ZELK_DECLARE_SET(TCvColors);

// A node of a graph; `next` is not owned, so cycles and sharing are possible. (The type
// information cannot describe a member of the class's own type, hence TRemotable.)
class TCvNode : public TRemotable {
  ZELK_CLASS(TCvNode, TRemotable)
 public:
  int32_t value = 0;
  WideString label;
  TRemotable* next = nullptr;
  TCvNode* Next() const { return dynamic_cast<TCvNode*>(next); }
};
ZELK_DYNARRAY(TCvNodeArray, TCvNode*);
ZELK_DYNARRAY(TCvIntMatrix, TIntegerDynArray);
// Registered with inline serialisation: its items stand directly in the enclosing element.
ZELK_DYNARRAY(TCvInlineInts, int32_t);

// A member of every kind the converter writes; owns `child` and `amount`.
class TCvRecord : public TRemotable {
  ZELK_CLASS(TCvRecord, TRemotable)
 public:
  ~TCvRecord() override;
  WideString key;  // an attribute
  int32_t count = 0;
  double ratio = 0;
  bool flag = false;
  TCvColor color = cvRed;
  int64_t big = 0;
  char16_t letter = u'a';
  WideString text;  // written as "Text"
  TCvNode* child = nullptr;
  TIntegerDynArray numbers;
  Variant extra;
  TXSDecimal* amount = nullptr;
  int32_t optionalValue = 0;  // sent only when not 0
};

// A class whose instances never become multi-reference elements.
class TCvInline : public TRemotable {
  ZELK_CLASS(TCvInline, TRemotable)
 public:
  int32_t value = 0;
  TRemotable* next = nullptr;
};

// Classes whose registration or member flags shape their element.
class TCvAmount : public TRemotable {  // a simple-type wrapper: its one member is its text
  ZELK_CLASS(TCvAmount, TRemotable)
 public:
  double value = 0;
};
class TCvLabelled : public TRemotable {  // an attribute and a text member
  ZELK_CLASS(TCvLabelled, TRemotable)
 public:
  WideString unit;
  double amount = 0;
};
class TCvBag : public TRemotable {  // an unbounded member and a member never stored
  ZELK_CLASS(TCvBag, TRemotable)
 public:
  TIntegerDynArray values;
  WideString note;
};

// A class with a member the converter cannot write.
class TCvBadMember : public TRemotable {
  ZELK_CLASS(TCvBadMember, TRemotable)
 public:
  TCvColors colors;
};

// Not remotable.
class TCvPlain : public TObject {
  ZELK_CLASS(TCvPlain, TObject)
};

// A fault detail type.
class TCvFault : public ERemotableFault {
  ZELK_FAULT_CLASS(TCvFault, ERemotableFault)
 public:
  int32_t errorCode = 0;
  WideString reason;
};

class TCvHeader : public TSOAPHeader {
  ZELK_CLASS(TCvHeader, TSOAPHeader)
 public:
  ~TCvHeader() override { delete node; }
  WideString session;
  TCvNode* node = nullptr;
};

class ICvService : public IInvokable {
  ZELK_INTERFACE(ICvService, "{C7E1A0B2-5D3F-4E68-9A1B-2C3D4E5F6A01}")
};

void RegisterConvTestTypes();

// Method indexes of ICvService in its metadata (after the three base methods).
enum TCvMethod {
  cvPing = 3, cvOnlyOut, cvScalars, cvNodes, cvArrays, cvRecord, cvAnything, cvColors, cvPlain,
  cvGetNode, cvExchange, cvGetInts, cvGetVariant, cvGetRecord, cvGetMatrix, cvGetNodes, cvGetBytes, cvGetText,
  cvGetInlineInts, cvBad, cvGetColor, cvShapes, cvGetLabelled, cvGetBag, cvGetAmount, cvGetBad
};

// The metadata of ICvService (registered on first use).
const TIntfMetaData& CvMetaData();

std::string ReadTextFile(const std::string& path);
// The text after the XML declaration.
std::string AfterDeclaration(const std::string& xml);
// The content of the SOAP-ENV:Body element of a request.
std::string BodyContent(const std::string& xml);

// Destroys every node reachable through `next` once, cycles included.
void DeleteGraph(TCvNode* first);
