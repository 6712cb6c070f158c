#include "soap/XMLDoc.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

const WideString kEnv = u"http://schemas.xmlsoap.org/soap/envelope/";
const WideString kXsd = u"http://www.w3.org/2001/XMLSchema";
const WideString kXsi = u"http://www.w3.org/2001/XMLSchema-instance";
const WideString kEnc = u"http://schemas.xmlsoap.org/soap/encoding/";

std::string U8(const WideString& w) { return Utf16ToUtf8(w); }

// The envelope as the request encoder builds it: Envelope with four declarations, then Body.
struct Envelope {
  TIntfPtr<IXMLDocument> doc = NewXMLDocument();
  TIntfPtr<IXMLNode> env, body;
  Envelope() {
    env = doc->CreateElement(u"SOAP-ENV:Envelope", kEnv);
    doc->SetDocumentElement(env.Get());
    env->DeclareNamespace(u"SOAP-ENV", kEnv);
    env->DeclareNamespace(u"xsd", kXsd);
    env->DeclareNamespace(u"xsi", kXsi);
    env->DeclareNamespace(u"SOAP-ENC", kEnc);
    body = env->AddChild(u"Body", kEnv);
  }
};

const char* const kEnvelopeOpen =
    "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\">";

TEST(XMLDocTest, GeneratedPrefixesStartAtNS1AndDeclarationsAreReused) {
  Envelope e;
  e.body->SetAttributeNS(u"SOAP-ENV:encodingStyle", kEnv, kEnc);
  auto method = e.body->AddChild(u"getDistance", u"urn:ZelkDistance", true);
  EXPECT_EQ(U8(method->NodeName()), "NS1:getDistance");
  auto pin = method->AddChild(u"pinCode");
  pin->SetAttributeNS(u"type", kXsi, u"xsd:string");
  pin->SetText(u"1234");
  // A URI declared on an ancestor is reused, not declared again.
  auto again = method->AddChild(u"inner", u"urn:ZelkDistance", true);
  EXPECT_EQ(U8(again->NodeName()), "NS1:inner");
  auto other = e.body->AddChild(u"other", u"urn:other", true);
  EXPECT_EQ(U8(other->NodeName()), "NS2:other");
  EXPECT_EQ(U8(e.doc->SaveToXML()),
            std::string(kEnvelopeOpen) +
                "<SOAP-ENV:Body SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
                "<NS1:getDistance xmlns:NS1=\"urn:ZelkDistance\"><pinCode xsi:type=\"xsd:string\">1234</pinCode>"
                "<NS1:inner/></NS1:getDistance><NS2:other xmlns:NS2=\"urn:other\"/></SOAP-ENV:Body></SOAP-ENV:Envelope>");
}

TEST(XMLDocTest, GeneratedPrefixSkipsNamesBoundInScope) {
  Envelope e;
  e.body->DeclareNamespace(u"NS1", u"urn:taken");
  e.body->DeclareNamespace(u"NS2", u"urn:taken2");
  EXPECT_EQ(U8(e.doc->GeneratePrefix(e.body.Get())), "NS3");
  // Without a scope nothing is skipped; the counter goes on.
  EXPECT_EQ(U8(e.doc->GeneratePrefix(nullptr)), "NS4");
  auto m = e.body->AddChild(u"m", u"urn:x", true);
  EXPECT_EQ(U8(m->Prefix()), "NS5");
}

TEST(XMLDocTest, FindPrefixForUriDeclaresOnTheRootAndMultiRefElementsReuseIt) {
  // The encoder's pattern: a type namespace declared on Body, multi-ref elements created
  // detached with that prefix and appended under Body.
  Envelope e;
  auto method = e.body->AddChild(u"getDistance", u"urn:svc", true);
  EXPECT_TRUE(e.body->FindNamespaceDecl(u"urn:types") == nullptr);
  WideString prefix = e.doc->GeneratePrefix(e.body.Get());
  e.body->DeclareNamespace(prefix, u"urn:types");
  auto decl = e.body->FindNamespaceDecl(u"urn:types");
  ASSERT_TRUE(decl);
  EXPECT_EQ(U8(decl->LocalName()), "NS2");
  EXPECT_EQ(U8(decl->NodeName()), "xmlns:NS2");
  EXPECT_EQ(decl->NamespaceURI(), SXMLNSNamespaceURI);
  EXPECT_EQ(U8(decl->Text()), "urn:types");
  auto ref = method->AddChild(u"result");
  ref->SetAttribute(u"href", u"#1");
  auto multi = e.doc->CreateElement(u"NS2:WayPoint", u"urn:types");
  multi->SetAttribute(u"id", u"1");
  e.body->ChildNodes()->Add(multi.Get());
  multi->SetAttributeNS(u"type", kXsi, u"NS2:WayPoint");
  // NS2 stays declared once, on Body.
  EXPECT_EQ(U8(e.doc->SaveToXML()),
            std::string(kEnvelopeOpen) +
                "<SOAP-ENV:Body xmlns:NS2=\"urn:types\"><NS1:getDistance xmlns:NS1=\"urn:svc\"><result href=\"#1\"/>"
                "</NS1:getDistance><NS2:WayPoint id=\"1\" xsi:type=\"NS2:WayPoint\"/></SOAP-ENV:Body></SOAP-ENV:Envelope>");
}

TEST(XMLDocTest, UnprefixedElementWithoutGenerationDeclaresDefaultNamespace) {
  Envelope e;
  auto m = e.body->AddChild(u"echo", u"urn:doc", false);
  EXPECT_EQ(U8(m->NodeName()), "echo");
  EXPECT_EQ(U8(m->NamespaceURI()), "urn:doc");
  auto q = m->AddChild(u"qualified", u"urn:doc");
  auto u = m->AddChild(u"unqualified");
  EXPECT_EQ(U8(q->NamespaceURI()), "urn:doc");
  EXPECT_EQ(U8(u->NamespaceURI()), "");
  EXPECT_EQ(U8(m->XML()), "<echo xmlns=\"urn:doc\"><qualified/><unqualified xmlns=\"\"/></echo>");
}

TEST(XMLDocTest, SerialisationAddsNoWhiteSpaceAndKeepsText) {
  auto doc = NewXMLDocument();
  auto root = doc->AddChild(u"r");
  root->AddChild(u"a")->SetText(u"x < y & \u00e9\u4e2d");
  root->AddChild(u"b")->SetAttribute(u"v", u"\"q\" \u00e9");
  EXPECT_EQ(U8(doc->SaveToXML()),
            "<?xml version=\"1.0\"?><r><a>x &lt; y &amp; \u00e9\u4e2d</a><b v=\"&quot;q&quot; \u00e9\"/></r>");
  // Bytes are UTF-8 when no encoding is declared.
  EXPECT_EQ(doc->SaveToBytes(), U8(doc->SaveToXML()));
  std::ostringstream out;
  doc->SaveToStream(out);
  EXPECT_EQ(out.str(), doc->SaveToBytes());
  TMemoryStream mem;
  doc->SaveToStream(mem);
  EXPECT_EQ(mem.DataString(), doc->SaveToBytes());
  mem.SetPosition(0);
  auto back = NewXMLDocument();
  back->LoadFromStream(mem);
  EXPECT_EQ(back->SaveToXML(), doc->SaveToXML());
}

TEST(XMLDocTest, NoDeclarationWithoutVersion) {
  auto doc = NewXMLDocument(u"");
  doc->AddChild(u"r");
  EXPECT_EQ(U8(doc->SaveToXML()), "<r/>");
}

TEST(XMLDocTest, SavesInTheDeclaredEncoding) {
  auto doc = NewXMLDocument();
  doc->SetEncoding(u"ISO-8859-1");
  doc->AddChild(u"r")->SetText(u"\u00e9\u4e2d");
  EXPECT_EQ(U8(doc->SaveToXML()), "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>\u00e9\u4e2d</r>");
  EXPECT_EQ(doc->SaveToBytes(), "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>\xE9&#20013;</r>");

  doc->SetEncoding(u"UTF-16");
  std::string bytes = doc->SaveToBytes();
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\xFF\xFE<\0", 4));
  // And it loads back.
  auto back = LoadXMLDocumentBytes(bytes);
  EXPECT_EQ(back->DocumentElement()->Text(), u"\u00e9\u4e2d");
}

TEST(XMLDocTest, LoadsUtf16WithBomAndIso88591) {
  std::u16string text = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><r a=\"\u00e9\"><t>\u4e2d\u00fc</t></r>";
  std::string bytes("\xFF\xFE", 2);
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  auto doc = LoadXMLDocumentBytes(bytes);
  EXPECT_EQ(doc->DocumentElement()->GetAttribute(u"a"), u"\u00e9");
  EXPECT_EQ(doc->DocumentElement()->ChildNodes()->Get(0)->Text(), u"\u4e2d\u00fc");

  std::string latin1 = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>caf\xE9</r>";
  std::istringstream in(latin1);
  TIntfPtr<IXMLDocument> d2 = NewXMLDocument();
  d2->LoadFromStream(in);
  EXPECT_EQ(d2->DocumentElement()->Text(), u"caf\u00e9");
  EXPECT_EQ(U8(d2->Encoding()), "ISO-8859-1");

  // UTF-8 with a byte-order mark and without declaration.
  auto d3 = LoadXMLDocumentBytes("\xEF\xBB\xBF<r>\xC3\xA9</r>");
  EXPECT_EQ(d3->DocumentElement()->Text(), u"\u00e9");
  EXPECT_EQ(U8(d3->Version()), "");
}

TEST(XMLDocTest, DropsWhiteSpaceBetweenElementsUnlessAskedToKeepIt) {
  const char* text = "<r>\n  <a>1</a>\n  <b> </b>\n</r>";
  auto doc = LoadXMLDocumentBytes(text);
  auto root = doc->DocumentElement();
  ASSERT_EQ(root->ChildNodes()->Count(), 2);
  EXPECT_EQ(U8(root->ChildNodes()->Get(0)->NodeName()), "a");
  TIntfPtr<IXMLDocument> keep(static_cast<IXMLDocument*>(new TXMLDocument()));
  keep->SetParseOptions({poPreserveWhiteSpace});
  keep->LoadFromBytes(text);
  EXPECT_EQ(keep->DocumentElement()->ChildNodes()->Count(), 5);
}

// Watches a file for any open or read while `fn` runs (0 when inotify is not available; the
// callers also check that nothing of the file reached the tree).
template <class F>
int AccessesDuring(const std::string& path, F&& fn) {
  int fd = inotify_init1(IN_NONBLOCK);
  if (fd < 0 || inotify_add_watch(fd, path.c_str(), IN_OPEN | IN_ACCESS) < 0) {
    if (fd >= 0) close(fd);
    fn();
    return 0;
  }
  fn();
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  return n > 0 ? static_cast<int>(n) : 0;
}

class XMLDocExternalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    char tmpl[512];
    std::snprintf(tmpl, sizeof tmpl, "%s/xmldoc-XXXXXX", tmp && *tmp ? tmp : "/tmp");
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    secret_ = dir_ + "/secret.txt";
    dtd_ = dir_ + "/ext.dtd";
    std::ofstream(secret_) << "SECRET-CONTENT";
    std::ofstream(dtd_) << "<!ENTITY ext \"FROM-DTD\"><!ATTLIST r injected CDATA \"yes\">";
  }
  void TearDown() override {
    std::remove(secret_.c_str());
    std::remove(dtd_.c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_, secret_, dtd_;
};

TEST_F(XMLDocExternalTest, ExternalEntityIsNotRead) {
  std::string text = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY ext SYSTEM \"file://" + secret_ +
                     "\">]><r>&ext;</r>";
  TIntfPtr<IXMLDocument> doc;
  EXPECT_EQ(AccessesDuring(secret_, [&] { doc = LoadXMLDocumentBytes(text); }), 0);
  std::string xml = U8(doc->SaveToXML());
  EXPECT_EQ(xml.find("SECRET"), std::string::npos);
  auto root = doc->DocumentElement();
  ASSERT_EQ(root->ChildNodes()->Count(), 1);
  EXPECT_EQ(root->ChildNodes()->Get(0)->NodeType(), ntEntityRef);
  EXPECT_EQ(U8(root->ChildNodes()->Get(0)->NodeName()), "ext");
}

TEST_F(XMLDocExternalTest, ExternalDtdAndParameterEntityAreNotRead) {
  std::string withDtd = "<!DOCTYPE r SYSTEM \"file://" + dtd_ + "\"><r>&ext;</r>";
  std::string withPe = "<!DOCTYPE r [<!ENTITY % p SYSTEM \"file://" + dtd_ + "\"> %p;]><r/>";
  TIntfPtr<IXMLDocument> a, b;
  EXPECT_EQ(AccessesDuring(dtd_, [&] {
              a = LoadXMLDocumentBytes(withDtd);
              b = LoadXMLDocumentBytes(withPe);
            }),
            0);
  EXPECT_FALSE(a->DocumentElement()->HasAttribute(u"injected"));
  EXPECT_EQ(U8(a->SaveToXML()).find("FROM-DTD"), std::string::npos);
  EXPECT_FALSE(b->DocumentElement()->HasAttribute(u"injected"));
}

TEST(XMLDocTest, MalformedDocumentGivesTheParseErrorText) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"<?xml version=\"1.0\"?>\n<a>\n  <b></a>",
       "Opening and ending tag mismatch: b line 3 and a\nLine: 3\n  <b></a>"},
      {"<r>\n<x a=\"1\" a=\"2\"/></r>", "Attribute a redefined\nLine: 2\n<x a=\"1\" a=\"2\"/></r>"},
      {"", "Document is empty\nLine: 1\n"},
      {"<r>0123456789012345678901234567890123456789TAIL",
       "Premature end of data in tag r line 1\nLine: 1\n<r>0123456789012345678901234567890123456"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      LoadXMLDocumentBytes(c.text);
      ADD_FAILURE() << "no exception";
    } catch (const EDOMParseError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

TEST(XMLDocTest, TextOfElements) {
  auto doc = LoadXMLDocumentBytes("<r><t>v</t><e/><c><![CDATA[<x>]]></c><m>a<b/>c</m></r>");
  auto kids = doc->DocumentElement()->ChildNodes();
  EXPECT_EQ(U8(kids->Nodes(u"t")->Text()), "v");
  EXPECT_EQ(U8(kids->Nodes(u"e")->Text()), "");
  EXPECT_EQ(U8(kids->Nodes(u"c")->Text()), "<x>");
  EXPECT_EQ(U8(kids->Nodes(u"c")->ChildNodes()->Get(0)->XML()), "<![CDATA[<x>]]>");
  try {
    kids->Nodes(u"m")->Text();
    ADD_FAILURE() << "no exception";
  } catch (const EXMLDocError& e) {
    EXPECT_EQ(e.Message(), "Element does not contain a single text node");
  }
  EXPECT_EQ(U8(kids->Nodes(u"m")->XML()), "<m>a<b/>c</m>");
}

// Text kept inside its node (as answers are loaded) reads the same and can still be changed.
TEST(XMLDocTest, CompactTextReadsAndChangesAsUsual) {
  TIntfPtr<IXMLDocument> doc = NewXMLDocument();
  static_cast<TXMLDocument*>(doc.Get())->SetCompactText(true);
  doc->LoadFromBytes("<r><a>short</a><b>" + std::string(200, 'x') + "</b><c>1</c><d>2</d></r>");
  auto kids = doc->DocumentElement()->ChildNodes();
  EXPECT_EQ(U8(kids->Nodes(u"a")->Text()), "short");
  EXPECT_EQ(U8(kids->Nodes(u"b")->Text()), std::string(200, 'x'));
  kids->Nodes(u"a")->SetText(u"a longer text than fits in the node itself");
  kids->Nodes(u"b")->ChildNodes()->Get(0)->SetNodeValue(u"y");
  kids->Nodes(u"c")->ChildNodes()->Get(0)->SetNodeValue(u"a longer value again, to be stored apart");
  kids->Nodes(u"d")->AddChild(u"e");
  EXPECT_EQ(U8(doc->DocumentElement()->XML()),
            "<r><a>a longer text than fits in the node itself</a><b>y</b>"
            "<c>a longer value again, to be stored apart</c><d>2<e/></d></r>");
}

// Messages are written without libxml2's output buffer; the bytes must stay what its
// serialiser writes, for every kind of tree (the unusual ones still go through it).
TEST(XMLDocTest, WritesTreesAsLibxml2Does) {
  const char* const docs[] = {
      "<a/>",
      "<a><b/><c></c><d>text</d></a>",
      "<a x=\"1\" y='two' z=\"&lt;&gt;&amp;&quot;&#10;&#13;&#9;'\">&lt;&gt;&amp;&#13;\"'\n\t</a>",
      "<a xmlns=\"urn:d\" xmlns:p=\"urn:p\" p:at=\"v\"><p:b xml:lang=\"de\">caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80</p:b></a>",
      "<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:xsi=\"urn:xsi\"><e:Body>"
      "<m:op xmlns:m=\"urn:m\"><v xsi:type=\"xsd:string\">1 &lt; 2</v><n xsi:nil=\"true\"/></m:op></e:Body></e:Envelope>",
      "<a>x<![CDATA[<raw>]]>y<!-- note --><?pi data?></a>",
      "<a>&#xE9;&#x1F600;</a>",
      "<a xmlns:q='urn:\"quoted\"'><q:b/></a>",
  };
  for (const char* text : docs) {
    SCOPED_TRACE(text);
    xmlDocPtr ref = xmlReadMemory(text, static_cast<int>(std::strlen(text)), nullptr, "UTF-8", XML_PARSE_NONET);
    ASSERT_NE(ref, nullptr);
    xmlFree(const_cast<xmlChar*>(ref->encoding));
    ref->encoding = xmlStrdup(BAD_CAST "UTF-8");
    xmlBufferPtr buf = xmlBufferCreate();
    xmlNodeDump(buf, ref, xmlDocGetRootElement(ref), 0, 0);
    const std::string expected(reinterpret_cast<const char*>(xmlBufferContent(buf)), xmlBufferLength(buf));
    xmlBufferFree(buf);
    xmlFreeDoc(ref);

    TIntfPtr<IXMLDocument> doc = NewXMLDocument();
    doc->SetParseOptions({poPreserveWhiteSpace});
    doc->LoadFromBytes(text);
    EXPECT_EQ(U8(doc->DocumentElement()->XML()), expected);
    EXPECT_EQ(doc->SaveToBytes(), expected);  // no declaration was loaded, none is written
  }
}

TEST(XMLDocTest, NavigationAndNamespaceLookups) {
  auto doc = LoadXMLDocumentBytes(
      "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:xsi=\"urn:xsi\">"
      "<soap:Body><ns1:r xmlns:ns1=\"urn:svc\" xsi:type=\"ns1:T\" id=\"7\"><v>1</v></ns1:r></soap:Body>"
      "</soap:Envelope>");
  auto env = doc->DocumentElement();
  EXPECT_EQ(U8(env->LocalName()), "Envelope");
  EXPECT_EQ(U8(env->Prefix()), "soap");
  EXPECT_EQ(env->NamespaceURI(), kEnv);
  auto body = env->ChildNodes()->FindNode(u"Body", kEnv);
  ASSERT_TRUE(body);
  auto r = body->ChildNodes()->First();
  EXPECT_EQ(r->ParentNode().Get(), body.Get());  // one interface per node
  EXPECT_EQ(U8(r->GetAttributeNS(u"type", u"urn:xsi")), "ns1:T");
  EXPECT_EQ(U8(r->GetAttribute(u"id")), "7");
  EXPECT_TRUE(r->HasAttribute(u"xsi:type"));
  EXPECT_FALSE(r->HasAttributeNS(u"type", u""));
  EXPECT_EQ(U8(r->FindNamespaceURI(u"ns1")), "urn:svc");
  EXPECT_EQ(U8(r->FindNamespaceURI(u"ns1:T")), "urn:svc");
  EXPECT_EQ(U8(r->FindNamespaceURI(u"soap")), U8(kEnv));
  EXPECT_EQ(U8(r->FindNamespaceURI(u"nope")), "");
  EXPECT_EQ(U8(body->FindNamespaceURI(u"ns1")), "");
  auto attrs = r->AttributeNodes();
  ASSERT_EQ(attrs->Count(), 3);
  EXPECT_EQ(U8(attrs->Get(0)->NodeName()), "xmlns:ns1");
  EXPECT_EQ(U8(attrs->Get(1)->NodeName()), "xsi:type");
  EXPECT_EQ(attrs->Get(1)->NodeType(), ntAttribute);
  EXPECT_EQ(U8(attrs->Get(2)->Text()), "7");
  EXPECT_EQ(r->Attributes(u"missing"), Variant::Null());
  EXPECT_EQ(doc->Node()->NodeType(), ntDocument);
  EXPECT_EQ(env->OwnerDocument().Get(), doc.Get());
  // The XML of a node carries the declarations it needs from its ancestors.
  EXPECT_EQ(U8(r->XML()),
            "<ns1:r xmlns:ns1=\"urn:svc\" xmlns:xsi=\"urn:xsi\" xsi:type=\"ns1:T\" id=\"7\"><v>1</v></ns1:r>");
  EXPECT_THROW(body->ChildNodes()->Get(5), EXMLDocError);
  EXPECT_TRUE(body->ChildNodes()->Nodes(u"created"));  // doNodeAutoCreate
}

TEST(XMLDocTest, NodesOutliveTheirDocumentReferenceAndSurviveRemoval) {
  TIntfPtr<IXMLNode> child;
  {
    auto doc = NewXMLDocument();
    auto root = doc->AddChild(u"r");
    child = root->AddChild(u"c", u"urn:c", true);
    child->SetText(u"v");
    root->ChildNodes()->Remove(child.Get());
    EXPECT_EQ(root->ChildNodes()->Count(), 0);
    EXPECT_EQ(U8(doc->SaveToXML()), "<?xml version=\"1.0\"?><r/>");
  }
  // The removed node keeps its namespace and can go back into its document.
  EXPECT_EQ(U8(child->XML()), "<NS1:c xmlns:NS1=\"urn:c\">v</NS1:c>");
  auto doc = child->OwnerDocument();
  ASSERT_TRUE(doc);
  doc->DocumentElement()->AppendChild(child.Get());
  EXPECT_EQ(U8(doc->SaveToXML()), "<?xml version=\"1.0\"?><r><NS1:c xmlns:NS1=\"urn:c\">v</NS1:c></r>");
}

TEST(XMLDocTest, MovedNodesAreRedeclaredWhereTheyLand) {
  auto doc = NewXMLDocument(u"");
  auto root = doc->AddChild(u"r");
  auto a = root->AddChild(u"a", u"urn:a", true);
  auto inner = a->AddChild(u"x", u"urn:a");
  auto b = root->AddChild(u"b");
  b->AppendChild(inner.Get());
  a->SetText(u"");
  EXPECT_EQ(U8(doc->SaveToXML()), "<r><NS1:a xmlns:NS1=\"urn:a\"/><b><NS1:x xmlns:NS1=\"urn:a\"/></b></r>");
}

TEST(XMLDocTest, ImportCopiesNodesIntoAnotherDocument) {
  auto src = LoadXMLDocumentBytes("<p:r xmlns:p=\"urn:p\" a=\"1\"><p:c>t</p:c><!--n--><?pi d?></p:r>");
  auto c = src->DocumentElement()->ChildNodes()->Get(0);
  auto dst = NewXMLDocument(u"");
  auto root = dst->AddChild(u"holder");
  auto copy = dst->ImportNode(c.Get(), true);
  ASSERT_TRUE(copy);
  root->AppendChild(copy.Get());
  root->AppendChild(dst->ImportNode(src->DocumentElement()->ChildNodes()->Get(1).Get(), true).Get());
  root->AppendChild(dst->ImportNode(src->DocumentElement()->ChildNodes()->Get(2).Get(), true).Get());
  EXPECT_EQ(U8(dst->SaveToXML()), "<holder><p:c xmlns:p=\"urn:p\">t</p:c><!--n--><?pi d?></holder>");
  EXPECT_FALSE(dst->ImportNode(src->Node().Get(), true));
  // A node of another document is refused.
  EXPECT_THROW(root->AppendChild(c.Get()), EXMLDocError);
}

TEST(XMLDocTest, OwnedDocumentBelongsToItsOwner) {
  auto* owner = new TComponent();
  auto* doc = new TXMLDocument(owner);
  doc->SetActive(true);
  TIntfPtr<IXMLNode> root = doc->AddChild(u"r");
  delete owner;  // destroys the document; the node stays usable
  EXPECT_EQ(U8(root->NodeName()), "r");
  EXPECT_FALSE(root->OwnerDocument());
}

}  // namespace
