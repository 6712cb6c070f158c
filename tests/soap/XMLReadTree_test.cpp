#include "soap/XMLReadTree.h"

#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

std::string U8(const WideString& w) { return Utf16ToUtf8(w); }

TIntfPtr<IXMLDocument> LoadDom(const std::string& bytes, TParseOptions options = {}) {
  TIntfPtr<IXMLDocument> doc(static_cast<IXMLDocument*>(new TXMLDocument()));
  doc->SetParseOptions(options);
  doc->LoadFromBytes(bytes);
  return doc;
}

// What a reader can see of one node, written out so that two trees compare as text.
std::string Describe(IXMLNode* n) {
  std::string s = std::string(NodeTypeName(n->NodeType())) + " name=" + U8(n->NodeName()) +
                  " local=" + U8(n->LocalName()) + " uri=" + U8(n->NamespaceURI()) + " prefix=" + U8(n->Prefix()) +
                  " value=" + U8(n->NodeValue()) + " xml=" + U8(n->XML());
  if (n->NodeType() == ntElement) {
    s += n->IsTextElement() ? " text=" + U8(n->Text()) : std::string(" mixed");
    for (const char16_t* p : {u"", u"p", u"q", u"xsi", u"xml", u"xmlns"}) s += " ns(" + U8(p) + ")=" + U8(n->FindNamespaceURI(p));
    for (const char16_t* u : {u"urn:a", u"urn:b"})
      if (TIntfPtr<IXMLNode> d = n->FindNamespaceDecl(u)) s += " decl(" + U8(u) + ")=" + U8(d->NodeName());
    TIntfPtr<IXMLNodeList> attrs = n->AttributeNodes();
    for (int i = 0; i < attrs->Count(); ++i) {
      TIntfPtr<IXMLNode> a = attrs->Get(i);
      s += "\n  @" + Describe(a.Get());
      s += " get=" + U8(n->GetAttribute(a->NodeName())) + " getNS=" + U8(n->GetAttributeNS(a->LocalName(), a->NamespaceURI()));
      EXPECT_EQ(a->ParentNode().Get(), n);
    }
  }
  s += "\n";
  for (TIntfPtr<IXMLNode> c = n->FirstChild(); c; c = c->NextSibling()) {
    EXPECT_EQ(c->ParentNode().Get(), n);
    s += Describe(c.Get());
  }
  return s;
}

std::string DescribeDoc(IXMLDocument* doc) {
  return "version=" + U8(doc->Version()) + " encoding=" + U8(doc->Encoding()) + " standalone=" +
         U8(doc->StandAlone()) + "\n" + Describe(doc->Node().Get()) + "saved=" + U8(doc->SaveToXML());
}

struct Sample {
  const char* name;
  std::string text;
  TParseOptions options;
};

std::string Utf16Le(const std::u16string& text) {
  std::string bytes("\xFF\xFE", 2);
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

// Every reading operation gives on the read-only tree what it gives on the DOM.
TEST(XMLReadTreeTest, ReadsAsTheDocumentComponentDoes) {
  const std::string soap =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><soapenv:Envelope "
      "xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><soapenv:Body><ns1:r xmlns:ns1=\"urn:a\">"
      "<v xsi:type=\"xsd:int\">1</v><s href=\"#id0\"/></ns1:r><multiRef id=\"id0\">x</multiRef></soapenv:Body>"
      "</soapenv:Envelope>";
  const Sample samples[] = {
      {"a SOAP answer", soap, {}},
      {"namespaces declared, redeclared and defaulted",
       "<p:r xmlns:p=\"urn:a\" xmlns=\"urn:b\" xmlns:q='urn:\"q\"'><a p:x=\"1\" q:y=\"2\" z=\"3\"><p:b xmlns:p=\"urn:b\">"
       "<c xmlns=\"\"/></p:b></a><u:v w:x=\"1\"/></p:r>",
       {}},
      {"white space between elements and in them",
       "<r>\n <a> </a>\n <b>x <c/> </b> <d><e/> <f/></d><g xml:space=\"preserve\"> <h/> </g>\t</r>", {}},
      {"white space kept", "<r>\n <a> </a>\n <b>x <c/> </b>\n</r>", {poPreserveWhiteSpace}},
      {"text, references, CDATA, comments and instructions",
       "<?xml version=\"1.0\" standalone=\"yes\"?><!--top--><?pi top?><r a=\"x &amp; &lt;&#65;&quot;\t\n\">a&amp;b&#x20AC;"
       "<![CDATA[<x>]]>]]&gt;<![CDATA[]]><!--c--><?t d?><?e?>\r\n</r><!--end-->",
       {}},
      {"a DTD, entities and defaults",
       "<!DOCTYPE r [<!ENTITY e \"ent<i>x</i>\"><!ENTITY v \"val\"><!ATTLIST r d CDATA \"def\">]>"
       "<r a=\"&v;-&amp;\">x&e;y&e;<m>&v;</m></r>",
       {}},
      {"UTF-16 with a byte-order mark",
       Utf16Le(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><r a=\"\u00e9\"><t>\u4e2d\u00fc</t></r>"), {}},
      {"ISO-8859-1", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>caf\xE9</r>", {}},
      {"long text in pieces", "<r><t>" + std::string(70000, 'x') + "&amp;" + std::string(700, ' ') + "</t>" +
                                  std::string(900, ' ') + "<u/></r>",
       {}},
  };
  for (const Sample& s : samples) {
    SCOPED_TRACE(s.name);
    TIntfPtr<IXMLDocument> dom = LoadDom(s.text, s.options);
    TIntfPtr<IXMLDocument> read = LoadXMLReadOnly(s.text, s.options);
    EXPECT_TRUE(IsReadOnlyXMLDocument(read.Get()));
    EXPECT_EQ(DescribeDoc(read.Get()), DescribeDoc(dom.Get()));
    EXPECT_EQ(read->SaveToBytes(), dom->SaveToBytes());
  }
}

// Malformed and hostile documents fail as on the DOM, with the same text.
TEST(XMLReadTreeTest, RefusesWhatTheDocumentComponentRefuses) {
  auto repeat = [](const std::string& piece, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += piece;
    return out;
  };
  std::string laughs = "<!DOCTYPE r [<!ENTITY l0 \"lol\">";
  for (int i = 1; i < 12; ++i)
    laughs += "<!ENTITY l" + std::to_string(i) + " \"" + repeat("&l" + std::to_string(i - 1) + ";", 10) + "\">";
  const Sample samples[] = {
      {"mismatched tags", "<?xml version=\"1.0\"?>\n<a>\n  <b></a>", {}},
      {"a repeated attribute", "<r>\n<x a=\"1\" a=\"2\"/></r>", {}},
      {"nothing", "", {}},
      {"no element", "<?xml version=\"1.0\"?><!--c-->", {}},
      {"cut short", "<r>0123456789012345678901234567890123456789TAIL", {}},
      {"too deep", repeat("<a>", 300) + repeat("</a>", 300), {}},
      {"entity expansion", laughs + "]><r>&l11;</r>", {}},
      {"entity expansion in an attribute", laughs + "]><r a=\"&l11;\"/>", {}},
      {"an undeclared entity", "<r>&nope;</r>", {}},
      {"an external entity", "<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r>&x;</r>", {}},
  };
  for (const Sample& s : samples) {
    SCOPED_TRACE(s.name);
    std::string dom, read;
    try {
      dom = DescribeDoc(LoadDom(s.text).Get());
    } catch (const EDOMParseError& e) {
      dom = "error: " + e.Message();
    }
    try {
      read = DescribeDoc(LoadXMLReadOnly(s.text).Get());
    } catch (const EDOMParseError& e) {
      read = "error: " + e.Message();
    }
    EXPECT_EQ(read, dom);
    // Only the external entity loads, as an unresolved reference.
    EXPECT_EQ(read.rfind("error: ", 0) == 0, std::string(s.name) != "an external entity") << read;
    EXPECT_EQ(read.find("root:"), std::string::npos);
  }
}

// Plain UTF-8 documents are read without libxml2's parser, and anything near the edge of
// what that reading covers (or malformed) goes to the parser: either way the tree, or the
// error, is the document component's.
TEST(XMLReadTreeTest, PlainDocumentsReadAsTheParserReadsThem) {
  const Sample samples[] = {
      {"declaration with single quotes and standalone",
       "<?xml version='1.0' encoding='UTF-8' standalone='no'?><r a='x\"y'/>", {}},
      {"declaration without an encoding", "<?xml version=\"1.0\"?>\n<r/>\n", {}},
      {"declaration with another encoding", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>\xE9</r>", {}},
      {"no declaration, blanks around the root", " \n\t<r>x</r>\n ", {}},
      {"namespaces in scope, default undeclared, prefixed attributes",
       "<s:E xmlns:s=\"urn:s\" xmlns=\"urn:d\" xmlns:i=\"urn:i\"><a i:type=\"s:T\" b=\"1\"><c xmlns=\"\">t</c>"
       "<s:d xmlns:s=\"urn:s2\" s:k=\"v\"/></a></s:E>",
       {}},
      {"text with references", "<r><a>a&amp;b &lt;c&gt; &quot;&apos;&#65;&#x20AC;&#x1D11E;</a><b>]] &gt;</b></r>", {}},
      {"UTF-8 in text, attributes and everywhere but names",
       "<r v=\"caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9D\x84\x9E\"><t>\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80</t></r>", {}},
      {"white space between elements and as whole content",
       "<r>\n\t<a>  </a>\n  <b>\t</b><c/>  <d> x </d>\n</r>", {}},
      {"empty elements and attributes", "<r a=\"\"><e/><f></f><g a=\"\" b='>'/></r>", {}},
      {"mixed content", "<r>a<b/>c</r>", {}},
      {"white space before text in an element with children", "<r><b/>  x</r>", {}},
      {"line ends to normalise", "<r>\r\n<a>x\r\ny</a>\r</r>", {}},
      {"white space in an attribute", "<r a=\"x\ty\nz\"/>", {}},
      {"a reference in an attribute", "<r a=\"x&amp;y&#65;\"/>", {}},
      {"a blank character reference", "<r><a>&#32;</a><b>&#10;<c/></b></r>", {}},
      {"an unbound prefix", "<r><p:a/><b q:c=\"1\"/></r>", {}},
      {"the xml prefix", "<r xml:lang=\"en\"><a xml:space=\"preserve\"> <b/> </a></r>", {}},
      {"comments, instructions and CDATA", "<r><!--c--><a><![CDATA[x]]></a><?p d?></r><!--e-->", {}},
      {"a byte-order mark", "\xEF\xBB\xBF<r>x</r>", {}},
  };
  const Sample malformed[] = {
      {"bytes that are not UTF-8", "<r>\xC3\x28</r>", {}},
      {"an overlong UTF-8 form", "<r a=\"\xC0\xAF\"/>", {}},
      {"a surrogate in UTF-8", "<r>\xED\xA0\x80</r>", {}},
      {"a control character", "<r>a\x01b</r>", {}},
      {"]]> in text", "<r>a]]>b</r>", {}},
      {"a character reference to nothing", "<r>&#0;</r>", {}},
      {"a lone ampersand", "<r>a & b</r>", {}},
      {"a name that starts with a digit", "<r><1a/></r>", {}},
      {"attributes without space between them", "<r a=\"1\"b=\"2\"/>", {}},
      {"an unquoted attribute", "<r a=1/>", {}},
      {"< in an attribute", "<r a=\"<\"/>", {}},
      {"one attribute under two prefixes", "<r xmlns:a=\"u\" xmlns:b=\"u\"><x a:y=\"1\" b:y=\"2\"/></r>", {}},
      {"a namespace declared twice", "<r xmlns:a=\"u\" xmlns:a=\"v\"/>", {}},
      {"an empty prefixed namespace", "<r xmlns:a=\"\"/>", {}},
      {"an end tag of another prefix", "<a:r xmlns:a=\"u\" xmlns:b=\"u\"></b:r>", {}},
      {"an end tag longer than the start", "<r></rr>", {}},
      {"text after the root", "<r/>x", {}},
      {"a second root", "<r/><s/>", {}},
      {"cut short in a tag", "<r><a b=\"1", {}},
      {"cut short in text", "<r>abc", {}},
  };
  auto load = [](const Sample& s, bool readOnly) {
    try {
      return DescribeDoc(readOnly ? LoadXMLReadOnly(s.text, s.options).Get() : LoadDom(s.text, s.options).Get());
    } catch (const EDOMParseError& e) {
      return "error: " + e.Message();
    }
  };
  for (const Sample& s : samples) {
    SCOPED_TRACE(s.name);
    const std::string read = load(s, true);
    EXPECT_EQ(read, load(s, false));
    EXPECT_EQ(read.rfind("error: ", 0), std::string::npos) << read;
  }
  for (const Sample& s : malformed) {
    SCOPED_TRACE(s.name);
    const std::string read = load(s, true);
    EXPECT_EQ(read, load(s, false));
  }
}

// Small changes to a plain answer (a byte dropped, a markup character put in, a piece
// repeated) land on both sides of what the direct reading covers: each reads, or fails, as
// the document component has it.
TEST(XMLReadTreeTest, ChangedAnswersReadAsTheParserReadsThem) {
  const std::string answer =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><e:Envelope xmlns:e=\"urn:e\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><e:Body><n:r xmlns:n=\"urn:n\">"
      "<v xsi:type=\"n:T\" id='i1'><a>1&amp;2</a> <b>caf\xC3\xA9</b><c/></v>\n<w xmlns=\"urn:d\">x</w>"
      "</n:r></e:Body></e:Envelope>";
  const std::string inserts[] = {"<", ">", "&", "\"", "'", " ", "\n", "\r", "\t", ":", "/", "=", "]]>", ";", "#",
                                 "&#32;", "&lt;", std::string(1, '\0'), "\x01", "\xC3", "\xFF", "x", "<!--c-->",
                                 "</a>", "<p:q/>", " xmlns=''", " a='1'", "xmlns:"};
  std::mt19937 random(17);
  int changed = 0;
  for (int i = 0; i < 1200; ++i) {
    std::string text = answer;
    const size_t at = random() % text.size();
    switch (random() % 3) {
      case 0: text.erase(at, 1 + random() % 3); break;
      case 1: text.insert(at, inserts[random() % std::size(inserts)]); break;
      default: text.insert(at, text.substr(random() % text.size(), 1 + random() % 12)); break;
    }
    auto describe = [&](bool readOnly) {
      try {
        return DescribeDoc(readOnly ? LoadXMLReadOnly(text).Get() : LoadDom(text).Get());
      } catch (const EDOMParseError& e) {
        return "error: " + e.Message();
      }
    };
    const std::string read = describe(true);
    EXPECT_EQ(read, describe(false)) << text;
    if (read.rfind("error: ", 0) != 0) ++changed;
  }
  // Both kinds of change were met: documents that still read, and documents that fail.
  EXPECT_GT(changed, 50);
  EXPECT_LT(changed, 1150);
}

// Answers read one after another on one thread share the parser's state: nothing of one
// answer (an error, a DTD's defaults and entities, the white-space option) reaches the next.
TEST(XMLReadTreeTest, OneAnswerLeavesNothingToTheNext) {
  const Sample sequence[] = {
      {"cut short", "<r><a>1</a", {}},
      {"plain after an error", "<r><a>1</a></r>", {}},
      {"a DTD with defaults and entities", "<!DOCTYPE r [<!ATTLIST r d CDATA \"def\"><!ENTITY v \"val\">]><r>&v;</r>", {}},
      {"the same element without the DTD", "<r>text</r>", {}},
      {"an undeclared entity after the declared one", "<r>&v;</r>", {}},
      {"white space kept", "<r>\n <a> </a>\n</r>", {poPreserveWhiteSpace}},
      {"white space dropped again", "<r>\n <a> </a>\n</r>", {}},
      {"a repeated attribute", "<r a=\"1\" a=\"2\"/>", {}},
      {"plain at the end", "<p:r xmlns:p=\"urn:a\"><p:b/></p:r>", {}},
  };
  for (int round = 0; round < 2; ++round)
    for (const Sample& s : sequence) {
      SCOPED_TRACE(s.name);
      std::string dom, read;
      try {
        dom = DescribeDoc(LoadDom(s.text, s.options).Get());
      } catch (const EDOMParseError& e) {
        dom = "error: " + e.Message();
      }
      try {
        read = DescribeDoc(LoadXMLReadOnly(s.text, s.options).Get());
      } catch (const EDOMParseError& e) {
        read = "error: " + e.Message();
      }
      EXPECT_EQ(read, dom);
    }
}

TEST(XMLReadTreeTest, ChangesAreRefused) {
  TIntfPtr<IXMLDocument> doc = LoadXMLReadOnly("<r a=\"1\"><c/></r>");
  TIntfPtr<IXMLNode> r = doc->DocumentElement();
  TIntfPtr<IXMLNode> c = r->FirstChild();
  struct Case {
    const char* name;
    std::function<void()> change;
  } cases[] = {
      {"AddChild", [&] { r->AddChild(u"x"); }},
      {"AppendChild", [&] { r->AppendChild(c.Get()); }},
      {"SetText", [&] { c->SetText(u"t"); }},
      {"SetAttribute", [&] { r->SetAttribute(u"a", u"2"); }},
      {"RemoveAttribute", [&] { r->RemoveAttribute(u"a"); }},
      {"DeclareNamespace", [&] { r->DeclareNamespace(u"p", u"urn:p"); }},
      {"CloneNode", [&] { r->CloneNode(true); }},
      {"list Delete", [&] { r->ChildNodes()->Delete(0); }},
      {"CreateElement", [&] { doc->CreateElement(u"x", u""); }},
      {"LoadFromBytes", [&] { doc->LoadFromBytes("<r/>"); }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    try {
      k.change();
      ADD_FAILURE() << "no exception";
    } catch (const EXMLDocError& e) {
      EXPECT_EQ(e.Message(), "The document is read-only");
    }
  }
  EXPECT_EQ(U8(doc->SaveToXML()), "<r a=\"1\"><c/></r>");
}

// Nodes keep their document alive; an ordinary document imports them, namespaces included.
TEST(XMLReadTreeTest, NodesOutliveTheDocumentAndImportIntoTheDom) {
  const std::string text =
      "<p:r xmlns:p=\"urn:a\" xmlns:x=\"urn:x\"><p:item x:k=\"v\" n=\"1\">t<!--c--><![CDATA[d]]><q/></p:item></p:r>";
  TIntfPtr<IXMLNode> item = LoadXMLReadOnly(text)->DocumentElement()->FirstChild();
  EXPECT_EQ(U8(item->XML()),
            "<p:item xmlns:p=\"urn:a\" xmlns:x=\"urn:x\" x:k=\"v\" n=\"1\">t<!--c--><![CDATA[d]]><q/></p:item>");
  EXPECT_EQ(U8(item->OwnerDocument()->DocumentElement()->NodeName()), "p:r");

  TIntfPtr<IXMLDocument> dom = NewXMLDocument();
  TIntfPtr<IXMLNode> copy = dom->ImportNode(item.Get(), true);
  EXPECT_FALSE(IsReadOnlyXMLNode(copy.Get()));
  dom->SetDocumentElement(copy.Get());
  EXPECT_EQ(U8(copy->XML()), U8(LoadDom(text)->DocumentElement()->FirstChild()->XML()));
  copy->SetAttribute(u"n", u"2");
  EXPECT_EQ(U8(copy->GetAttribute(u"n")), "2");
  EXPECT_EQ(U8(item->GetAttribute(u"n")), "1");
}

TEST(XMLReadTreeTest, IdsAreFoundInDocumentOrder) {
  TIntfPtr<IXMLDocument> doc = LoadXMLReadOnly("<r id=\"0\"><a><b id=\"1\"/></a><c id=\"2\"><d/></c>x<e p:id=\"3\" xmlns:p=\"u\"/></r>");
  std::vector<std::string> seen;
  ForEachElementWithAttribute(doc.Get(), u"id", [&](IXMLNode* n, const WideString& id) {
    seen.push_back(U8(n->NodeName()) + "=" + U8(id));
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"r=0", "b=1", "c=2"}));
}

}  // namespace
