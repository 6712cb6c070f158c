// The processing flow: the path one exception takes from the notification entry until the
// program goes on, terminates or restarts. Only one exception is processed at a time.
//
// Threads. A pre-started exception thread (its stack touched in advance: creating a thread
// under memory exhaustion fails) runs the processing of a C++ exception while the thread that
// met it waits and runs the event handlers that the processing posts to it. A fatal signal is
// processed on the interception's signal thread, which is already the faulting thread's
// stand-in: its handlers run there too, because nothing else is safe while the faulting
// thread sits in its signal handler.
#pragma once

#include <signal.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "reporting/debuginfo/EDebug.h"
#include "reporting/interception/EContext.h"
#include "reporting/options/ECore.h"

enum TTarvexLogErrorCode : uint8_t {
  eeNone, eeShowError, eeLogError, eeEmailMAPIError, eeEmailShellError, eeEmailSMTPError,
  eeWebHTTPError, eeWebHTTPSError, eeWebFTPError, eeWebTrakerError
};
// "eeNone" ... "eeWebTrakerError".
const char* LogErrorCodeName(TTarvexLogErrorCode code);

// What every event receives.
struct TTarvexExceptionRecord {
  void* RaisedObject = nullptr;                 // the thrown object; null for a signal
  const std::type_info* RaisedType = nullptr;
  uintptr_t RaiseAddress = 0;
  uint32_t RaisingThreadId = 0;
  const siginfo_t* SystemRecord = nullptr;
  const TCpuRegisters* ProcessorContext = nullptr;
  std::string ReportText;
  const TTarvexStackList* StackList = nullptr;
  TTarvexModuleOptions* OptionSet = nullptr;
  // Linux: the class name and message as the report gives them.
  std::string ClassName;
  std::string Message;
};

// The exception record as the exported event functions of other modules receive it: a fixed C
// layout, every field 8 bytes (the thread id padded), the designed nine first, then what this
// platform adds. Strings are NUL-terminated UTF-8, valid for the call.
struct TTarvexEventRecord {
  void* RaisedObject;
  uintptr_t RaiseAddress;
  uint32_t RaisingThreadId;
  uint32_t Reserved;
  const siginfo_t* SystemRecord;
  const TCpuRegisters* ProcessorContext;
  const char* ReportText;
  const void* ModuleList;  // not handed across modules: null
  const TTarvexStackList* StackList;
  TTarvexModuleOptions* OptionSet;
  const std::type_info* RaisedType;
  const char* ClassName;
  const char* Message;
};
static_assert(sizeof(TTarvexEventRecord) == 96);

// Action codes of the exception action notify event.
enum TExceptionAction : int32_t {
  eaBeforeDialog = 0, eaAfterDialog = 1, eaBeforeSaveLog = 2, eaAfterSaveLog = 3, eaBeforeEmail = 4,
  eaAfterEmail = 5, eaBeforeWeb = 6, eaAfterWeb = 7, eaTerminateRequest = 8
};

// The handlers of one object of the handler registry; empty ones are skipped.
struct TTarvexEventHandlers {
  std::function<void(const TTarvexExceptionRecord&, bool& continueProcessing)> ExceptionNotify;
  std::function<void(const TTarvexExceptionRecord&, bool& continueProcessing)> HandledExceptionNotify;
  std::function<void(const TTarvexExceptionRecord&, int32_t action, bool& done)> ExceptionActionNotify;
  std::function<void(const TTarvexExceptionRecord&, int32_t error, bool& retry)> ExceptionErrorNotify;
  std::function<void(const TTarvexExceptionRecord&, std::string& password, int maxLength)> PasswordRequest;
  std::function<void(const TTarvexExceptionRecord&, std::vector<std::string>& lines)> CustomDataRequest;
  std::function<void(const TTarvexExceptionRecord&, std::vector<std::string>& files)> AttachedFilesRequest;
  std::function<void(const TTarvexExceptionRecord&, std::vector<std::string>& fields)> CustomWebFieldsRequest;
  std::function<void(const TTarvexExceptionRecord&, bool& close)> CustomButtonClick;
};

// The handler registry: objects are called from the last registered to the first, then the
// global handlers. The id removes the object again.
int RegisterEventHandlers(TTarvexEventHandlers handlers);
void UnregisterEventHandlers(int id);
void SetGlobalEventHandlers(TTarvexEventHandlers handlers);

// Raises the events that later units own, as the flow raises its own: first the exported
// function of the module that raised the exception (when that is another module with a
// compatible copy of the layer), then the handler objects, then the global handlers.
void RaiseAttachedFilesRequest(std::vector<std::string>& files);
void RaiseCustomWebFieldsRequest(std::vector<std::string>& fields);
bool RaiseCustomButtonClick();  // the close flag, false on entry
bool RaiseExceptionAction(int32_t action);  // the done flag, true on entry

// The exception being processed, for the dialogs; valid while the flow runs (null, empty or
// false otherwise).
struct TBugReport;
class IReportSnapshot;
struct TReportTime;
const TBugReport* CurrentBugReport();
const IReportSnapshot* CurrentReportSnapshot();
bool CurrentReportIsDuplicate();
// When the exception being processed, or delivered in the send thread, happened.
TReportTime CurrentExceptionTime();
// The custom error message when a filter set one, else the last exception message.
std::string ShownErrorMessage();

// Runs a procedure that calls handlers in the thread that met the exception (see the top);
// errors it raises are swallowed. Nothing runs while events are off.
void DispatchEvent(const std::function<void()>& procedure);
void SetEventsOff(bool off);

// Internal warnings: the last one is kept; the line "[WARNING] - Code: ..." goes to stderr
// while a debugger is attached. Warnings never stop the processing.
void ReportWarning(TTarvexLogErrorCode code, const std::string& text);
void ReportSectionWarning(TTarvexLogErrorCode code, const std::string& section);
void ClearWarning();
TTarvexLogErrorCode LastWarningCode();
std::string LastWarningText();

// 1 terminate, 2 restart: carried out at the end of the processing.
void RequestExit(TExitAction action);
[[noreturn]] void ExitApplication(bool restart);

// A CGI program's answer: header block and page on standard output. True when written (or when
// the program is no web-server program).
bool WriteWebPage(const std::string& page);

// ---- Interfaces of what later units provide; plain implementations are in force until then ----

struct TDialogState {
  TDialogKind Kind = dkNone;  // set again by a dialog that asks for another one
  bool SendReport = false;
  bool AttachScreenshot = false;
  bool CopyToClipboard = false;
  bool Cancelled = false;
  bool TerminateRequested = false;
  std::string UserEmail;  // a valid address the user typed; the flow writes it into the report
};

class IExceptionUi {
 public:
  virtual ~IExceptionUi() = default;
  // Shows the dialog. One that cannot be shown is reported as eeShowError, either here or by
  // the flow when this throws; the dialog state then keeps its initial choices.
  virtual void ShowExceptionDialog(const TTarvexExceptionRecord& record, TDialogKind kind, bool beep,
                                   bool forcedDetailed, TDialogState& state) = 0;
  virtual void ShowReproduceRequest(TTarvexModuleOptions& options) = 0;
  // A dialog is on screen (the waiting thread pumps, the watchdog waits for the user).
  virtual bool DialogOnScreen() const = 0;
  // The send progress window and the rest that delivery asks for; without dialogs nothing.
  virtual void ShowSendDialog(const TTarvexModuleOptions& options, bool modal) { (void)options, (void)modal; }
  virtual void SetSendDialogStep(const std::string& text) { (void)text; }
  virtual void SetSendDialogMessageStep(const std::string& text, int current, int total) {
    (void)text, (void)current, (void)total;
  }
  virtual void SetSendDialogPosition(int percent) { (void)percent; }
  virtual void CloseSendDialog() {}
  // The user closed the progress window to stop the delivery (until the next ShowSendDialog).
  virtual bool SendDialogCancelled() { return false; }
  // False when nothing could be shown or copied. The box is modal and stays in front.
  enum TMessageBoxIcon { mbError, mbInformation };
  virtual bool ShowMessageBox(const std::string& caption, const std::string& text, TMessageBoxIcon icon) {
    (void)caption, (void)text, (void)icon;
    return false;
  }
  virtual bool CopyToClipboard(const std::string& text) {
    (void)text;
    return false;
  }
};

class ILogStore {
 public:
  virtual ~ILogStore() = default;
  // Searches the log for a report with this identifier (field 2.7); with `count` the stored
  // report's count (field 2.8) is raised and the log saved. Always false without
  // lfSkipDuplicates.
  virtual bool IsDuplicate(const TTarvexModuleOptions& options, const std::string& identifier, bool count) = 0;
  // With lfResetLogOnNewVersion: deletes the log when its last report names another version of
  // the main module (field 1.3).
  virtual void ResetOnNewVersion(const TTarvexModuleOptions& options, const std::string& mainModuleVersion) = 0;
  // The saving step: adds the report unless it is a duplicate and saves. With sfWholeLogText
  // `textToSend` becomes the whole log text. False on failure, with the warning reported.
  virtual bool SaveReport(const TTarvexModuleOptions& options, const std::string& reportText, bool duplicate,
                          std::string& textToSend) = 0;
};

class IDelivery {
 public:
  virtual ~IDelivery() = default;
  // Before the first route: the temporary files that go with the report.
  virtual void BeginDelivery(const TTarvexModuleOptions& /*options*/, const std::string& /*reportText*/) {}
  // One attempt each; the flow retries while the after-delivery error event asks for it.
  virtual bool SendEmail(const TTarvexModuleOptions& options, const std::string& reportText) = 0;
  virtual bool SendWeb(const TTarvexModuleOptions& options, const std::string& reportText) = 0;
  // After both routes, whatever their result: what is kept on failure, the result message, the
  // removal of the temporary files.
  virtual void EndDelivery(const TTarvexModuleOptions& /*options*/, const std::string& /*reportText*/,
                           bool /*success*/) {}
};

class IScreenshot {
 public:
  virtual ~IScreenshot() = default;
  virtual void Capture() = 0;
  virtual void Save(const std::string& fileName) = 0;
  virtual void Release() = 0;
};

// Null restores the plain implementation.
void SetExceptionUi(std::shared_ptr<IExceptionUi> ui);
std::shared_ptr<IExceptionUi> ExceptionUi();
void SetLogStore(std::shared_ptr<ILogStore> store);
void SetDelivery(std::shared_ptr<IDelivery> delivery);
void SetScreenshot(std::shared_ptr<IScreenshot> screenshot);

// ---- Program kind, clock, watchdog ----

// A console program (the runtime's console flag, cleared by the GUI bridge) with REQUEST_METHOD
// in its environment.
bool FlowCgiProgram();

// The auto-crash rule's clock (monotonic milliseconds); null restores the steady clock.
void SetFlowClock(std::function<int64_t()> nowMilliseconds);

// Processing that runs longer than this while no dialog is on screen is abandoned: the
// waiting thread goes on with the standard handling, a fatal signal ends the process as the
// signal would. 0 turns the watchdog off.
void SetFlowWatchdogSeconds(int seconds);

// The freeze watch (a thread of its own): the probe, which the GUI bridge registers, asks the GUI
// thread for a sign of life and waits for it at most `waitMs`; true when it answered. Without a
// probe nothing is watched. A main thread silent for the option set's FreezeTimeoutSeconds is
// reported once as an EFrozenApplication on channel 1; the watch goes on afterwards. The option
// setters start and stop it; so does installation when the options ask for it.
using TFreezeProbe = std::function<bool(int waitMs)>;
void SetFreezeProbe(TFreezeProbe probe);
void StartFreezeWatch();
void StopFreezeWatch();

// Registers the flow with the notification entry (also done when this library is linked in);
// the exception thread starts when the layer installs.
void InstallExceptionFlow();

// The number of exceptions processed so far.
int ProcessedErrorCount();

// The event functions other modules' copies of the layer call in this module: each runs this
// module's handler objects and global handlers with the given record. A password arrives as
// a counted string (length byte, then at most `maxLength` bytes, `maxLength` at most 255).
extern "C" {
__attribute__((visibility("default"))) void TarvexLog_ExceptionNotifyEvent(const TTarvexEventRecord* record,
                                                                           bool* continueProcessing);
__attribute__((visibility("default"))) void TarvexLog_HandledExceptionNotifyEvent(const TTarvexEventRecord* record,
                                                                                  bool* continueProcessing);
__attribute__((visibility("default"))) void TarvexLog_ExceptionActionNotifyEvent(const TTarvexEventRecord* record,
                                                                                 int32_t action, bool* done);
__attribute__((visibility("default"))) void TarvexLog_ExceptionErrorNotifyEvent(const TTarvexEventRecord* record,
                                                                                int32_t error, bool* retry);
__attribute__((visibility("default"))) void TarvexLog_PasswordRequestEvent(unsigned char* password, int32_t maxLength);
__attribute__((visibility("default"))) void TarvexLog_PasswordRequestEventEx(const TTarvexEventRecord* record,
                                                                             unsigned char* password,
                                                                             int32_t maxLength);
__attribute__((visibility("default"))) void TarvexLog_CustomDataRequestEventEx(const TTarvexEventRecord* record,
                                                                               std::vector<std::string>* lines);
__attribute__((visibility("default"))) void TarvexLog_AttachedFilesRequestEvent(const TTarvexEventRecord* record,
                                                                                std::vector<std::string>* files);
__attribute__((visibility("default"))) void TarvexLog_CustomWebFieldsRequestEvent(const TTarvexEventRecord* record,
                                                                                  std::vector<std::string>* fields);
__attribute__((visibility("default"))) void TarvexLog_CustomButtonClickEvent(const TTarvexEventRecord* record,
                                                                             bool* close);
}
