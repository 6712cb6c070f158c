#include "tests/soap/ConvTestTypes.h"

#include <fstream>
#include <mutex>
#include <sstream>
#include <unordered_set>

#include "binding/ZelkDistance1.h"

const WideString kCvNamespace = u"urn:conv-test";

ZELK_ENUM_INFO(TCvColor, "ConvTest", "cvRed", "cvGreen", "cvBlue")
ZELK_SET_INFO(TCvColors, "ConvTest")
ZELK_DYNARRAY_INFO(TCvNodeArray, "ConvTest")
ZELK_DYNARRAY_INFO(TCvIntMatrix, "ConvTest")
ZELK_DYNARRAY_INFO(TCvInlineInts, "ConvTest")

namespace {
bool OptionalStored(const TObject* obj) { return static_cast<const TCvRecord*>(obj)->optionalValue != 0; }

TPropInfo NeverStored(TPropInfo p) {
  p.Stored = false;
  return p;
}

TPropInfo OptionalProp() {
  TPropInfo p = MakeFieldProperty<&TCvRecord::optionalValue>("optionalValue", mfOptional);
  p.StoredFn = &OptionalStored;
  return p;
}
}  // namespace

ZELK_CLASS_INFO(TCvNode, "ConvTest", ZELK_PROP(value), ZELK_PROP(label), ZELK_PROP(next))
ZELK_CLASS_INFO(TCvRecord, "ConvTest", ZELK_PROP_INDEX(key, mfAttribute), ZELK_PROP(count), ZELK_PROP(ratio),
                ZELK_PROP(flag), ZELK_PROP(color), ZELK_PROP(big), ZELK_PROP(letter), ZELK_PROP(text),
                ZELK_PROP(child), ZELK_PROP(numbers), ZELK_PROP(extra), ZELK_PROP(amount), OptionalProp())
ZELK_CLASS_INFO(TCvInline, "ConvTest", ZELK_PROP(value), ZELK_PROP(next))
ZELK_CLASS_INFO(TCvAmount, "ConvTest", ZELK_PROP(value))
ZELK_CLASS_INFO(TCvLabelled, "ConvTest", ZELK_PROP_INDEX(unit, mfAttribute), ZELK_PROP_INDEX(amount, mfText))
ZELK_CLASS_INFO(TCvBag, "ConvTest", ZELK_PROP_INDEX(values, mfUnbounded), NeverStored(ZELK_PROP(note)))
ZELK_CLASS_INFO(TCvBadMember, "ConvTest", ZELK_PROP(colors))
ZELK_CLASS_INFO(TCvPlain, "ConvTest")
ZELK_CLASS_INFO(TCvFault, "ConvTest", ZELK_PROP(errorCode), ZELK_PROP(reason))
ZELK_CLASS_INFO(TCvHeader, "ConvTest", ZELK_PROP(session), ZELK_PROP(node))

TCvRecord::~TCvRecord() {
  delete child;
  delete amount;
}

ZELK_INTERFACE_INFO(
    ICvService, IInvokable, "ConvTest",
    ZELK_METHOD("Ping", ccStdCall, nullptr),
    ZELK_METHOD("OnlyOut", ccStdCall, nullptr, ZELK_PARAM(pfOut, "n", int32_t)),
    ZELK_METHOD("Scalars", ccStdCall, nullptr, ZELK_PARAM(0, "flag", bool), ZELK_PARAM(0, "count", int32_t),
                ZELK_PARAM(0, "ratio", double), ZELK_PARAM(pfConst, "text", WideString),
                ZELK_PARAM(0, "color", TCvColor), ZELK_PARAM(0, "big", int64_t), ZELK_PARAM(0, "letter", char16_t)),
    ZELK_METHOD("Nodes", ccStdCall, nullptr, ZELK_PARAM(0, "a", TCvNode*), ZELK_PARAM(0, "b", TCvNode*)),
    ZELK_METHOD("Arrays", ccStdCall, nullptr, ZELK_PARAM(pfConst, "ints", TIntegerDynArray),
                ZELK_PARAM(pfConst, "matrix", TCvIntMatrix), ZELK_PARAM(pfConst, "bytes", TByteDynArray),
                ZELK_PARAM(pfConst, "strs", TStringDynArray)),
    ZELK_METHOD("Record", ccStdCall, nullptr, ZELK_PARAM(0, "r", TCvRecord*)),
    ZELK_METHOD("Anything", ccStdCall, nullptr, ZELK_PARAM(pfConst, "v", Variant)),
    ZELK_METHOD("Colors", ccStdCall, nullptr, ZELK_PARAM(0, "c", TCvColors)),
    ZELK_METHOD("Plain", ccStdCall, nullptr, ZELK_PARAM(0, "p", TCvPlain*)),
    ZELK_METHOD("GetNode", ccStdCall, TypeInfo<TCvNode*>()),
    ZELK_METHOD("Exchange", ccStdCall, TypeInfo<WideString>(), ZELK_PARAM(pfVar, "s", WideString),
                ZELK_PARAM(pfOut, "n", int32_t), ZELK_PARAM(pfConst, "input", WideString)),
    ZELK_METHOD("GetInts", ccStdCall, TypeInfo<TIntegerDynArray>()),
    ZELK_METHOD("GetVariant", ccStdCall, TypeInfo<Variant>()),
    ZELK_METHOD("GetRecord", ccStdCall, TypeInfo<TCvRecord*>()),
    ZELK_METHOD("GetMatrix", ccStdCall, TypeInfo<TCvIntMatrix>()),
    ZELK_METHOD("GetNodes", ccStdCall, TypeInfo<TCvNodeArray>()),
    ZELK_METHOD("GetBytes", ccStdCall, TypeInfo<TByteDynArray>()),
    ZELK_METHOD("GetText", ccStdCall, TypeInfo<WideString>()),
    ZELK_METHOD("GetInlineInts", ccStdCall, TypeInfo<TCvInlineInts>()),
    ZELK_METHOD("Bad", ccStdCall, nullptr, ZELK_PARAM(0, "b", TCvBadMember*)),
    ZELK_METHOD("GetColor", ccStdCall, TypeInfo<TCvColor>()),
    ZELK_METHOD("Shapes", ccStdCall, nullptr, ZELK_PARAM(0, "a", TCvAmount*), ZELK_PARAM(0, "m", TCvLabelled*),
                ZELK_PARAM(0, "b", TCvBag*), ZELK_PARAM(0, "i", TCvInline*)),
    ZELK_METHOD("GetLabelled", ccStdCall, TypeInfo<TCvLabelled*>()),
    ZELK_METHOD("GetBag", ccStdCall, TypeInfo<TCvBag*>()),
    ZELK_METHOD("GetAmount", ccStdCall, TypeInfo<TCvAmount*>()),
    ZELK_METHOD("GetBad", ccStdCall, TypeInfo<TCvBadMember*>()))

void RegisterConvTestTypes() {
  static std::once_flag once;
  std::call_once(once, [] {
    TInvokableClassRegistry* inv = GetInvokableRegistry();
    TRemotableTypeRegistry* types = GetTypeRegistry();
    inv->AddInterface(TypeInfo<ICvService>(), kCvNamespace);
    types->AddClass(&TCvNode::StaticClass(), kCvNamespace, u"Node");
    types->AddClass(&TCvRecord::StaticClass(), kCvNamespace, u"Record");
    types->AddExternalPropertyName(TypeInfo<TCvRecord*>(), "text", u"Text");
    types->AddClass(&TCvInline::StaticClass(), kCvNamespace, u"Inline", u"", false, ocNoMultiRef);
    types->AddClass(&TCvFault::StaticClass(), kCvNamespace, u"CvFault");
    types->AddClass(&TCvAmount::StaticClass(), kCvNamespace, u"Amount");
    types->SetSerializationOptions(&TCvAmount::StaticClass(), 1u << xoSimpleTypeWrapper);
    types->AddClass(&TCvLabelled::StaticClass(), kCvNamespace, u"Labelled");
    types->AddClass(&TCvBag::StaticClass(), kCvNamespace, u"Bag");
    types->AddClass(&TCvHeader::StaticClass(), kCvNamespace, u"CvHeader");
    types->AddType(TypeInfo<TCvColor>(), kCvNamespace, u"Color");
    types->AddExternalPropertyName(TypeInfo<TCvColor>(), "cvRed", u"red");
    types->AddExternalPropertyName(TypeInfo<TCvColor>(), "cvGreen", u"green");
    types->AddExternalPropertyName(TypeInfo<TCvColor>(), "cvBlue", u"blue");
    types->AddType(TypeInfo<TCvNodeArray>(), kCvNamespace, u"NodeArray");
    types->AddType(TypeInfo<TCvIntMatrix>(), kCvNamespace, u"IntMatrix");
    types->AddType(TypeInfo<TCvInlineInts>(), kCvNamespace, u"InlineInts");
    types->SetSerializationOptions(TypeInfo<TCvInlineInts>(), 1u << xoInlineArrays);
  });
}

const TIntfMetaData& CvMetaData() {
  static const TIntfMetaData md = [] {
    RegisterConvTestTypes();
    TIntfMetaData m;
    GetIntfMetaData(TypeInfo<ICvService>(), m, true);
    return m;
  }();
  return md;
}


std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  std::string s = out.str();
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

std::string AfterDeclaration(const std::string& xml) {
  if (xml.rfind("<?xml", 0) != 0) return xml;
  size_t end = xml.find("?>");
  return end == std::string::npos ? xml : xml.substr(end + 2);
}

std::string BodyContent(const std::string& xml) {
  size_t open = xml.find("<SOAP-ENV:Body");
  if (open == std::string::npos) return {};
  open = xml.find('>', open) + 1;
  size_t close = xml.rfind("</SOAP-ENV:Body>");
  return close == std::string::npos || close < open ? std::string() : xml.substr(open, close - open);
}

void DeleteGraph(TCvNode* first) {
  std::unordered_set<TCvNode*> seen;
  for (TCvNode* n = first; n && seen.insert(n).second; n = n->Next()) {
  }
  for (TCvNode* n : seen) delete n;
}
