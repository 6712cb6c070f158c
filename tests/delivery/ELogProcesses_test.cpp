// The log shared by processes: writers at once, a writer killed in its save, and the processing
// flow logging an uncaught exception twice.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "delivery/ELogManager.h"
#include "tests/delivery/LogSamples.h"

namespace {

pid_t Start(const std::vector<std::string>& args) { return StartLogChild(args); }
int Wait(pid_t pid) { return WaitChild(pid); }

}  // namespace

TEST(LogProcessesTest, WritersAtOnceLoseNoReport) {
  TLogTestFolder dir;
  const std::string name = dir.Path() + "/Shared.tlf";
  constexpr int kWriters = 4, kReports = 15;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w)
    children.push_back(Start({"add", name, std::to_string(kReports), "W" + std::to_string(w)}));
  for (pid_t pid : children) {
    ASSERT_GT(pid, 0);
    int status = Wait(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  TLogFile log(name, true);
  std::set<std::string> ids;
  for (int i = 0; i < log.Count(); ++i) ids.insert(log.GetField("2.7", i));
  EXPECT_EQ(log.Count(), kWriters * kReports);
  EXPECT_EQ(ids.size(), static_cast<size_t>(kWriters * kReports));
}

TEST(LogProcessesTest, AWriterKilledBeforeTheRenameLeavesTheOldLogWhole) {
  TLogTestFolder dir;
  const std::string name = dir.Path() + "/Tool.tlf";
  {
    TLogFile log(name, false);
    log.Add(SampleReport("0001"));
    log.Add(SampleReport("0002"));
    log.Save();
  }
  const std::string before = ReadWholeFile(name);
  pid_t pid = Start({"kill-before-replace", name});
  ASSERT_GT(pid, 0);
  int status = Wait(pid);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_EQ(ReadWholeFile(name), before);
  EXPECT_TRUE(std::filesystem::exists(name + ".new")) << "the killed writer got as far as its new file";

  {
    TLogFile log(name, false);
    EXPECT_EQ(log.Count(), 2);
    log.Add(SampleReport("0003"));
    log.Save();
  }
  EXPECT_FALSE(std::filesystem::exists(name + ".new"));
  TLogFile again(name, true);
  EXPECT_EQ(again.Count(), 3);
}

TEST(LogProcessesTest, ARepeatedUncaughtExceptionIsCountedNotLoggedAgain) {
  TLogTestFolder dir;
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    pid_t pid = Start({"uncaught", dir.Path()});
    ASSERT_GT(pid, 0);
    int status = Wait(pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
  }
  const std::string name = dir.Path() + "/delivery_log_child.tlf";
  TLogFile log(name, true);
  ASSERT_EQ(log.Count(), 1) << ReadWholeFile(name).substr(0, 2000);
  EXPECT_EQ(log.GetField("2.5", 0).find("RouteError") != std::string::npos, true);
  EXPECT_EQ(log.GetField("2.8", 0), "2");
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
