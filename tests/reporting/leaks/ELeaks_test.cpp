// Leak tracking end to end: the fixture program (a copy per case, its leak flags set with
// tarvex-options) leaks or damages memory, ends with exit(), and the test reads what the
// tracker reported from the program's log.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reporting/leaks/ELeaks.h"
#include "tests/reporting/leaks/LeakChildRun.h"

namespace fs = std::filesystem;

namespace {

using namespace leak_child;

// The leaks that the fixture made itself: their origin is one of its lines.
std::vector<TLeakGroup> FixtureGroups(const std::string& log) { return GroupsFrom(log, LEAK_FIXTURE_SOURCE); }

constexpr const char* kTracking = "LeakFlags=[lkCatchLeaks, lkIgnoreKnownLeaks, lkCheckMemoryErrors, lkGroupChildLeaks]";
constexpr const char* kNoGrouping = "LeakFlags=[lkCatchLeaks, lkIgnoreKnownLeaks, lkCheckMemoryErrors]";
constexpr const char* kNoChecks = "LeakFlags=[lkCatchLeaks, lkIgnoreKnownLeaks, lkGroupChildLeaks]";
constexpr const char* kDefaults = "";  // as embedded: lkCatchLeaks clear

struct TFixtureRun {
  TRun Run;
  std::string Log;
  std::map<std::string, int> Sites;
};

class LeakFixture {
 public:
  TFixtureRun Start(const std::string& mode, const std::string& flags) {
    const fs::path program = dir_.Path() / "leak_fixture";
    fs::copy_file(LEAK_FIXTURE, program, fs::copy_options::overwrite_existing);
    if (!flags.empty()) {
      TRun set = RunProgram({TARVEX_OPTIONS, "set", program.string(), "--set", flags});
      EXPECT_EQ(set.ExitCode, 0) << "tarvex-options set " << flags;
    }
    const fs::path log = dir_.Path() / "leaks.tlf";
    TFixtureRun r;
    r.Run = RunProgram({program.string(), mode, log.string()});
    r.Log = ReadFile(log);
    r.Sites = Sites(r.Run.Output);
    return r;
  }

 private:
  TTempDir dir_;
};

// ---- Leaks at exit ----

struct TLeakCase {
  const char* Name;
  const char* Mode;
  const char* Flags;
  // The fixture's own leaks: how many, and the first one's type, size and count; the site its
  // origin's line must be (empty: not checked).
  size_t Groups;
  const char* Type;
  uint64_t Size;
  uint64_t Count;
  const char* Site;
};

const TLeakCase kLeakCases[] = {
    {"NoLeak", "none", kTracking, 0, "", 0, 0, ""},
    {"TwoStringsFromOneLine", "strings", kTracking, 1, "Data", 82, 2, "strings"},
    {"ChildFoldedIntoObject", "child", kTracking, 1, "TOwner", 16 + 100, 1, "owner"},
    {"ChildApartWithoutGrouping", "child", kNoGrouping, 2, "TOwner", 16, 1, "owner"},
    {"AtMost2000Origins", "origins", kTracking, 2000, "Data", 0, 1, ""},
    {"ClassNameFromVtable", "classes", kTracking, 2, "TPlainObject", 16, 1, "object"},
    {"BlockFromBeforeStartFreedLater", "early", kTracking, 0, "", 0, 0, ""},
    {"BlocksTheLayerKeeps", "layer", kTracking, 0, "", 0, 0, ""},
    {"BlockFreedByStaticDestructor", "static", kTracking, 0, "", 0, 0, ""},
    {"DefaultFlagsTrackNothing", "classes", kDefaults, 0, "", 0, 0, ""},
};

class LeakReport : public ::testing::TestWithParam<TLeakCase> {};

TEST_P(LeakReport, RowsInTheLog) {
  const TLeakCase& c = GetParam();
  LeakFixture fixture;
  TFixtureRun r = fixture.Start(c.Mode, c.Flags);
  ASSERT_EQ(r.Run.ExitCode, 0) << r.Run.Output;
  std::vector<TLeakGroup> groups = FixtureGroups(r.Log);
  ASSERT_EQ(groups.size(), c.Groups) << r.Log.substr(0, 20000);
  if (c.Groups == 0) {
    EXPECT_EQ(Count(r.Log, "EMemoryLeak"), 0) << r.Log.substr(0, 20000);
    return;
  }
  EXPECT_EQ(Count(r.Log, "EMemoryLeak"), 1);
  // The cap holds for all leaks, the fixture's or not.
  EXPECT_LE(LeakGroups(r.Log).size(), 2000u);
  EXPECT_EQ(groups[0].Type, c.Type);
  if (c.Size) {
    EXPECT_EQ(groups[0].Size, c.Size);
  }
  EXPECT_EQ(groups[0].Count, c.Count);
  if (*c.Site) {
    ASSERT_TRUE(r.Sites.count(c.Site)) << r.Run.Output;
    EXPECT_EQ(groups[0].Line(), r.Sites[c.Site] + 1);  // the call follows its SITE line
  }
  // Under the origin its callers: the fixture's main is called by the C library.
  EXPECT_GT(groups[0].Rows.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, LeakReport, ::testing::ValuesIn(kLeakCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(LeakReportDetails, DataBesideAClassAndAChildBesideItsOwner) {
  {
    LeakFixture fixture;
    TFixtureRun r = fixture.Start("classes", kTracking);
    std::vector<TLeakGroup> groups = FixtureGroups(r.Log);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[1].Type, "Data");
    EXPECT_EQ(groups[1].Size, 24u);
    EXPECT_EQ(groups[1].Line(), r.Sites["data"] + 1);
  }
  {
    LeakFixture fixture;
    TFixtureRun r = fixture.Start("child", kNoGrouping);
    std::vector<TLeakGroup> groups = FixtureGroups(r.Log);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[1].Type, "Data");
    EXPECT_EQ(groups[1].Size, 100u);
  }
}

// ---- Exit ----

TEST(LeakExit, ThreadsAllocatingWhileExitRuns) {
  LeakFixture fixture;
  TFixtureRun r = fixture.Start("threads", kTracking);
  ASSERT_EQ(r.Run.ExitCode, 0);
  EXPECT_EQ(Count(r.Log, "EMemoryLeak"), 1);
  // The still running threads' own blocks may be listed too; the main thread's leak is.
  bool found = false;
  for (const TLeakGroup& g : FixtureGroups(r.Log))
    if (g.Line() == r.Sites["threads"] + 1) {
      found = true;
      EXPECT_EQ(g.Type, "Data");
      EXPECT_EQ(g.Size, 32u);
      EXPECT_EQ(g.Count, 1u);
    }
  EXPECT_TRUE(found) << r.Log.substr(0, 20000);
}

TEST(LeakExit, ForkedChildsExitAddsNoReport) {
  LeakFixture fixture;
  TFixtureRun r = fixture.Start("fork", kTracking);
  ASSERT_EQ(r.Run.ExitCode, 0);
  EXPECT_EQ(Count(r.Log, "EMemoryLeak"), 1);
  std::vector<TLeakGroup> groups = FixtureGroups(r.Log);
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].Line(), r.Sites["fork"] + 1);
}

// ---- Memory errors ----

struct TErrorCase {
  const char* Name;
  const char* Mode;
  const char* Flags;
  const char* ClassName;  // empty: nothing reported
  int Message;            // text number
  const char* Site;
};

const TErrorCase kErrorCases[] = {
    {"DoubleFree", "double", kTracking, "EMultiFree", 154, "double"},
    {"OneBytePastTheEnd", "over1", kTracking, "EMemoryOverrun", 155, "damaged"},
    {"EightBytesPastTheEnd", "over8", kTracking, "EMemoryOverrun", 155, "damaged"},
    {"OneByteBeforeTheStart", "under1", kTracking, "EMemoryOverrun", 155, "damaged"},
    {"DoubleFreeUnchecked", "double", kNoChecks, "", 0, ""},
    {"OverrunUnchecked", "over8", kNoChecks, "", 0, ""},
};

class MemoryError : public ::testing::TestWithParam<TErrorCase> {};

TEST_P(MemoryError, ReportedAtTheDeleteLine) {
  const TErrorCase& c = GetParam();
  LeakFixture fixture;
  TFixtureRun r = fixture.Start(c.Mode, c.Flags);
  // No abort from the C library's allocator, whatever was reported.
  ASSERT_EQ(r.Run.Signal, 0);
  ASSERT_EQ(r.Run.ExitCode, 0);
  EXPECT_EQ(Count(r.Log, "EMemoryLeak"), 0);
  if (!*c.ClassName) {
    EXPECT_EQ(Count(r.Log, "EMultiFree") + Count(r.Log, "EMemoryOverrun"), 0);
    return;
  }
  EXPECT_EQ(Count(r.Log, c.ClassName), 1) << r.Log.substr(0, 20000);
  EXPECT_NE(r.Log.find(c.Message == 154 ? "Multi Free memory leak." : "Memory Overrun leak."), std::string::npos);
  // The first call-stack row of the fixture is the delete expression's line.
  const std::regex row(std::string(R"(\|[0-9A-F]{16}\|[^|]*\|)") + LEAK_FIXTURE_SOURCE + R"( *\|[^|]*\|[^|]*\|(\d+)\[)");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.Log, m, row)) << r.Log.substr(0, 20000);
  EXPECT_EQ(std::stoi(m[1]), r.Sites[c.Site] + 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, MemoryError, ::testing::ValuesIn(kErrorCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---- zelk-distance ----

#ifdef LEAK_APP_DRIVER
// zelk-distance's start, three failing clicks and its end, with tracking switched on in a copy:
// whatever it still holds at exit is either in the known-leak table or not its own.
TEST(LeakApp, ZelkDistanceWithClicksReportsNoLeakOfItsOwn) {
  TTempDir dir;
  const fs::path program = dir.Path() / "zelk-distance";
  const fs::path log = dir.Path() / "zelk-distance.tlf";
  fs::copy_file(LEAK_APP_DRIVER, program);
  ASSERT_EQ(RunProgram({TARVEX_OPTIONS, "set", program.string(), "--set", kTracking, "--set", "DialogKind=dkNone",
                        "--set", "LogOutputPath=\"" + log.string() + "\""})
                .ExitCode,
            0);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // Port 1 of the loopback address: every click fails at once.
  ::setenv("ZELK_DISTANCE_URL", "http://127.0.0.1:1/ZelkSystem/services/ZelkDistanceVersion3", 1);
  TRun run = RunProgram({program.string()});
  ASSERT_EQ(run.Signal, 0);
  ASSERT_EQ(run.ExitCode, 0);
  const std::string text = ReadFile(log);
  EXPECT_NE(text.find("ESOAPHTTPException"), std::string::npos) << "the clicks were reported";
  // Leaks of a report, if there is one, never start in the program's own code: the window, the
  // query, the binding and the SOAP runtime free what they allocate.
  const std::regex own(R"((_fmMain|DistanceReport|Units|ZelkDistance1|Rio|SOAPHTTPClient|SOAPHTTPTrans|OPToSOAPDomConv|XMLDoc)\.cpp)");
  for (const TLeakGroup& g : LeakGroups(text))
    EXPECT_FALSE(std::regex_match(g.Unit(), own)) << g.Unit() << ":" << g.Line() << " " << g.Type;
}
#endif

// ---- The flags read at start ----

TEST(StoredLeakBytes, ReadFromTheSectionWithoutTheOptionsCode) {
  TTempDir dir;
  const fs::path program = dir.Path() / "leak_fixture";
  fs::copy_file(LEAK_FIXTURE, program);
  struct TFlagsCase {
    const char* Flags;
    uint8_t Expected;
  } cases[] = {{kTracking, 0x17}, {kNoGrouping, 0x15}, {"LeakFlags=[]", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Flags);
    ASSERT_EQ(RunProgram({TARVEX_OPTIONS, "set", program.string(), "--set", c.Flags}).ExitCode, 0);
    uint8_t flags = 0xFF, defer = 0xFF;
    ASSERT_TRUE(ReadStoredLeakBytes(program.c_str(), &flags, &defer));
    EXPECT_EQ(flags, c.Expected);
  }
  uint8_t flags, defer;
  EXPECT_FALSE(ReadStoredLeakBytes("/bin/true", &flags, &defer));
  EXPECT_FALSE(ReadStoredLeakBytes((dir.Path() / "missing").c_str(), &flags, &defer));
}

}  // namespace
