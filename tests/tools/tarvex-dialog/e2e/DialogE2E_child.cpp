// A program with the whole layer and the real dialog helper: it meets one exception through
// the exception manager and prints, on standard output, what the dialogs handed back to the
// processing flow. Options come embedded; arguments adjust the few a case needs:
//   --auto-close N   AutoCloseSeconds
//   --own-look       dfOwnLook
//   --detailed       the detailed dialog instead of the classic one
//   --progress       the delivery shows the send progress window for a few seconds
#include <unistd.h>

#include <cstdlib>
#include <memory>
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

const char* KindName(TDialogKind kind) {
  switch (kind) {
    case dkNone: return "none";
    case dkClassic: return "classic";
    case dkDetailed: return "detailed";
    case dkMessageBox: return "messagebox";
    default: return "other";
  }
}

// Passes everything to the helper's dialogs and prints the state each dialog left behind.
class TRecordingUi final : public IExceptionUi {
 public:
  explicit TRecordingUi(std::shared_ptr<TDialogUi> inner) : inner_(std::move(inner)) {}

  void ShowExceptionDialog(const TTarvexExceptionRecord& record, TDialogKind kind, bool beep, bool forcedDetailed,
                           TDialogState& state) override {
    Say(std::string("SHOWING ") + KindName(kind));
    inner_->ShowExceptionDialog(record, kind, beep, forcedDetailed, state);
    Say(std::string("DIALOG ") + KindName(kind) + " next=" + KindName(state.Kind) +
        " send=" + std::to_string(state.SendReport) + " cancelled=" + std::to_string(state.Cancelled) +
        " copy=" + std::to_string(state.CopyToClipboard) + " screenshot=" + std::to_string(state.AttachScreenshot) +
        " terminate=" + std::to_string(state.TerminateRequested) + " failed=" + std::to_string(inner_->DialogFailed()) +
        " email=" + state.UserEmail);
  }
  void ShowReproduceRequest(TTarvexModuleOptions& options) override {
    inner_->ShowReproduceRequest(options);
    Say("REPRODUCE " + options.ReproduceText());
  }
  bool DialogOnScreen() const override { return inner_->DialogOnScreen(); }
  void ShowSendDialog(const TTarvexModuleOptions& options, bool modal) override { inner_->ShowSendDialog(options, modal); }
  void SetSendDialogStep(const std::string& text) override { inner_->SetSendDialogStep(text); }
  void SetSendDialogMessageStep(const std::string& text, int current, int total) override {
    inner_->SetSendDialogMessageStep(text, current, total);
  }
  void SetSendDialogPosition(int percent) override { inner_->SetSendDialogPosition(percent); }
  void CloseSendDialog() override { inner_->CloseSendDialog(); }
  bool ShowMessageBox(const std::string& caption, const std::string& text, TMessageBoxIcon icon) override {
    return inner_->ShowMessageBox(caption, text, icon);
  }
  bool CopyToClipboard(const std::string& text) override { return inner_->CopyToClipboard(text); }

 private:
  std::shared_ptr<TDialogUi> inner_;
};

// Delivery goes nowhere: it only says what it was given, and shows its progress when asked to.
class TPrintingDelivery final : public IDelivery {
 public:
  explicit TPrintingDelivery(bool progress) : progress_(progress) {}
  bool SendEmail(const TTarvexModuleOptions& options, const std::string& reportText) override {
    Say("SENDEMAIL to=" + options.EmailRecipients() + " report=" + std::to_string(!reportText.empty()) +
        " reproduce=" + std::to_string(reportText.find(options.ReproduceText()) != std::string::npos));
    if (progress_) {
      IExceptionUi& ui = *ExceptionUi();
      ui.ShowSendDialog(options, false);
      ui.SetSendDialogMessageStep(options.GetText(114), 1, 1);
      for (int percent = 0; percent <= 100; percent += 10) {
        ui.SetSendDialogPosition(percent);
        ::usleep(300000);
      }
      ui.CloseSendDialog();
    }
    return true;
  }
  bool SendWeb(const TTarvexModuleOptions&, const std::string&) override {
    Say("SENDWEB");
    return true;
  }

 private:
  bool progress_;
};

struct RouteError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Met in a function of its own, so that the call stack starts in this program's main, a frame
// with a line in every build, under its thread's group.
__attribute__((noinline)) bool MeetException() {
  RouteError e("Route not found");
  return ExceptionManager(&e, &typeid(e), __builtin_return_address(0), 0, 0);
}

}  // namespace

int main(int argc, char** argv) {
  ::alarm(120);
  int autoClose = -1;
  bool ownLook = false, detailed = false, progress = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--auto-close" && i + 1 < argc) autoClose = std::atoi(argv[++i]);
    else if (a == "--own-look") ownLook = true;
    else if (a == "--detailed") detailed = true;
    else if (a == "--progress") progress = true;
    else return 2;
  }
  SetGuiProgram(true);
  if (!InstallExceptionLog()) return 4;

  TTarvexModuleOptions& o = CurrentTarvexLogOptions();
  if (autoClose >= 0) o.SetAutoCloseSeconds(autoClose);
  if (ownLook) o.SetDialogFlags(o.DialogFlags().Include(dfOwnLook));
  o.SetDialogKind(detailed ? dkDetailed : dkClassic);

  TDialogFlowLink link;
  link.EmailAccepted = [](const std::string& email) { Say("EMAIL " + email); };
  InstallDialogUi(link);
  SetExceptionUi(std::make_shared<TRecordingUi>(InstalledDialogUi()));
  SetDelivery(std::make_shared<TPrintingDelivery>(progress));

  const bool result = MeetException();
  Say("RESULT " + std::to_string(result));
  Say("END");
  return 0;
}
