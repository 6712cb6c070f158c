#include "soap/InvokeRegistry.h"

#include <gtest/gtest.h>

#include "soap/XSBuiltIns.h"

namespace {

const WideString kNs = u"http://test.example/registry";

class IPlain : public IInvokable {
  ZELK_INTERFACE(IPlain, "{0B7E1B10-1111-4A2B-8C3D-000000000001}")
};
class IWithAction : public IInvokable {
  ZELK_INTERFACE(IWithAction, "{0B7E1B10-1111-4A2B-8C3D-000000000002}")
};
class IUnnamed : public IInvokable {
  ZELK_INTERFACE(IUnnamed, "{0B7E1B10-1111-4A2B-8C3D-000000000003}")
};
class INoRtti : public IInvokable {
  ZELK_INTERFACE(INoRtti, "{0B7E1B10-1111-4A2B-8C3D-000000000004}")
};

enum TTone : uint8_t { toLow, toHigh };

class TParentThing : public TRemotable {
  ZELK_CLASS(TParentThing, TRemotable)
 public:
  WideString code_;
};
class TChildThing : public TParentThing {
  ZELK_CLASS(TChildThing, TParentThing)
 public:
  int32_t count = 0;
};
class TUnregisteredThing : public TRemotable {
  ZELK_CLASS(TUnregisteredThing, TRemotable)
};

ZELK_DYNARRAY(TToneArray, int32_t);
ZELK_DYNARRAY_INFO(TToneArray, "RegTest")

}  // namespace

ZELK_DECLARE_ENUM(TTone);
ZELK_ENUM_INFO(TTone, "ToneUnit", "toLow", "toHigh")

ZELK_INTERFACE_INFO(IPlain, IInvokable, "RegTest", ZELK_METHOD("ping", ccStdCall, nullptr))
ZELK_INTERFACE_INFO(IWithAction, IInvokable, "RegTest")
ZELK_INTERFACE_INFO(IUnnamed, IInvokable, "RegTest")
const TTypeInfo& INoRtti::StaticTypeInfo() {
  static const TTypeInfo ti =
      MakeInterfaceInfo("INoRtti", "RegTest", INoRtti::IID, &IInvokable::StaticTypeInfo(), false, {});
  return ti;
}
ZELK_CLASS_INFO(TParentThing, "RegTest", ZELK_PROP(code_))
ZELK_CLASS_INFO(TChildThing, "RegTest", ZELK_PROP(count))
ZELK_CLASS_INFO(TUnregisteredThing, "RegTest")

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto* inv = GetInvokableRegistry();
    inv->AddInterface(TypeInfo<IPlain>(), kNs, u"UTF-8");
    inv->AddInterface(TypeInfo<IWithAction>(), kNs);
    inv->SetDefaultSoapAction(TypeInfo<IWithAction>(), "urn:act/%operationName%");
    inv->AddInterface(TypeInfo<IUnnamed>(), u"");
    auto* types = GetTypeRegistry();
    types->AddClass(&TParentThing::StaticClass(), kNs, u"Parent");
    types->AddExternalPropertyName(TypeInfo<TParentThing*>(), "code_", u"code");
    types->AddClass(&TChildThing::StaticClass(), kNs, u"Child");
  }
};

TEST_F(RegistryTest, BothRegistriesComeTogetherWithBuiltIns) {
  ASSERT_NE(GetInvokableRegistry(), nullptr);
  ASSERT_NE(GetTypeRegistry(), nullptr);
  EXPECT_TRUE(GetTypeRegistry()->AutoRegister());
  // The first entry is the boolean type, the last three the wider booleans.
  auto entries = GetTypeRegistry()->Entries();
  ASSERT_GT(entries.size(), 60u);
  EXPECT_EQ(entries[0].Info, TypeInfo<bool>());
  EXPECT_EQ(entries[0].Name, u"boolean");
}

TEST_F(RegistryTest, BuiltInXmlNamesInTheSchemaNamespace) {
  auto* r = GetTypeRegistry();
  const WideString& xs = SXMLSchemaURI_2001;
  struct Row {
    const char16_t* name;
    PTypeInfo expected;
  };
  const Row rows[] = {
      {u"string", TypeInfo<std::string>()},
      {u"int", TypeInfo<int32_t>()},
      {u"boolean", TypeInfo<bool>()},
      {u"dateTime", &TXSDateTime::StaticClass().TypeInfo},
      {u"decimal", &TXSDecimal::StaticClass().TypeInfo},
      {u"double", TypeInfo<double>()},
      {u"long", TypeInfo<int64_t>()},
      {u"base64Binary", TypeInfo<TByteDynArray>()},
      {u"anyType", TypeInfo<Variant>()},
      {u"nonNegativeInteger", &TXSDecimal::StaticClass().TypeInfo},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(Utf16ToUtf8(row.name));
    EXPECT_EQ(r->TypeInfoOfXmlType(xs, row.name), row.expected);
  }
  EXPECT_EQ(r->TypeInfoOfXmlType(xs, u"String"), nullptr);  // case matters
  EXPECT_EQ(r->TypeInfoOfXmlType(SSoapEncodingURI, u"base64"), TypeInfo<TByteDynArray>());
  EXPECT_EQ(r->FindTypeByXmlName(u"urn:other", u"string"), nullptr);
  EXPECT_EQ(r->FindTypeByXmlName(xs, u"STRING"), nullptr);
}

TEST_F(RegistryTest, WritingNamesTakeTheFirstRegistration) {
  auto* r = GetTypeRegistry();
  struct Row {
    PTypeInfo type;
    const char16_t* uri;
    const char16_t* name;
    bool scalar;
  };
  const Row rows[] = {
      {TypeInfo<int64_t>(), u"http://www.w3.org/2001/XMLSchema", u"long", false},
      {TypeInfo<std::string>(), u"http://www.w3.org/2001/XMLSchema", u"string", false},
      {TypeInfo<WideString>(), u"http://www.w3.org/2001/XMLSchema", u"string", false},
      {&TXSDateTime::StaticClass().TypeInfo, u"http://www.w3.org/2001/XMLSchema", u"dateTime", true},
      {&TXSDecimal::StaticClass().TypeInfo, u"http://www.w3.org/2001/XMLSchema", u"decimal", true},
      {TypeInfo<TChildThing*>(), u"http://test.example/registry", u"Child", false},
      {TypeInfo<TStringDynArray>(), u"http://soap.quorand.example/namespaces/Types", u"TStringDynArray", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.type->Name);
    TXmlTypeName n = r->XmlNameOfType(row.type);
    EXPECT_TRUE(n.Found);
    EXPECT_EQ(n.URI, row.uri);
    EXPECT_EQ(n.Name, row.name);
    EXPECT_EQ(n.IsScalar, row.scalar);
  }
}

TEST_F(RegistryTest, AliasesMatchByKindAndName) {
  // A record named like a native type finds the entry of the type it stands for.
  TTypeInfo cint = *TypeInfo<int32_t>();
  cint.Name = "int";
  TTypeInfo cfloat = *TypeInfo<float>();
  cfloat.Name = "float";
  TTypeInfo wrongKind = *TypeInfo<double>();
  wrongKind.Name = "int";  // same name, other kind: no match, so it is auto-registered
  auto* r = GetTypeRegistry();
  EXPECT_EQ(r->XmlNameOfType(&cint).Name, u"int");
  EXPECT_EQ(r->XmlNameOfType(&cfloat).Name, u"float");
  TXmlTypeName n = r->XmlNameOfType(&wrongKind);
  EXPECT_EQ(n.URI, u"urn:");
  EXPECT_EQ(n.Name, u"int");
}

TEST_F(RegistryTest, AutoRegistrationUsesDefaultNames) {
  auto* r = GetTypeRegistry();
  TXmlTypeName e = r->XmlNameOfType(TypeInfo<TTone>());
  EXPECT_EQ(e.URI, u"urn:ToneUnit");
  EXPECT_EQ(e.Name, u"TTone");
  EXPECT_EQ(r->FindTypeByXmlName(u"urn:ToneUnit", u"TTone"), TypeInfo<TTone>());

  TXmlTypeName c = r->XmlNameOfClass(&TUnregisteredThing::StaticClass());
  EXPECT_EQ(c.URI, u"urn:RegTest");
  EXPECT_EQ(c.Name, u"TUnregisteredThing");

  TXmlTypeName a = r->XmlNameOfType(TypeInfo<TToneArray>());
  EXPECT_EQ(a.URI, u"urn:RegTest");
  EXPECT_EQ(a.Name, u"TToneArray");

  size_t before = r->Entries().size();
  r->XmlNameOfType(TypeInfo<TTone>());
  EXPECT_EQ(r->Entries().size(), before);
}

TEST_F(RegistryTest, RepeatedRegistrationAddsNothingButAliasesDo) {
  auto* r = GetTypeRegistry();
  size_t before = r->Entries().size();
  r->AddClass(&TChildThing::StaticClass(), kNs, u"Child");
  EXPECT_EQ(r->Entries().size(), before);
  r->AddClass(&TChildThing::StaticClass(), kNs, u"ChildAlias");
  EXPECT_EQ(r->Entries().size(), before + 1);
  EXPECT_EQ(r->XmlNameOfClass(&TChildThing::StaticClass()).Name, u"Child");
  EXPECT_EQ(r->FindClassByXmlName(kNs, u"ChildAlias"), &TChildThing::StaticClass());
}

// Answers look classes up by the UTF-8 names they hold: the same entries as by UTF-16 names,
// and a registration made after a lookup is seen by the next one.
TEST_F(RegistryTest, Utf8LookupsFollowRegistrations) {
  auto* r = GetTypeRegistry();
  const std::string ns = Utf16ToUtf8(kNs);
  EXPECT_EQ(r->FindClassByXmlName(ns, "Child"), &TChildThing::StaticClass());
  EXPECT_EQ(r->FindClassByXmlName(ns, "Kind\xC3\xA9"), nullptr);
  r->AddClass(&TChildThing::StaticClass(), kNs, u"Kind\u00e9");
  EXPECT_EQ(r->FindClassByXmlName(ns, "Kind\xC3\xA9"), &TChildThing::StaticClass());
  EXPECT_EQ(r->FindClassByXmlName(kNs, u"Kind\u00e9"), &TChildThing::StaticClass());
  EXPECT_EQ(r->FindClassByXmlName("urn:other", "Kind\xC3\xA9"), nullptr);
  bool scalar = true;
  EXPECT_EQ(r->FindClassByXmlName("http://www.w3.org/2001/XMLSchema", "int", &scalar), nullptr);
  EXPECT_FALSE(scalar);
}

TEST_F(RegistryTest, ExternalPropertyNamesFollowTheParentClass) {
  auto* r = GetTypeRegistry();
  EXPECT_EQ(r->ExternalPropertyName(TypeInfo<TParentThing*>(), "code_"), u"code");
  EXPECT_EQ(r->ExternalPropertyName(TypeInfo<TChildThing*>(), "code_"), u"code");
  EXPECT_EQ(r->ExternalPropertyName(TypeInfo<TChildThing*>(), "count"), u"count");
  EXPECT_EQ(r->InternalPropertyName(TypeInfo<TParentThing*>(), u"code"), "code_");
  EXPECT_EQ(r->InternalPropertyName(TypeInfo<TParentThing*>(), u"other"), "other");
}

TEST_F(RegistryTest, SoapActionRules) {
  auto* inv = GetInvokableRegistry();
  EXPECT_EQ(inv->GetSoapAction(TypeInfo<IWithAction>(), u"getDistance", 3), "urn:act/getDistance");
  EXPECT_EQ(inv->GetSoapAction(TypeInfo<IWithAction>(), u"", -1), "urn:act/%operationName%");
  EXPECT_EQ(inv->GetSoapAction(TypeInfo<IPlain>(), u"ping", 3), "http://test.example/registry#ping");
  EXPECT_EQ(inv->GetSoapActionOfGuid(IPlain::IID), "http://test.example/registry#");
  EXPECT_EQ(inv->GetSoapAction(TypeInfo<INoRtti>(), u"x", 3), "");
  EXPECT_EQ(inv->GetNamespaceOfGuid(IUnnamed::IID), "urn:RegTest-IUnnamed");
  EXPECT_EQ(inv->GetInvokeOptions(TypeInfo<IWithAction>()), kHasDefaultAction | kHasNamespace);
  EXPECT_EQ(inv->GetInvokeOptions(IUnnamed::IID), 0);
  EXPECT_EQ(inv->FindInterfaceByGuid(IPlain::IID), TypeInfo<IPlain>());
  EXPECT_EQ(inv->GetReturnNames(TypeInfo<IPlain>()), u"Result;Return");
}

TEST_F(RegistryTest, InvokeOptionsByOrdinal) {
  auto* inv = GetInvokableRegistry();
  inv->AddInvokeOption(TypeInfo<IUnnamed>(), ioDocument);
  inv->AddInvokeOption(TypeInfo<IUnnamed>(), ioLiteral);
  EXPECT_EQ(inv->GetInvokeOptions(TypeInfo<IUnnamed>()), kDocumentStyle | kLiteralParams);
  inv->SetInvokeOptions(TypeInfo<IUnnamed>(), 0);
  EXPECT_EQ(inv->GetInvokeOptions(TypeInfo<IUnnamed>()), 0);
}

TEST_F(RegistryTest, InterfaceWithoutMetadataIsRefused) {
  auto* inv = GetInvokableRegistry();
  size_t before = inv->Count();
  try {
    inv->AddInterface(TypeInfo<INoRtti>(), kNs);
    FAIL();
  } catch (const EInterfaceRTTIException& e) {
    EXPECT_EQ(e.Message(), "Interface RegTest.INoRtti has no RTTI");
  }
  EXPECT_EQ(inv->Count(), before);
  inv->AddInterface(TypeInfo<IPlain>(), u"urn:again");  // repeated: ignored
  EXPECT_EQ(inv->Count(), before);
}

TEST_F(RegistryTest, VariantTypes) {
  auto* r = GetTypeRegistry();
  EXPECT_EQ(r->TypeInfoOfVariant(Variant(int32_t{1})), TypeInfo<int32_t>());
  EXPECT_EQ(r->TypeInfoOfVariant(Variant(Currency{1})), TypeInfo<double>());
  EXPECT_EQ(r->TypeInfoOfVariant(Variant(std::string("x"))), TypeInfo<WideString>());
  EXPECT_EQ(r->TypeInfoOfVariant(Variant(TDateTime(1.0))), &TXSDateTime::StaticClass().TypeInfo);
  struct Row {
    TVarType code;
    const char* message;
  };
  const Row rows[] = {
      {varEmpty, "Unsuppported variant type 0"},
      {varNull, "Unsuppported variant type 1"},
      {varUnknown, "Unsuppported variant type 13"},
      {varDispatch, "varDispatch type not supported"},
      {varError, "varError type not supported"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    try {
      r->TypeInfoOfVariant(Variant::OfType(row.code));
      ADD_FAILURE();
    } catch (const ETypeRegistryException& e) {
      EXPECT_EQ(e.Message(), row.message);
    }
  }
}

}  // namespace
