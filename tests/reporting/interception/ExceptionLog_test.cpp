// The interception points in child programs: for each scenario, what the notification entry
// recorded, in which order against what the program saw, and how the program ended.
#include <signal.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "reporting/interception/ExceptionLog.h"
#include "tests/reporting/TestSupport.h"

namespace {

struct TCase {
  const char* Scenario;
  int Notifications;          // NOTIFY lines expected
  const char* Record;         // a text the (first) NOTIFY line contains
  const char* FirstFrame;     // the first stack entry names this function ("" to skip); a throw
                              // in a part of a function that has no symbol of its own names
                              // only its module
  int Exit;                   // exit code, or 128 + signal
  std::vector<std::string> Order;  // lines (by prefix) that must appear in this order
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

const int kAbort = 128 + SIGABRT;

const TCase kCases[] = {
    {"catch_all", 0, "", "", 0, {"DTOR inner", "CAUGHT", "END"}},
    {"catch_base", 0, "", "", 0, {"CAUGHT", "END"}},
    {"non_matching", 1, "raise handled=0 class=Derived msg=derived", "ThrowDerived", kAbort, {"NOTIFY"}},
    {"pointer_by_pointer", 0, "", "", 0, {"CAUGHT", "END"}},
    {"pointer_by_reference", 1, "raise handled=0", "ThrowDerivedPointer", kAbort, {"NOTIFY"}},
    {"noexcept", 1, "raise handled=0 class=Derived", "ThrowDerived", kAbort, {"NOTIFY"}},
    {"destructor_throws", 1, "raise handled=0 class=Other msg=from a destructor", "", kAbort, {"NOTIFY"}},
    {"rethrow_caught", 0, "", "", 0, {"INNER", "CAUGHT", "END"}},
    {"rethrow_uncaught", 1, "raise handled=0 class=Derived", "", kAbort, {"INNER", "NOTIFY"}},
    {"rethrow_exception_caught", 0, "", "", 0, {"CAUGHT", "END"}},
    {"rethrow_exception_uncaught", 1, "raise handled=0 class=Derived msg=stored", "", kAbort, {"NOTIFY"}},
    {"vector_at_caught", 0, "", "", 0, {"CAUGHT", "END"}},
    {"vector_at_uncaught", 1, "raise handled=0 class=out_of_range", "? in=libstdc++.so.6", kAbort,
     {"NOTIFY"}},
    {"plugin_caught", 0, "", "", 0, {"CAUGHT", "END"}},
    {"plugin_uncaught", 1, "raise handled=0 class=runtime_error msg=thrown in a plugin", "PluginThrow", kAbort,
     {"NOTIFY"}},
    {"std_thread", 1, "raise handled=0 class=Derived", "ThrowDerived", kAbort, {"NOTIFY", "DTOR thread"}},
    {"pthread", 1, "raise handled=0 class=Derived", "ThrowDerived", kAbort, {"NOTIFY", "DTOR pthread"}},
    {"handled_swallowed", 1, "handled handled=1 class=Derived", "ThrowDerived", 0, {"CAUGHT", "NOTIFY", "AFTER"}},
    {"handled_rethrown", 1, "handled handled=1 class=Derived", "", 0,
     {"INNER", "CAUGHT", "NOTIFY", "AFTER"}},
    {"handled_cancel", 0, "", "", 0, {"CANCEL CAUGHT", "JOINED", "END"}},
    {"nested_dropped", 1, "handled handled=1 class=Derived", "", 0, {"CAUGHT", "NOTIFY", "NESTED CAUGHT", "AFTER"}},
    {"forwarding", 1, "manager handled=0 class=logic_error msg=reported by a plugin", "", 0,
     {"PLUGIN 3", "NOTIFY", "ANSWER 0", "END"}},
    {"reserve", 1, "handled handled=1", "", 0, {"RESERVE 1", "NOTIFY", "RESERVE IN REPORT 0", "RESERVE 1", "END"}},
    {"segv_main", 1, "signal handled=0 class=EAccessViolation msg=Access violation at address", "", 128 + SIGSEGV,
     {"NOTIFY"}},
    {"abort", 1, "signal handled=0 class=EAbnormalTermination", "", kAbort, {"NOTIFY"}},
    {"stack_overflow_worker", 1, "signal handled=0 class=EStackOverflow msg=Stack overflow", "", 128 + SIGSEGV,
     {"NOTIFY"}},
    {"segv_worker", 1, "signal handled=0 class=EAccessViolation", "", 128 + SIGSEGV, {"NOTIFY"}},
};

// In the sanitizer build the children's faults must reach the layer's handlers, not the
// sanitizer's own (which would end the program with its own exit code).
TRunResult RunChild(const std::vector<std::string>& args, const char* program = INTERCEPTION_CHILD) {
  const char* asan = ::getenv("ASAN_OPTIONS");
  std::string options = (asan && *asan ? std::string(asan) + ":" : std::string()) +
                        "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:"
                        "use_sigaltstack=0:detect_stack_use_after_return=0:detect_leaks=0";
  ScopedEnv env("ASAN_OPTIONS", options.c_str());
  return RunProgram(program, args);
}

class ExceptionLogChild : public ::testing::TestWithParam<TCase> {};

TEST_P(ExceptionLogChild, RecordsWhatHappens) {
  const TCase& c = GetParam();
  TRunResult run = RunChild({c.Scenario});
  SCOPED_TRACE(run.Output);
  EXPECT_EQ(run.ExitCode, c.Exit);
  std::vector<std::string> lines = Lines(run.Output);
  std::vector<std::string> notifications;
  for (const auto& l : lines)
    if (l.rfind("NOTIFY", 0) == 0) notifications.push_back(l);
  ASSERT_EQ(static_cast<int>(notifications.size()), c.Notifications);
  if (c.Notifications > 0) {
    EXPECT_NE(notifications[0].find(c.Record), std::string::npos) << notifications[0];
    if (*c.FirstFrame) {
      EXPECT_NE(notifications[0].find(std::string("first=") + c.FirstFrame), std::string::npos);
    }
  }
  size_t at = 0;
  for (const auto& expected : c.Order) {
    while (at < lines.size() && lines[at].rfind(expected, 0) != 0) ++at;
    EXPECT_LT(at, lines.size()) << "missing or out of order: " << expected;
    ++at;
  }
}

// After shutdown every patch is gone: an exception that nothing catches reaches the standard
// terminate handler without a record.
TEST(ExceptionLogShutdown, LeavesNothingBehind) {
  TRunResult run = RunChild({"catch_all", "then-throw"});
  EXPECT_EQ(run.ExitCode, kAbort) << run.Output;
  EXPECT_EQ(run.Output.find("NOTIFY"), std::string::npos) << run.Output;
  EXPECT_NE(run.Output.find("END"), std::string::npos) << run.Output;
}

#ifdef INTERCEPTION_QT_CHILD
// A QThread's run: Qt's own catch around it only ends the program, so the exception is reported
// at its raise, before the thread's destructors run, and once.
TEST(ExceptionLogQt, ExceptionEscapingAQThread) {
#ifdef __SANITIZE_ADDRESS__
  // The sanitizer's pthread_create passes its own start routine on, so the layer cannot tell a
  // QThread's from others: the exception is then reported by the terminate handler instead.
  GTEST_SKIP() << "the sanitizer hides the thread's start routine";
#endif
  TRunResult run = RunChild({"qthread"}, INTERCEPTION_QT_CHILD);
  EXPECT_EQ(run.ExitCode, kAbort) << run.Output;
  size_t notify = run.Output.find("NOTIFY raise handled=0 class=runtime_error msg=from a QThread");
  ASSERT_NE(notify, std::string::npos) << run.Output;
  EXPECT_EQ(run.Output.find("NOTIFY", notify + 1), std::string::npos) << run.Output;
  size_t dtor = run.Output.find("DTOR qthread");
  if (dtor != std::string::npos) {
    EXPECT_LT(notify, dtor) << run.Output;
  }
}

// An exception escaping a slot reaches the application object's dispatch wrapper, whose catch
// is the layer's: reported at its raise, and the application's own handler is not run since
// the layer dealt with it; the program goes on.
TEST(ExceptionLogQt, ExceptionEscapingAnEventHandler) {
  ScopedEnv platform("QT_QPA_PLATFORM", "offscreen");
  TRunResult run = RunChild({"app_handler"}, INTERCEPTION_QT_CHILD);
  EXPECT_EQ(run.ExitCode, 0) << run.Output;
  size_t notify = run.Output.find("NOTIFY raise handled=0 class=runtime_error msg=from a slot");
  ASSERT_NE(notify, std::string::npos) << run.Output;
  EXPECT_EQ(run.Output.find("NOTIFY", notify + 1), std::string::npos) << run.Output;
  EXPECT_LT(notify, run.Output.find("DTOR slot")) << run.Output;
  EXPECT_EQ(run.Output.find("APPLICATION HANDLER"), std::string::npos) << run.Output;
  EXPECT_NE(run.Output.find("END"), std::string::npos) << run.Output;
}
#endif

TEST(ExceptionLogSteps, GuardTextHasSixteenDigits) {
  EXPECT_EQ(StepGuardText("ExceptionLog.Init", reinterpret_cast<const void*>(0x4a5b6c)),
            "ExceptionLog.Init (Address: 00000000004A5B6C)");
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ExceptionLogChild, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.Scenario); });

}  // namespace
