// The leak report at exit runs after the program's static destructors: the exit-order program
// (a copy, tracking switched on with tarvex-options) holds blocks in namespace-scope and
// function-local statics and ends with exit(); the test reads its log.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

struct TRun {
  std::string Output;
  int ExitCode = -1;
  int Signal = 0;
};

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
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    run.Output.append(buffer, static_cast<size_t>(n));
  }
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
    std::string pattern = (fs::temp_directory_path() / "leak-order-XXXXXX").string();
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

// A leak of the report's call-stack table: its heading and the unit and line of its origin (the
// first row under it).
struct TLeak {
  std::string Type;
  uint64_t Size = 0;
  uint64_t Count = 0;
  std::string Unit;
  int Line = 0;
};

std::vector<TLeak> Leaks(const std::string& log) {
  static const std::regex heading(R"(\|Memory Leak: Type=([^;]+); Total size=(\d+); Count=(\d+) *\|)");
  static const std::regex row(R"(\|[0-9A-F]{16}\|[^|]*\|([^|]*?) *\|[^|]*\|[^|]*\|(\d*)(?:\[-?\d+\])? *\|)");
  std::vector<TLeak> leaks;
  std::istringstream in(log);
  std::smatch m;
  bool wantOrigin = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (std::regex_match(line, m, heading)) {
      leaks.push_back({m[1], std::stoull(m[2]), std::stoull(m[3]), "", 0});
      wantOrigin = true;
    } else if (wantOrigin && std::regex_match(line, m, row)) {
      leaks.back().Unit = m[1];
      leaks.back().Line = m[2].length() ? std::stoi(m[2]) : 0;
      wantOrigin = false;
    }
  }
  return leaks;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

int SiteLine(const std::string& output, const std::string& name) {
  std::istringstream in(output);
  std::string word, site;
  int line = 0;
  while (in >> word >> site >> line)
    if (word == "SITE" && site == name) return line;
  return -1;
}

struct TOrderRun {
  TRun Run;
  std::string Log;
  std::vector<TLeak> Own;  // the leaks whose origin is the program's source
};

TOrderRun RunOrderFixture(const TTempDir& dir, const std::vector<std::string>& args) {
  const fs::path program = dir.Path() / "leak_exit_order_fixture";
  fs::copy_file(LEAK_EXIT_ORDER_FIXTURE, program, fs::copy_options::overwrite_existing);
  TRun set = RunProgram({TARVEX_OPTIONS, "set", program.string(), "--set",
                         "LeakFlags=[lkCatchLeaks, lkIgnoreKnownLeaks, lkCheckMemoryErrors, lkGroupChildLeaks]"});
  EXPECT_EQ(set.ExitCode, 0);
  const fs::path log = dir.Path() / "leaks.tlf";
  std::vector<std::string> argv{program.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.insert(argv.begin() + 2, log.string());
  TOrderRun r;
  r.Run = RunProgram(argv);
  r.Log = ReadFile(log);
  for (const TLeak& l : Leaks(r.Log))
    if (l.Unit == LEAK_EXIT_ORDER_SOURCE) r.Own.push_back(l);
  return r;
}

struct TOrderCase {
  const char* Name;
  int Status;
  bool Threads;
};

const TOrderCase kOrderCases[] = {
    {"ExitZero", 0, false},
    {"ExitStatusKept", 3, false},
    {"ThreadsAllocatingWhileExitRuns", 0, true},
};

class LeakExitOrder : public ::testing::TestWithParam<TOrderCase> {};

// Blocks freed by static destructors (namespace scope and function-local) are not leaks; the
// one a namespace-scope object keeps is reported at its line, through the log, and the program
// ends with its own status.
TEST_P(LeakExitOrder, OnlyTheBlockKeptByAStaticIsReported) {
  const TOrderCase& c = GetParam();
  TTempDir dir;
  std::vector<std::string> args{std::to_string(c.Status)};
  if (c.Threads) args.push_back("threads");
  TOrderRun r = RunOrderFixture(dir, args);
  ASSERT_EQ(r.Run.Signal, 0);
  EXPECT_EQ(r.Run.ExitCode, c.Status);
  EXPECT_EQ(Count(r.Log, "EMemoryLeak"), 1) << r.Log.substr(0, 20000);
  const int kept = SiteLine(r.Run.Output, "kept");
  ASSERT_GT(kept, 0) << r.Run.Output;
  std::vector<TLeak> main;  // without the threads' own blocks in flight
  for (const TLeak& l : r.Own)
    if (!c.Threads || l.Line == kept + 1) main.push_back(l);
  ASSERT_EQ(main.size(), 1u) << r.Log.substr(0, 20000);
  EXPECT_EQ(main[0].Line, kept + 1);
  EXPECT_EQ(main[0].Type, "Data");
  EXPECT_EQ(main[0].Size, 56u);
  EXPECT_EQ(main[0].Count, 1u);
  // The freed blocks' sizes appear nowhere as a leak of the program's.
  for (const TLeak& l : r.Own) {
    EXPECT_NE(l.Size, 40u) << "namespace-scope block freed by its destructor";
    EXPECT_NE(l.Size, 72u) << "function-local block freed by its destructor";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LeakExitOrder, ::testing::ValuesIn(kOrderCases),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
