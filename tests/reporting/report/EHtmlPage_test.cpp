#include <gtest/gtest.h>

#include <regex>

#include "reporting/report/EReport.h"
#include "tests/reporting/report/ESectionsTestSupport.h"

namespace {

const std::regex kMarker("<!-- TarvexLog ID: [0-9A-F]{8} -->");

// The page with its random marker checked and then replaced by a fixed one.
std::string Normalised(const std::string& page, const std::string& marker) {
  EXPECT_TRUE(std::regex_match(marker, kMarker)) << marker;
  EXPECT_GE(page.size(), marker.size());
  EXPECT_EQ(page.substr(page.size() - marker.size()), marker) << "the marker ends the page";
  return page.substr(0, page.size() - marker.size()) + "<!-- TarvexLog ID: 00000000 -->";
}

const char kReport[] =
    "TarvexLog 6.0.21\r\n"
    "\r\n"
    "  2.6 Message  : Can't open \"a<b>\" & more.\r\n"
    "x   y";

}  // namespace

TEST(HtmlPageTest, DefaultLayoutWithOkButtonGolden) {
  TTarvexModuleOptions options;
  std::string marker;
  std::string page = BuildHtmlPage(options, kReport, true, &marker);
  ExpectGolden("page.html", Normalised(page, marker));
}

TEST(HtmlPageTest, Layouts) {
  struct Case {
    const char* name;
    const char* layout;
    const char* page;  // before the marker
  } cases[] = {
      {"placeholder in any case, written in one", "<p><%html_Tag%></p><%HTML_TAG%>",
       "<title>Error occurred</title><p>a&nbsp;&nbsp;&amp;</p>a&nbsp;&nbsp;&amp;"},
      {"a title of its own", "<TITLE>Mine</Title><%HTML_TAG%>", "<TITLE>Mine</Title>a&nbsp;&nbsp;&amp;"},
      {"a title that is never closed", "<title>x<%HTML_TAG%>",
       "<title>Error occurred</title><title>xa&nbsp;&nbsp;&amp;"},
      {"no placeholder", "<b></b>", "<title>Error occurred</title><b></b>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTarvexModuleOptions options;
    options.SetHtmlLayout(c.layout);
    std::string marker;
    std::string page = BuildHtmlPage(options, "a  &", false, &marker);
    EXPECT_EQ(Normalised(page, marker), std::string(c.page) + "<!-- TarvexLog ID: 00000000 -->");
  }
}

TEST(HtmlPageTest, BlankLayoutFallsBackToTheDefault) {
  for (const char* blank : {"", "   ", "\r\n\t \r\n"}) {
    SCOPED_TRACE(testing::PrintToString(blank));
    TTarvexModuleOptions withBlank, withDefault;
    withBlank.SetHtmlLayout(blank);
    std::string m1, m2;
    std::string page = BuildHtmlPage(withBlank, "x", false, &m1);
    EXPECT_EQ(Normalised(page, m1), Normalised(BuildHtmlPage(withDefault, "x", false, &m2), m2));
  }
}

TEST(HtmlPageTest, TitleTextIsEscaped) {
  TTarvexModuleOptions options;
  options.SetHtmlLayout("<%HTML_TAG%>");
  options.SetText(3, "Fehler <schwer>");
  std::string marker;
  std::string page = BuildHtmlPage(options, "", false, &marker);
  EXPECT_EQ(Normalised(page, marker), "<title>Fehler &lt;schwer&gt;</title><!-- TarvexLog ID: 00000000 -->");
}

TEST(HtmlPageTest, EveryPageHasItsOwnMarker) {
  TTarvexModuleOptions options;
  std::string m1, m2;
  BuildHtmlPage(options, "x", false, &m1);
  BuildHtmlPage(options, "x", false, &m2);
  EXPECT_NE(m1, m2);  // two random 32-bit numbers: equal once in 2^32 runs
  EXPECT_NO_FATAL_FAILURE(BuildHtmlPage(options, "x", false));
}
