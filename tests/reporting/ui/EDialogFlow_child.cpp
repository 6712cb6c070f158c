// A program with the layer, the processing flow and the helper's dialogs installed; it meets
// one exception through the exception manager, as a GUI event handler's would arrive. The
// helper is the fake, in the mode named by the first argument. Markers go to standard output.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "reporting/flow/EFlow.h"
#include "reporting/interception/ExceptionLog.h"
#include "reporting/options/ECore.h"
#include "reporting/options/EProgramKind.h"
#include "reporting/ui/EDialogUi.h"

namespace {

void Say(const std::string& text) {
  const std::string line = text + "\n";
  ssize_t ignored = ::write(1, line.data(), line.size());
  (void)ignored;
}

pid_t Gettid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

struct RouteError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace

int main(int argc, char** argv) {
  ::alarm(60);
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  ::setenv("DISPLAY", ":fake", 1);
  std::vector<std::string> command{FAKE_DIALOG_HELPER, mode, argv[2]};
  for (int i = 3; i < argc; ++i) command.push_back(argv[i]);
  SetDialogHelperCommand(command);
  TDialogDeadlines d;
  d.ReadyMs = d.ShownMs = d.SilenceMs = 3000;
  SetDialogDeadlines(d);
  SetFlowWatchdogSeconds(30);
  SetGuiProgram(true);  // the output is a dialog, as in a program with the Qt bridge
  if (!InstallExceptionLog()) return 4;

  TTarvexModuleOptions& o = CurrentTarvexLogOptions();
  o.SetDialogKind(mode == "jump" ? dkDetailed : dkClassic);
  o.SetDialogFlags(o.DialogFlags().Include(dfShowCustomButton));
  o.SetTerminateButtonAction(xaTerminate);
  o.SetTerminateButtonAfter(0);

  const pid_t main = Gettid();
  TDialogFlowLink link;
  link.CustomButtonClick = [main](bool& close) {
    Say(std::string("CUSTOM in ") + (Gettid() == main ? "the waiting thread" : "another thread"));
    close = true;
  };
  link.ExceptionAction = [main](int32_t action, bool& done) {
    Say("ACTION " + std::to_string(action) + (Gettid() == main ? " in the waiting thread" : " in another thread"));
    done = true;
  };
  InstallDialogUi(link);

  RouteError e("Route not found");
  const bool result = ExceptionManager(&e, &typeid(e), __builtin_return_address(0), 0, 0);
  Say("RESULT " + std::to_string(result) + " failed=" + std::to_string(InstalledDialogUi()->DialogFailed()));
  Say("END");
  return 0;
}
