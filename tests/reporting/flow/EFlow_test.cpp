// The processing flow in child programs: what each scenario writes on standard output and how
// the program ends.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <algorithm>

#include "reporting/options/ETexts.h"

namespace {

struct TChildRun {
  std::string Output;  // standard output
  std::string Errors;  // standard error
  int ExitCode = -1;   // when it exited
  int Signal = 0;      // when a signal ended it
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

// The child program ends itself with an alarm; whatever it started is waited for through its
// standard output (a restarted program inherits it).
TChildRun RunChild(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::close(out[0]), ::close(out[1]), ::close(err[0]), ::close(err[1]);
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> argv;
    std::string program = FLOW_CHILD;
    argv.push_back(program.data());
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]), ::close(err[1]);
  TChildRun run;
  // stderr is small; stdout may be large: read stderr in the loop's gaps would need poll, so
  // stderr goes to its end after stdout (the child never fills it).
  run.Output = ReadAll(out[0]);
  run.Errors = ReadAll(err[0]);
  ::close(out[0]), ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.ExitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.Signal = WTERMSIG(status);
  return run;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

const std::string& Text4() { return DefaultCustomizedText(4); }

TEST(FlowOutput, EAbortIsNeverReported) {
  TChildRun run = RunChild({"eabort"});
  EXPECT_EQ(Count(run.Output, Text4()), 0u) << run.Output;
  EXPECT_EQ(Count(run.Output, "EVENT"), 0u) << run.Output;
  EXPECT_NE(run.Output.find("RESULT 1"), std::string::npos) << run.Output;
  EXPECT_EQ(run.Signal, SIGABRT);  // the uncaught one still ends the program as it would
}

TEST(FlowOutput, ConsoleProgramWritesText4BlankLineAndReport) {
  TChildRun run = RunChild({"uncaught"});
  ASSERT_EQ(run.Output.rfind(Text4() + "\r\n\r\n", 0), 0u) << run.Output;
  EXPECT_EQ(Count(run.Output, Text4()), 1u);
  EXPECT_NE(run.Output.find("Route not found"), std::string::npos);
  EXPECT_NE(run.Output.find("RouteError"), std::string::npos);
  EXPECT_EQ(run.Signal, SIGABRT);
}

TEST(FlowOutput, CgiProgramWritesThePage) {
  TChildRun run = RunChild({"manager"}, {"REQUEST_METHOD=GET"});
  const std::string header = "Status: 200 Error\r\nContent-Type: text/html\r\nContent-Length: ";
  ASSERT_EQ(run.Output.rfind(header, 0), 0u) << run.Output.substr(0, 300);
  const size_t lengthEnd = run.Output.find("\r\n", header.size());
  const size_t length = std::stoul(run.Output.substr(header.size(), lengthEnd - header.size()));
  const std::string separator = "Content:\r\n\r\n";
  const size_t body = run.Output.find(separator) + separator.size();
  const size_t bodyEnd = run.Output.rfind("RESULT ");
  ASSERT_NE(bodyEnd, std::string::npos);
  EXPECT_EQ(bodyEnd - body, length);
  EXPECT_NE(run.Output.find("Route not found"), std::string::npos);
  EXPECT_NE(run.Output.find("<!-- TarvexLog ID: "), std::string::npos);
}

struct TFilterCase {
  const char* Name;
  const char* Scenario;
  bool Reported;  // the console report was written
  bool Notified;  // the notify event ran
  const char* Result;
};

class FlowFilters : public testing::TestWithParam<TFilterCase> {};

TEST_P(FlowFilters, DecideTheHandling) {
  const TFilterCase& c = GetParam();
  TChildRun run = RunChild({c.Scenario});
  EXPECT_EQ(Count(run.Output, Text4()) == 1, c.Reported) << run.Output;
  EXPECT_EQ(run.Output.find("EVENT notify") != std::string::npos, c.Notified) << run.Output;
  EXPECT_NE(run.Output.find(std::string("RESULT ") + c.Result), std::string::npos) << run.Output;
  EXPECT_NE(run.Output.find("END"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FlowFilters,
    testing::Values(TFilterCase{"NoneSwallows", "filter-none", false, false, "0"},
                    TFilterCase{"StandardPasses", "filter-standard", false, false, "1"},
                    TFilterCase{"ReporterWithoutDialog", "filter-reporter-nodialog", false, true, "0"},
                    TFilterCase{"ReporterDetailedDialog", "filter-reporter-detailed", true, true, "0"},
                    TFilterCase{"OtherClassNotMatched", "filter-other-class", true, false, "0"}),
    [](const testing::TestParamInfo<TFilterCase>& info) { return info.param.Name; });

TEST(FlowEvents, NotifyHandlerClearingContinueStopsTheOutput) {
  TChildRun run = RunChild({"notify-stop"});
  EXPECT_EQ(Count(run.Output, Text4()), 0u) << run.Output;
  EXPECT_NE(run.Output.find("RESULT 1"), std::string::npos) << run.Output;
}

TEST(FlowEvents, CustomDataBecomesASectionAfterTheGeneralPart) {
  TChildRun run = RunChild({"custom-data"});
  const size_t section = run.Output.find(DefaultCustomizedText(91) + ":");
  ASSERT_NE(section, std::string::npos) << run.Output;
  EXPECT_LT(section, run.Output.find("Call Stack Information"));
  // Each line a field; a repeated name takes the value of its first line.
  EXPECT_EQ(Count(run.Output, "8.1 Route"), 1u) << run.Output.substr(section, 400);
  EXPECT_EQ(Count(run.Output, ": Busan-London"), 2u);
  EXPECT_EQ(Count(run.Output, "London-Mobile"), 0u);
  EXPECT_NE(run.Output.find("8.2 Leg"), std::string::npos);
}

TEST(FlowEvents, HandledExceptionRaisesTheHandledNotify) {
  TChildRun run = RunChild({"handled"});
  EXPECT_NE(run.Output.find("EVENT handled Handled route"), std::string::npos) << run.Output;
  EXPECT_EQ(run.Output.find("EVENT unhandled"), std::string::npos);
  EXPECT_EQ(run.ExitCode, 0);
}

TEST(FlowEvents, DeliveryStepsAnnouncedSkippedAndRetried) {
  TChildRun run = RunChild({"delivery-retry"});
  // Without a dialog: no actions 0 and 1; e-mail fails once, is retried and succeeds; web skipped.
  std::string steps;
  std::istringstream lines(run.Output);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("ACTION ", 0) == 0 || line.rfind("SEND ", 0) == 0 || line.rfind("ERROR ", 0) == 0)
      steps += line + ";";
  EXPECT_EQ(steps, "ACTION 4;SEND email 1;ERROR 5;SEND email 2;ACTION 5;ACTION 6;") << run.Output;
}

TEST(FlowEvents, HandlersRunLastRegisteredFirstThenGlobal) {
  TChildRun run = RunChild({"handler-order"});
  const size_t second = run.Output.find("EVENT second"), first = run.Output.find("EVENT first"),
               global = run.Output.find("EVENT global");
  ASSERT_NE(global, std::string::npos) << run.Output;
  EXPECT_LT(second, first);
  EXPECT_LT(first, global);
}

TEST(FlowEvents, HandlersRunInTheRaisingThread) {
  TChildRun run = RunChild({"thread-worker"});
  EXPECT_NE(run.Output.find("HANDLER raising-thread"), std::string::npos) << run.Output;
  EXPECT_NE(run.Output.find("ACTION 0 raising-thread"), std::string::npos) << run.Output;
  EXPECT_EQ(run.Output.find("other-thread"), std::string::npos) << run.Output;
}

TEST(FlowEvents, SignalHandlersRunInTheSignalThread) {
  // The program's own handler stands in for the sanitizer's, which would end it with an exit code.
  TChildRun run = RunChild({"thread-signal"}, {"FLOW_EARLIER_HANDLERS=1"});
  EXPECT_NE(run.Output.find("HANDLER signal-thread"), std::string::npos) << run.Output;
  EXPECT_EQ(run.Signal, SIGSEGV);
}

TEST(FlowEvents, ModuleThatRaisedHearsFirstThroughItsExports) {
  TChildRun run = RunChild({"module-events"});
  const size_t plugin = run.Output.find("PLUGIN notify runtime_error: thrown in a plugin with report"),
               main = run.Output.find("MAIN notify");
  ASSERT_NE(plugin, std::string::npos) << run.Output;
  EXPECT_LT(plugin, main);
  // The list the plugin filled is the one the program's handler sees and the report shows.
  EXPECT_NE(run.Output.find("MAIN custom data 1"), std::string::npos) << run.Output;
  EXPECT_NE(run.Output.find("Plugin"), std::string::npos);
  EXPECT_NE(run.Output.find("loaded"), std::string::npos);
  // The second exception is the program's own: one plugin notify in all.
  EXPECT_EQ(Count(run.Output, "PLUGIN notify"), 1u) << run.Output;
  EXPECT_EQ(Count(run.Output, "MAIN notify"), 2u);
  EXPECT_EQ(run.ExitCode, 0);
}

TEST(FlowDelivery, SendThreadDeliversAfterTheProcessingAndDelaysTheNextException) {
  TChildRun run = RunChild({"send-in-thread"});
  const std::string& out = run.Output;
  const size_t begins = out.find("SEND begins in another thread with the report"), returned = out.find("RETURNED"),
               ends = out.find("SEND ends"), after = out.find("ACTION after e-mail"),
               second = out.find("EVENT notify Second route");
  ASSERT_NE(begins, std::string::npos) << out;
  ASSERT_NE(second, std::string::npos) << out;
  EXPECT_LT(returned, ends) << out;
  EXPECT_LT(ends, after);
  EXPECT_LT(after, second) << "the next exception waited for the delivery";
  EXPECT_EQ(Count(out, "SEND ends"), 2u);
  EXPECT_NE(out.find("END"), std::string::npos);
  EXPECT_EQ(run.ExitCode, 0);
}

TEST(FlowEvents, FaultInsideTheProcessingIsNotReportedAndEndsTheProgram) {
  TChildRun run = RunChild({"crash-in-processing"}, {"FLOW_EARLIER_HANDLERS=1"});
  EXPECT_EQ(Count(run.Output, Text4()), 1u) << run.Output.substr(0, 500);
  EXPECT_EQ(run.Signal, SIGSEGV);  // at once, not after waiting for the lock
}

TEST(FlowEvents, NestedExceptionIsDroppedWithoutDeadlock) {
  TChildRun run = RunChild({"nested"});
  EXPECT_NE(run.Output.find("NESTED 1"), std::string::npos) << run.Output;
  EXPECT_EQ(Count(run.Output, Text4()), 1u);
  EXPECT_NE(run.Output.find("END"), std::string::npos);
  EXPECT_EQ(run.ExitCode, 0);
}

struct PauseCase {
  const char* Flags;
  const char* During;
};
class FlowPause : public ::testing::TestWithParam<PauseCase> {};

// A plain worker counts as another thread of the process, not as one of the program's own.
TEST_P(FlowPause, WorkerFollowsThePauseRuleAndRunsAgainAfterwards) {
  TChildRun run = RunChild({"pause", GetParam().Flags});
  EXPECT_NE(run.Output.find(std::string("WORKER during ") + GetParam().During), std::string::npos) << run.Output;
  EXPECT_NE(run.Output.find("WORKER after running"), std::string::npos) << run.Output;
  EXPECT_EQ(run.ExitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(Flags, FlowPause,
                         ::testing::Values(PauseCase{"none", "running"}, PauseCase{"own", "running"},
                                           PauseCase{"os", "paused"}, PauseCase{"own+os", "paused"}),
                         [](const auto& info) {
                           std::string name = info.param.Flags;
                           std::replace(name.begin(), name.end(), '+', '_');
                           return name;
                         });

TEST(FlowFreeze, EachFreezeOfTheMainThreadIsReportedOnce) {
  TChildRun run = RunChild({"freeze"});
  const std::string line = "FROZEN class=EFrozenApplication msg=" + DefaultCustomizedText(156) +
                           " thread=main handler=watch\n";
  EXPECT_EQ(Count(run.Output, line), 2u) << run.Output;
  const size_t firstThaw = run.Output.find("THAWED");
  EXPECT_LT(run.Output.find(line), firstThaw);
  EXPECT_NE(run.Output.find(line, firstThaw), std::string::npos);  // reported again after going on
  EXPECT_EQ(run.ExitCode, 0);
}

TEST(FlowOutput, ClosedStandardOutputIsAShowError) {
  TChildRun run = RunChild({"closed-stdout"});
  EXPECT_NE(run.Errors.find("WARNING eeShowError [Console] "), std::string::npos) << run.Errors;
  EXPECT_EQ(run.ExitCode, 0);
}

TEST(FlowWatchdog, StalledProcessingGoesOnWithTheStandardHandling) {
  TChildRun run = RunChild({"stall"});
  EXPECT_NE(run.Output.find("STUCK"), std::string::npos) << run.Output;
  EXPECT_NE(run.Output.find("RESULT 1"), std::string::npos) << run.Output;
  EXPECT_EQ(run.ExitCode, 0);
}

TEST(FlowWatchdog, StalledSignalProcessingEndsWithTheSignal) {
  TChildRun run = RunChild({"stall", "signal"}, {"FLOW_EARLIER_HANDLERS=1"});
  EXPECT_NE(run.Output.find("STUCK"), std::string::npos) << run.Output;
  EXPECT_EQ(run.Signal, SIGSEGV);
}

struct TAutoCrashCase {
  const char* Name;
  std::vector<std::string> Seconds;
  bool Ends;
};

class FlowAutoCrash : public testing::TestWithParam<TAutoCrashCase> {};

TEST_P(FlowAutoCrash, ThirdExceptionWithinAMinuteEnds) {
  const TAutoCrashCase& c = GetParam();
  std::vector<std::string> args = {"autocrash"};
  args.insert(args.end(), c.Seconds.begin(), c.Seconds.end());
  TChildRun run = RunChild(args);
  EXPECT_EQ(Count(run.Output, Text4()), c.Seconds.size()) << run.Output;  // the last one ends it
  if (c.Ends) {
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Output.find("SURVIVED"), std::string::npos);
  } else {
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_NE(run.Output.find("SURVIVED"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FlowAutoCrash,
    testing::Values(TAutoCrashCase{"ThreeWithinAMinute", {"0", "20", "60"}, true},
                    TAutoCrashCase{"SpreadOverMoreThanAMinute", {"0", "40", "80", "130"}, false},
                    TAutoCrashCase{"LaterThreeWithinAMinute", {"0", "70", "80", "90"}, true}),
    [](const testing::TestParamInfo<TAutoCrashCase>& info) { return info.param.Name; });

TEST(FlowExit, RestartKeepsArgumentsAndStartDirectory) {
  const std::vector<std::string> args = {"restart", "two words", "\"quoted\"", "a;b", "$(touch /tmp/flow-x)", "'s'"};
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  TChildRun run = RunChild(args);
  EXPECT_EQ(run.ExitCode, 1);  // the first program
  EXPECT_NE(run.Output.find(std::string("CWD ") + cwd + "\n"), std::string::npos) << run.Output;
  for (size_t i = 1; i < args.size(); ++i)
    EXPECT_NE(run.Output.find("ARG " + args[i] + "\n"), std::string::npos) << args[i];
  EXPECT_EQ(run.Output.find("OPEN FD"), std::string::npos) << run.Output;
  EXPECT_EQ(run.Output.find("NOT RESTARTED"), std::string::npos);
}

TEST(FlowExit, RestartLoopStopsAfterThreeRestarts) {
  TChildRun run = RunChild({"restart-loop"});
  EXPECT_EQ(Count(run.Output, "START"), 4u) << run.Output;
}

struct TFaultCase {
  const char* Name;
  const char* Scenario;
  int Signal;
  bool EarlierChained;
};

class FlowFaults : public testing::TestWithParam<TFaultCase> {};

TEST_P(FlowFaults, OneReportAndTheOriginalEnd) {
  const TFaultCase& c = GetParam();
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's allocator catches the damage itself and reserves more address space than
  // any limit leaves.
  if (std::string(c.Scenario) == "damaged-malloc" || std::string(c.Scenario) == "bad-alloc")
    GTEST_SKIP() << "not under AddressSanitizer";
#endif
  TChildRun run = RunChild({c.Scenario}, {"FLOW_EARLIER_HANDLERS=1"});
  EXPECT_EQ(Count(run.Output, Text4()), 1u) << run.Output.substr(0, 2000) << run.Errors;
  EXPECT_EQ(run.Signal, c.Signal) << run.Errors;
  if (c.EarlierChained) {
    EXPECT_NE(run.Output.find("EARLIER " + std::to_string(c.Signal)), std::string::npos) << run.Output;
  }
  if (std::string(c.Scenario).starts_with("segv-")) {  // the store to null, from the fault's record
    EXPECT_NE(run.Output.find(". Write of address 0000000000000000."), std::string::npos) << run.Output;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FlowFaults,
    testing::Values(TFaultCase{"SegvMainThread", "segv-main", SIGSEGV, true},
                    TFaultCase{"SegvWorker", "segv-worker", SIGSEGV, true},
                    TFaultCase{"StackOverflow", "stack-overflow", SIGSEGV, true},
                    TFaultCase{"CrashInDamagedMalloc", "damaged-malloc", SIGABRT, true},
                    TFaultCase{"UncaughtException", "uncaught", SIGABRT, true},
                    TFaultCase{"Abort", "abort", SIGABRT, true},
                    TFaultCase{"BadAllocUnderAddressLimit", "bad-alloc", SIGABRT, true},
                    TFaultCase{"ThreadBlockingSuspension", "blocked-suspension", SIGABRT, true}),
    [](const testing::TestParamInfo<TFaultCase>& info) { return info.param.Name; });

}  // namespace
