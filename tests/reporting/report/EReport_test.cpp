#include "reporting/report/EReport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "reporting/report/ELogItem.h"
#include "tests/reporting/report/FakeSnapshot.h"

namespace {

// The value of field `id` ("2.7") in a report text: its first line, as written after ": ".
std::string Field(const std::string& text, const std::string& id) {
  size_t at = text.find("\r\n  " + id + " ");
  if (at == std::string::npos) return "<absent>";
  size_t colon = text.find(": ", at);
  size_t end = text.find("\r\n", colon);
  return text.substr(colon + 2, end - colon - 2);
}

std::string Lines(const std::string& text, const std::string& from, size_t count) {
  size_t at = text.find(from);
  if (at == std::string::npos) return "<absent>";
  size_t end = at;
  for (size_t n = 0; n < count && end != std::string::npos; ++n) end = text.find("\r\n", end + 2);
  return text.substr(at, end - at);
}

// ---------------------------------------------------------------------------------------------
// Golden reports of the fake scene. ZELK_UPDATE_GOLDEN=1 rewrites the files instead of
// comparing; review the difference before committing it.

struct GoldenCase {
  const char* Name;
  void (*Adjust)(TTarvexModuleOptions& options, TFakeScene& scene);
};

const GoldenCase kGoldenCases[] = {
    {"full", [](TTarvexModuleOptions&, TFakeScene&) {}},
    {"no_user_fields",
     [](TTarvexModuleOptions& o, TFakeScene&) {
       TShowFields f = o.ShowFields();
       for (size_t bit = 16; bit <= 20; ++bit) f.reset(bit);
       o.SetShowFields(f);
     }},
    {"lists_off",
     [](TTarvexModuleOptions& o, TFakeScene&) {
       TLogFlags flags = o.LogFlags();
       flags.Exclude(lfModulesAndProcesses);
       flags.Exclude(lfAssemblerAndCpu);
       o.SetLogFlags(flags);
     }},
};

class GoldenReport : public testing::TestWithParam<GoldenCase> {};

TEST_P(GoldenReport, MatchesItsFileByteForByte) {
  TTarvexModuleOptions options;
  options.SetDefaults();
  auto scene = MakeFakeScene();
  GetParam().Adjust(options, *scene);
  std::string text = BuildBugReport(options, scene->Exception, scene->Snapshot).Text;

  std::string path = std::string(REPORT_GOLDEN_DIR) + "/" + GetParam().Name + ".txt";
  const char* update = std::getenv("ZELK_UPDATE_GOLDEN");
  if (update && std::string(update) == "1") {
    std::ofstream(path, std::ios::binary) << text;
    GTEST_SKIP() << "rewrote " << path;
  }
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << path << " is missing; ZELK_UPDATE_GOLDEN=1 writes it";
  std::stringstream golden;
  golden << in.rdbuf();
  EXPECT_EQ(text, golden.str()) << "differs from " << path;
}

INSTANTIATE_TEST_SUITE_P(Scenes, GoldenReport, testing::ValuesIn(kGoldenCases),
                         [](const testing::TestParamInfo<GoldenCase>& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------------------------------------
// Forms.

TEST(ReportForms, DatesAndZones) {
  struct Case {
    const char* Name;
    TReportTime Time;
    const char* Date;
  };
  const Case cases[] = {
      {"one hour east", {1796904263, 3600}, "Thu, 10 Dec 2026 13:04:23 +0100"},
      {"ten hours east", {1796904263, 36000}, "Thu, 10 Dec 2026 22:04:23 +1000"},
      {"utc", {1796904263, 0}, "Thu, 10 Dec 2026 12:04:23 +0000"},
      {"five hours west", {1796904263, -18000}, "Thu, 10 Dec 2026 07:04:23 -0500"},
      {"half hour east", {1796904263, 19800}, "Thu, 10 Dec 2026 17:34:23 +0530"},
      {"half hour west", {1796904263, -34200}, "Thu, 10 Dec 2026 02:34:23 -0930"},
      {"quarter hour east", {1796904263, 20700}, "Thu, 10 Dec 2026 17:49:23 +0545"},
      {"day before by the zone", {1796904263, -13 * 3600}, "Wed, 9 Dec 2026 23:04:23 -1300"},
      {"single-digit day", {1704067200, 0}, "Mon, 1 Jan 2024 00:00:00 +0000"},
      {"leap day", {1709164800 + 3661, 0}, "Thu, 29 Feb 2024 01:01:01 +0000"},
      {"epoch", {0, 0}, "Thu, 1 Jan 1970 00:00:00 +0000"},
      {"before the epoch", {-1, 0}, "Wed, 31 Dec 1969 23:59:59 +0000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(ReportDateText(c.Time), c.Date);
  }
  EXPECT_EQ(TimeZoneText(-30), "-0001");  // the nearest minute, not the hour
  EXPECT_EQ(TimeZoneText(29), "+0000");
}

TEST(ReportForms, Durations) {
  struct Case {
    int64_t Seconds;
    const char* Text;
  };
  const Case cases[] = {
      {86400 + 5, "1 day, 5 seconds"},
      {59, "59 seconds"},
      {1, "1 second"},
      {0, "0 second"},
      {3661, "1 hour, 1 minute, 1 second"},
      {2 * 86400 + 3 * 3600 + 120, "2 days, 3 hours, 2 minutes, 0 second"},
      {-5, "0 second"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Seconds);
    EXPECT_EQ(DurationText(c.Seconds), c.Text);
  }
}

TEST(ReportForms, IdentifierIsCrc16Xmodem) {
  EXPECT_EQ(ReportIdentifier("123456789"), "31C3");
  EXPECT_EQ(ReportIdentifier(""), "0000");
  EXPECT_EQ(ReportIdentifier("A"), "58E5");
}

// ---------------------------------------------------------------------------------------------
// Fields of the fake scene's report.

class SceneReport : public testing::Test {
 protected:
  void SetUp() override { options.SetDefaults(); }
  TBugReport Build() { return BuildBugReport(options, scene->Exception, scene->Snapshot); }
  TTarvexModuleOptions options;
  std::unique_ptr<TFakeScene> scene = MakeFakeScene();
};

TEST_F(SceneReport, AddressesAndHandlesTakeSixteenDigits) {
  TBugReport r = Build();
  EXPECT_EQ(Field(r.Text, "2.2"), "0000555555555A5A");
  EXPECT_NE(r.CallStackPart.find("|0000555555555A5A|zelk-distance    |DistanceQuery.cpp|TDistanceQuery|Run "),
            std::string::npos);
  EXPECT_NE(r.CallStackPart.find("|0000555555554000|zelk-distance "), std::string::npos);
  EXPECT_EQ(Lines(r.CallStackPart, "|Address         |Module", 1).substr(0, 24), "|Address         |Module");

  scene->Exception.Address = 0;
  EXPECT_EQ(Field(Build().Text, "2.2"), "");
}

TEST_F(SceneReport, Messages) {
  struct Case {
    const char* Name;
    void (*Adjust)(TReportException&);
    const char* Message;
  };
  const Case cases[] = {
      {"write fault in a module",
       [](TReportException&) {},
       "Access violation at address 0000555555555A5A in module 'zelk-distance'. Write of address 0000000000000000."},
      {"read fault outside every module",
       [](TReportException& x) {
         x.Address = 0x00007FFFF7FF0010;
         x.WriteFault = false;
         x.FaultAddress = 0x00000000DEADBEEF;
       },
       "Access violation at address 00007FFFF7FF0010. Read of address 00000000DEADBEEF."},
      {"message gets its dot",
       [](TReportException& x) {
         x.AccessViolation = false;
         x.Message = "Connection refused";
       },
       "Connection refused."},
      {"no second dot",
       [](TReportException& x) {
         x.AccessViolation = false;
         x.Message = "Connection refused.";
       },
       "Connection refused."},
      {"empty message",
       [](TReportException& x) {
         x.AccessViolation = false;
         x.Message = "";
       },
       "."},
      {"not an exception",
       [](TReportException& x) {
         x.AccessViolation = false;
         x.IsException = false;
       },
       "Unknown error message."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    scene = MakeFakeScene();
    c.Adjust(scene->Exception);
    TBugReport r = Build();
    EXPECT_EQ(r.Message, c.Message);
    EXPECT_EQ(Field(r.Text, "2.6"), c.Message);
  }
}

TEST_F(SceneReport, KeptMessageAndType) {
  scene->Exception.AccessViolation = false;
  scene->Exception.Message = "Line one\r\nLine\ttwo\x01";
  TBugReport r = Build();
  EXPECT_EQ(r.LastMessage, "Line one\r\nLine two .");
  EXPECT_EQ(r.Type, "EAccessViolation");
  EXPECT_EQ(Lines(r.Text, "  2.6 Message", 2), "  2.6 Message       : Line one\r\n                      Line\ttwo\x01.");

  scene->Exception.ShownMessage = "Please try again";
  EXPECT_EQ(Build().LastMessage, "Please try again");

  scene->Exception.IsException = false;
  EXPECT_EQ(Build().Type, "Unknown exception type");
}

TEST_F(SceneReport, SectionsKeepTheirNumbers) {
  TShowFields f = options.ShowFields();
  for (size_t bit = 16; bit <= 20; ++bit) f.reset(bit);
  options.SetShowFields(f);
  std::string text = Build().Text;
  EXPECT_EQ(text.find("\r\nUser:\r\n"), std::string::npos);
  EXPECT_EQ(Field(text, "5.1"), "chart-room");

  // A console program has no active controls, whatever the bits say.
  options.SetShowFields(TShowFields().set());
  scene->Exception.ConsoleOrWeb = true;
  text = Build().Text;
  EXPECT_EQ(text.find("Active Controls:"), std::string::npos);
  EXPECT_EQ(Field(text, "4.1"), "<absent>");
  EXPECT_EQ(Field(text, "5.1"), "chart-room");
  EXPECT_EQ(Field(text, "3.1"), "mara");

  // One bit hides one field; the next keeps its number.
  f = TShowFields().set();
  f.reset(7);
  options.SetShowFields(f);
  text = Build().Text;
  EXPECT_EQ(Field(text, "2.2"), "<absent>");
  EXPECT_EQ(Field(text, "2.3"), "zelk-distance - (Distance client)");
}

TEST_F(SceneReport, GeneralValues) {
  std::string text = Build().Text;
  struct Case {
    const char* Id;
    const char* Value;
  };
  const Case cases[] = {
      {"1.1", "Wed, 9 Dec 2026 13:04:18 +0100"},
      {"1.2", "zelk-distance - (Distance client)"},
      {"1.3", "1.2.3.4"},
      {"1.4", "--route 001 --verbose"},
      {"1.5", "Wed, 1 Jul 2026 10:00:00 +0200"},  // the zone of its own day
      {"1.6", "1 day, 5 seconds"},
      {"2.3", "zelk-distance - (Distance client)"},
      {"2.8", "1"},
      {"2.9", "New"},
      {"2.10", ""},
      {"3.4", ""},  // Company: Linux has none
      {"3.5", "CAP_NET_BIND_SERVICE            - ON"},
      {"4.2", "Zelk Distance"},
      {"4.4", "Get Distance (Busan -> London -> Mobile)"},
      {"5.2", "15872 Mb"},
      {"5.3", "3772 Mb"},
      {"5.4", "467.25 Gb"},
      {"5.5", "120 Gb"},
      {"5.6", "3 days, 4 hours, 1 minute, 7 seconds"},
      {"5.7", "Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz"},
      {"5.10", "Intel UHD Graphics 630 (driver i915)"},
      {"5.11", ""},
      {"6.3", "#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1"},
      {"6.5", ""},  // Charset: Linux has none
      {"7.1", "192.168.001.020 - 010.000.000.005"},
      {"7.3", "192.168.001.001 - 000.000.000.000"},
      {"7.5", "000.000.000.000 - 149.112.112.112"},
      {"7.6", "ON              - OFF            "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Id);
    EXPECT_EQ(Field(text, c.Id), c.Value);
  }
  EXPECT_EQ(Lines(text, "  3.5 Privileges", 3),
            "  3.5 Privileges: CAP_NET_BIND_SERVICE            - ON\r\n"
            "                  CAP_SYS_PTRACE                  - OFF\r\n"
            "                  .");

  scene->Exception.CompileTime = 0;
  scene->Snapshot.SystemValues.Processor = "  ";
  scene->Snapshot.SystemValues.Network.clear();
  text = Build().Text;
  EXPECT_EQ(Field(text, "1.5"), "");
  EXPECT_EQ(Field(text, "5.7"), "Unknown processor");
  EXPECT_EQ(Field(text, "7.1"), "");
}

TEST_F(SceneReport, ThreadGroups) {
  std::string stack = Build().CallStackPart;
  // Exception thread first; the creator's stack nested under its thread; a new top-level thread
  // after an empty cell.
  size_t exceptionThread = stack.find("|*Exception Thread: ID=4242; Priority=0; Class=; [Main]");
  size_t running = stack.find("|Running Thread: ID=4243; Priority=-2; Class=TSendThread ");
  size_t calling = stack.find("|Calling Thread: ID=4242; Priority=0; Class=; [Main]");
  size_t unknown = stack.find("|Running Thread: ID=4250; Priority=??; Class= ");
  ASSERT_NE(exceptionThread, std::string::npos);
  ASSERT_NE(running, std::string::npos);
  ASSERT_NE(calling, std::string::npos);
  ASSERT_NE(unknown, std::string::npos);
  EXPECT_LT(exceptionThread, running);
  EXPECT_LT(running, calling);
  EXPECT_LT(calling, unknown);
  // The libc frame is known by its module only: not shown.
  EXPECT_EQ(stack.find("libc.so.6|"), std::string::npos);

  // Two threads, two groups, each with its heading.
  scene->Exception.CallStack.resize(6);
  stack = Build().CallStackPart;
  size_t headings = 0;
  for (size_t at = stack.find("Thread: ID="); at != std::string::npos; at = stack.find("Thread: ID=", at + 1))
    ++headings;
  EXPECT_EQ(headings, 2u);

  // Without the export and unit kinds only lines remain.
  options.SetCallStackFlags({});
  stack = BuildBugReport(options, scene->Exception, scene->Snapshot).CallStackPart;
  EXPECT_EQ(stack.find("soap_invoke"), std::string::npos);
}

// Every line of a table, borders included, is as long as its top border.
void ExpectRectangularTables(const std::string& part) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = part.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(part.substr(at, end - at));
  size_t tables = 0;
  for (size_t n = 0; n + 1 < lines.size(); ++n) {
    if (lines[n].empty() || lines[n][0] != '-' || lines[n + 1].empty() || lines[n + 1][0] != '|') continue;
    ++tables;
    size_t width = lines[n].size();
    for (size_t m = n + 1; m < lines.size() && !lines[m].empty(); ++m) {
      SCOPED_TRACE(lines[m]);
      EXPECT_EQ(lines[m].size(), width);
    }
    while (n < lines.size() && !lines[n].empty()) ++n;
  }
  EXPECT_EQ(tables, 3u);
}

TEST_F(SceneReport, TablesWidenToTheirCells) {
  ExpectRectangularTables(Build().CallStackPart);

  // A long value or caption widens its column; the handle fills a widened column with zeros.
  options.SetText(126, "Load address of the module");
  scene->Exception.CallStack[0].ProcedureName = std::string(70, 'p');
  std::string part = Build().CallStackPart;
  ExpectRectangularTables(part);
  EXPECT_NE(part.find("|" + std::string(14, '0') + "555555554000|zelk-distance"), std::string::npos);
  EXPECT_NE(part.find("|" + std::string(70, 'p') + "|122[4]|"), std::string::npos);
}

// A leak report's call stack: the rows of each leak under a heading of its own.
struct TLeakSpec {
  const char* Class;  // empty: no class
  uint64_t Size;
  uint64_t Count;
  size_t Rows;
};
struct TLeakTableCase {
  const char* Name;
  std::vector<TLeakSpec> Leaks;
  std::vector<std::string> Headings;
};

const TLeakTableCase kLeakTableCases[] = {
    {"ClassAndData", {{"TOwner", 116, 1, 2}, {"", 24, 1, 1}},
     {"Memory Leak: Type=TOwner; Total size=116; Count=1", "Memory Leak: Type=Daten; Total size=24; Count=1"}},
    {"EqualLeaksStayApart", {{"", 40, 2, 1}, {"", 40, 2, 1}},
     {"Memory Leak: Type=Daten; Total size=40; Count=2", "Memory Leak: Type=Daten; Total size=40; Count=2"}},
    {"SizesBeyond32Bits", {{"", 5000000000ull, 4294967297ull, 3}},
     {"Memory Leak: Type=Daten; Total size=5000000000; Count=4294967297"}},
};

TEST_F(SceneReport, LeakGroups) {
  options.SetText(106, "Daten");  // "Data" in the option set's words
  const TTarvexStackEntry row = scene->Exception.CallStack.front();
  for (const TLeakTableCase& c : kLeakTableCases) {
    SCOPED_TRACE(c.Name);
    TTarvexStackList& list = scene->Exception.CallStack;
    list.clear();
    for (size_t n = 0; n < c.Leaks.size(); ++n)
      for (size_t r = 0; r < c.Leaks[n].Rows; ++r) {
        TTarvexStackEntry& e = list.emplace_back(row);
        e.IsFirstEntry = list.size() == 1;
        e.IsLeak = true;
        e.LeakIndex = static_cast<uint32_t>(n);
        e.LeakClassName = c.Leaks[n].Class;
        e.LeakSize = c.Leaks[n].Size;
        e.LeakCount = c.Leaks[n].Count;
      }
    const std::string part = Build().CallStackPart;
    std::vector<std::string> headings;
    size_t rows = 0;
    for (size_t at = 0, end; (end = part.find("\r\n", at)) != std::string::npos; at = end + 2) {
      const std::string line = part.substr(at, end - at);
      if (line.starts_with("|Memory Leak:")) headings.push_back(line.substr(1, line.find_last_not_of(" |")));
      if (line.starts_with("|0000555555555A5A|")) ++rows;
    }
    EXPECT_EQ(headings, c.Headings);
    EXPECT_EQ(rows, list.size());
    EXPECT_EQ(part.find("Thread: ID="), std::string::npos);
    // A later leak opens like a thread of its own: a separator cell and an empty cell before
    // its heading, a separator cell after it.
    const std::regex opening(R"(\|-+\|\r\n\| +\|\r\n\|Memory Leak: [^\r]*\|\r\n\|-+\|\r\n\|0000555555555A5A\|)");
    const auto openings = std::distance(std::sregex_iterator(part.begin(), part.end(), opening), std::sregex_iterator());
    EXPECT_EQ(static_cast<size_t>(openings), c.Headings.size() - 1);
    ExpectRectangularTables(part);
  }
}

TEST_F(SceneReport, Identifier) {
  std::string id = Build().Identifier;
  EXPECT_EQ(Field(Build().Text, "2.7"), id);
  EXPECT_EQ(id, ReportIdentifier(ReportIdentifierText("zelk-distance - (Distance client)",
                                                      "zelk-distance - (Distance client)", "EAccessViolation",
                                                      scene->Exception.CallStack)));
  struct Case {
    const char* Name;
    void (*Adjust)(TTarvexStackList&);
    bool Same;
  };
  const Case cases[] = {
      {"code moved above every procedure",
       [](TTarvexStackList& l) {
         for (auto& e : l) e.LineNumber += 40;
       },
       true},
      {"another thread's line changed", [](TTarvexStackList& l) { l[5].LineOffset += 1; }, true},
      // The sending thread's creator is the exception's thread: its stack copy counts too.
      {"the creator's stack changed", [](TTarvexStackList& l) { l[6].LineOffset += 1; }, false},
      {"an entry without a line changed", [](TTarvexStackList& l) { l[2].ProcedureName = "soap_call"; }, true},
      {"the failing line changed", [](TTarvexStackList& l) { l[0].LineOffset += 1; }, false},
      {"a caller's line changed", [](TTarvexStackList& l) { l[1].LineOffset -= 1; }, false},
      {"another procedure", [](TTarvexStackList& l) { l[0].ProcedureName = "Retry"; }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    scene = MakeFakeScene();
    c.Adjust(scene->Exception.CallStack);
    EXPECT_EQ(Build().Identifier == id, c.Same);
  }
  scene = MakeFakeScene();
  scene->Exception.ClassName = "ERangeError";
  EXPECT_NE(Build().Identifier, id);
}

TEST_F(SceneReport, Variables) {
  TBugReport r = Build();
  auto vars = ReportVariables(r);
  auto value = [&](const std::string& name) {
    for (const auto& [n, v] : vars)
      if (n == name) return v;
    return std::string("<absent>");
  };
  EXPECT_EQ(value("_MainModuleName"), "zelk-distance");
  EXPECT_EQ(value("_MainModuleDesc"), "Distance client");
  EXPECT_EQ(value("_MainModuleVer"), "1.2.3.4");
  EXPECT_EQ(value("_ExceptModuleName"), "zelk-distance");
  EXPECT_EQ(value("_ExceptMsg"), r.Message);
  EXPECT_EQ(value("_BugReport"), r.Text);
  EXPECT_EQ(value("_LineBreak"), "\r\n");
  EXPECT_EQ(vars.size(), 9u);
}

TEST_F(SceneReport, PartsJoinIntoTheText) {
  TBugReport r = Build();
  EXPECT_EQ(r.Text, r.GeneralPart + "\r\n" + r.CallStackPart + r.AssemblerHeader + "\r\n" + r.AssemblerPart + "\r\n" +
                        r.CpuPart);
  EXPECT_EQ(r.Text.rfind("TarvexLog 6.0.21\r\n\r\nApplication:\r\n", 0), 0u);
  // Every line ends in CR LF: no bare LF anywhere.
  for (size_t at = r.Text.find('\n'); at != std::string::npos; at = r.Text.find('\n', at + 1))
    ASSERT_EQ(r.Text[at - 1], '\r') << "at " << at;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The identifier of a real program, its stack resolved from its own debug information.

namespace {

struct FixtureRun {
  std::string Output;
  std::string Id;
  size_t Lines = 0;
};

FixtureRun RunFixture(const char* path) {
  FixtureRun run;
  FILE* pipe = popen(path, "r");
  if (!pipe) return run;
  char buf[512];
  while (fgets(buf, sizeof buf, pipe)) {
    std::string line = buf;
    run.Output += line;
    if (line.rfind("id ", 0) == 0) run.Id = line.substr(3, 4);
    if (line.rfind("lines ", 0) == 0) run.Lines = std::stoul(line.substr(6));
  }
  pclose(pipe);
  return run;
}

TEST(ReportIdentifierOfAProgram, StableWhenCodeMovesAboveTheFailingProcedure) {
  FixtureRun plain = RunFixture(IDENT_FIXTURE_PLAIN);
  FixtureRun extra = RunFixture(IDENT_FIXTURE_EXTRA_LINES);
  FixtureRun other = RunFixture(IDENT_FIXTURE_OTHER_LINE);
  // Fail, Outer and main resolved with lines: otherwise the identifier would not see the code.
  ASSERT_GE(plain.Lines, 3u) << plain.Output;
  ASSERT_EQ(plain.Id.size(), 4u) << plain.Output;
  EXPECT_NE(plain.Output, extra.Output) << "the inserted lines moved nothing";
  EXPECT_EQ(plain.Id, extra.Id) << plain.Output << extra.Output;
  EXPECT_NE(plain.Id, other.Id) << plain.Output << other.Output;
}

}  // namespace
