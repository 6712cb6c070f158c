#include "runtime/SysUtils.h"

#include <gtest/gtest.h>

namespace {

class FormatTest : public ::testing::Test {
 protected:
  void SetUp() override { SetFormatSettings({".", ","}); }
  void TearDown() override { ReloadFormatSettings(); }
};

struct FormatCase {
  const char* pattern;
  std::vector<TVarRec> args;
  const char* expected;
};

TEST_F(FormatTest, Patterns) {
  const FormatCase cases[] = {
      {"Return Code : %d", {0}, "Return Code : 0"},
      {"%d", {-1}, "-1"},
      {"%.2d", {5}, "05"},
      {"%0.2d", {7}, "07"},
      {"%.3d", {-7}, "-007"},
      {"%5d|%-5d|", {42, 42}, "   42|42   |"},
      {"%8.8x", {0x1F}, "0000001F"},
      {"%x", {-1}, "FFFFFFFF"},
      {"%x", {int64_t{-1}}, "FFFFFFFFFFFFFFFF"},
      {"%u", {-1}, "4294967295"},
      {"%s and %s", {"a", std::u16string(u"\u00e9")}, "a and \u00e9"},
      {"%.2s", {"abcdef"}, "ab"},
      {"%1:s %0:s", {"x", "y"}, "y x"},
      {"%*d", {4, 1}, "   1"},
      {"100%%", {}, "100%"},
      {"%p", {reinterpret_cast<const void*>(0x1234)}, "0000000000001234"},
      {"%n", {12345.678}, "12,345.68"},
      {"%n", {0.0}, "0.00"},
      {"%n", {-1.0}, "-1.00"},
      {"%n", {-0.001}, "0.00"},
      {"%n", {0.125}, "0.13"},
      {"%n", {1234567.0}, "1,234,567.00"},
      {"%.0n", {999.5}, "1,000"},
      {"%n", {1e20}, "1E20"},
      {"%f", {3.14159}, "3.14"},
      {"%.4f", {-2.5}, "-2.5000"},
      {"%e", {1234.5}, "1.23450000000000E+003"},
      {"%g", {0.1}, "0.1"},
      {"%g", {1e20}, "1E20"},
      {"%g", {100.0}, "100"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(Format(c.pattern, c.args.data(), c.args.size()), c.expected);
  }
}

TEST_F(FormatTest, GroupsWithTheLocaleSeparators) {
  SetFormatSettings({",", "."});
  EXPECT_EQ(Format("%n", {-1234567.891}), "-1.234.567,89");
  SetFormatSettings({".", ""});
  EXPECT_EQ(Format("%n", {1234567.891}), "1234567.89");
}

TEST_F(FormatTest, BadPatternsAndArguments) {
  const FormatCase cases[] = {
      {"%d", {}, ""}, {"%d", {"text"}, ""}, {"%s", {1}, ""}, {"%n", {1}, ""}, {"%q", {1}, ""}, {"abc%", {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    try {
      Format(c.pattern, c.args.data(), c.args.size());
      ADD_FAILURE() << "no exception";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), std::string("Format '") + c.pattern + "' invalid or incompatible with argument");
    }
  }
}

TEST(ExceptionTest, CarriesFormattedMessageAndHelpContext) {
  Exception e("%s (%d) - '%s'", {"Not Found", 404, "http://x"});
  EXPECT_EQ(e.Message(), "Not Found (404) - 'http://x'");
  EXPECT_STREQ(e.what(), "Not Found (404) - 'http://x'");
  EXPECT_EQ(e.HelpContext(), 0);
  EXPECT_THROW(Abort(), EAbort);
}

}  // namespace
