// Fatal signals: each fault is run in a child program (signal_child) under an alarm; the parent
// reads what the callback and the previously installed handler wrote and how the child ended.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "reporting/interception/ESignals.h"

extern char** environ;

namespace {

struct TChildResult {
  std::string Output;
  int Status = 0;
};

// The child's own handlers must be the ones in effect under AddressSanitizer, which otherwise
// installs its own for these signals and an alternate stack of its own.
constexpr const char* kSanitizerOptions =
    "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:"
    "use_sigaltstack=0:detect_stack_use_after_return=0:detect_leaks=0";

TChildResult RunChild(const std::vector<std::string>& args) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0) env.emplace_back(*e);
  const char* asan = ::getenv("ASAN_OPTIONS");
  env.push_back(std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") + kSanitizerOptions);
  std::vector<char*> envp, argv{const_cast<char*>(SIGNAL_CHILD)};
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {"pipe failed", -1};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    const rlimit noCore{0, 0};  // the test wants the signal, not a core file
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::alarm(30);  // a child that hangs ends by SIGALRM
    ::execve(SIGNAL_CHILD, argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  TChildResult result;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) result.Output.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  ::waitpid(pid, &result.Status, 0);
  return result;
}

std::vector<std::string> Lines(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text.compare(at, prefix.size(), prefix) == 0) lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

void ExpectKilledBy(const TChildResult& run, int sig) {
  ASSERT_TRUE(WIFSIGNALED(run.Status)) << "exit status " << WEXITSTATUS(run.Status) << "\n" << run.Output;
  EXPECT_EQ(WTERMSIG(run.Status), sig) << strsignal(WTERMSIG(run.Status)) << "\n" << run.Output;
}

// The single "report" line the callback wrote, matched whole.
void ExpectOneReport(const TChildResult& run, const std::string& className, const std::string& message) {
  const auto reports = Lines(run.Output, "report ");
  ASSERT_EQ(reports.size(), 1u) << run.Output;
  EXPECT_TRUE(std::regex_match(reports[0], std::regex("report " + className + ": " + message)))
      << reports[0];
}

const std::string kAccessViolation =
    "Access violation at address [0-9A-F]{16} in module 'signal_child'\\. Write of address 0{16}";

struct TFaultCase {
  const char* Name;
  const char* Fault;
  int Signal;
  const char* ClassName;
  std::string Message;
  const char* Thread;
  bool RegisterMarkers;  // the fault leaves the marker in r10 and xmm7
};

const TFaultCase kFaults[] = {
    {"NullWrite", "null-write", SIGSEGV, "EAccessViolation", kAccessViolation, "main", true},
    {"StackOverflow", "stack-overflow", SIGSEGV, "EStackOverflow", "Stack overflow", "main", false},
    {"DivisionByZero", "div-zero", SIGFPE, "EDivByZero", "Division by zero", "main", false},
    {"FloatDivisionByZero", "float-div", SIGFPE, "EZeroDivide", "Floating point division by zero", "main", false},
    {"IllegalInstruction", "illegal", SIGILL, "EIllegalInstruction", "Illegal instruction", "main", false},
    {"Abort", "abort", SIGABRT, "EAbnormalTermination", "Abnormal program termination", "main", false},
    {"WorkerNullWrite", "worker-null-write", SIGSEGV, "EAccessViolation", kAccessViolation, "worker", true},
};

// The disposition the child set before installing ours.
const char* const kPrevious[] = {"siginfo", "plain", "none"};

class SignalFault : public testing::TestWithParam<std::tuple<TFaultCase, const char*>> {};

TEST_P(SignalFault, IsReportedOnceThenThePreviousDispositionEndsTheProcess) {
  const auto& [c, previous] = GetParam();
  const TChildResult run = RunChild({c.Fault, previous});
  ExpectKilledBy(run, c.Signal);
  ExpectOneReport(run, c.ClassName, c.Message);
  const std::string& out = run.Output;
  EXPECT_NE(out.find(std::string("thread ") + c.Thread + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("registers\n"), std::string::npos) << out;
  EXPECT_NE(out.find("stack marker\n"), std::string::npos) << out;
  if (c.RegisterMarkers) {
    EXPECT_NE(out.find("r10 marker\n"), std::string::npos) << out;
    EXPECT_NE(out.find("xmm7 marker\n"), std::string::npos) << out;
  }
  EXPECT_EQ(out.find("survived"), std::string::npos) << out;

  const auto chained = Lines(out, "previous ");
  if (std::string(previous) == "none") {
    EXPECT_TRUE(chained.empty()) << out;
    return;
  }
  ASSERT_EQ(chained.size(), 1u) << out;
  EXPECT_EQ(chained[0], std::string("previous ") + previous + " " + std::to_string(c.Signal));
  EXPECT_LT(out.find("report "), out.find("previous ")) << "the previous handler runs after the report\n" << out;
  EXPECT_NE(out.find("errno kept\n"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Faults, SignalFault, testing::Combine(testing::ValuesIn(kFaults), testing::ValuesIn(kPrevious)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).Name) + "_" + std::get<1>(info.param);
                         });

// Signals that are not the exception being reported, or not reported at all.
TEST(SignalFaultFollowUps, AreNotReportedAgain) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Args;
    int EndSignal;
    const char* ClassName;  // nullptr: no report
    const char* Chained;
    size_t ChainedTimes = 1;
  } cases[] = {
      // The previous SIGSEGV handler aborts: that SIGABRT belongs to the access violation.
      {"previous handler aborts", {"null-write", "aborting"}, SIGABRT, "EAccessViolation", "previous aborting 11"},
      // An uncaught exception reported already ends through abort.
      {"suppressed abort", {"abort", "siginfo", "suppress-abort"}, SIGABRT, nullptr, "previous siginfo 6"},
      // A fault on the signal thread goes straight to the previous handler.
      {"callback faults", {"abort", "siginfo", "callback-faults"}, SIGSEGV, "EAbnormalTermination",
       "previous siginfo 11"},
      // The previous handler returns without repairing anything: the same fault, over again.
      {"previous handler returns", {"null-write", "returning"}, SIGSEGV, "EAccessViolation", "previous returning 11", 3},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TChildResult run = RunChild(c.Args);
    ExpectKilledBy(run, c.EndSignal);
    const auto reports = Lines(run.Output, "report ");
    if (c.ClassName) {
      ASSERT_EQ(reports.size(), 1u) << run.Output;
      EXPECT_EQ(reports[0].rfind(std::string("report ") + c.ClassName + ": ", 0), 0u) << reports[0];
    } else {
      EXPECT_TRUE(reports.empty()) << run.Output;
    }
    const auto chained = Lines(run.Output, "previous ");
    EXPECT_EQ(chained, std::vector<std::string>(c.ChainedTimes, c.Chained)) << run.Output;
  }
}

// Two threads fault at once, each twice, and their previous handler recovers by siglongjmp:
// one waits while the other's report is made, and a fault again at the same place after a
// recovery is a new one.
TEST(SignalFaultConcurrency, EveryFaultOfEveryThreadIsReported) {
  const TChildResult run = RunChild({"two-workers", "recovering"});
  ASSERT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == 0) << run.Status << "\n" << run.Output;
  const auto reports = Lines(run.Output, "report ");
  EXPECT_EQ(reports.size(), 4u) << run.Output;
  for (const auto& line : reports)
    EXPECT_TRUE(std::regex_match(line, std::regex("report EAccessViolation: " + kAccessViolation))) << line;
  EXPECT_EQ(Lines(run.Output, "thread "), std::vector<std::string>(4, "thread worker")) << run.Output;
  EXPECT_EQ(Lines(run.Output, "recovered").size(), 4u) << run.Output;
  EXPECT_NE(run.Output.find("survived\n"), std::string::npos) << run.Output;
}

// ---- In this process ------------------------------------------------------------------------

TEST(SignalAltStack, IsAtLeast64KiBAndGivesBackThePreviousOne) {
  std::thread([] {
    stack_t before{}, during{}, again{}, after{};
    ASSERT_EQ(::sigaltstack(nullptr, &before), 0);
    SetupThreadAltStack();
    ASSERT_EQ(::sigaltstack(nullptr, &during), 0);
    EXPECT_FALSE(during.ss_flags & SS_DISABLE);
    EXPECT_GE(during.ss_size, 64u * 1024);
    SetupThreadAltStack();
    ASSERT_EQ(::sigaltstack(nullptr, &again), 0);
    EXPECT_EQ(again.ss_sp, during.ss_sp);
    ReleaseThreadAltStack();
    ASSERT_EQ(::sigaltstack(nullptr, &after), 0);
    EXPECT_EQ(after.ss_flags & SS_DISABLE, before.ss_flags & SS_DISABLE);
    if (!(before.ss_flags & SS_DISABLE)) {
      EXPECT_EQ(after.ss_sp, before.ss_sp);
    }
  }).join();
}

void DummyHandler(int) {}

TEST(SignalInstall, KeepsThePreviousHandlersAndPutsThemBack) {
  struct sigaction dummy {}, saved{}, installed{}, restored{};
  dummy.sa_handler = DummyHandler;
  sigemptyset(&dummy.sa_mask);
  ASSERT_EQ(::sigaction(SIGILL, &dummy, &saved), 0);

  ASSERT_TRUE(InstallSignalHandlers([](const TSignalReport&) {}));
  EXPECT_TRUE(InstallSignalHandlers([](const TSignalReport&) {}));  // again: no second set
  EXPECT_NE(SignalThreadId(), 0);
  ::sigaction(SIGILL, nullptr, &installed);
  EXPECT_NE(installed.sa_handler, DummyHandler);
  EXPECT_EQ(installed.sa_flags & (SA_SIGINFO | SA_ONSTACK), SA_SIGINFO | SA_ONSTACK);

  UninstallSignalHandlers();
  EXPECT_EQ(SignalThreadId(), 0);
  ::sigaction(SIGILL, nullptr, &restored);
  EXPECT_EQ(restored.sa_handler, DummyHandler);
  ::sigaction(SIGILL, &saved, nullptr);
}

// Texts of conditions the child programs do not produce.
TEST(SignalTexts, NameTheRuntimeClass) {
  struct TCase {
    int Signal;
    int Code;
    bool Raised;
    const char* ClassName;
    const char* Message;
  } cases[] = {
      {SIGFPE, FPE_INTOVF, false, "EIntOverflow", "Integer overflow"},
      {SIGFPE, FPE_FLTOVF, false, "EOverflow", "Floating point overflow"},
      {SIGFPE, FPE_FLTUND, false, "EUnderflow", "Floating point underflow"},
      {SIGFPE, FPE_FLTINV, false, "EInvalidOp", "Invalid floating point operation"},
      {SIGILL, ILL_PRVOPC, false, "EPrivilege", "Privileged instruction"},
      {SIGILL, ILL_PRVREG, false, "EPrivilege", "Privileged instruction"},
      // A sent signal's code is not a processor condition, whatever its value.
      {SIGFPE, SI_USER, true, "EInvalidOp", "Invalid floating point operation"},
      {SIGFPE, SI_TKILL, true, "EInvalidOp", "Invalid floating point operation"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.Signal)) + " code " + std::to_string(c.Code));
    TSignalReport report;
    report.Signal = c.Signal;
    report.Info.si_signo = c.Signal;
    report.Info.si_code = c.Code;
    report.Raised = c.Raised;
    EXPECT_EQ(SignalClassName(report), c.ClassName);
    EXPECT_EQ(SignalMessage(report), c.Message);
  }
}

TEST(SignalTexts, AccessViolationNamesModuleAccessAndAddresses) {
  TSignalReport report;
  report.Signal = SIGBUS;
  report.Info.si_addr = reinterpret_cast<void*>(0x7F00ABCD1234ULL);
  report.Context.Registers.Rip = reinterpret_cast<uintptr_t>(&DummyHandler);
  EXPECT_EQ(SignalClassName(report), "EAccessViolation");
  char rip[17];
  std::snprintf(rip, sizeof rip, "%016llX", static_cast<unsigned long long>(report.Context.Registers.Rip));
  EXPECT_EQ(SignalMessage(report), std::string("Access violation at address ") + rip +
                                       " in module 'reporting_signals_tests'. Read of address 00007F00ABCD1234");

  report.Signal = SIGSEGV;
  report.ErrorCode = 6;  // user-mode write to a page not present
  report.Context.Registers.Rip = 0x10;  // in no module
  EXPECT_EQ(SignalMessage(report),
            "Access violation at address 0000000000000010. Write of address 00007F00ABCD1234");
}

}  // namespace
