#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "reporting/options/ETextVars.h"

namespace {

struct TVariablesGuard {
  ~TVariablesGuard() { ClearReportVariables(); }
};

}  // namespace

TEST(ReportVariablesTest, ReadFirstAndNeverInTheEnvironment) {
  TVariablesGuard guard;
  ::setenv("_ExceptMsg", "from the environment", 1);
  ::unsetenv("_BugReport");
  SetReportVariables({{"_BugReport", "the report"}, {"_ExceptMsg", "from the table"}, {"_LineBreak", "\r\n"}});
  struct Case {
    const char* text;
    const char* expanded;
  } cases[] = {
      {"%_BugReport%", "the report"},
      {"%_bugreport%", "the report"},
      {"%_ExceptMsg%", "from the table"},
      {"a%_LineBreak%b", "a\r\nb"},
      {"%_MainModuleName%", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ExpandTextVariables(c.text), c.expanded);
  }
  EXPECT_EQ(std::getenv("_BugReport"), nullptr);

  ClearReportVariables();
  EXPECT_EQ(ExpandTextVariables("%_BugReport%|%_ExceptMsg%"), "|from the environment");
  ::unsetenv("_ExceptMsg");
}

// Expansion on other threads sees one whole table or the other while it is replaced.
TEST(ReportVariablesTest, ReplacedWhileOtherThreadsExpand) {
  TVariablesGuard guard;
  const std::string big(1 << 16, 'r');
  SetReportVariables({{"_BugReport", "small"}});
  std::vector<std::thread> readers;
  std::atomic<bool> wrong{false};
  for (int t = 0; t < 3; ++t)
    readers.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        std::string v = ExpandTextVariables("%_BugReport%");
        if (v != "small" && v != big) wrong = true;
      }
    });
  for (int i = 0; i < 500; ++i) SetReportVariables({{"_BugReport", i % 2 ? big : std::string("small")}});
  for (auto& r : readers) r.join();
  EXPECT_FALSE(wrong);
}
