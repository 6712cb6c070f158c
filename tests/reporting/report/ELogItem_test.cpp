#include "reporting/report/ELogItem.h"

#include <gtest/gtest.h>

namespace {

TEST(LogItem, AlignsValuesAndUnderlinesEachSection) {
  TLogItem item;
  item.AddHeader("Application");
  item.AddItem("Start Date", "Thu, 10 Dec 2026 13:04:23 +0100");
  item.AddItem("Name", "zelk");
  item.AddHeader("Exception");
  item.AddItem("Address", "");
  EXPECT_EQ(item.GetText(),
            "Application:\r\n"
            "-------------------------------------------------\r\n"
            "  1.1 Start Date: Thu, 10 Dec 2026 13:04:23 +0100\r\n"
            "  1.2 Name      : zelk\r\n"
            "\r\n"
            "Exception:\r\n"
            "---------------\r\n"
            "  2.1 Address: ");
}

TEST(LogItem, HiddenFieldsKeepTheirNumbersAndEmptySectionsDisappear) {
  TLogItem item;
  item.AddHeader("A");
  item.AddItem("One", "1", false);
  item.AddItem("Two", "2");
  item.AddHeader("B");
  item.AddItem("Gone", "x", false);
  item.AddHeader("C");
  item.AddItem("Three", "3");
  EXPECT_EQ(item.GetText(),
            "A:\r\n------------\r\n  1.2 Two: 2\r\n"
            "\r\n"
            "C:\r\n--------------\r\n  3.1 Three: 3");
  EXPECT_EQ(item.Section(), 3);
  EXPECT_EQ(item.Item(), 1);

  TLogItem none;
  none.AddHeader("A");
  none.AddItem("One", "1", false);
  EXPECT_EQ(none.GetText(), "");
}

TEST(LogItem, StartsAfterTheGivenSection) {
  TLogItem item(7);
  item.AddHeader("Request");
  item.AddItem("", "Pressed the button twice");
  EXPECT_EQ(item.GetText(), "Request:\r\n--------------------------------\r\n  8.1 : Pressed the button twice");
}

TEST(LogItem, MultiLineValuesAreEncodedAndIndentedUnderTheValues) {
  TLogItem item;
  item.AddHeader("S");
  item.AddItem("Message", "First: one\n\nThird:\rend: x\r\n");
  item.AddItem("ID", "1: 2");  // a one-line value keeps its ": "
  EXPECT_EQ(item.GetText(),
            "S:\r\n"
            "-------------------------\r\n"
            "  1.1 Message: First:_one\r\n"
            "               .\r\n"
            "               Third:\r\n"
            "               end:_x\r\n"
            "               .\r\n"
            "  1.2 ID     : 1: 2");
}

TEST(LogItem, EncodesValues) {
  struct Case {
    const char* Name;
    std::string Value;
    std::vector<std::string> Lines;
  };
  const Case cases[] = {
      {"one line", "a: b", {"a: b"}},
      {"empty", "", {""}},
      {"lone LF", "a\nb", {"a", " b"}},
      {"lone CR", "a\rb", {"a", " b"}},
      {"CR LF", "a\r\nb", {"a", " b"}},
      {"blank line", "a\r\n  \r\nb", {"a", " .", " b"}},
      {"leading break", "\r\na", {".", " a"}},
      {"colons", "k: v: w\r\nx:y", {"k:_v:_w", " x:y"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(EncodeLogItemValue(c.Value), c.Lines);
  }
}

}  // namespace
