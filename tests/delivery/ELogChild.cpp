// Programs the log's tests start: writers that share one log, a writer killed in the middle of
// its save, and a program whose uncaught exception the processing flow logs, or logs and sends.
// Named by the first argument.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "delivery/ELogManager.h"
#include "delivery/ELogStore.h"
#include "reporting/interception/ExceptionLog.h"
#include "reporting/options/ECore.h"
#include "tests/delivery/LogSamples.h"

namespace {

struct RouteError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

__attribute__((noinline)) void FindRoute() { throw RouteError("Route not found"); }

}  // namespace

int main(int argc, char** argv) {
  ::alarm(60);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "add" && argc == 5) {
    // add LOG COUNT TAG: COUNT reports, each through the flow's saving step.
    TTarvexModuleOptions options("/nonexistent/Tool");
    options.SetLogOutputPath(argv[2]);
    options.SetMaxSavedReports(1000000);
    TLogStore store;
    const int count = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i) {
      std::string textToSend;
      if (!store.SaveReport(options, SampleReport(std::string(argv[4]) + "-" + std::to_string(i)), false, textToSend))
        return 3;
    }
    return 0;
  }
  if (mode == "kill-before-replace" && argc == 3) {
    SetLogBeforeReplaceHook([] { ::raise(SIGKILL); });
    TLogFile log(argv[2], false);
    log.Add(SampleReport("DEAD"));
    log.Save();
    return 0;
  }
  if (mode == "uncaught" && argc == 3) {
    TTarvexModuleOptions& options = CurrentTarvexLogOptions();
    options.SetLogOutputPath(argv[2]);
    options.SetLogFlags(options.LogFlags() + TLogFlags{lfSkipDuplicates});
    options.SetWriteLogFile(true);
    if (!InstallExceptionLog()) return 4;
    FindRoute();
    return 0;
  }
  if (mode == "deliver" && argc == 5) {
    // deliver LOGDIR PORT KEEP: an uncaught exception reported by e-mail through the SMTP server
    // on loopback PORT, with the XML copy attached; KEEP=1 keeps the archive when sending fails.
    TTarvexModuleOptions& options = CurrentTarvexLogOptions();
    options.SetLogOutputPath(argv[2]);
    options.SetWriteLogFile(true);
    options.SetDialogKind(dkNone);
    options.SetEmailMode(emSmtpClient);
    options.SetSmtpServer("127.0.0.1");
    options.SetSmtpServerPort(static_cast<uint16_t>(std::atoi(argv[3])));
    options.SetSmtpSender("program@example.com");
    options.SetEmailRecipients("support@example.com");
    options.SetEmailSubjectText("Route failure");
    options.SetSendFlags(TSendFlags{sfAttachXmlCopy});
    options.SetBehaviourFlags(options.BehaviourFlags() - TBehaviourFlags{bfClipboardOnSendFailure} +
                              (std::string(argv[4]) == "1" ? TBehaviourFlags{bfKeepZipOnSendFailure} : TBehaviourFlags{}));
    if (!InstallExceptionLog()) return 4;
    FindRoute();
    return 0;
  }
  return 2;
}
