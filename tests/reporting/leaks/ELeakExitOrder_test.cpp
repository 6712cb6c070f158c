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

#include "tests/reporting/leaks/LeakChildRun.h"

namespace fs = std::filesystem;

namespace {

using namespace leak_child;

struct TOrderRun {
  TRun Run;
  std::string Log;
  std::vector<TLeakGroup> Own;  // the leaks whose origin is the program's source
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
  r.Own = GroupsFrom(r.Log, LEAK_EXIT_ORDER_SOURCE);
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
  const int kept = Sites(r.Run.Output)["kept"];
  ASSERT_GT(kept, 0) << r.Run.Output;
  std::vector<TLeakGroup> main;  // without the threads' own blocks in flight
  for (const TLeakGroup& l : r.Own)
    if (!c.Threads || l.Line() == kept + 1) main.push_back(l);
  ASSERT_EQ(main.size(), 1u) << r.Log.substr(0, 20000);
  EXPECT_EQ(main[0].Line(), kept + 1);
  EXPECT_EQ(main[0].Type, "Data");
  EXPECT_EQ(main[0].Size, 56u);
  EXPECT_EQ(main[0].Count, 1u);
  // The freed blocks' sizes appear nowhere as a leak of the program's.
  for (const TLeakGroup& l : r.Own) {
    EXPECT_NE(l.Size, 40u) << "namespace-scope block freed by its destructor";
    EXPECT_NE(l.Size, 72u) << "function-local block freed by its destructor";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LeakExitOrder, ::testing::ValuesIn(kOrderCases),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
