// The options tool and the embedding build step, end to end on copies of the probe program.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "reporting/options/EOptionsText.h"
#include "reporting/options/EStoredData.h"
#include "tests/reporting/TestSupport.h"

namespace {

class ToolTest : public testing::Test {
 protected:
  TTempFolder dir;
  std::string probe = dir.Path() + "/probe";
  void SetUp() override { std::filesystem::copy_file(TARVEX_PROBE, probe); }
  TRunResult Tool(std::vector<std::string> args) { return RunProgram(TARVEX_OPTIONS_TOOL, args); }
  bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
};

}  // namespace

TEST_F(ToolTest, ShowPrintsTheEmbeddedOptions) {
  TRunResult r = Tool({"show", probe});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  EXPECT_TRUE(Contains(r.Output, "; Stored block: section .tldata")) << r.Output;
  EXPECT_TRUE(Contains(r.Output, "; Format version: 6020"));
  EXPECT_TRUE(Contains(r.Output, "EmailSubjectText=\"Probe subject\"\n"));
  EXPECT_TRUE(Contains(r.Output, "DialogFlags=[dfSendChecked, dfScreenshotChecked, dfShowCopyOption, "
                                 "dfShowDetailsButton, dfOfferSending, dfOfferScreenshot]\n"));
  EXPECT_TRUE(Contains(r.Output, "[Filter0]\nEnabled=True\nMatchClass=\"EConvertError\"\n"));
  EXPECT_TRUE(Contains(r.Output, "0=\"Probe information.\"  ; Information\n"));
  EXPECT_TRUE(Contains(r.Output, ";   47 Custom Data|All"));

  TRunResult run = RunProgram(probe, {});
  EXPECT_EQ(run.ExitCode, 0);
  EXPECT_EQ(run.Output, "options: Probe subject\n");
}

TEST_F(ToolTest, SetThenShowAndRun) {
  TRunResult r = Tool({"set", probe, "--set", "EmailSubjectText=\"New\\tsubject\"", "--set", "MaxSavedReports=0",
                       "--text", "156=Frozen", "--add-filter", "std::out_of_range", "--filter", "1.Action=xaTerminate",
                       "--delete-filter", "0"});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  r = Tool({"show", probe});
  EXPECT_TRUE(Contains(r.Output, "EmailSubjectText=\"New\\tsubject\"\n")) << r.Output;
  EXPECT_TRUE(Contains(r.Output, "MaxSavedReports=1\n"));
  EXPECT_TRUE(Contains(r.Output, "156=\"Frozen\""));
  EXPECT_TRUE(Contains(r.Output, "[Filter0]\nEnabled=True\nMatchClass=\"std::out_of_range\""));
  EXPECT_TRUE(Contains(r.Output, "Action=xaTerminate"));
  EXPECT_FALSE(Contains(r.Output, "[Filter1]"));
  EXPECT_EQ(RunProgram(probe, {}).Output, "options: New\tsubject\n");

  r = Tool({"set", probe, "--set", "DialogKind=dkHuge"});
  EXPECT_EQ(r.ExitCode, 2);
  EXPECT_TRUE(Contains(r.Output, "Invalid value \"dkHuge\" for DialogKind")) << r.Output;
}

TEST_F(ToolTest, DamagedBlockMeansNoOptionsAndTheProgramStillStarts) {
  TStoredLocation where = FindStoredBlock(probe);
  ASSERT_EQ(where.Place, TStoredPlace::Section);
  struct Case {
    const char* name;
    uint64_t offset;
    std::string bytes;
  } cases[] = {
      {"compressed options", 44, "\xFF\xFF\xFF\xFF"},
      {"version above 6020", 4, "\x85\x17"},
      {"magic number", 0, "XXXX"},
      {"sizes", 20, "\xFF\xFF\xFF\x7F"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string damaged = dir.Path() + "/damaged";
    std::filesystem::copy_file(probe, damaged, std::filesystem::copy_options::overwrite_existing);
    {
      std::fstream f(damaged, std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(static_cast<std::streamoff>(where.Offset + c.offset));
      f.write(c.bytes.data(), static_cast<std::streamsize>(c.bytes.size()));
    }
    TRunResult r = Tool({"show", damaged});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_EQ(r.Output, "No options stored in \"" + damaged + "\".\n");
    TRunResult run = RunProgram(damaged, {});
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_EQ(run.Output,
              "no options:\r\nCannot use 'CurrentTarvexLogOptions' function in module \"" + damaged +
                  "\" without activate TarvexLog.\r\nTo activate TarvexLog use the new IDE \"Project/TarvexLog "
                  "Options...\" menu.\n");
  }
}

TEST_F(ToolTest, ExportImportAndTheAppendedForm) {
  std::string text = dir.Path() + "/options.tlt";
  std::string stream = dir.Path() + "/options.tlo";
  ASSERT_EQ(Tool({"export", probe, text}).ExitCode, 0);
  ASSERT_EQ(Tool({"set", text, "--set", "EmailSubjectText=From text"}).ExitCode, 0);
  ASSERT_EQ(Tool({"export", text, stream}).ExitCode, 0);
  TTarvexModuleOptions o;
  o.LoadFromFile(stream);
  EXPECT_EQ(o.EmailSubjectText(), "From text");
  EXPECT_EQ(o.ExceptionFilters().Count(), 1u);

  std::string other = dir.Path() + "/other";
  std::filesystem::copy_file(probe, other);
  TRunResult r = Tool({"import", other, stream, "--append", "--compile-time", "86400"});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  r = Tool({"show", other});
  EXPECT_TRUE(Contains(r.Output, "; Stored block: appended to the file")) << r.Output;
  EXPECT_TRUE(Contains(r.Output, "; Compilation time: 1970-01-02 00:00:00 UTC"));
  EXPECT_EQ(RunProgram(other, {}).Output, "options: From text\n");

  ASSERT_EQ(Tool({"import", other, text, "--set", "EmailSubjectText=Section"}).ExitCode, 0);
  EXPECT_EQ(RunProgram(other, {}).Output, "options: Section\n");
  EXPECT_EQ(FindStoredBlock(other).Place, TStoredPlace::Section);

  EXPECT_EQ(Tool({"show", dir.Path() + "/missing"}).ExitCode, 2);
  EXPECT_EQ(Tool({"frobnicate"}).ExitCode, 2);
}

TEST_F(ToolTest, TheDistanceClientsFileHoldsTheDefaults) {
  ASSERT_EQ(Tool({"import", probe, ZELK_SOURCE_DIR "/resources/zelk-distance.tlt"}).ExitCode, 0);
  TRunResult r = Tool({"show", probe});
  ASSERT_EQ(r.ExitCode, 0) << r.Output;
  TTarvexModuleOptions defaults;
  std::string expected = ExportOptionsText(defaults, true);
  ASSERT_GE(r.Output.size(), expected.size());
  EXPECT_EQ(r.Output.substr(r.Output.size() - expected.size()), expected);
}
