// Request encoding: envelopes compared as text.
#include <gtest/gtest.h>

#include <filesystem>

#include "binding/ZelkDistance1.h"
#include "soap/OPToSOAPDomConv.h"
#include "soap/TypeTrans.h"
#include "tests/soap/ConvTestTypes.h"

namespace {

const std::string kDataDir = ZELK_CONVERT_TEST_DATA;
const std::string kSamplesDir = ZELK_DISTANCE_SAMPLES;

const std::string kEnvelopeOpen =
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\">";

class RequestTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterConvTestTypes(); }

  // The whole request of `method`, one argument pointer per parameter.
  std::string Build(const TIntfMetaData& md, int method, std::vector<void*> args, THeaderList* headers = nullptr) {
    TInvContext context;
    context.SetMethodInfo(md.MDA[static_cast<size_t>(method)]);
    for (size_t i = 0; i < args.size(); ++i) context.SetParamPointer(static_cast<int>(i), args[i]);
    std::unique_ptr<TStream> s = converter->BuildRequest(md, method, context, headers);
    EXPECT_EQ(s->Position(), s->Size());
    return static_cast<TMemoryStream&>(*s).DataString();
  }
  std::string Body(int method, std::vector<void*> args) { return BodyContent(Build(CvMetaData(), method, args)); }

  void SetOption(TSOAPConvertOption o, bool on) { converter->SetOptions(converter->Options().Set(o, on)); }

  TOPToSoapDomConvert* converter = new TOPToSoapDomConvert();
  TIntfPtr<IOPConvert> reference{static_cast<IOPConvert*>(converter)};
};

const std::string kNodeType = " xsi:type=\"NS2:Node\"";

std::string NodeMembers(int value, const std::string& label, const std::string& next) {
  return "<value xsi:type=\"xsd:int\">" + std::to_string(value) + "</value><label xsi:type=\"xsd:string\">" + label +
         "</label>" + next;
}

TEST_F(RequestTest, DistanceRequestMatchesTheWorkedExample) {
  WideString pin = u"1234", access = u"ZELK-ACCESS", code = u"003";
  ArrayOf_xsd_string ports{u"Busan", u"London", u"Mobile"};
  std::string xml = Build(ZelkDistanceMetaData(), 3, {&pin, &access, &ports, &code});
  EXPECT_EQ(xml.rfind("<?xml version=\"1.0\"?>", 0), 0u) << xml;
  EXPECT_EQ(AfterDeclaration(xml), ReadTextFile(kDataDir + "/distance-request.xml"));
}

// The requests the real service answered (captured next to it) are what the encoder writes.
TEST_F(RequestTest, DistanceRequestsMatchTheOnesTheServiceAnswered) {
  int compared = 0;
  for (int option = 1; option <= 5; ++option) {
    std::string path = kSamplesDir + "/request-00" + std::to_string(option) + ".xml";
    if (!std::filesystem::exists(path)) continue;
    SCOPED_TRACE(path);
    WideString pin = u"QXVJ", access = u"QXVJ", code = u"00" + Utf8ToUtf16(std::to_string(option));
    ArrayOf_xsd_string ports{u"Busan", u"London", u"Mobile"};
    EXPECT_EQ(Build(ZelkDistanceMetaData(), 3, {&pin, &access, &ports, &code}), ReadTextFile(path));
    ++compared;
  }
  if (compared == 0) GTEST_SKIP() << "no captured requests in " << kSamplesDir;
}

TEST_F(RequestTest, ScalarsAreTypedAndServiceTypesAreDeclaredOnTheBody) {
  bool flag = true;
  int32_t count = -42;
  double ratio = 0.1;
  WideString text = u"a<b & \u00e9";
  TCvColor color = cvBlue;
  int64_t big = 9007199254740993;
  char16_t letter = u'Z';
  std::string xml = Build(CvMetaData(), cvScalars, {&flag, &count, &ratio, &text, &color, &big, &letter});
  EXPECT_EQ(AfterDeclaration(xml),
            kEnvelopeOpen +
                "<SOAP-ENV:Body xmlns:NS2=\"urn:conv-test\" "
                "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
                "<NS1:Scalars xmlns:NS1=\"urn:conv-test\"><flag xsi:type=\"xsd:boolean\">true</flag>"
                "<count xsi:type=\"xsd:int\">-42</count><ratio xsi:type=\"xsd:double\">0.1</ratio>"
                "<text xsi:type=\"xsd:string\">a&lt;b &amp; \u00e9</text><color xsi:type=\"NS2:Color\">blue</color>"
                "<big xsi:type=\"xsd:long\">9007199254740993</big><letter xsi:type=\"xsd:string\">Z</letter>"
                "</NS1:Scalars></SOAP-ENV:Body></SOAP-ENV:Envelope>");
}

TEST_F(RequestTest, MethodsWithoutInputGiveAnEmptyMethodElement) {
  int32_t n = 5;
  int32_t* ref = &n;
  EXPECT_EQ(Body(cvPing, {}), "<NS1:Ping xmlns:NS1=\"urn:conv-test\"/>");
  EXPECT_EQ(Body(cvOnlyOut, {&ref}), "<NS1:OnlyOut xmlns:NS1=\"urn:conv-test\"/>");
}

TEST_F(RequestTest, ObjectsBecomeMultiRefElementsAfterTheMethodElement) {
  auto* a = new TCvNode;
  auto* c = new TCvNode;
  a->value = 1;
  a->label = u"a";
  c->value = 2;
  c->label = u"c";
  TCvNode* none = nullptr;
  const std::string open = "<NS1:Nodes xmlns:NS1=\"urn:conv-test\">";
  struct Case {
    const char* name;
    std::function<void()> arrange;
    TCvNode** first;
    TCvNode** second;
    std::string expected;
  };
  const Case cases[] = {
      {"two parameters share one element", [&] { a->next = nullptr; }, &a, &a,
       open + "<a href=\"#1\"/><b href=\"#1\"/></NS1:Nodes><NS2:Node id=\"1\"" + kNodeType + ">" +
           NodeMembers(1, "a", "<next xsi:nil=\"true\"/>") + "</NS2:Node>"},
      {"an object referring to itself", [&] { a->next = a; }, &a, &none,
       open + "<a href=\"#1\"/><b xsi:nil=\"true\"/></NS1:Nodes><NS2:Node id=\"1\"" + kNodeType + ">" +
           NodeMembers(1, "a", "<next href=\"#1\"/>") + "</NS2:Node>"},
      {"a chain, in order of creation", [&] { a->next = c; }, &a, &c,
       open + "<a href=\"#1\"/><b href=\"#2\"/></NS1:Nodes><NS2:Node id=\"1\"" + kNodeType + ">" +
           NodeMembers(1, "a", "<next href=\"#2\"/>") + "</NS2:Node><NS2:Node id=\"2\"" + kNodeType + ">" +
           NodeMembers(2, "c", "<next xsi:nil=\"true\"/>") + "</NS2:Node>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    EXPECT_EQ(Body(cvNodes, {c.first, c.second}), c.expected);
  }

  SetOption(soSendMultiRefObj, false);
  a->next = c;
  EXPECT_EQ(Body(cvNodes, {&a, &none}),
            open + "<a" + kNodeType + ">" +
                NodeMembers(1, "a", "<next" + kNodeType + ">" + NodeMembers(2, "c", "<next xsi:nil=\"true\"/>") +
                                        "</next>") +
                "</a><b xsi:nil=\"true\"/></NS1:Nodes>");
  a->next = a;
  try {
    Body(cvNodes, {&a, &none});
    ADD_FAILURE() << "a cycle written inline";
  } catch (const ESOAPDomConvertError& e) {
    EXPECT_STREQ(e.what(), "Must enable multiref output for objects when serializing a graph of objects - (TCvNode)");
  }
  delete a;
  delete c;
}

TEST_F(RequestTest, IdsStartAtOneInEveryRequestEvenAfterAFailure) {
  auto* a = new TCvNode;
  a->next = a;
  TCvNode* none = nullptr;
  SetOption(soSendMultiRefObj, false);
  EXPECT_THROW(Body(cvNodes, {&a, &none}), ESOAPDomConvertError);
  SetOption(soSendMultiRefObj, true);
  for (int i = 0; i < 2; ++i) {
    std::string body = Body(cvNodes, {&a, &none});
    EXPECT_NE(body.find("<NS2:Node id=\"1\""), std::string::npos) << body;
    EXPECT_EQ(body.find("id=\"2\""), std::string::npos) << body;
  }
  delete a;
}

TEST_F(RequestTest, ArraysInTheirRectangularAndNestedForms) {
  const std::string open = "<NS1:Arrays xmlns:NS1=\"urn:conv-test\">";
  auto array = [](const std::string& name, const std::string& type, const std::string& items) {
    std::string attrs = " xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"" + type + "\"";
    return "<" + name + attrs + (items.empty() ? "/>" : ">" + items + "</" + name + ">");
  };
  struct Case {
    const char* name;
    TIntegerDynArray ints;
    TCvIntMatrix matrix;
    TByteDynArray bytes;
    TStringDynArray strs;
    TSOAPConvertOptions extra;
    std::string expected;
  };
  const Case cases[] = {
      {"rectangular, row-major; an empty byte array is nil",
       {1, 2, 3},
       {{1, 2, 3}, {4, 5, 6}},
       {},
       {"x"},
       {},
       open + array("ints", "xsd:int[3]", "<item>1</item><item>2</item><item>3</item>") +
           array("matrix", "xsd:int[2,3]",
                 "<item>1</item><item>2</item><item>3</item><item>4</item><item>5</item><item>6</item>") +
           "<bytes xsi:nil=\"true\"/>" + array("strs", "xsd:string[1]", "<item>x</item>") + "</NS1:Arrays>"},
      {"jagged arrays nest; bytes are Base64; empty arrays say [0]",
       {},
       {{1}, {2, 3}},
       {'h', 'i'},
       {},
       {},
       open + array("ints", "xsd:int[0]", "") +
           array("matrix", "xsd:int[][2]",
                 array("item", "xsd:int[1]", "<item>1</item>") + array("item", "xsd:int[2]", "<item>2</item><item>3</item>")) +
           "<bytes xsi:type=\"xsd:base64Binary\">aGk=</bytes>" + array("strs", "xsd:string[0]", "") + "</NS1:Arrays>"},
      {"a nested level is nil only when it is empty",
       {},
       {{0, 1}, {}},
       {},
       {},
       {},
       open + array("ints", "xsd:int[0]", "") +
           array("matrix", "xsd:int[][2]",
                 array("item", "xsd:int[2]", "<item>0</item><item>1</item>") + "<item xsi:nil=\"true\"/>") +
           "<bytes xsi:nil=\"true\"/>" + array("strs", "xsd:string[0]", "") + "</NS1:Arrays>"},
      {"leading empty dimensions",
       {},
       {},
       {},
       {},
       {},
       open + array("ints", "xsd:int[0]", "") + array("matrix", "xsd:int[][0]", "") + "<bytes xsi:nil=\"true\"/>" +
           array("strs", "xsd:string[0]", "") + "</NS1:Arrays>"},
      {"empty arrays left out",
       {},
       {},
       {},
       {},
       {soDontSendEmptyNodes},
       open + "<bytes xsi:nil=\"true\"/></NS1:Arrays>"},
      {"untyped arrays nest without array types",
       {1, 2},
       {{7}},
       {},
       {},
       {soSendUntyped},
       open + "<ints xsi:type=\"SOAP-ENC:Array\"><item>1</item><item>2</item></ints>" +
           "<matrix xsi:type=\"SOAP-ENC:Array\"><item xsi:type=\"SOAP-ENC:Array\"><item>7</item></item></matrix>" +
           "<bytes xsi:nil=\"true\"/><strs xsi:type=\"SOAP-ENC:Array\"/></NS1:Arrays>"},
      {"multi-reference arrays",
       {7},
       {},
       {},
       {},
       {soSendMultiRefArray},
       open + "<xsd:ints href=\"#1\"/><xsd:matrix href=\"#2\"/><bytes xsi:nil=\"true\"/><xsd:strs href=\"#3\"/>" +
           "</NS1:Arrays>" + "<SOAP-ENC:Array id=\"1\" xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"xsd:int[1]\">" +
           "<item>7</item></SOAP-ENC:Array>" +
           "<SOAP-ENC:Array id=\"2\" xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"xsd:int[][0]\"/>" +
           "<SOAP-ENC:Array id=\"3\" xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"xsd:string[0]\"/>"},
  };
  const TSOAPConvertOptions defaults = converter->Options();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    converter->SetOptions(defaults + c.extra);
    TIntegerDynArray ints = c.ints;
    TCvIntMatrix matrix = c.matrix;
    TByteDynArray bytes = c.bytes;
    TStringDynArray strs = c.strs;
    EXPECT_EQ(Body(cvArrays, {&ints, &matrix, &bytes, &strs}), c.expected);
  }
}

TEST_F(RequestTest, MembersFollowTheirFlagsAndRegisteredNames) {
  auto* r = new TCvRecord;
  r->key = u"k1";
  r->count = 3;
  r->ratio = 2.5;
  r->color = cvGreen;
  r->big = -1;
  r->letter = u'Q';
  r->text = u"hello";
  r->numbers = {4};
  r->extra = Variant(int32_t{5});
  r->amount = new TXSDecimal;
  r->amount->SetValue("12.50");
  const std::string head = "<NS1:Record xmlns:NS1=\"urn:conv-test\"><r href=\"#1\"/></NS1:Record>"
                           "<NS2:Record id=\"1\" xsi:type=\"NS2:Record\" key=\"k1\"><count xsi:type=\"xsd:int\">3</count>"
                           "<ratio xsi:type=\"xsd:double\">2.5</ratio><flag xsi:type=\"xsd:boolean\">false</flag>"
                           "<color xsi:type=\"NS2:Color\">green</color><big xsi:type=\"xsd:long\">-1</big>"
                           "<letter xsi:type=\"xsd:string\">Q</letter><Text xsi:type=\"xsd:string\">hello</Text>";
  const std::string tail = "<numbers xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"xsd:int[1]\"><item>4</item>"
                           "</numbers><extra xsi:type=\"xsd:int\">5</extra>"
                           "<amount xsi:type=\"xsd:decimal\">12.50</amount>";
  EXPECT_EQ(Body(cvRecord, {&r}), head + "<child xsi:nil=\"true\"/>" + tail + "</NS2:Record>");

  // Without empty nodes the nil child goes, and a stored optional member comes.
  SetOption(soDontSendEmptyNodes, true);
  r->optionalValue = 7;
  EXPECT_EQ(Body(cvRecord, {&r}),
            head + tail + "<optionalValue xsi:type=\"xsd:int\">7</optionalValue></NS2:Record>");
  delete r;
}

TEST_F(RequestTest, RegistrationAndMemberFlagsShapeObjects) {
  auto* a = new TCvAmount;
  a->value = 2.5;
  auto* m = new TCvLabelled;
  m->unit = u"kg";
  m->amount = 1.5;
  auto* b = new TCvBag;
  b->values = {1, 2};
  b->note = u"n";
  auto* i = new TCvInline;
  i->value = 7;
  // The wrapper and the class that forbids references are inline; the others are referenced.
  EXPECT_EQ(Body(cvShapes, {&a, &m, &b, &i}),
            "<NS1:Shapes xmlns:NS1=\"urn:conv-test\"><a xsi:type=\"NS2:Amount\">2.5</a><m href=\"#2\"/>"
            "<b href=\"#3\"/><i xsi:type=\"NS2:Inline\"><value xsi:type=\"xsd:int\">7</value><next xsi:nil=\"true\"/>"
            "</i></NS1:Shapes><NS2:Labelled id=\"2\" xsi:type=\"NS2:Labelled\" unit=\"kg\">1.5</NS2:Labelled>"
            "<NS2:Bag id=\"3\" xsi:type=\"NS2:Bag\" note=\"n\"><values>1</values><values>2</values></NS2:Bag>");
  delete a;
  delete m;
  delete b;
  delete i;
}

TEST_F(RequestTest, VariantsByTheirType) {
  struct Case {
    const char* name;
    Variant value;
    std::string expected;
  };
  const Case cases[] = {
      {"null", Variant::Null(), "<v xsi:nil=\"true\"/>"},
      {"empty", Variant(), "<v xsi:nil=\"true\"/>"},
      {"integer", Variant(int32_t{5}), "<v xsi:type=\"xsd:int\">5</v>"},
      {"text", Variant(std::u16string(u"x")), "<v xsi:type=\"xsd:string\">x</v>"},
      {"date-time", Variant(TDateTime(40392.5)),
       "<v xsi:type=\"xsd:dateTime\">" + Utf16ToUtf8(FormatXmlDateTime(TDateTime(40392.5))) + "</v>"},
      {"array", Variant::Array({Variant(int32_t{1}), Variant(std::u16string(u"a"))}),
       "<v xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"xsd:anyType[2]\" NS2:VarArrayType=\"12\">"
       "<item xsi:type=\"xsd:int\">1</item><item xsi:type=\"xsd:string\">a</item></v>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Variant v = c.value;
    EXPECT_EQ(Body(cvAnything, {&v}), "<NS1:Anything xmlns:NS1=\"urn:conv-test\">" + c.expected + "</NS1:Anything>");
  }
}

TEST_F(RequestTest, ValuesWithoutAnXmlFormAreRefused) {
  TCvColors colors{cvRed};
  auto* plain = new TCvPlain;
  auto* bad = new TCvBadMember;
  Variant dispatch = Variant::OfType(varDispatch);
  Variant unknown = Variant::OfType(varUnknown);
  struct Case {
    const char* name;
    int method;
    void* arg;
    std::string message;
  };
  const Case cases[] = {
      {"a set", cvColors, &colors, "Datatype of TypeKind: Set not supported as argument for remote invocation"},
      {"a class not derived from TRemotable", cvPlain, &plain,
       "Conversion from class TCvPlain to SOAP is not supported - SOAP classes must derive from TRemotable"},
      {"a member without text form", cvBad, &bad,
       "Internal error: data type kind Set:(TCvColors)  cannot be converted to and from text"},
      {"a dispatch variant", cvAnything, &dispatch, "varDispatch type not supported"},
      {"a variant of unknown type", cvAnything, &unknown, "Unsuppported variant type 13"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      Body(c.method, {c.arg});
      ADD_FAILURE() << "no error";
    } catch (const ESOAPDomConvertError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
  delete plain;
  delete bad;
}

TEST_F(RequestTest, HeaderObjectsAreWrittenInline) {
  THeaderList headers(true);
  auto* h = new TCvHeader;
  h->session = u"s1";
  h->node = new TCvNode;
  h->node->value = 9;
  h->node->label = u"n";
  headers.Add(h);
  std::string xml = AfterDeclaration(Build(CvMetaData(), cvPing, {}, &headers));
  EXPECT_EQ(xml, kEnvelopeOpen +
                     "<SOAP-ENV:Header xmlns:NS1=\"urn:conv-test\" "
                     "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
                     "<TCvHeader xsi:type=\"NS1:CvHeader\"><session xsi:type=\"xsd:string\">s1</session>"
                     "<node xsi:type=\"NS1:Node\">" +
                     NodeMembers(9, "n", "<next xsi:nil=\"true\"/>") +
                     "</node></TCvHeader></SOAP-ENV:Header>"
                     "<SOAP-ENV:Body SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
                     "<NS2:Ping xmlns:NS2=\"urn:conv-test\"/></SOAP-ENV:Body></SOAP-ENV:Envelope>");
}

TEST_F(RequestTest, DocumentStyleAndLiteralParameters) {
  bool flag = true;
  int32_t count = 2;
  double ratio = 1;
  WideString text = u"t";
  TCvColor color = cvRed;
  int64_t big = 3;
  char16_t letter = u'L';
  std::vector<void*> args{&flag, &count, &ratio, &text, &color, &big, &letter};
  const std::string open =
      "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
      "<SOAP-ENV:Body>";
  SetOption(soDocument, true);
  EXPECT_EQ(AfterDeclaration(Build(CvMetaData(), cvScalars, args)),
            open +
                "<Scalars xmlns=\"urn:conv-test\"><flag>true</flag><count>2</count><ratio>1</ratio><text>t</text>"
                "<color>red</color><big>3</big><letter>L</letter></Scalars></SOAP-ENV:Body></SOAP-ENV:Envelope>");
  SetOption(soLiteralParams, true);
  EXPECT_EQ(AfterDeclaration(Build(CvMetaData(), cvScalars, args)),
            open +
                "<boolean>true</boolean><int>2</int><double>1</double><string>t</string><Color>red</Color>"
                "<long>3</long><string>L</string></SOAP-ENV:Body></SOAP-ENV:Envelope>");
}

TEST_F(RequestTest, ADeclaredEncodingIsTheEncodingOfTheBytes) {
  converter->SetEncoding(u"ISO-8859-1");
  WideString text = u"\u00e9";
  bool flag = false;
  int32_t count = 0;
  double ratio = 0;
  TCvColor color = cvRed;
  int64_t big = 0;
  char16_t letter = u'x';
  std::string bytes = Build(CvMetaData(), cvScalars, {&flag, &count, &ratio, &text, &color, &big, &letter});
  EXPECT_EQ(bytes.rfind("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", 0), 0u) << bytes;
  EXPECT_NE(bytes.find("<text xsi:type=\"xsd:string\">\xE9</text>"), std::string::npos) << bytes;
}

TEST(ConverterTest, DefaultsAndLifetime) {
  TComponent owner;
  auto* owned = new TOPToSoapDomConvert(&owner);
  EXPECT_EQ(owned->Options(), (TSOAPConvertOptions{soSendMultiRefObj, soTryAllSchema, soRootRefNodesToBody,
                                                    soCacheMimeResponse, soUTF8EncodeXML}));
  {
    TIntfPtr<IOPConvert> ref(static_cast<IOPConvert*>(owned));
    TIntfPtr<IObjConverter> other = Supports<IObjConverter>(ref.Get());
    EXPECT_TRUE(other);
  }
  // Releases do not end an owned converter; its owner does (checked by the sanitizers).
  owned->SetTempDir("/tmp/cache");
  EXPECT_EQ(owned->GetTempDir(), "/tmp/cache/");
}

}  // namespace
