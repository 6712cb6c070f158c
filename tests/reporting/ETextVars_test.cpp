#include "reporting/options/ETextVars.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <ctime>

#include "reporting/options/ECore.h"
#include "tests/reporting/TestSupport.h"

TEST(TextVariablesTest, ExpansionRules) {
  ScopedEnv value("TL_TEST", "val");
  ScopedEnv self("TL_SELF", "%TL_TEST%");
  ScopedEnv missing("TL_MISSING", nullptr);
  struct Case {
    const char* text;
    const char* expanded;
  } cases[] = {
      {"%%", ""},
      {"a%%b", "ab"},
      {"a%TL_MISSING%b", "ab"},
      {"100%", "100%"},
      {"50% off", "50% off"},
      {"%TL_TEST%", "val"},
      {"%tl_test%", "val"},
      {"[%TL_TEST%%TL_TEST%]", "[valval]"},
      {"x%TL_TEST", "x%TL_TEST"},
      {"%a b%TL_TEST%", "%a bval"},
      {"%TL_SELF%", "%TL_TEST%"},  // an inserted value is not scanned again
      {"%TL_TEST%%", "val%"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ExpandTextVariables(c.text), c.expanded);
  }
}

TEST(TextVariablesTest, DateTimeAndFolderWithoutVariables) {
  ScopedEnv lang("LC_ALL", "C");
  ScopedEnv date1("date", nullptr), date2("DATE", nullptr), time1("time", nullptr), time2("TIME", nullptr),
      cd1("cd", nullptr), cd2("CD", nullptr);
  time_t now = std::time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  char today[32];
  std::snprintf(today, sizeof today, "%02d/%02d/%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year % 100);
  EXPECT_EQ(ExpandTextVariables("%date%"), today);
  EXPECT_EQ(ExpandTextVariables("%Date%"), today);
  std::string time = ExpandTextVariables("%TIME%");
  ASSERT_EQ(time.size(), 8u);
  for (size_t i : {0, 1, 3, 4, 6, 7}) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(time[i]))) << time;
  EXPECT_EQ(time[2], ':');
  EXPECT_EQ(time[5], ':');
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(ExpandTextVariables("%cd%"), cwd);

  ScopedEnv own("date", "given");
  EXPECT_EQ(ExpandTextVariables("%date%"), "given");
}

TEST(TextVariablesTest, GetTextExpandsAndTheTablesAreComplete) {
  ScopedEnv value("TL_TEST", "val");
  TTarvexModuleOptions o;
  o.SetText(0, "<%TL_TEST%>");
  EXPECT_EQ(o.GetText(0), "<val>");
  EXPECT_EQ(o.CustomizedTexts()[0], "<%TL_TEST%>");
  EXPECT_THROW(o.GetText(kCustomizedTextCount), std::out_of_range);

  // Every index but the reserved 153 is listed exactly once, in a group with a caption.
  std::vector<int> seen(kCustomizedTextCount, 0);
  for (const auto& group : CustomizedTextGroups())
    for (const auto& e : group.Entries) ++seen[e.Index];
  for (int i = 0; i < kCustomizedTextCount; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i], i == 153 ? 0 : 1);
  }
  EXPECT_EQ(CustomizedTextGroups().size(), 14u);
  EXPECT_EQ(CustomizedTextCaption(131), "Last Modified");
  EXPECT_EQ(DefaultCustomizedText(131), "Modified");
  EXPECT_EQ(CustomizedTextCaption(43), "    Up Time");
  EXPECT_EQ(ShowFieldCaptions().size(), 48u);
  EXPECT_STREQ(ShowFieldCaptions()[47], "Custom Data|All");
  EXPECT_EQ(TextVariablesHelp().size(), 26u);
}
