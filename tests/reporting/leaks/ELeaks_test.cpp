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

namespace fs = std::filesystem;

namespace {

struct TRun {
  std::string Output;
  int ExitCode = -1;
  int Signal = 0;
};

std::string ReadAll(int fd) {
  std::string text;
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

TRun RunProgram(const std::vector<std::string>& args) {
  int out[2];
  if (::pipe(out) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]), ::close(out[1]);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::alarm(55);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  TRun run;
  run.Output = ReadAll(out[0]);
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.ExitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.Signal = WTERMSIG(status);
  return run;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (fs::temp_directory_path() / "leaks-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TTempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// One leak of the report's call-stack table: its heading "Memory Leak: Type=...; Total
// size=...; Count=..." and the rows under it, the origin first.
struct TLeakRow {
  std::string Unit;
  int Line = 0;  // 0: no line
};
struct TLeakGroup {
  std::string Type;
  uint64_t Size = 0;
  uint64_t Count = 0;
  std::vector<TLeakRow> Rows;
  const std::string& Unit() const {
    static const std::string none;
    return Rows.empty() ? none : Rows[0].Unit;
  }
  int Line() const { return Rows.empty() ? 0 : Rows[0].Line; }
};

std::string Trimmed(const std::string& cell) {
  const size_t end = cell.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : cell.substr(0, end + 1);
}

std::vector<TLeakGroup> LeakGroups(const std::string& log) {
  static const std::regex heading(R"(\|Memory Leak: Type=([^;]+); Total size=(\d+); Count=(\d+) *\|)");
  static const std::regex row(R"(\|[0-9A-F]{16}\|[^|]*\|([^|]*)\|[^|]*\|[^|]*\|(\d*)(?:\[-?\d+\])? *\|)");
  std::vector<TLeakGroup> groups;
  std::istringstream in(log);
  std::smatch m;
  bool inGroup = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (std::regex_match(line, m, heading)) {
      groups.push_back({m[1], std::stoull(m[2]), std::stoull(m[3]), {}});
      inGroup = true;
    } else if (inGroup && std::regex_match(line, m, row)) {
      groups.back().Rows.push_back({Trimmed(m[1]), m[2].length() ? std::stoi(m[2]) : 0});
    } else if (line.find_first_not_of("|- ") != std::string::npos || line.empty() || line[0] != '|') {
      inGroup = false;  // anything but a separator or empty cell: the table or the group ended
    }
  }
  return groups;
}

// The leaks that the fixture made itself: their origin is one of its lines.
std::vector<TLeakGroup> FixtureGroups(const std::string& log) {
  std::vector<TLeakGroup> groups;
  for (TLeakGroup& g : LeakGroups(log))
    if (g.Unit() == LEAK_FIXTURE_SOURCE) groups.push_back(std::move(g));
  return groups;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// "SITE name line" lines of the fixture.
std::map<std::string, int> Sites(const std::string& output) {
  std::map<std::string, int> sites;
  std::istringstream in(output);
  std::string word, name;
  int line;
  while (in >> word >> name >> line)
    if (word == "SITE") sites.emplace(name, line);
  return sites;
}

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
