// The exception dialogs shown through the dialog helper: the dialog, the reproduce request, the
// send progress window, message boxes and the clipboard. The core stays free of Qt; a helper
// that is missing, cannot start, is not ready or not on screen in time, or dies before its
// result leaves the dialog "not shown": eeShowError, one line on stderr, the choices as
// they were, and the processing goes on.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "reporting/flow/EFlow.h"
#include "reporting/ui/EDialogHelper.h"
#include "reporting/ui/EDialogRequest.h"

// What the dialogs need from the processing flow beyond the exception record. Empty members
// take the plain behaviour noted beside them.
struct TDialogFlowLink {
  // Call the handlers of the custom-button event / of the exception action event (the dialog
  // runs them through DispatchEvent). Empty: no handler, the flags stay as they are.
  std::function<void(bool& close)> CustomButtonClick;
  std::function<void(int32_t action, bool& done)> ExceptionAction;
  std::function<int()> ErrorCount;   // empty: ProcessedErrorCount()
  std::function<bool()> Duplicate;   // empty: false
  // The custom error message when set, else the last exception message. Empty: the record's.
  std::function<std::string(const TTarvexExceptionRecord&)> ShownMessage;
  // The detail pages' contents. Empty: the record's report text and call stack.
  std::function<TDialogDetails(const TTarvexExceptionRecord&)> Details;
  // A valid address typed into the classic dialog, to be written into the report texts.
  std::function<void(const std::string& email)> EmailAccepted;
};

class TDialogUi final : public IExceptionUi {
 public:
  explicit TDialogUi(TDialogFlowLink link = {});
  ~TDialogUi() override;

  // Shows the dialog of `kind` and returns when it has closed. A terminate or restart request
  // raises the exception action event (action 8); a handler that withdraws it gets the same
  // dialog shown again, without the beep. A request that stands goes to RequestExit.
  void ShowExceptionDialog(const TTarvexExceptionRecord& record, TDialogKind kind, bool beep, bool forcedDetailed,
                           TDialogState& state) override;
  void ShowReproduceRequest(TTarvexModuleOptions& options) override;
  bool DialogOnScreen() const override { return onScreen_.load(); }

  // The send progress window, shown only with sfShowSendProgress, an e-mail or web mode and no
  // failed dialog. Opening waits for the window with a deadline; the rest never waits long and
  // does nothing without a window.
  void ShowSendDialog(const TTarvexModuleOptions& options, bool modal) override;
  void SetSendDialogStep(const std::string& text) override;
  // "%s %d/%d: " with text 111, then the text.
  void SetSendDialogMessageStep(const std::string& text, int current, int total) override;
  void SetSendDialogPosition(int percent) override;  // 0 to 100, never backwards
  void CloseSendDialog() override;
  bool SendDialogOpen() const;
  bool SendDialogCancelled() override;

  // A message box (error icon); returns when it was closed, false when none could be shown.
  bool ShowMessageBox(const std::string& caption, const std::string& text, TMessageBoxIcon icon) override;
  // The text placed on the clipboard as plain text; false when that could not be done.
  bool CopyToClipboard(const std::string& text) override;

  // The last ShowExceptionDialog could not show its dialog (suppresses the reproduce request
  // and the progress window).
  bool DialogFailed() const { return failed_; }
  // The reason of the last failure to show a window, for tests and the debugger line.
  std::string LastFailure() const;

 private:
  enum TShowResult { srShown, srNotShown };
  TShowResult RunDialog(const TTarvexExceptionRecord& record, TDialogKind kind, bool beep, bool forcedDetailed,
                        TDialogState& state);
  TShowResult RunMessageBox(const std::string& caption, const std::string& text, bool beep, bool information = false);
  // Starts a helper, sends the request and waits for "shown"; null when not shown.
  std::unique_ptr<TDialogHelper> Open(const std::string& request);
  void Fail(const std::string& why);
  bool WaitFor(TDialogHelper& helper, tarvex_dialog::TMessageKind kind, int timeoutMs);

  TDialogFlowLink link_;
  std::atomic<bool> onScreen_{false};
  bool failed_ = false;
  bool lastSendReport_ = false;
  mutable std::mutex mutex_;
  std::string lastFailure_;
  std::unique_ptr<TDialogHelper> progress_;
  int progressPosition_ = 0;
  bool progressCancelled_ = false;
  std::string progressPrefix_;
};

// Makes the helper's dialogs the flow's dialogs: done when this library is linked in (a test
// installs its own link again).
void InstallDialogUi(TDialogFlowLink link = {});
// The installed instance (null before InstallDialogUi), for the delivery's progress calls.
std::shared_ptr<TDialogUi> InstalledDialogUi();
