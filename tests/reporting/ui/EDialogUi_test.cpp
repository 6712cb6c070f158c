// The core's side of the dialogs against a fake helper on the socket pair, without X.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "reporting/ui/EDialogUi.h"
#include "reporting/ui/EIniFile.h"
#include "reporting/ui/EJumpToSource.h"

using namespace tarvex_dialog;

namespace {

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class DialogUiTest : public testing::Test {
 protected:
  void SetUp() override {
    ::alarm(120);  // whatever goes wrong, the test program ends
    // A parameterised test's name holds a slash: keep the folder one level deep so that it goes.
    std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');
    dir_ = std::filesystem::temp_directory_path() / ("tarvex-ui-" + std::to_string(::getpid()) + "-" + name);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    log_ = (dir_ / "helper.log").string();
    ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    ::setenv("DISPLAY", ":fake", 1);
    ::unsetenv("WAYLAND_DISPLAY");
    TDialogDeadlines d;
    d.ReadyMs = 1500;
    d.ShownMs = 1500;
    d.WriteMs = 1000;
    d.ReapMs = 300;
    d.SilenceMs = 1500;
    SetDialogDeadlines(d);
    options_.SetDialogFlags(options_.DialogFlags().Include(dfOfferSending));
    options_.SetEmailMode(emSmtpClient);
    record_.OptionSet = &options_;
    record_.ClassName = "EAccessViolation";
    record_.Message = "Access violation at address 0000000000000010";
    record_.RaisingThreadId = 7;
    ClearWarning();
  }
  void TearDown() override {
    SetDialogHelperCommand({});
    ::unsetenv("XDG_CONFIG_HOME");
    std::filesystem::remove_all(dir_);
    ::alarm(0);
  }
  void UseFake(const std::string& mode, std::vector<std::string> args = {}) {
    std::vector<std::string> argv{FAKE_DIALOG_HELPER, mode, log_};
    argv.insert(argv.end(), args.begin(), args.end());
    SetDialogHelperCommand(argv);
  }
  std::vector<std::string> Starts() {
    std::vector<std::string> starts;
    for (const std::string& line : Lines(log_))
      if (line.rfind("start", 0) == 0) starts.push_back(line);
    return starts;
  }
  TDialogRequest LastRequest() {
    std::ifstream in(log_ + ".req", std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return TDialogRequest::Decode(TFieldReader(bytes.str()));
  }

  std::filesystem::path dir_;
  std::string log_;
  TTarvexModuleOptions options_;
  TTarvexExceptionRecord record_;
};

TEST_F(DialogUiTest, ClassicDialogReturnsTheChoicesAndKeepsTheAddress) {
  UseFake("normal", {"how=2", "email= me@example.org ", "text= pressed F5 "});
  options_.SetLogFlags(options_.LogFlags().Include(lfLogReproduceText));
  std::string accepted;
  TDialogFlowLink link;
  link.EmailAccepted = [&](const std::string& email) { accepted = email; };
  link.ShownMessage = [](const TTarvexExceptionRecord&) { return std::string("custom message"); };
  TDialogUi ui(link);
  TDialogState state;
  ui.ShowExceptionDialog(record_, dkClassic, true, false, state);
  EXPECT_TRUE(state.SendReport);
  EXPECT_EQ(state.Kind, dkNone);
  EXPECT_FALSE(ui.DialogFailed());
  EXPECT_FALSE(ui.DialogOnScreen());
  EXPECT_EQ(LastWarningCode(), eeNone);
  EXPECT_EQ(accepted, "me@example.org");
  EXPECT_EQ(options_.ReproduceText(), "pressed F5");
  EXPECT_EQ(ReadTarvexLogIni().String("User", "Email"), "me@example.org");
  const TDialogRequest q = LastRequest();
  EXPECT_EQ(q.Kind, 2);
  EXPECT_EQ(q.Message, "custom message");
  EXPECT_TRUE(q.Style & dsBeep);
  EXPECT_EQ(q.Offered & (dcSendBox | dcEmailBox | dcReproduceBox), dcSendBox | dcEmailBox | dcReproduceBox);
  ASSERT_NE(q.FindText(35), nullptr);
  EXPECT_EQ(*q.FindText(35), options_.GetText(35));
}

// Every way a dialog can fail to reach the screen: the fallback, in bounded time.
struct TNotShownCase {
  const char* Name;
  const char* Mode;  // null: the helper is missing
  bool Display;
  const char* Why;            // the reason given
  bool LargeReport = false;  // more than the socket buffer holds
};

void PrintTo(const TNotShownCase& c, std::ostream* os) { *os << c.Name; }

class DialogNotShown : public DialogUiTest, public testing::WithParamInterface<TNotShownCase> {};

TEST_P(DialogNotShown, FallsBackWithTheWarningAndTheInitialChoices) {
  const TNotShownCase& c = GetParam();
  if (c.Mode) UseFake(c.Mode);
  else SetDialogHelperCommand({(dir_ / "tarvex-dialog").string()});
  if (!c.Display) ::unsetenv("DISPLAY");
  if (c.LargeReport) record_.ReportText.assign(4 * 1024 * 1024, 'x');
  TDialogUi ui;
  TDialogState state;
  state.SendReport = true;
  state.AttachScreenshot = true;
  testing::internal::CaptureStderr();
  ui.ShowExceptionDialog(record_, dkDetailed, true, false, state);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(state.SendReport);
  EXPECT_TRUE(state.AttachScreenshot);
  EXPECT_FALSE(state.CopyToClipboard);
  EXPECT_FALSE(state.TerminateRequested);
  EXPECT_EQ(state.Kind, dkNone);
  EXPECT_TRUE(ui.DialogFailed());
  EXPECT_EQ(ui.LastFailure().substr(0, std::strlen(c.Why)), c.Why);
  EXPECT_FALSE(ui.DialogOnScreen());
  EXPECT_EQ(LastWarningCode(), eeShowError);
  EXPECT_EQ(LastWarningText(), "Cannot show the DialogBox window.");
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find("EAccessViolation: Access violation"), std::string::npos) << err;
  // A failed dialog suppresses the reproduce request and the progress window.
  options_.SetLogFlags(options_.LogFlags().Include(lfLogReproduceText));
  options_.SetSendFlags(options_.SendFlags().Include(sfShowSendProgress));
  const size_t before = Starts().size();
  UseFake("normal");
  ui.ShowReproduceRequest(options_);
  ui.ShowSendDialog(options_, true);
  EXPECT_FALSE(ui.SendDialogOpen());
  EXPECT_EQ(Starts().size(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DialogNotShown,
    testing::Values(
        TNotShownCase{"MissingHelper", nullptr, true, "the dialog helper is missing: "},
        TNotShownCase{"NoDisplay", "normal", false, "no display"},
        // How the helper ended and the end of what it wrote: blank lines dropped, lines joined.
        TNotShownCase{"EndsAtStart", "die-at-start", true,
                      "the dialog helper ended at start-up twice (exit status 1; it wrote: fake: QStandardPaths: no "
                      "runtime folder | fake: cannot connect to display :fake)"},
        TNotShownCase{"CrashesAtStart", "crash-at-start", true,
                      "the dialog helper ended at start-up twice (killed by signal 6 (SIGABRT)"},
        TNotShownCase{"NeverReady", "no-ready", true, "the dialog helper did not get ready in time"},
        TNotShownCase{"OtherVersion", "old-version", true, "the dialog helper speaks another protocol version"},
        TNotShownCase{"TakesNoRequest", "no-read", true, "the dialog helper took no request", true},
        TNotShownCase{"NeverShown", "no-shown", true, "the dialog was not on screen in time"},
        TNotShownCase{"DiesMidDialog", "die-mid", true, "the dialog helper ended before its result (exit status 1)"},
        TNotShownCase{"HangsOnScreen", "hang", true, "the dialog helper hangs"},
        TNotShownCase{"DamagedMessage", "garbage", true, "the dialog helper sent a damaged message"}),
    [](const testing::TestParamInfo<TNotShownCase>& info) { return std::string(info.param.Name); });

TEST_F(DialogUiTest, HelperThatEndsAtItsFirstStartIsStartedAgain) {
  UseFake("die-at-first-start", {"how=2"});
  TDialogUi ui;
  TDialogState state;
  ui.ShowExceptionDialog(record_, dkClassic, false, false, state);
  EXPECT_FALSE(ui.DialogFailed()) << ui.LastFailure();
  EXPECT_TRUE(state.SendReport);
  EXPECT_EQ(Starts().size(), 1u);
}

TEST_F(DialogUiTest, HelperInheritsOnlyItsSocketAndDefaultSignals) {
  UseFake("normal");
  const int stray = ::open("/dev/null", O_RDONLY);  // not close-on-exec
  struct sigaction handled {};
  handled.sa_handler = [](int) {};
  struct sigaction old {};
  ::sigaction(SIGUSR1, &handled, &old);
  sigset_t block, previous;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR2);
  ::pthread_sigmask(SIG_BLOCK, &block, &previous);
  TDialogUi ui;
  TDialogState state;
  ui.ShowExceptionDialog(record_, dkClassic, false, false, state);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::sigaction(SIGUSR1, &old, nullptr);
  ::close(stray);
  EXPECT_EQ(Lines(log_ + ".env"),
            (std::vector<std::string>{"fd 0", "fd 1", "fd 2", "fd 3", "blocked 0", "usr1 default"}));
}

TEST_F(DialogUiTest, WithdrawnTerminateRequestShowsTheDialogAgainWithoutTheBeep) {
  UseFake("normal", {"how=3"});
  options_.SetTerminateButtonAction(xaTerminate);
  options_.SetTerminateButtonAfter(0);
  std::vector<int32_t> actions;
  TDialogFlowLink link;
  link.ErrorCount = [] { return 1; };
  link.ExceptionAction = [&](int32_t action, bool& done) {
    actions.push_back(action);
    done = actions.size() > 1;  // the first request is withdrawn
  };
  TDialogUi ui(link);
  TDialogState state;
  ui.ShowExceptionDialog(record_, dkDetailed, true, false, state);
  EXPECT_EQ(Starts(), (std::vector<std::string>{"start dialog 3 style=" + std::to_string(dsBeep), "start dialog 3 style=0"}));
  EXPECT_EQ(actions, (std::vector<int32_t>{eaTerminateRequest, eaTerminateRequest}));
  EXPECT_TRUE(state.TerminateRequested);
  EXPECT_FALSE(ui.DialogFailed());
}

TEST_F(DialogUiTest, CustomButtonStaysUntilTheHandlerAsksToClose) {
  UseFake("custom");
  options_.SetDialogFlags(options_.DialogFlags().Include(dfShowCustomButton));
  int presses = 0;
  TDialogFlowLink link;
  link.CustomButtonClick = [&](bool& close) { close = ++presses == 2; };
  TDialogUi ui(link);
  TDialogState state;
  ui.ShowExceptionDialog(record_, dkClassic, false, false, state);
  EXPECT_EQ(presses, 2);
  const std::vector<std::string> lines = Lines(log_);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
            (std::vector<std::string>{"answer stay", "answer close"}));
  EXPECT_FALSE(ui.DialogFailed());

  // Without a handler every press is answered "stay".
  std::filesystem::remove(log_);
  TDialogUi plain;
  plain.ShowExceptionDialog(record_, dkClassic, false, false, state);
  const std::vector<std::string> again = Lines(log_);
  EXPECT_EQ(std::vector<std::string>(again.begin() + 1, again.end()),
            (std::vector<std::string>{"answer stay", "answer stay", "answer stay"}));
}

TEST_F(DialogUiTest, DoubleClickedRowReachesTheJumpSocketAndGeometryIsSaved) {
  const std::string name = JumpSocketName(::getppid());
  const int receiver = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  if (::bind(receiver, reinterpret_cast<sockaddr*>(&address),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())) != 0) {
    ::close(receiver);
    GTEST_SKIP() << "another test program of the same parent holds the jump socket";
  }
  TTarvexStackEntry entry;
  entry.EntryKind = kEntryLine;
  entry.ThreadID = 7;
  entry.IsFirstEntry = 1;
  entry.UnitName = "dialog.cpp";
  entry.ProcedureName = "Show";
  entry.LineNumber = 77;
  entry.LineOffset = 3;
  const TTarvexStackList stack{entry};
  record_.StackList = &stack;
  UseFake("jump", {"jump=0", "geometry=1"});
  TDialogUi ui;
  TDialogState state;
  ui.ShowExceptionDialog(record_, dkDetailed, false, false, state);
  pollfd p{receiver, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  char buffer[512];
  ASSERT_EQ(::recv(receiver, buffer, sizeof buffer, 0), 376);
  ::close(receiver);
  EXPECT_STREQ(buffer + 90, "dialog.cpp");
  EXPECT_STREQ(buffer + 270, "Show");
  const TDialogRequest q = LastRequest();
  ASSERT_EQ(q.StackRows.size(), 2u);  // the group row and the entry
  EXPECT_EQ(q.StackRows[1].JumpId, 0);
  const TIniData ini = ReadTarvexLogIni();
  EXPECT_EQ(ini.String("Coordinates", "Width"), "800");
  EXPECT_EQ(ini.String("Coordinates", "Left"), "10");
  EXPECT_EQ(ini.String("Coordinates", "WindowsState"), "1");
  EXPECT_EQ(ini.String("Coordinates", "ColMod6"), "66");
  EXPECT_EQ(ini.String("Coordinates", "ColMod5"), "77");
  // The next dialog starts from what was saved.
  ui.ShowExceptionDialog(record_, dkDetailed, false, false, state);
  EXPECT_EQ(LastRequest().Geometry.Width, 800);
  EXPECT_EQ(LastRequest().ModuleColumns[5], 66);
}

TEST_F(DialogUiTest, LargeRequestAndTrickledAnswersArriveWhole) {
  // Far more than a socket buffer holds, one way; the answers byte by byte the other way.
  std::string text;
  for (int i = 0; text.size() < 3 * 1024 * 1024; ++i) text += "  1.1 Line " + std::to_string(i) + "\r\n";
  record_.ReportText = text;
  UseFake("trickle", {"how=5"});
  TDialogUi ui;
  TDialogState state;
  state.SendReport = true;
  ui.ShowExceptionDialog(record_, dkDetailed, false, false, state);
  EXPECT_FALSE(ui.DialogFailed()) << ui.LastFailure();
  EXPECT_TRUE(state.Cancelled);  // the escape of the trickled result
  EXPECT_FALSE(state.SendReport);
  EXPECT_NE(LastRequest().GeneralRich.find("Line 100000"), std::string::npos);
}

TEST_F(DialogUiTest, ReproduceRequestStoresTheTrimmedText) {
  options_.SetLogFlags(options_.LogFlags().Include(lfLogReproduceText));
  options_.SetReproduceText("before");
  TDialogUi ui;
  UseFake("normal", {"text=  opened the file \n"});
  ui.ShowReproduceRequest(options_);
  EXPECT_EQ(options_.ReproduceText(), "opened the file");
  UseFake("die-mid");
  ui.ShowReproduceRequest(options_);  // a helper that dies takes nothing along
  EXPECT_EQ(options_.ReproduceText(), "opened the file");
  // Not asked without the option.
  options_.SetLogFlags(options_.LogFlags().Exclude(lfLogReproduceText));
  const size_t before = Starts().size();
  ui.ShowReproduceRequest(options_);
  EXPECT_EQ(Starts().size(), before);
}

TEST_F(DialogUiTest, ProgressWindowStepsAndPositionsNeverGoBack) {
  options_.SetSendFlags(options_.SendFlags().Include(sfShowSendProgress));
  UseFake("normal");
  TDialogUi ui;
  ui.ShowSendDialog(options_, true);
  ASSERT_TRUE(ui.SendDialogOpen());
  ui.SetSendDialogStep("Connecting");
  ui.SetSendDialogMessageStep("Sending", 1, 2);
  ui.SetSendDialogPosition(10);
  ui.SetSendDialogPosition(5);
  ui.SetSendDialogPosition(150);
  ui.CloseSendDialog();
  EXPECT_FALSE(ui.SendDialogOpen());
  EXPECT_EQ(Lines(log_), (std::vector<std::string>{"start progress " + options_.GetText(110), "step Connecting",
                                                   "step " + options_.GetText(111) + " 1/2: Sending", "position 10",
                                                   "position 100", "close"}));
}

// Closing the progress window asks the delivery to stop; the next window starts without it.
TEST_F(DialogUiTest, ClosingTheProgressWindowCancelsTheDelivery) {
  options_.SetSendFlags(options_.SendFlags().Include(sfShowSendProgress));
  UseFake("cancel-progress");
  TDialogUi ui;
  ui.ShowSendDialog(options_, false);
  ASSERT_TRUE(ui.SendDialogOpen());
  EXPECT_FALSE(ui.SendDialogCancelled());
  ui.SetSendDialogStep("Connecting");
  bool cancelled = false;
  for (int i = 0; i < 500 && !(cancelled = ui.SendDialogCancelled()); ++i) ::usleep(10000);
  EXPECT_TRUE(cancelled);
  ui.CloseSendDialog();
  EXPECT_TRUE(ui.SendDialogCancelled());  // until the next window
  UseFake("normal");
  ui.ShowSendDialog(options_, false);
  EXPECT_FALSE(ui.SendDialogCancelled());
  ui.CloseSendDialog();
}

TEST_F(DialogUiTest, ProgressWindowThatNeverShowsOrDiesLeavesTheCallsHarmless) {
  options_.SetSendFlags(options_.SendFlags().Include(sfShowSendProgress));
  for (const char* mode : {"no-shown", "die-mid"}) {
    SCOPED_TRACE(mode);
    UseFake(mode);
    TDialogUi ui;
    ui.ShowSendDialog(options_, false);
    ui.SetSendDialogStep("x");
    ui.SetSendDialogPosition(50);
    ui.CloseSendDialog();
    EXPECT_FALSE(ui.SendDialogOpen());
  }
  // Without sfShowSendProgress nothing starts.
  options_.SetSendFlags(options_.SendFlags().Exclude(sfShowSendProgress));
  std::filesystem::remove(log_);
  UseFake("normal");
  TDialogUi ui;
  ui.ShowSendDialog(options_, true);
  EXPECT_FALSE(ui.SendDialogOpen());
  EXPECT_TRUE(Starts().empty());
}

TEST_F(DialogUiTest, MessageBoxKindAndClipboard) {
  UseFake("normal");
  TDialogUi ui;
  TDialogState state;
  state.Kind = dkMessageBox;
  ui.ShowExceptionDialog(record_, dkMessageBox, true, false, state);
  EXPECT_EQ(state.Kind, dkNone);
  EXPECT_FALSE(ui.DialogFailed());
  EXPECT_TRUE(ui.CopyToClipboard("the report"));
  EXPECT_EQ(Lines(log_), (std::vector<std::string>{"start message " + record_.Message, "clipboard the report"}));
  UseFake("no-shown");
  ui.ShowExceptionDialog(record_, dkMessageBox, true, false, state);
  EXPECT_TRUE(ui.DialogFailed());
  EXPECT_EQ(LastWarningCode(), eeShowError);
}

TEST_F(DialogUiTest, LinkedUiIsTheFlowsDialog) {
  // Linking the library installed it; installing again replaces the instance.
  const std::shared_ptr<TDialogUi> linked = InstalledDialogUi();
  ASSERT_NE(linked, nullptr);
  EXPECT_EQ(ExceptionUi(), linked);
  InstallDialogUi();
  EXPECT_NE(InstalledDialogUi(), linked);
  EXPECT_EQ(ExceptionUi(), InstalledDialogUi());
}

// ---- Inside the processing flow ------------------------------------------------------------------

struct TChildRun {
  std::string Output, Errors;
  int ExitCode = -1;
};

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

// The child ends itself with an alarm; the helpers it starts hold none of its pipes.
TChildRun RunFlowChild(const std::vector<std::string>& args) {
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::close(out[0]), ::close(out[1]), ::close(err[0]), ::close(err[1]);
    std::vector<char*> argv{const_cast<char*>(UI_FLOW_CHILD)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(UI_FLOW_CHILD, argv.data());
    ::_exit(127);
  }
  ::close(out[1]), ::close(err[1]);
  TChildRun run;
  run.Output = ReadAll(out[0]);
  run.Errors = ReadAll(err[0]);
  ::close(out[0]), ::close(err[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

TEST_F(DialogUiTest, InTheFlowTheCustomButtonRunsInTheWaitingThread) {
  const TChildRun run = RunFlowChild({"custom", log_});
  EXPECT_EQ(run.ExitCode, 0) << run.Errors;
  EXPECT_EQ(run.Output, "CUSTOM in the waiting thread\nRESULT 0 failed=0\nEND\n") << run.Errors;
  EXPECT_EQ(Lines(log_).back(), "answer close");
}

TEST_F(DialogUiTest, InTheFlowAHelperThatDiesLetsTheProcessingGoOn) {
  const TChildRun run = RunFlowChild({"die-mid", log_});
  EXPECT_EQ(run.ExitCode, 0) << run.Errors;
  EXPECT_EQ(run.Output, "RESULT 0 failed=1\nEND\n");
  EXPECT_NE(run.Errors.find("RouteError: Route not found"), std::string::npos) << run.Errors;
}

TEST_F(DialogUiTest, InTheFlowAStandingTerminateRequestEndsTheProgram) {
  const TChildRun run = RunFlowChild({"normal", log_, "checked=" + std::to_string(dcTerminate)});
  EXPECT_EQ(run.ExitCode, 1) << run.Errors;
  EXPECT_EQ(run.Output, "ACTION 8 in the waiting thread\n") << run.Errors;
}

}  // namespace
