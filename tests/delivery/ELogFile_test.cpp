#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>

#include "delivery/ELogManager.h"
#include "delivery/ELogStore.h"
#include "reporting/options/ECore.h"
#include "reporting/options/EPaths.h"
#include "reporting/report/ELogItem.h"
#include "tests/delivery/LogSamples.h"
#include "tests/support/TestSupport.h"

namespace {

std::vector<std::string> FilesStartingWith(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    if (e.path().filename().string().rfind(prefix, 0) == 0) names.push_back(e.path().string());
  return names;
}

// A report with one extra field in section 2, written by the report's own section writer.
std::string ReportWithField(const std::string& name, const std::string& value) {
  TLogItem item(1);
  item.AddHeader("Exception");
  item.AddItem("ID", "0001");
  item.AddItem(name, value);
  item.AddItem("Status", "New");
  return "TarvexLog 6.0.21\r\n\r\n" + item.GetText() + "\r\n\r\n" + SampleTail();
}

std::vector<std::string> Ids(const TLogFile& log) {
  std::vector<std::string> ids;
  for (int i = 0; i < log.Count(); ++i) ids.push_back(log.GetField("2.7", i));
  return ids;
}

// Every entry keeps the reports' own layout apart from the field that was set.
std::string Without(std::string text, const std::string& part) {
  size_t p = text.find(part);
  if (p != std::string::npos) text.erase(p, part.size());
  return text;
}

}  // namespace

TEST(LogFileTest, EdgeCases) {
  TLogTestFolder dir;
  const std::string name = dir.Path() + "/Tool.tlf";
  struct Case {
    const char* name;
    std::function<void()> check;
  } cases[] = {
      {"a maximum of 3 with three entries keeps the newest three",
       [&] {
         TLogFile log("", false);
         for (const char* id : {"0001", "0002", "0003"}) log.Add(SampleReport(id), 3);
         log.Add(SampleReport("0004"), 3);
         EXPECT_EQ(Ids(log), (std::vector<std::string>{"0002", "0003", "0004"}));
       }},
      {"an entry without a table is gone after a reload",
       [&] {
         {
           TLogFile log(name, false);
           log.Add(SampleReport("0001"));
           log.Add("TarvexLog 6.0.21\r\n\r\nNo table here.\r\n");
           log.Add(SampleReport("0002"));
           EXPECT_EQ(log.Count(), 3);
           log.Save();
         }
         TLogFile again(name, true);
         EXPECT_EQ(Ids(again), (std::vector<std::string>{"0001", "0002"}));
         ::unlink(name.c_str());
       }},
      {"': ' in a one-line value stays as it is",
       [&] {
         TLogFile log("", false);
         log.Add(ReportWithField("Message", "Route: not found"));
         EXPECT_NE(log.GetEntry(0).find(": Route: not found\r\n"), std::string::npos);
         EXPECT_EQ(log.GetField("2.2", 0), "Route: not found");
         EXPECT_EQ(log.GetField("2.3", 0), "New");
       }},
      {"': ' in a multi-line value is stored as ':_' and read back",
       [&] {
         TLogFile log("", false);
         log.Add(ReportWithField("Message", "Leg: 1\r\nPort: Busan"));
         EXPECT_NE(log.GetEntry(0).find("Leg:_1"), std::string::npos);
         EXPECT_EQ(log.GetField("2.2", 0), "Leg: 1\r\nPort: Busan");
         EXPECT_EQ(log.GetField("2.3", 0), "New");
       }},
      {"an empty line of a value is stored as '.' and read back empty",
       [&] {
         TLogFile log("", false);
         log.Add(ReportWithField("Message", "first\n\nthird."));
         EXPECT_NE(log.GetEntry(0).find("first\r\n               .\r\n"), std::string::npos) << log.GetEntry(0);
         EXPECT_EQ(log.GetField("2.2", 0), "first\r\n\r\nthird.");
       }},
      {"a header without written fields disappears with its underline",
       [&] {
         TLogItem item;
         item.AddHeader("User");
         item.AddItem("ID", "root", false);
         item.AddHeader("Computer");
         item.AddItem("Name", "vm");
         EXPECT_EQ(item.GetText(), "Computer:\r\n--------------\r\n  2.1 Name: vm");
       }},
      {"raising the count leaves the later fields untouched",
       [&] {
         TLogFile log("", false);
         log.Add(SampleReport("A1DF"));
         const std::string before = log.GetEntry(0);
         log.SetField("2.8", NextLogCount(log.GetField("2.8", 0)), 0, "Count");
         EXPECT_EQ(log.GetField("2.8", 0), "2");
         const std::string after = log.GetEntry(0);
         EXPECT_EQ(Without(after, "2.8 Count         : 2"), Without(before, "2.8 Count         : 1"));
       }},
      {"FindEntry matches a whole value, not the start of a longer one",
       [&] {
         TLogFile log("", false);
         log.Add(SampleReport("A1DF0"));
         log.Add(SampleReport("B000"));
         EXPECT_EQ(log.FindEntry({"2.7"}, {"A1DF"}), -1);
         EXPECT_EQ(log.FindEntry({"2.7"}, {"A1DF0"}), 0);
         EXPECT_EQ(log.FindEntry({"2.7", "2.6"}, {"none", "Route not found."}), 1);
       }},
      {"FindEntry of a multi-line value matches it as stored",
       [&] {
         TLogFile log("", false);
         log.Add(ReportWithField("Message", "a: 1\r\n\r\nb"));
         EXPECT_EQ(log.FindEntry({"2.2"}, {"a: 1\r\n\r\nb"}), 0);
         EXPECT_EQ(log.FindEntry({"2.2"}, {"a: 1"}), -1);
       }},
      {"a missing field is added after the real last field of its section",
       [&] {
         TLogFile log("", false);
         log.Add(SampleReport("A1DF"));
         log.SetField("2.11", "Line one\r\nLine two", 0, "Remark");
         EXPECT_EQ(log.GetField("2.11", 0), "Line one\r\nLine two");
         EXPECT_EQ(log.GetField("2.10", 0), "");
         const std::string entry = log.GetEntry(0);
         EXPECT_NE(entry.find("  2.10 Note         : \r\n  2.11 Remark       : Line one\r\n" + std::string(22, ' ') +
                              "Line two\r\n\r\nUser:"),
                   std::string::npos)
             << entry;
         EXPECT_EQ(log.GetField("3.1", 0), "root");
       }},
      {"a field of a missing section leaves the entry alone",
       [&] {
         TLogFile log("", false);
         log.Add(SampleReport("A1DF"));
         const std::string before = log.GetEntry(0);
         log.SetField("9.1", "x", 0, "Nothing");
         log.SetField("2.8", "x", 5, "Count");
         EXPECT_EQ(log.GetEntry(0), before);
       }},
      {"the version is read from the product line",
       [&] {
         TLogFile log("", false);
         log.Add(SampleReport("A1DF", "2.3.4.5"));
         EXPECT_EQ(log.GetVersion(0), "6.0.21");
         EXPECT_EQ(log.GetField("1.3", 0), "2.3.4.5");
         EXPECT_EQ(log.GetVersion(1), "");
       }},
      {"saved text: entries separated by four line breaks, no byte-order mark, loaded back alike",
       [&] {
         {
           TLogFile log(name, false);
           log.Add(SampleReport("0001") + "\r\n\r\n");
           log.Add(SampleReport("0002"));
           log.Save();
           EXPECT_EQ(ReadWholeFile(name), log.GetAllText());
         }
         const std::string text = ReadWholeFile(name);
         EXPECT_EQ(text.rfind("TarvexLog 6.0.21\r\n", 0), 0u);
         EXPECT_NE(text.find("\r\n\r\n\r\n\r\nTarvexLog 6.0.21\r\n"), std::string::npos);
         EXPECT_EQ(text.find("\r\n\r\n\r\n\r\n\r\n"), std::string::npos);
         EXPECT_EQ(text.substr(text.size() - 8), "\r\n\r\n\r\n\r\n");
         TLogFile again(name, false);
         again.Save();
         EXPECT_EQ(ReadWholeFile(name), text);
         ::unlink(name.c_str());
       }},
      {"bytes that are not UTF-8 pass through unchanged",
       [&] {
         TLogFile log("", false);
         log.Add(ReportWithField("Message", "caf\xE9 \xFF\xFE"));
         EXPECT_EQ(log.GetField("2.2", 0), "caf\xE9 \xFF\xFE");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.check();
  }
}

TEST(LogFileTest, CountIsANumberThatNeverOverflows) {
  struct Case {
    const char* stored;
    const char* next;
  } cases[] = {{"1", "2"}, {"41", "42"}, {"", "2"}, {"many", "2"}, {"-3", "2"},
               {"9223372036854775806", "9223372036854775807"},
               {"9223372036854775807", "9223372036854775807"},
               {"99999999999999999999999", "9223372036854775807"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    EXPECT_EQ(NextLogCount(c.stored), c.next);
  }
}

TEST(LogFileTest, DamagedLogsAreSetAsideAndTheNextReportIsSaved) {
  std::mt19937 random(7);
  std::string noise(64 * 1024, '\0');
  for (char& c : noise) c = static_cast<char>(random() % 255 + 1);
  const std::string good = SampleReport("0001") + "\r\n\r\n\r\n\r\n" + SampleReport("0002");
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
  } cases[] = {
      {"truncated before its first table", [&](const std::string& f) { WriteWholeFile(f, good.substr(0, 300)); }},
      {"NUL bytes", [&](const std::string& f) { WriteWholeFile(f, good.substr(0, 4000) + std::string(16, '\0') + good); }},
      {"random bytes", [&](const std::string& f) { WriteWholeFile(f, noise); }},
      {"200 MB", [&](const std::string& f) { ASSERT_EQ(::truncate((WriteWholeFile(f, "x"), f.c_str()), 200ll << 20), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLogTestFolder dir;
    const std::string name = dir.Path() + "/Tool.tlf";
    c.make(name);
    struct stat before {};
    ASSERT_EQ(::stat(name.c_str(), &before), 0);

    {
      TLogFile reader(name, true);  // a reader leaves it where it is
      EXPECT_EQ(reader.Count(), 0);
    }
    EXPECT_TRUE(FilesStartingWith(dir.Path(), "Tool.tlf.damaged-").empty());

    TTarvexModuleOptions options("/nonexistent/Tool");
    options.SetLogOutputPath(name);
    TLogStore store;
    std::string textToSend;
    EXPECT_TRUE(store.SaveReport(options, SampleReport("0003"), false, textToSend));
    TLogFile log(name, true);
    EXPECT_EQ(Ids(log), std::vector<std::string>{"0003"});
    auto aside = FilesStartingWith(dir.Path(), "Tool.tlf.damaged-");
    ASSERT_EQ(aside.size(), 1u);
    struct stat kept {};
    ASSERT_EQ(::stat(aside[0].c_str(), &kept), 0);
    EXPECT_EQ(kept.st_size, before.st_size);
    EXPECT_EQ(kept.st_ino, before.st_ino);
  }
}

TEST(LogFileTest, ALogCutInALaterEntryKeepsTheWholeOnes) {
  TLogTestFolder dir;
  const std::string name = dir.Path() + "/Tool.tlf";
  const std::string text = SampleReport("0001") + "\r\n\r\n\r\n\r\n" + SampleReport("0002");
  WriteWholeFile(name, text.substr(0, text.size() - SampleTail().size() - 10));
  TLogFile log(name, false);
  EXPECT_EQ(Ids(log), std::vector<std::string>{"0001"});
  EXPECT_EQ(log.SetAsideName(), "");
}

TEST(LogFileTest, ALockHeldTooLongIsALogError) {
  TLogTestFolder dir;
  const std::string name = dir.Path() + "/Tool.tlf";
  TTarvexModuleOptions options("/nonexistent/Tool");
  options.SetLogOutputPath(name);
  SetLogLockTimeoutMilliseconds(100);
  {
    TLogFile holder(name, false);
    TLogStore store;
    std::string textToSend;
    EXPECT_FALSE(store.SaveReport(options, SampleReport("0001"), false, textToSend));
    EXPECT_EQ(LastWarningCode(), eeLogError);
    // Readers wait for a writer too.
    EXPECT_THROW(TLogFile(name, true), ELogFileError);
  }
  {
    TLogFile reader1(name, true);
    TLogFile reader2(name, true);  // readers share
  }
  SetLogLockTimeoutMilliseconds(10000);
  TLogStore store;
  std::string textToSend;
  EXPECT_TRUE(store.SaveReport(options, SampleReport("0001"), false, textToSend));
}

TEST(LogFileTest, OnlyTheFileWritableIsRewrittenInPlace) {
  // Root writes into any folder: the case runs in a child without those rights.
  TLogTestFolder dir;
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(10);
    const std::string folder = dir.Path() + "/ro";
    const std::string name = folder + "/Tool.tlf";
    if (::mkdir(folder.c_str(), 0755) != 0) ::_exit(11);
    struct stat before {}, after {};
    try {
      {
        TLogFile log(name, false);
        log.Add(SampleReport("0001"));
        log.Save();
      }
      ::stat(name.c_str(), &before);
      if (::chmod(folder.c_str(), 0555) != 0) ::_exit(12);
      TLogFile log(name, false);
      log.Add(SampleReport("0002"));
      log.Save();
    } catch (...) {
      ::_exit(13);
    }
    ::stat(name.c_str(), &after);
    if (after.st_ino != before.st_ino) ::_exit(14);
    TLogFile log(name, true);
    const bool both = log.Count() == 2 && log.GetField("2.7", 1) == "0002";
    ::chmod(folder.c_str(), 0755);
    ::_exit(both ? 0 : 15);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no user to switch to; 13: the save failed; 14: the log was replaced";
}

TEST(LogFileTest, TheSavedLogKeepsItsPermissions) {
  TLogTestFolder dir;
  const std::string name = dir.Path() + "/Tool.tlf";
  WriteWholeFile(name, SampleReport("0001"));
  ASSERT_EQ(::chmod(name.c_str(), 0640), 0);
  TLogFile log(name, false);
  log.Add(SampleReport("0002"));
  log.Save();
  struct stat st {};
  ASSERT_EQ(::stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(LogFileTest, DuplicatesAreCountedAndTheVersionResetsTheLog) {
  TLogTestFolder dir;
  const std::string name = dir.Path() + "/Tool.tlf";
  TTarvexModuleOptions options("/nonexistent/Tool");
  options.SetLogOutputPath(name);
  TLogStore store;
  std::string textToSend;
  ASSERT_TRUE(store.SaveReport(options, SampleReport("A1DF", "1.0.0.0"), false, textToSend));
  EXPECT_FALSE(store.IsDuplicate(options, "A1DF", true)) << "never a duplicate without lfSkipDuplicates";
  options.SetLogFlags(options.LogFlags() + TLogFlags{lfSkipDuplicates});
  EXPECT_FALSE(store.IsDuplicate(options, "A1D", true));
  EXPECT_TRUE(store.IsDuplicate(options, "A1DF", false));
  EXPECT_TRUE(store.IsDuplicate(options, "A1DF", true));
  EXPECT_TRUE(store.IsDuplicate(options, "A1DF", true));
  {
    TLogFile log(name, true);
    EXPECT_EQ(log.GetField("2.8", 0), "3");
  }
  ASSERT_TRUE(store.SaveReport(options, SampleReport("A1DF"), true, textToSend));
  options.SetSendFlags(options.SendFlags() + TSendFlags{sfWholeLogText});
  ASSERT_TRUE(store.SaveReport(options, SampleReport("B000"), false, textToSend));
  EXPECT_EQ(textToSend, ReadWholeFile(name));

  store.ResetOnNewVersion(options, "1.0.0.0");
  EXPECT_EQ(::access(name.c_str(), F_OK), 0) << "same version: the log stays";
  store.ResetOnNewVersion(options, "1.0.0.1");
  EXPECT_NE(::access(name.c_str(), F_OK), 0) << "a new version deletes the log";
}

TEST(LogFileTest, TheLogFolderIsTestedWithoutCreatingAFile) {
  TLogTestFolder dir;
  ScopedEnv state("XDG_STATE_HOME", (dir.Path() + "/state").c_str());
  {
    TTarvexModuleOptions options(dir.Path() + "/App/Tool");
    ASSERT_TRUE(ForceDirectories(dir.Path() + "/App"));
    EXPECT_EQ(options.LogFileName(), dir.Path() + "/App/Tool.tlf");
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path() + "/App"));
    // The name with the computer name is the one tested: when it cannot be a file, the
    // fallback is taken even though the plain name could.
    options.SetLogFlags(options.LogFlags() + TLogFlags{lfComputerNameInLogName});
    const std::string withHost = dir.Path() + "/App/Tool_" + ComputerName() + ".tlf";
    ASSERT_TRUE(ForceDirectories(withHost));
    EXPECT_NE(options.LogFileName(), withHost);
  }
}
