#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "reporting/options/ECore.h"
#include "reporting/options/EModules.h"
#include "reporting/options/EPaths.h"
#include "tests/reporting/TestSupport.h"

namespace {

bool Exists(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0;
}

class LogFileNameTest : public testing::Test {
 protected:
  TTempFolder dir;
  std::string state = dir.Path() + "/state";
  ScopedEnv stateHome{"XDG_STATE_HOME", state.c_str()};
  std::string module = dir.Path() + "/App/Tool.vshost.exe";
  TTarvexModuleOptions options{module};
  std::string Fallback(const std::string& file) {
    return state + "/TarvexLog/" + ChangeFileExt(ExtractFileName(MainModuleFileName()), "") + "/" + file;
  }
};

}  // namespace

TEST_F(LogFileNameTest, FolderOrFullName) {
  ForceDirectories(dir.Path() + "/App");
  struct Case {
    std::string outputPath;
    std::string expected;
  } cases[] = {
      {dir.Path() + "/Logs", dir.Path() + "/Logs/Tool.tlf"},
      {dir.Path() + "/Logs/", dir.Path() + "/Logs/Tool.tlf"},
      {"", dir.Path() + "/App/Tool.tlf"},
      {dir.Path() + "/x/my.TLF", dir.Path() + "/x/my.TLF"},
      {dir.Path() + "/x/my.Tlf", dir.Path() + "/x/my.Tlf"},
      {dir.Path() + "/x/my.tlf", dir.Path() + "/x/my.tlf"},
      {dir.Path() + "/deep/er/logs", dir.Path() + "/deep/er/logs/Tool.tlf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.outputPath);
    options.SetLogOutputPath(c.outputPath);
    EXPECT_EQ(options.LogFileName(), c.expected);
    EXPECT_FALSE(Exists(c.expected)) << "the probe file was left behind";
    EXPECT_TRUE(Exists(ExtractFilePath(c.expected)));
  }
}

TEST_F(LogFileNameTest, BaseNameVariablesAndAnExistingFile) {
  ScopedEnv logs("TL_LOGS", (dir.Path() + "/expanded").c_str());
  options.SetLogOutputPath("%TL_LOGS%");
  EXPECT_EQ(options.LogFileName(dir.Path() + "/Other.vshost.vshost.bin"), dir.Path() + "/expanded/Other.tlf");

  std::ofstream(dir.Path() + "/expanded/Tool.tlf") << "kept";
  EXPECT_EQ(options.LogFileName(), dir.Path() + "/expanded/Tool.tlf");
  EXPECT_TRUE(Exists(dir.Path() + "/expanded/Tool.tlf"));
}

TEST_F(LogFileNameTest, UnwritablePlaceFallsBackToTheStateFolder) {
  std::ofstream(dir.Path() + "/plain-file") << "x";
  options.SetLogOutputPath(dir.Path() + "/plain-file/logs");
  EXPECT_EQ(options.LogFileName(), Fallback("Tool.tlf"));
  options.SetLogOutputPath(dir.Path() + "/plain-file/logs/named.tlf");
  EXPECT_EQ(options.LogFileName(), Fallback("named.tlf"));

  ScopedEnv broken("XDG_STATE_HOME", (dir.Path() + "/plain-file").c_str());
  EXPECT_EQ(options.LogFileName(), "");
}

TEST_F(LogFileNameTest, ComputerNameBeforeTheExtension) {
  options.SetLogOutputPath(dir.Path() + "/Logs");
  options.SetLogFlags(options.LogFlags() + TLogFlags{lfComputerNameInLogName});
  std::string host = ComputerName();
  ASSERT_FALSE(host.empty());
  EXPECT_EQ(host.find('/'), std::string::npos);
  EXPECT_EQ(options.LogFileName(), dir.Path() + "/Logs/Tool_" + host + ".tlf");
}

TEST(SettingsFileTest, LivesInTheUserConfigFolder) {
  TTempFolder dir;
  {
    ScopedEnv config("XDG_CONFIG_HOME", (dir.Path() + "/config").c_str());
    EXPECT_EQ(TarvexLogSettingsFileName(), dir.Path() + "/config/TarvexLog/TarvexLog.ini");
    EXPECT_TRUE(Exists(dir.Path() + "/config/TarvexLog"));
  }
  ScopedEnv relative("XDG_CONFIG_HOME", "relative");
  ScopedEnv home("HOME", dir.Path().c_str());
  EXPECT_EQ(TarvexLogSettingsFileName(), dir.Path() + "/.config/TarvexLog/TarvexLog.ini");
}
