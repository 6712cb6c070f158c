// Response decoding: answers of the real distance service, multi-reference documents, faults,
// headers, and hostile input.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <functional>
#include <filesystem>
#include <unordered_set>

#include "binding/ZelkDistance1.h"
#include "soap/OPToSOAPDomConv.h"
#include "soap/TypeTrans.h"
#include "tests/soap/ConvTestTypes.h"

namespace {

const std::string kDataDir = ZELK_CONVERT_TEST_DATA;
const std::string kSamplesDir = ZELK_DISTANCE_SAMPLES;

std::string U8(const WideString& w) { return Utf16ToUtf8(w); }

std::string Envelope(const std::string& body, const std::string& header = {}) {
  return "<?xml version=\"1.0\"?><soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
         "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
         "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\" xmlns:ns=\"urn:conv-test\">" +
         header + "<soapenv:Body>" + body + "</soapenv:Body></soapenv:Envelope>";
}

class ResponseTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterConvTestTypes(); }

  // Reads `xml` as the answer to `method` of `md`.
  void Read(const std::string& xml, const TIntfMetaData& md, int method, void* result,
            std::vector<void*> args = {}, THeaderList* headers = nullptr) {
    const TIntfMethEntry& me = md.MDA[static_cast<size_t>(method)];
    TInvContext context;
    context.SetMethodInfo(me);
    context.SetResultPointer(result);
    for (size_t i = 0; i < args.size(); ++i) context.SetParamPointer(static_cast<int>(i), args[i]);
    TMemoryStream stream(xml);
    stream.Seek(0, TSeekOrigin::soEnd);  // the reader rewinds
    converter->ReadResponse(stream, md, me, context, headers);
  }
  void Read(const std::string& xml, int method, void* result, std::vector<void*> args = {}) {
    Read(xml, CvMetaData(), method, result, std::move(args));
  }

  TOPToSoapDomConvert* converter = new TOPToSoapDomConvert();
  TIntfPtr<IOPConvert> reference{static_cast<IOPConvert*>(converter)};
};

// ---- the distance service ----

std::string Grouped(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  std::string digits = buf;
  std::string sign = digits[0] == '-' ? "-" : "";
  digits.erase(0, sign.size());
  size_t dot = digits.find('.');
  std::string out;
  for (size_t i = 0; i < dot; ++i) {
    if (i > 0 && (dot - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return sign + out + digits.substr(dot);
}

// The report the desktop client prints, rebuilt from a decoded answer.
std::string Report(const GetDistReturn& r) {
  std::string out = "Return Code : " + std::to_string(r.retCode) + "\nReturn Message : " + U8(r.retMessage) +
                    "\nDay Limit : " + std::to_string(r.dayLimit) + "\nDay Used : " + std::to_string(r.todayUsed) +
                    "\nTotal Distance " + Grouped(r.totalDistance) + "\nTotal DistanceSECA " +
                    Grouped(r.totalDistanceSECA);
  for (const Section* s : r.sections) {
    out += "\n    >" + U8(s->fromPort) + " -> " + U8(s->toPort) + " [" + Grouped(s->distance) + "] [" +
           Grouped(s->distanceSECA) + "]";
    for (const WayPoint* w : s->waypoints)
      out += "\n        >>" + U8(w->name_) + ", [" + Grouped(w->lat) + ", " + Grouped(w->lon) + "] [" +
             (w->seca ? "True" : "False") + "]";
  }
  return out;
}

std::vector<std::string> Samples(const std::string& prefix) {
  std::vector<std::string> names;
  if (!std::filesystem::is_directory(kSamplesDir)) return names;
  for (const auto& e : std::filesystem::directory_iterator(kSamplesDir)) {
    std::string name = e.path().filename().string();
    if (name.rfind(prefix, 0) == 0 && e.path().extension() == ".xml") names.push_back(e.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(ResponseTest, AxisAnswersOfTheDistanceServiceGiveTheirReports) {
  std::vector<std::string> answers = Samples("answer-");
  if (answers.empty()) GTEST_SKIP() << "no captured answers in " << kSamplesDir;
  for (const std::string& name : answers) {
    SCOPED_TRACE(name);
    GetDistReturn* result = nullptr;
    WideString pin, access, code;
    ArrayOf_xsd_string ports;
    Read(ReadTextFile(kSamplesDir + "/" + name + ".xml"), ZelkDistanceMetaData(), 3, &result,
         {&pin, &access, &ports, &code});
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(Report(*result), ReadTextFile(kSamplesDir + "/" + name + ".report.txt"));
    delete result;
  }
}

TEST_F(ResponseTest, AxisFaultsOfTheDistanceServiceRaiseRemotableExceptions) {
  std::vector<std::string> faults = Samples("fault-");
  if (faults.empty()) GTEST_SKIP() << "no captured faults in " << kSamplesDir;
  for (const std::string& name : faults) {
    SCOPED_TRACE(name);
    GetDistReturn* result = nullptr;
    try {
      Read(ReadTextFile(kSamplesDir + "/" + name + ".xml"), ZelkDistanceMetaData(), 3, &result);
      ADD_FAILURE() << "no fault raised";
    } catch (const ERemotableException& e) {
      EXPECT_EQ("Fault : " + U8(e.FaultCode()) + "\nFault String : " + e.Message(),
                ReadTextFile(kSamplesDir + "/" + name + ".report.txt"));
      EXPECT_EQ(U8(e.FaultDetail()).rfind("<detail", 0), 0u);
    }
    EXPECT_EQ(result, nullptr);
  }
}

// ---- multi-reference documents ----

struct TNodes {
  TCvNodeArray items;
  ~TNodes() {
    std::unordered_set<TCvNode*> all;
    for (TCvNode* n : items)
      for (TCvNode* m = n; m && all.insert(m).second; m = m->Next()) {
      }
    for (TCvNode* n : all) delete n;
  }
};

TEST_F(ResponseTest, MultiRefDocuments) {
  struct Case {
    const char* file;
    std::function<void(const TCvNodeArray&)> check;
  };
  auto expectNode = [](const TCvNode* n, int value, const char* label) {
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->value, value);
    EXPECT_EQ(U8(n->label), label);
  };
  const Case cases[] = {
      {"multiref-forward.xml",
       [&](const TCvNodeArray& a) {
         ASSERT_EQ(a.size(), 2u);
         expectNode(a[0], 1, "first");
         expectNode(a[1], 2, "second");
         EXPECT_EQ(a[0]->Next(), a[1]);
         EXPECT_EQ(a[1]->next, nullptr);
       }},
      {"multiref-backward.xml",
       [&](const TCvNodeArray& a) {
         ASSERT_EQ(a.size(), 2u);
         expectNode(a[0], 1, "first");
         expectNode(a[1], 2, "second");
         EXPECT_EQ(a[0]->Next(), a[1]);
       }},
      {"multiref-nested.xml",
       [&](const TCvNodeArray& a) {
         ASSERT_EQ(a.size(), 2u);
         expectNode(a[0], 1, "first");
         expectNode(a[0]->Next(), 2, "second");
         expectNode(a[1], 3, "third");
         EXPECT_EQ(a[0]->Next()->Next(), a[1]);
       }},
      {"multiref-cyclic.xml",
       [&](const TCvNodeArray& a) {
         ASSERT_EQ(a.size(), 2u);
         expectNode(a[0], 1, "first");
         expectNode(a[0]->Next(), 2, "second");
         EXPECT_EQ(a[0]->Next()->Next(), a[0]);
         expectNode(a[1], 3, "third");
         EXPECT_EQ(a[1]->Next(), a[1]);
       }},
      {"multiref-dangling.xml",
       [&](const TCvNodeArray& a) {
         ASSERT_EQ(a.size(), 2u);
         expectNode(a[0], 0, "");
         EXPECT_EQ(a[0]->next, nullptr);
         EXPECT_EQ(a[1], nullptr);
       }},
      {"multiref-shared.xml",
       [&](const TCvNodeArray& a) {
         ASSERT_EQ(a.size(), 3u);
         expectNode(a[0], 1, "shared");
         EXPECT_EQ(a[0], a[1]);
         expectNode(a[2], 2, "second");
         EXPECT_EQ(a[0]->Next(), a[2]);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TNodes result;
    Read(ReadTextFile(kDataDir + "/" + c.file), cvGetNodes, &result.items);
    c.check(result.items);
  }
}

// ---- the envelope ----

TEST_F(ResponseTest, EnvelopeErrors) {
  struct Case {
    const char* name;
    std::string xml;
    std::string message;
  };
  const std::string env = "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\">";
  const Case cases[] = {
      {"not an envelope", "<Envelope><Body/></Envelope>",
       "DocumentElement http://schemas.xmlsoap.org/soap/envelope/:Envelope expected, :Envelope found"},
      {"an envelope of another namespace", "<e:Envelope xmlns:e=\"urn:x\"/>",
       "DocumentElement http://schemas.xmlsoap.org/soap/envelope/:Envelope expected, urn:x:Envelope found"},
      {"an empty envelope", env + "</soapenv:Envelope>", "Invalid SOAP request"},
      {"two bodies", env + "<soapenv:Body/><soapenv:Body/></soapenv:Envelope>", "Invalid SOAP response"},
      {"two headers", env + "<soapenv:Header/><soapenv:Header/><soapenv:Body/></soapenv:Envelope>",
       "Invalid SOAP response"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WideString result = u"unchanged";
    try {
      Read(c.xml, cvGetText, &result);
      ADD_FAILURE() << "no error";
    } catch (const ESOAPDomConvertError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
    EXPECT_EQ(U8(result), "unchanged");
  }

  WideString result;
  EXPECT_THROW(Read("<soapenv:Envelope", cvGetText, &result), EDOMParseError);
  TInvContext context;
  TIntfPtr<IXMLDocument> empty = NewXMLDocument();
  EXPECT_THROW(converter->ReadResponse(empty.Get(), CvMetaData(), CvMetaData().MDA[cvGetText], context, nullptr),
               ESOAPDomConvertError);
  // A body without content leaves the call's values alone.
  result = u"kept";
  Read(env + "<soapenv:Body/></soapenv:Envelope>", cvGetText, &result);
  EXPECT_EQ(U8(result), "kept");
}

// ---- faults ----

TEST_F(ResponseTest, FaultsRaiseRemotableExceptions) {
  TCvNode* result = nullptr;
  try {
    Read(Envelope("<soapenv:Fault><FaultCode>soapenv:Server</FaultCode><FAULTSTRING>first</FAULTSTRING>"
                  "<faultstring>It broke</faultstring><faultactor>urn:actor</faultactor></soapenv:Fault>"),
         cvGetNode, &result);
    ADD_FAILURE() << "no fault raised";
  } catch (const ERemotableException& e) {
    EXPECT_EQ(e.Message(), "It broke");
    EXPECT_EQ(U8(e.FaultCode()), "soapenv:Server");
    EXPECT_EQ(U8(e.FaultActor()), "urn:actor");
    EXPECT_EQ(U8(e.FaultDetail()), "");
  }
  try {
    Read(Envelope("<soapenv:Fault><faultcode>soapenv:Client</faultcode><faultstring>Refused</faultstring>"
                  "<detail xsi:type=\"ns:CvFault\"><errorCode>42</errorCode><reason>one</reason>"
                  "<reason>two</reason></detail></soapenv:Fault>"),
         cvGetNode, &result);
    ADD_FAILURE() << "no fault raised";
  } catch (const TCvFault& e) {
    EXPECT_EQ(e.Message(), "Refused");
    EXPECT_EQ(e.errorCode, 42);
    EXPECT_EQ(U8(e.reason), "two");
    EXPECT_EQ(U8(e.FaultCode()), "soapenv:Client");
    EXPECT_EQ(U8(e.FaultDetail()),
              "<detail xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:type=\"ns:CvFault\"><errorCode>42</errorCode><reason>one</reason><reason>two</reason></detail>");
  }
  EXPECT_EQ(result, nullptr);
}

// ---- results and parameters ----

TEST_F(ResponseTest, TheReturnElement) {
  struct Case {
    const char* name;
    std::string children;
    const char* expected;  // null: the not-found error
  };
  const Case cases[] = {
      {"the only child, whatever its name", "<anything>v</anything>", "v"},
      {"Result in any case among several", "<a>x</a><RESULT>v</RESULT><return>y</return>", "v"},
      {"return among several", "<a>x</a><return>v</return>", "v"},
      {"no candidate", "<a>x</a><b>y</b>", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WideString result;
    std::string xml = Envelope("<ns:GetTextResponse>" + c.children + "</ns:GetTextResponse>");
    if (c.expected) {
      Read(xml, cvGetText, &result);
      EXPECT_EQ(U8(result), c.expected);
    } else {
      try {
        Read(xml, cvGetText, &result);
        ADD_FAILURE() << "no error";
      } catch (const ESOAPDomConvertError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "SOAP Response Packet: element matching function return not found, received "
                  "\"<ns:GetTextResponse xmlns:ns=\"urn:conv-test\"><a>x</a><b>y</b></ns:GetTextResponse>\"");
      }
    }
  }
  // An object result without a candidate, or without any content, stays nil.
  TCvNode* node = nullptr;
  Read(Envelope("<ns:GetNodeResponse><a>x</a><b>y</b></ns:GetNodeResponse>"), cvGetNode, &node);
  EXPECT_EQ(node, nullptr);
  Read(Envelope("<ns:GetNodeResponse/>"), cvGetNode, &node);
  EXPECT_EQ(node, nullptr);
  // With literal parameters the body is the response node; a fault is still a fault.
  converter->SetOptions(converter->Options() + TSOAPConvertOptions{soLiteralParams});
  WideString literal;
  Read(Envelope("<value>v</value>"), cvGetText, &literal);
  EXPECT_EQ(U8(literal), "v");
  EXPECT_THROW(Read(Envelope("<soapenv:Fault><faultstring>f</faultstring></soapenv:Fault>"), cvGetText, &literal),
               ERemotableException);
  converter->SetOptions(converter->Options() - TSOAPConvertOptions{soLiteralParams});
  // Text before the response element does not hide it; CDATA is text.
  WideString text;
  Read(Envelope("x<ns:GetTextResponse><return><![CDATA[a<b]]>&amp;c</return></ns:GetTextResponse>"), cvGetText, &text);
  EXPECT_EQ(U8(text), "a<b&c");
  // The same from wide text.
  TInvContext context;
  context.SetMethodInfo(CvMetaData().MDA[cvGetText]);
  context.SetResultPointer(&text);
  converter->ReadResponse(Utf8ToUtf16(Envelope("<r><return>wide \u00e9</return></r>")), CvMetaData(),
                          CvMetaData().MDA[cvGetText], context, nullptr);
  EXPECT_EQ(U8(text), "wide \u00e9");
}

TEST_F(ResponseTest, OutParametersAreMatchedByName) {
  WideString s = u"before", input = u"caller's";
  int32_t n = 0;
  WideString* sRef = &s;
  int32_t* nRef = &n;
  WideString result;
  Read(Envelope("<ns:ExchangeResponse><return>r</return><s>after</s><n>7</n><input>server's</input><n>8</n>"
                "<unknown>1</unknown></ns:ExchangeResponse>"),
       cvExchange, &result, {&sRef, &nRef, &input});
  EXPECT_EQ(U8(result), "r");
  EXPECT_EQ(U8(s), "after");
  EXPECT_EQ(n, 7);
  // An input parameter is never written: it may be the caller's constant.
  EXPECT_EQ(U8(input), "caller's");
}

TEST_F(ResponseTest, ObjectMembersNilsAndEvents) {
  std::vector<std::string> missing, unhandled;
  converter->OnMemberDataNotReceived = [&](const std::string& cls, const std::string& member) {
    missing.push_back(cls + "." + member);
  };
  converter->OnUnhandledNode = [&](const WideString& name, const WideString& xml) {
    unhandled.push_back(U8(name) + " " + U8(xml));
  };
  TCvRecord* r = nullptr;
  Read(Envelope("<ns:GetRecordResponse><return href=\"#r\"/></ns:GetRecordResponse>"
                "<multiRef id=\"r\" xsi:type=\"ns:Record\" key=\"k\"><count xsi:nil=\"true\"/><ratio>1.5E2</ratio>"
                "<flag>1</flag><color> blue </color><big>-9000000000</big><letter>Zed</letter><Text/>"
                "<child href=\"#c\"/><numbers soapenc:arrayType=\"xsd:int[5]\"><item>1</item><item>2</item>"
                "<item>3</item></numbers><extra xsi:type=\"xsd:double\">2.5</extra><amount>12.50</amount>"
                "<surprise>!</surprise></multiRef>"
                "<multiRef id=\"c\" xsi:type=\"ns:Node\"><value>4</value><label>c</label><next/></multiRef>"),
       cvGetRecord, &r);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(U8(r->key), "k");
  EXPECT_EQ(r->count, 0);
  EXPECT_EQ(r->ratio, 150);
  EXPECT_TRUE(r->flag);
  EXPECT_EQ(r->color, cvBlue);
  EXPECT_EQ(r->big, -9000000000);
  EXPECT_EQ(r->letter, u'Z');
  EXPECT_EQ(U8(r->text), "");
  ASSERT_NE(r->child, nullptr);
  EXPECT_EQ(r->child->value, 4);
  EXPECT_EQ(r->child->next, nullptr);
  EXPECT_EQ(r->numbers, (TIntegerDynArray{1, 2, 3}));
  EXPECT_EQ(r->extra, Variant(2.5));
  ASSERT_NE(r->amount, nullptr);
  EXPECT_EQ(r->amount->Value(), "12.50");
  EXPECT_EQ(missing, std::vector<std::string>{});
  EXPECT_EQ(unhandled, std::vector<std::string>{"TCvRecord <surprise>!</surprise>"});
  delete r;

  // Missing members are reported, except optional ones.
  r = nullptr;
  Read(Envelope("<ns:GetRecordResponse><return xsi:type=\"ns:Record\" key=\"k\"><count>1</count><ratio>1</ratio>"
                "<flag>false</flag><color>red</color><big>1</big><letter>a</letter><Text>t</Text><child/>"
                "<numbers/><extra/></return></ns:GetRecordResponse>"),
       cvGetRecord, &r);
  EXPECT_EQ(missing, std::vector<std::string>{"TCvRecord.amount"});
  delete r;
}

TEST_F(ResponseTest, RegistrationAndMemberFlagsShapeObjects) {
  std::vector<std::string> unhandled;
  converter->OnUnhandledNode = [&](const WideString& name, const WideString& xml) {
    unhandled.push_back(U8(name) + " " + U8(xml));
  };
  TCvAmount* a = nullptr;
  Read(Envelope("<ns:GetAmountResponse><return>2.5</return></ns:GetAmountResponse>"), cvGetAmount, &a);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->value, 2.5);
  delete a;

  TCvLabelled* m = nullptr;
  Read(Envelope("<ns:GetLabelledResponse><return xsi:type=\"ns:Labelled\" unit=\"kg\">1.5</return>"
                "</ns:GetLabelledResponse>"),
       cvGetLabelled, &m);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(U8(m->unit), "kg");
  EXPECT_EQ(m->amount, 1.5);
  delete m;

  TCvBag* b = nullptr;
  Read(Envelope("<ns:GetBagResponse><return note=\"n\"><values>1</values><other/><values>2</values></return>"
                "</ns:GetBagResponse>"),
       cvGetBag, &b);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->values, (TIntegerDynArray{1, 2}));
  EXPECT_EQ(U8(b->note), "n");
  EXPECT_EQ(unhandled, std::vector<std::string>{"TCvBag <other/>"});
  delete b;
}

TEST_F(ResponseTest, ValuesWithoutTextFormAreRefused) {
  TIntfPtr<IXMLDocument> doc = LoadXMLData(u"<r><item>1</item></r>");
  TIntfPtr<IXMLNode> root = doc->DocumentElement();
  TTypeInfo noElement = *TypeInfo<TIntegerDynArray>();
  noElement.Name = "TBroken";
  noElement.ElType = nullptr;
  TIntegerDynArray target;
  try {
    converter->ReadValue(&target, &noElement, 1, false, true, root.Get(), root.Get(), nullptr);
    ADD_FAILURE() << "no error";
  } catch (const ESOAPDomConvertError& e) {
    EXPECT_STREQ(e.what(), "Element of Array type TBroken has no RTTI");
  }
  TCvBadMember* bad = nullptr;
  try {
    Read(Envelope("<ns:GetBadResponse><return><colors>cvRed</colors></return></ns:GetBadResponse>"), cvGetBad, &bad);
    ADD_FAILURE() << "no error";
  } catch (const ESOAPDomConvertError& e) {
    EXPECT_STREQ(e.what(), "Internal error: data type kind Set cannot be converted to and from text");
  }
  EXPECT_EQ(bad, nullptr);
}

TEST_F(ResponseTest, OlderSchemaInstanceNamespacesAndNilForms) {
  const std::string xsi1999 = "http://www.w3.org/1999/XMLSchema-instance";
  TCvNode* node = nullptr;
  Read(Envelope("<ns:GetNodeResponse><return xmlns:x=\"" + xsi1999 +
                "\" x:type=\"ns:Node\"><value x:null=\"1\"/><label>l</label></return></ns:GetNodeResponse>"),
       cvGetNode, &node);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->value, 0);
  EXPECT_EQ(U8(node->label), "l");
  delete node;
  node = nullptr;
  for (const char* nil : {"<return xsi:nil=\"true\"/>", "<return xsi:nil=\"TRUE\">text</return>", "<return/>"}) {
    SCOPED_TRACE(nil);
    Read(Envelope(std::string("<ns:GetNodeResponse>") + nil + "</ns:GetNodeResponse>"), cvGetNode, &node);
    EXPECT_EQ(node, nullptr);
  }
}

TEST_F(ResponseTest, ArraysTakeTheirLengthFromTheItems) {
  TIntegerDynArray ints;
  Read(Envelope("<ns:GetIntsResponse><return soapenc:arrayType=\"xsd:int[5]\"><item>1</item><item>2</item>"
                "<item>3</item></return></ns:GetIntsResponse>"),
       cvGetInts, &ints);
  EXPECT_EQ(ints, (TIntegerDynArray{1, 2, 3}));

  TCvIntMatrix matrix;
  Read(Envelope("<ns:GetMatrixResponse><return soapenc:arrayType=\"xsd:int[2,3]\"><item>1</item><item>2</item>"
                "<item>3</item><item>4</item><item>5</item><item>6</item></return></ns:GetMatrixResponse>"),
       cvGetMatrix, &matrix);
  EXPECT_EQ(matrix, (TCvIntMatrix{{1, 2, 3}, {4, 5, 6}}));
  Read(Envelope("<ns:GetMatrixResponse><return soapenc:arrayType=\"xsd:int[][2]\"><item href=\"#r1\"/>"
                "<item><item>2</item><item>3</item></item></return></ns:GetMatrixResponse>"
                "<multiRef id=\"r1\"><item>1</item></multiRef>"),
       cvGetMatrix, &matrix);
  EXPECT_EQ(matrix, (TCvIntMatrix{{1}, {2, 3}}));
  // Sizes that the items cannot fill allocate nothing.
  try {
    Read(Envelope("<ns:GetMatrixResponse><return soapenc:arrayType=\"xsd:int[100000,100000]\"><item>1</item>"
                  "</return></ns:GetMatrixResponse>"),
         cvGetMatrix, &matrix);
    ADD_FAILURE() << "no error";
  } catch (const ESOAPDomConvertError& e) {
    EXPECT_STREQ(e.what(), "Array dimensions [100000,100000] exceed the 1 items received");
  }

  TByteDynArray bytes;
  Read(Envelope("<ns:GetBytesResponse><return xsi:type=\"xsd:base64Binary\">aGk=\r\n</return></ns:GetBytesResponse>"),
       cvGetBytes, &bytes);
  EXPECT_EQ(bytes, (TByteDynArray{'h', 'i'}));

  TCvInlineInts inlined;
  Read(Envelope("<ns:GetInlineIntsResponse><i>4</i><i>5</i></ns:GetInlineIntsResponse>"), cvGetInlineInts, &inlined);
  EXPECT_EQ(inlined, (TCvInlineInts{4, 5}));

  // A nil item of an array of integers is not a number.
  try {
    Read(Envelope("<ns:GetIntsResponse><return><item>1</item><item xsi:nil=\"true\"/></return></ns:GetIntsResponse>"),
         cvGetInts, &ints);
    ADD_FAILURE() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'' is not a valid integer value");
  }
}

TEST_F(ResponseTest, VariantResults) {
  struct Case {
    const char* name;
    std::string element;
    Variant expected;
  };
  const Case cases[] = {
      {"typed integer", "<return xsi:type=\"xsd:int\">5</return>", Variant(int32_t{5})},
      {"untyped text", "<return> t </return>", Variant(std::u16string(u" t "))},
      {"nil", "<return xsi:nil=\"true\"/>", Variant::Null()},
      {"date-time", "<return xsi:type=\"xsd:dateTime\">2010-08-02T12:00:00Z</return>",
       Variant(ParseXmlDateTime(u"2010-08-02T12:00:00Z"))},
      {"array", "<return ns2:VarArrayType=\"8204\" xmlns:ns2=\"" + Utf16ToUtf8(SRuntimeTypesNamespace) +
                    "\"><item xsi:type=\"xsd:int\">1</item></return>",
       Variant::Array({Variant(int32_t{1})})},
      {"several children", "<return><item xsi:type=\"xsd:string\"> a </item><item xsi:nil=\"true\"/></return>",
       Variant::Array({Variant(std::u16string(u" a ")), Variant::Null()})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Variant v;
    Read(Envelope("<ns:GetVariantResponse>" + c.element + "</ns:GetVariantResponse>"), cvGetVariant, &v);
    EXPECT_EQ(v, c.expected);
  }
}

// ---- headers ----

class TRecordingProcessor : public TInterfacedObject, public IDOMHeaderProcessor {
 public:
  TRecordingProcessor(bool handled, bool abort) : handled_(handled), abort_(abort) {}
  HRESULT QueryInterface(const TGUID& iid, void** obj) override { return TInterfacedObject::QueryInterface(iid, obj); }
  int32_t _AddRef() override { return TInterfacedObject::_AddRef(); }
  int32_t _Release() override { return TInterfacedObject::_Release(); }
  void ProcessHeader(IXMLNode* header, bool& handled, bool& abortRequest) override {
    seen.push_back(U8(header->LocalName()));
    handled = handled_;
    abortRequest = abort_;
  }
  std::vector<std::string> seen;

 private:
  bool handled_, abort_;
};

TEST_F(ResponseTest, HeadersGoToProcessorsOrMustBeUnderstood) {
  std::vector<std::string> unhandled;
  converter->OnUnhandledNode = [&](const WideString& name, const WideString&) { unhandled.push_back(U8(name)); };
  auto answer = [](const std::string& attrs) {
    return Envelope("<ns:PingResponse/>", "<soapenv:Header><h:Session xmlns:h=\"urn:h\"" + attrs +
                                              ">s</h:Session><h:Trace xmlns:h=\"urn:h\">t</h:Trace></soapenv:Header>");
  };
  Read(answer(" mustUnderstand=\"0\""), cvPing, nullptr);
  EXPECT_EQ(unhandled, (std::vector<std::string>{"urn:h:Session", "urn:h:Trace"}));

  for (const char* attrs : {" mustUnderstand=\"1\"", " soapenv:mustUnderstand=\"true\""}) {
    SCOPED_TRACE(attrs);
    try {
      Read(answer(attrs), cvPing, nullptr);
      ADD_FAILURE() << "no error";
    } catch (const ERemotableException& e) {
      EXPECT_EQ(e.Message(), "Soap header Session with attribute 'mustUnderstand' set to true was not handled");
      EXPECT_EQ(U8(e.FaultCode()), "MustUnderstand");
    }
  }

  auto* handler = new TRecordingProcessor(true, false);
  TIntfPtr<IDOMHeaderProcessor> keep(handler);
  converter->AddHeaderProcessor(u"urn:h", u"Session", keep);
  unhandled.clear();
  Read(answer(" mustUnderstand=\"1\""), cvPing, nullptr);
  EXPECT_EQ(handler->seen, std::vector<std::string>{"Session"});
  EXPECT_EQ(unhandled, std::vector<std::string>{"urn:h:Trace"});

  converter->AddHeaderProcessor(u"urn:h", u"Session", TIntfPtr<IDOMHeaderProcessor>(new TRecordingProcessor(true, true)));
  try {
    Read(answer(""), cvPing, nullptr);
    ADD_FAILURE() << "no error";
  } catch (const ESOAPDomConvertError& e) {
    EXPECT_STREQ(e.what(), "Error Processing Header (urn:h)Session");
  }
}

// ---- hostile and broken answers ----

TEST_F(ResponseTest, AFailedAnswerLeavesNoObjectsBehind) {
  TCvRecord* previous = nullptr;
  TCvRecord* r = previous;
  try {
    Read(Envelope("<ns:GetRecordResponse><return href=\"#r\"/></ns:GetRecordResponse>"
                  "<multiRef id=\"r\" xsi:type=\"ns:Record\"><count>1</count><child href=\"#c\"/>"
                  "<amount>1</amount></multiRef>"
                  "<multiRef id=\"c\" xsi:type=\"ns:Node\"><value>abc</value></multiRef>"),
         cvGetRecord, &r);
    ADD_FAILURE() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
  }
  // The result is what it was; the record and its child are gone (the sanitizers check).
  EXPECT_EQ(r, previous);
}

TEST_F(ResponseTest, HostileReferences) {
  // One id read as two types would put a record where a node belongs.
  TCvRecord* r = nullptr;
  try {
    Read(Envelope("<ns:GetRecordResponse><return href=\"#r\"/></ns:GetRecordResponse>"
                  "<multiRef id=\"r\" xsi:type=\"ns:Record\"><child href=\"#r\"/></multiRef>"),
         cvGetRecord, &r);
    ADD_FAILURE() << "no error";
  } catch (const ESOAPDomConvertError& e) {
    EXPECT_STREQ(e.what(), "Element with id r does not hold a TCvNode");
  }
  EXPECT_EQ(r, nullptr);

  // A long chain of references ends with an error, not with the stack.
  std::string chain;
  const int length = 5000;
  for (int i = 0; i < length; ++i)
    chain += "<multiRef id=\"n" + std::to_string(i) + "\" xsi:type=\"ns:Node\"><value>" + std::to_string(i) +
             "</value><label/><next href=\"#n" + std::to_string(i + 1) + "\"/></multiRef>";
  TCvNode* node = nullptr;
  try {
    Read(Envelope("<ns:GetNodeResponse><return href=\"#n0\"/></ns:GetNodeResponse>" + chain), cvGetNode, &node);
    ADD_FAILURE() << "no error";
  } catch (const ESOAPDomConvertError& e) {
    EXPECT_STREQ(e.what(), "Response nesting exceeds 400 levels");
  }
  EXPECT_EQ(node, nullptr);
}

}  // namespace

// ---- bounds: every answer decodes or fails with the runtime's exception, in bounded time
// and memory ----

TEST(ResponseBounds, Defaults) {
  TOPToSoapDomConvert converter;
  EXPECT_EQ(converter.MaxNesting(), 400);
  EXPECT_EQ(converter.MaxIds(), 100000);
  EXPECT_EQ(converter.MaxArrayItems(), 1000000);
}

TEST_F(ResponseTest, BoundsEndHostileAnswersWithAnError) {
  auto repeat = [](const std::string& piece, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += piece;
    return out;
  };
  auto items = [&](int n) { return repeat("<item>1</item>", n); };
  std::string chain;
  for (int i = 0; i < 50; ++i)
    chain += "<multiRef id=\"n" + std::to_string(i) + "\" xsi:type=\"ns:Node\"><value>1</value><next href=\"#n" +
             std::to_string(i + 1) + "\"/></multiRef>";
  // Each entity ten times the one before: 10^11 "lol"s if it were expanded.
  std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE soapenv:Envelope [<!ENTITY l0 \"lol\">";
  for (int i = 1; i < 12; ++i)
    laughs += "<!ENTITY l" + std::to_string(i) + " \"" + repeat("&l" + std::to_string(i - 1) + ";", 10) + "\">";
  laughs += "]>";
  struct Case {
    const char* name;
    std::string xml;
    int method;
    std::function<void(TOPToSoapDomConvert&)> limit;
    std::string error;  // the message, or its start when it ends with "..."; empty: decodes
  } cases[] = {
      // The parser's own limits: 256 levels, and no entity expanded without bound.
      {"deeply nested elements", Envelope(repeat("<a>", 100000) + repeat("</a>", 100000)), cvGetText, nullptr,
       "Excessive depth in document: 256 use XML_PARSE_HUGE option..."},
      {"a reference chain", Envelope("<ns:GetNodeResponse><return href=\"#n0\"/></ns:GetNodeResponse>" + chain),
       cvGetNode, [](TOPToSoapDomConvert& c) { c.SetMaxNesting(10); }, "Response nesting exceeds 10 levels"},
      {"a reference cycle through a variant",
       Envelope("<ns:GetVariantResponse><return href=\"#a\"/></ns:GetVariantResponse>"
                "<multiRef id=\"a\"><x href=\"#a\"/><y>1</y></multiRef>"),
       cvGetVariant, nullptr, "Response nesting exceeds 400 levels"},
      {"too many ids",
       Envelope("<ns:GetIntsResponse><return/></ns:GetIntsResponse>" +
                repeat("<multiRef id=\"a\"/><multiRef id=\"b\"/><multiRef id=\"c\"/>", 1) + "<m id=\"d\"/>"),
       cvGetInts, [](TOPToSoapDomConvert& c) { c.SetMaxIds(3); }, "Response holds more than 3 elements with an id"},
      {"too many array items", Envelope("<ns:GetIntsResponse><return>" + items(6) + "</return></ns:GetIntsResponse>"),
       cvGetInts, [](TOPToSoapDomConvert& c) { c.SetMaxArrayItems(5); }, "Array exceeds 5 items"},
      {"too many variant array items",
       Envelope("<ns:GetVariantResponse><return>" + items(6) + "</return></ns:GetVariantResponse>"), cvGetVariant,
       [](TOPToSoapDomConvert& c) { c.SetMaxArrayItems(5); }, "Array exceeds 5 items"},
      {"an array claiming a huge size",
       Envelope("<ns:GetMatrixResponse><return soapenc:arrayType=\"xsd:int[2147483647,2147483647]\">" + items(2) +
                "</return></ns:GetMatrixResponse>"),
       cvGetMatrix, nullptr, "Array dimensions [2147483647,2147483647] exceed the 2 items received"},
      {"an array claiming a size beyond 64 bits",
       Envelope("<ns:GetMatrixResponse><return soapenc:arrayType=\"xsd:int[99999999999999999999999,1]\">" +
                items(2) + "</return></ns:GetMatrixResponse>"),
       cvGetMatrix, nullptr, "'99999999999999999999999' is not a valid integer value"},
      // Text is bounded by the transport's answer size, and decodes.
      {"an enormous text node",
       Envelope("<ns:GetTextResponse><return>" + std::string(10000001, 'x') + "</return></ns:GetTextResponse>"),
       cvGetText, nullptr, ""},
      {"entity expansion",
       laughs + Envelope("<ns:GetTextResponse><return>&l11;</return></ns:GetTextResponse>").substr(21), cvGetText,
       nullptr, "Detected an entity reference loop"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    converter->SetMaxNesting(TOPToSoapDomConvert::kDefaultMaxNesting);
    converter->SetMaxIds(TOPToSoapDomConvert::kDefaultMaxIds);
    converter->SetMaxArrayItems(TOPToSoapDomConvert::kDefaultMaxArrayItems);
    if (c.limit) c.limit(*converter);
    PTypeInfo info = CvMetaData().MDA[static_cast<size_t>(c.method)].ResultInfo;
    std::vector<std::max_align_t> storage(info->Size / sizeof(std::max_align_t) + 1);
    info->Ops.Construct(storage.data());
    std::string message;  // empty: decoded
    try {
      Read(c.xml, c.method, storage.data());
    } catch (const EDOMParseError& e) {
      message = e.Reason();
    } catch (const Exception& e) {
      message = e.Message();
    }
    info->Ops.Destroy(storage.data());
    if (c.error.size() > 3 && c.error.substr(c.error.size() - 3) == "...")
      EXPECT_EQ(message.substr(0, c.error.size() - 3), c.error.substr(0, c.error.size() - 3));
    else
      EXPECT_EQ(message, c.error);
  }
}
