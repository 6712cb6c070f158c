#include "runtime/Strings.h"

#include <gtest/gtest.h>

TEST(StringsTest, Utf8Utf16RoundTrip) {
  // ASCII is narrowed in blocks of 16 units: other text at each place around a block's edge.
  const std::string block(16, 'a');
  const std::string texts[] = {"", "Busan", "\u00e9t\u00e9", "\u4e2d\u6587", "\U0001F6A2 ship",
                               block, block + block + "b", block + "\u00e9", "abcdefghijklmno\u00e9",
                               block + "abcdefghijklmn\U0001F6A2" + block, "\u4e2d" + block + block};
  for (const auto& t : texts) {
    SCOPED_TRACE(t);
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(t)), t);
  }
  EXPECT_EQ(Utf8ToUtf16("\U0001F6A2").size(), 2u);
}

TEST(StringsTest, MalformedInputBecomesReplacementCharacter) {
  EXPECT_EQ(Utf8ToUtf16("a\xff" "b"), u"a\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16("\xc3"), u"\uFFFD");            // truncated sequence
  EXPECT_EQ(Utf8ToUtf16("\xc0\xaf"), u"\uFFFD");        // overlong form
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\uFFFD");  // lone surrogate
}

TEST(StringsTest, CaseInsensitiveComparison) {
  EXPECT_TRUE(SameText("Result", "RESULT"));
  EXPECT_FALSE(SameText("Result", "Results"));
  EXPECT_TRUE(WideSameText(u"Return", u"return"));
  EXPECT_LT(CompareText("abc", "ABD"), 0);
  EXPECT_EQ(StringReplace("a%x%b%x%", "%x%", "1", false), "a1b%x%");
  EXPECT_EQ(Trim("  a b \r\n"), "a b");
  EXPECT_EQ(Utf8Truncate("\u00e9\u00e9\u00e9", 2), "\u00e9\u00e9");
}
