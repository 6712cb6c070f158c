#include "tests/reporting/TestSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

extern char** environ;

void FillWithNonDefaults(TTarvexModuleOptions& o) {
  o.BeginUpdate();
  o.SetLegacyFlag(true);
  o.SetFiltersEnabled(false);
  o.SetEmailReportInBody(true);
  o.SetWriteLogFile(false);
  o.SetLogFlags(TLogFlags{lfSkipDuplicates, lfComputerNameInLogName});
  o.SetDetailPage(dpAssembler);
  o.SetFreezeDetection(true);
  o.SetFreezeTimeoutSeconds(17);
  o.SetSmtpSender("from@example.org");
  o.SetSmtpServer("127.0.0.1");
  o.SetSmtpServerPort(2525);
  o.SetSmtpAuthUser("smtp-user");
  o.SetSmtpAuthPassword("smtp-secret");
  o.SetProxyAddress("127.0.0.2");
  o.SetProxyAuthUser("proxy-user");
  o.SetProxyAuthPassword("proxy-secret");
  o.SetProxyServerPort(3128);
  o.SetTrackerAuthUser("tracker-user");
  o.SetTrackerAuthPassword("tracker-secret");
  o.SetTrackerAssignee("assignee");
  o.SetTrackerProjectName("project");
  o.SetTrackerCategoryName("category");
  o.SetTrackerTrialCode("trial");
  o.SetZipArchivePassword("zip");
  o.SetTerminateButtonAction(xaTerminate);
  o.SetMaxSavedReports(5);
  o.SetTerminateButtonAfter(7);
  o.SetLogOutputPath("/var/tmp/logs");
  o.SetEmailRecipients("a@example.org;b@example.org");
  o.SetEmailSubjectText("Bug in %_MainModuleName%");
  o.SetEmailBodyText("Body\r\nwith lines");
  o.SetEmailMode(emSmtpClient);
  o.SetWebMode(wmMantis);
  o.SetWebAddress("http://127.0.0.1/mantis/");
  o.SetWebAuthUser("web-user");
  o.SetWebAuthPassword("web-secret");
  o.SetWebServerPort(8081);
  o.SetExtraFiles("a.txt;b.txt");
  o.SetSendFlags(TSendFlags{sfReportSendResult, sfSendInThread, sfComputerInFileNames});
  o.SetDialogFlags(TDialogFlags{dfTopMost, dfShowCustomButton});
  o.SetAutoCloseSeconds(30);
  o.SetSupportAddress("http://127.0.0.1/support");
  o.SetHtmlLayout("<p><%HTML_TAG%></p>");
  o.SetCallStackFlags(TCallStackFlags{cfOsThreadStacks});
  o.SetBehaviourFlags(TBehaviourFlags{bfPauseOwnThreads, bfReportHandledExceptions});
  o.SetLeakFlags(TLeakFlags{lkCatchLeaks});
  o.SetAutoCrashAction(xaTerminate);
  o.SetAutoCrashCount(4);
  o.SetAutoCrashMinutes(9);
  o.SetBuildFlags(6);
  o.SetDialogKind(dkDetailed);
  TShowFields fields;
  fields.set(0).set(13).set(47);
  o.SetShowFields(fields);
  o.SetTextsLanguage("Deutsch");
  for (int i = 0; i < kCustomizedTextCount; ++i) o.SetText(i, "text " + std::to_string(i));
  o.ExceptionFilters().Add({false, "EAbort", "", scHandled, fdNone, hkNone, xaNone});
  o.ExceptionFilters().Add({true, "std::out_of_range", "Out of range: %_ExceptMsg%", scUnhandled, fdDetailed,
                            hkStandard, xaRestart});
  o.EndUpdate();
}

TTempFolder::TTempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/reporting-test-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TTempFolder::~TTempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

TRunResult RunProgram(const std::string& program, const std::vector<std::string>& args) {
  int pipefd[2];
  if (::pipe(pipefd) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipefd[0]);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipefd[1]);
  TRunResult result;
  if (rc != 0) {
    ::close(pipefd[0]);
    result.Output = "spawn failed";
    return result;
  }
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pipefd[0], buf, sizeof buf)) > 0) result.Output.append(buf, static_cast<size_t>(n));
  ::close(pipefd[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}
