// The rich-text subset as the report renders it: colours, bold, paragraphs and tab stops.
#include <gtest/gtest.h>

#include "tools/tarvex-dialog/RichText.h"

using namespace tarvex_dialog;

namespace tarvex_dialog {
void PrintTo(const TRichRun& r, std::ostream* os) {
  *os << "{\"" << r.Text << "\", bold " << r.Bold << ", " << (r.AutoColour ? std::string("auto") : std::to_string(r.Colour))
      << "}";
}
}  // namespace tarvex_dialog

namespace {

// The head that the report's renderings start with.
const std::string kHead =
    "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1040{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset0 Lucida Console;}}\r\n"
    "{\\colortbl ;\\red0\\green100\\blue100;\\red0\\green0\\blue0;\\red40\\green40\\blue40;"
    "\\red0\\green0\\blue160;\\red160\\green0\\blue0;\\red80\\green80\\blue80;\\red0\\green100\\blue0;}\r\n"
    "\\f0\\fs16\r\n";

}  // namespace

TEST(RichText, RunsParagraphsAndTabStops) {
  struct TCase {
    const char* Name;
    std::string Body;
    std::vector<std::vector<TRichRun>> Paragraphs;
    std::vector<std::vector<int>> TabStops;
  } cases[] = {
      {"heading in colour 1 and bold; the colour goes on past the paragraph's end",
       "\\cf1\\b Heading\\b0\\par\r\nplain\\cf0  auto",
       {{{"Heading", true, false, 0x006464}}, {{"plain", false, false, 0x006464}, {" auto", false, true, 0}}},
       {{}, {}}},
      {"field line: number dark red, name black, value dark blue",
       "\\cf5   1.1\\cf2  Date : \\cf4 2026",
       {{{"  1.1", false, false, 0xA00000}, {" Date : ", false, false, 0}, {"2026", false, false, 0x0000A0}}},
       {{}}},
      {"escaped braces and backslashes are text",
       "a\\{b\\}c\\\\d",
       {{{"a{b}c\\d", false, true, 0}}},
       {{}}},
      {"a tab stop holds for the following paragraphs until \\pard",
       "x\\par\r\n\\pard\\tx2880\\cf3\\b Stack\\tab Memory\\b0\\par\r\na\\tab b\\par\r\n\\pard c",
       {{{"x", false, true, 0}},
        {{"Stack\tMemory", true, false, 0x282828}},
        {{"a\tb", false, false, 0x282828}},
        {{"c", false, false, 0x282828}}},
       {{}, {2880}, {2880}, {}}},
      {"unknown words and ignorable groups are skipped, hex bytes kept",
       "{\\*\\generator x;}caf\\'e9\\ulnone !",
       {{{"caf\xE9!", false, true, 0}}},
       {{}}},
      {"UTF-8 passes through", "\xC3\xA9t\xC3\xA9", {{{"\xC3\xA9t\xC3\xA9", false, true, 0}}}, {{}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TRichDocument d = ParseRichText(kHead + c.Body + "}");
    EXPECT_EQ(d.FontName, "Lucida Console");
    EXPECT_EQ(d.HalfPoints, 16);
    ASSERT_EQ(d.Paragraphs.size(), c.Paragraphs.size());
    for (size_t i = 0; i < d.Paragraphs.size(); ++i) {
      SCOPED_TRACE("paragraph " + std::to_string(i));
      EXPECT_EQ(d.Paragraphs[i].Runs, c.Paragraphs[i]);
      EXPECT_EQ(d.Paragraphs[i].TabStopsTwips, c.TabStops[i]);
    }
  }
}

TEST(RichText, DamagedInputStillShowsItsWords) {
  for (const std::string& rtf : {std::string("{\\rtf1 unclosed"), std::string("}}}text{"), std::string("\\"),
                                std::string("{\\colortbl ;\\red300;}\\cf1 x\\cf9 y"), std::string("\\'zz")}) {
    SCOPED_TRACE(rtf);
    const TRichDocument d = ParseRichText(rtf);
    EXPECT_FALSE(d.Paragraphs.empty());
  }
  EXPECT_EQ(ParseRichText("{\\rtf1 unclosed").PlainText(), "unclosed");
  EXPECT_EQ(ParseRichText("}}}text{").PlainText(), "text");
}
