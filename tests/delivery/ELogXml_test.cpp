#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>

#include <memory>

#include "delivery/ELogManager.h"
#include "delivery/EXMLBuilder.h"
#include "reporting/report/ELogItem.h"
#include "tests/delivery/LogSamples.h"

namespace {

// The export parsed by libxml2, without network, entities or DTDs; null when it does not parse.
struct TXmlDoc {
  explicit TXmlDoc(const std::string& text)
      : doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), "log.xml", nullptr, XML_PARSE_NONET),
            xmlFreeDoc) {}
  std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc;

  // The text of the first node an XPath expression selects; "<none>" when it selects none.
  std::string Value(const std::string& path) const {
    std::unique_ptr<xmlXPathContext, void (*)(xmlXPathContextPtr)> ctx(xmlXPathNewContext(doc.get()),
                                                                         xmlXPathFreeContext);
    std::unique_ptr<xmlXPathObject, void (*)(xmlXPathObjectPtr)> r(
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(path.c_str()), ctx.get()), xmlXPathFreeObject);
    if (!r || !r->nodesetval || r->nodesetval->nodeNr == 0) return "<none>";
    xmlChar* content = xmlNodeGetContent(r->nodesetval->nodeTab[0]);
    std::string text = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return text;
  }
  int Count(const std::string& path) const {
    std::unique_ptr<xmlXPathContext, void (*)(xmlXPathContextPtr)> ctx(xmlXPathNewContext(doc.get()),
                                                                         xmlXPathFreeContext);
    std::unique_ptr<xmlXPathObject, void (*)(xmlXPathObjectPtr)> r(
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(path.c_str()), ctx.get()), xmlXPathFreeObject);
    return r && r->nodesetval ? r->nodesetval->nodeNr : 0;
  }
};

}  // namespace

TEST(LogXmlTest, EscapingPerCodePoint) {
  struct Case {
    const char* name;
    std::string text;
    std::string escaped;
  } cases[] = {
      {"less-than", "<", "&#060;"},
      {"greater-than", ">", "&#062;"},
      {"e acute in UTF-8", "\xC3\xA9", "&#233;"},
      {"euro sign", "\xE2\x82\xAC", "&#8364;"},
      {"beyond the basic plane", "\xF0\x9F\x9A\xA2", "&#128674;"},
      {"control character", "a\x01z", "a&#65533;z"},
      {"NUL", std::string("\0", 1), "&#65533;"},
      {"tab, LF and CR", "\t\n\r", "&#009;&#010;&#013;"},
      {"quotes and ampersand", "\"&'", "&#034;&#038;&#039;"},
      {"DEL", "\x7F", "&#127;"},
      {"a lone byte that is not UTF-8", "caf\xE9", "caf&#233;"},
      {"a surrogate encoded in UTF-8", "\xED\xA0\x80", "&#237;&#160;&#128;"},
      {"a cut sequence", "\xE2\x82", "&#226;&#130;"},
      {"U+FFFF", "\xEF\xBF\xBF", "&#65533;"},
      {"plain text", "Busan -> London", "Busan -&#062; London"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(XmlEscape(c.text), c.escaped);
    TXMLItem item("Line");
    item.AddAttribute("Value", c.text);
    TXmlDoc doc(item.GetXML());
    ASSERT_TRUE(doc.doc) << item.GetXML();
  }
}

TEST(LogXmlTest, ElementText) {
  TXMLItem doc("Doc");
  EXPECT_EQ(doc.GetXML(), "<Doc/>\r\n");
  TXMLItem* log = doc.AddChild("Log");
  log->AddAttribute("Version", "6.0.21");
  log->AddChild("General")->AddAttribute("A", "1");
  TXMLItem* text = doc.AddChild("Text");
  text->InnerText = "inner";
  EXPECT_EQ(doc.GetXML(" "),
            " <Doc>\r\n"
            "   <Log Version=\"6.0.21\">\r\n"
            "     <General A=\"1\"/>\r\n"
            "   </Log>\r\n"
            "   <Text>inner</Text>\r\n"
            " </Doc>\r\n");
  EXPECT_EQ(log->Parent(), &doc);
}

TEST(LogXmlTest, ExportOfAReport) {
  TLogFile log("", false);
  log.Add(SampleReport("A1DF", "1.2.3.4", "Cannot reach <host> & port\r\nLeg: 2 \xE2\x82\xAC"));
  log.Add(SampleReport("B000"));
  const std::string xml = log.GetXML();
  EXPECT_EQ(xml.rfind("<Doc>\r\n  <Log Version=\"6.0.21\">\r\n    <General>\r\n      <Group ID=\"1\" Label=\"Application\">", 0),
            0u)
      << xml.substr(0, 300);
  EXPECT_EQ(xml.find("<?xml"), std::string::npos);
  EXPECT_EQ(xml.find('\n'), xml.find("\r\n") + 1);
  TXmlDoc doc(xml);
  ASSERT_TRUE(doc.doc);
  struct Case {
    const char* path;
    std::string value;
  } cases[] = {
      {"count(/Doc/Log)", "2"},
      {"/Doc/Log[1]/General/Group[2]/@Label", "Exception"},
      {"/Doc/Log[1]/General/Group[2]/Line[7]/@ID", "2.7"},
      {"/Doc/Log[1]/General/Group[2]/Line[7]/@Value", "A1DF"},
      {"/Doc/Log[1]/General/Group[2]/Line[6]/@Value", "Cannot reach <host> & port\r\nLeg: 2 \xE2\x82\xAC"},
      {"/Doc/Log[1]/General/Group[1]/Line[2]/@Label", "Name/Description"},
      {"/Doc/Log[1]/General/Group[3]/Line[2]/@Value", "CAP_CHOWN - ON\r\nCAP_KILL - ON"},
      {"/Doc/Log[2]/General/Group[2]/Line[10]/@Value", ""},
      {"/Doc/Log[1]/CallStack/ExceptionThread/@ID", "16131"},
      {"/Doc/Log[1]/CallStack/ExceptionThread/@MainThread", "True"},
      {"count(/Doc/Log[1]/CallStack/ExceptionThread/Line)", "3"},
      {"/Doc/Log[1]/CallStack/ExceptionThread/Line[1]/@Address", "000055982230737A"},
      {"/Doc/Log[1]/CallStack/ExceptionThread/Line[1]/@Procedure", "(anonymous namespace)::ThrowUncaught"},
      {"/Doc/Log[1]/CallStack/ExceptionThread/Line[1]/@Number", "67"},
      {"/Doc/Log[1]/CallStack/ExceptionThread/Line[1]/@Offset", "0"},
      {"/Doc/Log[1]/CallStack/ExceptionThread/CallingThread/@Class", "TRouteWorker"},
      {"/Doc/Log[1]/CallStack/ExceptionThread/CallingThread/@MainThread", "False"},
      {"count(/Doc/Log[1]/CallStack/ExceptionThread/CallingThread/Line)", "1"},
      {"/Doc/Log[1]/CallStack/RunningThread/@Priority", "??"},
      {"/Doc/Log[1]/CallStack/RunningThread/Line/@Procedure", "_Run"},
      {"/Doc/Log[1]/CallStack/RunningThread/Line/@Unit", "Worker.cpp"},
      {"count(/Doc/Log[1]/Modules/Module)", "2"},
      {"/Doc/Log[1]/Modules/Module[2]/@Name", "libgpg-error.so.0"},
      {"/Doc/Log[1]/Modules/Module[2]/@Modified", "2022-10-18 20:22:48"},
      {"/Doc/Log[1]/Modules/Module[2]/@Path", "/lib/x86_64-linux-gnu"},
      {"/Doc/Log[1]/Processes/Process[1]/@Priority", "Above-Normal"},
      {"/Doc/Log[1]/Processes/Process[1]/@Threads", "45"},
      {"/Doc/Log[1]/Assembler/Line[1]/@Comment", "EFlow_child.(anonymous namespace)::ThrowUncaught (Line=67 - Offset=0)"},
      {"/Doc/Log[1]/Assembler/Line[3]/@Address", "000055982230737A"},
      {"/Doc/Log[1]/Assembler/Line[3]/@Command", "call 0x5598223070c0"},
      {"/Doc/Log[1]/Assembler/Line[3]/@Comment", "<-- EXCEPTION"},
      {"/Doc/Log[1]/CPU/Registers/@RBX", "00005598540E2B20"},
      {"/Doc/Log[1]/CPU/Registers/@RIP", "000055982230737F"},
      {"/Doc/Log[1]/CPU/Registers/@R15", "0000000000000000"},
      {"count(/Doc/Log[1]/CPU/Registers/@RAX)", "0"},
      {"count(/Doc/Log[1]/CPU/Stack/Line)", "16"},
      {"/Doc/Log[1]/CPU/Stack/Line[2]/@Address", "00007FFC69EDF108"},
      {"/Doc/Log[1]/CPU/Stack/Line[2]/@Value", "00007FFC69EDF140"},
      {"/Doc/Log[1]/CPU/MemoryDump/Line[1]/@Address", "000055982230737A"},
      {"/Doc/Log[1]/CPU/MemoryDump/Line[1]/@Bytes", "E8 41 FD FF FF 48 89 C5 48 89 DF E8 D6 F2 FF FF"},
      {"/Doc/Log[1]/CPU/MemoryDump/Line[16]/@Chars", "..../..H..@...[]"},
      {"count(/Doc/Log[1]/HoToReproduce/@*)", "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (std::string(c.path).rfind("count(", 0) == 0) {
      std::string inner(c.path + 6, std::string(c.path).size() - 7);
      EXPECT_EQ(std::to_string(doc.Count(inner)), c.value);
    } else {
      EXPECT_EQ(doc.Value(c.path), c.value);
    }
  }
}

TEST(LogXmlTest, ShortAndOddEntriesStillExport) {
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"only a table", "TarvexLog 6.0.21\r\n--\r\n|a|\r\n--\r\n"},
      {"CPU lines cut short",
       SampleReport("1").substr(0, SampleReport("1").find("00007FFC69EDF108")) + "0000\r\n00007FFC69EDF1: 0000\r\n"},
      {"no version", "TarvexLog\r\n\r\nTitle:\r\n---\r\n|x|\r\n---\r\n"},
      {"old version", "TarvexLog 4.2\r\n\r\nCall Stack:\r\n---\r\n|A|B|C|D|E|F|\r\n---\r\n|1|m|u|c|@p|3|\r\n---\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLogFile log("", false);
    log.Add(c.text);
    TXmlDoc doc(log.GetXML());
    EXPECT_TRUE(doc.doc) << log.GetXML();
  }
}
