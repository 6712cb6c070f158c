// The exception dialogs through the helper program.
#include "reporting/ui/EDialogUi.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "reporting/options/EModules.h"
#include "reporting/options/EProgramKind.h"
#include "reporting/report/EReport.h"
#include "reporting/report/EReportSnapshot.h"
#include "reporting/ui/EEmailAddress.h"
#include "reporting/ui/EIniFile.h"
#include "reporting/ui/EJumpToSource.h"
#include "runtime/SysUtils.h"
#include "runtime/NoDestroy.h"

using namespace tarvex_dialog;

namespace {

constexpr const char* kNotShown = "Cannot show the DialogBox window.";

void WriteLine(const std::string& line) {
  const std::string text = line + "\n";
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(2, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

std::string CaptionOf(const TTarvexModuleOptions* o) { return o ? o->GetText(3) : std::string("Error occurred"); }

std::mutex g_installedMutex;
TNoDestroy<std::shared_ptr<TDialogUi>> g_installed;  // the leak report at exit may show it

}  // namespace

namespace {

// The processing flow's own answers, for what the caller left empty.
TDialogFlowLink WithFlowDefaults(TDialogFlowLink link) {
  if (!link.CustomButtonClick) link.CustomButtonClick = [](bool& close) { close = RaiseCustomButtonClick(); };
  if (!link.ExceptionAction) link.ExceptionAction = [](int32_t action, bool& done) { done = RaiseExceptionAction(action); };
  if (!link.Duplicate) link.Duplicate = [] { return CurrentReportIsDuplicate(); };
  if (!link.ShownMessage)
    link.ShownMessage = [](const TTarvexExceptionRecord& record) {
      return CurrentBugReport() ? ShownErrorMessage() : record.Message;
    };
  if (!link.Details)
    link.Details = [](const TTarvexExceptionRecord& record) {
      TDialogDetails details;
      details.Stack = record.StackList;
      details.MainModule = MainModuleHandle();
      const TBugReport* report = CurrentBugReport();
      if (!report) {
        details.GeneralPart = record.ReportText;
        return details;
      }
      details.GeneralPart = report->GeneralPart;
      details.AssemblerPart = report->AssemblerHeader + report->AssemblerPart;
      details.CpuPart = report->CpuPart;
      if (const IReportSnapshot* snapshot = CurrentReportSnapshot()) {
        details.Threads = snapshot->Threads();
        details.Modules = snapshot->Modules();
        details.Processes = snapshot->Processes();
      }
      return details;
    };
  return link;
}

}  // namespace

TDialogUi::TDialogUi(TDialogFlowLink link) : link_(WithFlowDefaults(std::move(link))) {}

TDialogUi::~TDialogUi() = default;

std::string TDialogUi::LastFailure() const {
  std::lock_guard lock(mutex_);
  return lastFailure_;
}

void TDialogUi::Fail(const std::string& why) {
  std::lock_guard lock(mutex_);
  lastFailure_ = why;
}

namespace {

// The reason for a helper found gone: a damaged message, or how it ended and what it said.
std::string Ended(TDialogHelper& helper, const char* when) {
  if (helper.Damaged()) return "the dialog helper sent a damaged message";
  return std::string("the dialog helper ended ") + when + " (" + helper.End() + ")";
}

}  // namespace

bool TDialogUi::WaitFor(TDialogHelper& helper, TMessageKind kind, int timeoutMs) {
  // One message is expected: no other may come first but signs of life.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    TMessage message;
    if (helper.Receive(message, static_cast<int>(std::max<int64_t>(left.count(), 0))) != TDialogHelper::wtMessage)
      return false;
    if (message.Kind != mkAlive) return message.Kind == kind;
  }
}

std::unique_ptr<TDialogHelper> TDialogUi::Open(const std::string& request) {
  if (!DisplayAvailable()) {
    Fail("no display");
    return nullptr;
  }
  // A popup menu of the program that met the exception would keep the dialog from input.
  if (void (*release)() = GuiBridgeHooks().ReleaseGrabs) release();
  std::string why;
  std::unique_ptr<TDialogHelper> helper = TDialogHelper::Start(why);
  if (!helper) {
    Fail(why);
    return nullptr;
  }
  if (!helper->Send(request)) {
    Fail("the dialog helper took no request");
    return nullptr;
  }
  if (!WaitFor(*helper, mkShown, DialogDeadlines().ShownMs)) {
    Fail(helper->Gone() ? Ended(*helper, "before its window was shown") : "the dialog was not on screen in time");
    return nullptr;
  }
  return helper;
}

TDialogUi::TShowResult TDialogUi::RunDialog(const TTarvexExceptionRecord& record, TDialogKind kind, bool beep,
                                            bool forcedDetailed, TDialogState& state) {
  TTarvexModuleOptions* o = record.OptionSet;
  if (!o) {
    Fail("no option set");
    return srNotShown;
  }
  TDialogContext context;
  context.Kind = kind;
  context.Beep = beep;
  context.ForcedDetailed = forcedDetailed;
  context.ErrorCount = link_.ErrorCount ? link_.ErrorCount() : ProcessedErrorCount();
  context.Duplicate = link_.Duplicate && link_.Duplicate();
  context.ExceptionThread = record.RaisingThreadId;
  context.Message = link_.ShownMessage ? link_.ShownMessage(record) : record.Message;
  context.Settings = ReadDialogSettings(ReadTarvexLogIni());
  TDialogDetails details;
  if (kind == dkDetailed) {
    if (link_.Details) {
      details = link_.Details(record);
    } else {
      details.GeneralPart = record.ReportText;
      details.Stack = record.StackList;
    }
    context.Details = &details;
  }
  TBuiltRequest built;
  std::string frame;
  try {
    built = BuildDialogRequest(*o, state, context);
    frame = built.Request.Encode();
  } catch (const std::exception& e) {
    Fail(e.what());
    return srNotShown;
  }

  std::unique_ptr<TDialogHelper> helper = Open(frame);
  if (!helper) return srNotShown;
  onScreen_ = true;
  struct TOffScreen {
    std::atomic<bool>& Flag;
    ~TOffScreen() { Flag = false; }
  } offScreen{onScreen_};

  // The user has the window now: no deadline but the helper's signs of life.
  for (;;) {
    TMessage message;
    if (const auto wait = helper->ReceiveWhileAlive(message); wait != TDialogHelper::wtMessage) {
      Fail(wait == TDialogHelper::wtTimeout ? "the dialog helper hangs" : Ended(*helper, "before its result"));
      return srNotShown;
    }
    try {
      switch (message.Kind) {
        case mkCustomPressed: {
          bool close = false;
          if (link_.CustomButtonClick) DispatchEvent([&] { link_.CustomButtonClick(close); });
          helper->Send(EncodeCustomAnswer(close));
          break;
        }
        case mkJumpToSource: {
          const int64_t id = message.Reader().Int(smJumpId, -1);
          if (id >= 0 && static_cast<size_t>(id) < built.JumpEntries.size())
            SendJumpToSource(JumpRequestFor(*built.JumpEntries[static_cast<size_t>(id)]));
          break;
        }
        case mkDialogResult: {
          const TDialogResult result = TDialogResult::Decode(message.Reader());
          const TDialogOutcome outcome = ApplyDialogResult(built.Request, result, state, *o);
          lastSendReport_ = state.SendReport;
          if (outcome.AcceptedEmail) {
            state.UserEmail = *outcome.AcceptedEmail;
            if (link_.EmailAccepted) link_.EmailAccepted(*outcome.AcceptedEmail);
          }
          if (outcome.AcceptedEmail || outcome.SaveGeometry || !outcome.StackColumns.empty() ||
              !outcome.ModuleColumns.empty() || !outcome.ProcessColumns.empty())
            UpdateTarvexLogIni([&](TIniData& ini) {
              if (outcome.AcceptedEmail) WriteDialogEmail(ini, *outcome.AcceptedEmail);
              if (outcome.SaveGeometry) WriteDialogGeometry(ini, outcome.Geometry);
              WriteDialogColumns(ini, outcome.StackColumns, outcome.ModuleColumns, outcome.ProcessColumns);
            });
          return srShown;
        }
        default:
          break;  // a later helper's news: not for this core
      }
    } catch (const EDialogProtocolError& e) {
      Fail(e.what());
      return srNotShown;
    }
  }
}

TDialogUi::TShowResult TDialogUi::RunMessageBox(const std::string& caption, const std::string& text, bool beep,
                                                bool information) {
  TMessageBoxRequest request;
  request.Caption = caption;
  request.Text = text;
  request.Beep = beep;
  request.Information = information;
  std::unique_ptr<TDialogHelper> helper = Open(request.Encode());
  if (!helper) return srNotShown;
  onScreen_ = true;
  TMessage message;
  while (helper->ReceiveWhileAlive(message) == TDialogHelper::wtMessage)
    if (message.Kind == mkDone) break;
  onScreen_ = false;
  return srShown;  // it was on screen: a helper that died afterwards took only its box along
}

void TDialogUi::ShowExceptionDialog(const TTarvexExceptionRecord& record, TDialogKind kind, bool beep,
                                    bool forcedDetailed, TDialogState& state) {
  failed_ = false;
  lastSendReport_ = state.SendReport;
  // The beep sounds once, not again when the dialog comes back after a withdrawn request.
  bool beepNow = beep && kind != dkMessageBox;
  for (;;) {
    bool painted = true;
    switch (kind) {
      case dkDetailed:
      case dkClassic:
        painted = RunDialog(record, kind, beepNow, forcedDetailed, state) == srShown;
        break;
      case dkMessageBox:
        painted = RunMessageBox(CaptionOf(record.OptionSet),
                                link_.ShownMessage ? link_.ShownMessage(record) : record.Message, false) == srShown;
        state.Kind = dkNone;
        break;
      case dkNone:
        break;
    }
    beepNow = false;
    if (painted && state.TerminateRequested) {
      ClearWarning();
      bool done = true;
      if (link_.ExceptionAction) DispatchEvent([&] { link_.ExceptionAction(eaTerminateRequest, done); });
      if (!done) {
        state.TerminateRequested = false;
        continue;
      }
    }
    if (!painted) {
      ReportWarning(eeShowError, kNotShown);
      state.Kind = dkNone;
      failed_ = true;
      WriteLine(CaptionOf(record.OptionSet) + ": " + record.ClassName + ": " + record.Message + " (" + kNotShown +
                " " + LastFailure() + ")");
    }
    break;
  }
  if (state.TerminateRequested && record.OptionSet && record.OptionSet->TerminateButtonAction() != xaNone)
    RequestExit(record.OptionSet->TerminateButtonAction());
}

void TDialogUi::ShowReproduceRequest(TTarvexModuleOptions& o) {
  const bool duplicate = link_.Duplicate && link_.Duplicate();
  if (!o.LogFlags().Contains(lfLogReproduceText) || duplicate || failed_ || !(lastSendReport_ || o.WriteLogFile()))
    return;
  TReproduceRequest request;
  const TDialogFlags df = o.DialogFlags();
  request.Style = (df.Contains(dfTopMost) ? dsTopMost : 0u) | (df.Contains(dfOwnLook) ? dsOwnLook : 0u);
  request.AutoCloseSeconds = std::max(o.AutoCloseSeconds(), 0);
  request.Caption = o.GetText(123);
  request.Label = o.GetText(124);
  request.Button = o.GetText(125);
  request.Text = o.ReproduceText();
  std::unique_ptr<TDialogHelper> helper = Open(request.Encode());
  if (!helper) return;
  onScreen_ = true;
  TMessage message;
  while (helper->ReceiveWhileAlive(message) == TDialogHelper::wtMessage) {
    if (message.Kind != mkReproduceResult) continue;
    try {
      o.SetReproduceText(TrimmedText(message.Reader().Text(smText)));
    } catch (const EDialogProtocolError&) {
    }
    break;
  }
  onScreen_ = false;
}

// ---- Send progress -------------------------------------------------------------------------------

void TDialogUi::ShowSendDialog(const TTarvexModuleOptions& o, bool modal) {
  CloseSendDialog();
  std::lock_guard lock(mutex_);
  progressPosition_ = 0;
  progressCancelled_ = false;
  progressPrefix_ = o.GetText(111);
  if (!o.SendFlags().Contains(sfShowSendProgress) || (o.EmailMode() == emNone && o.WebMode() == wmNone) || failed_)
    return;
  TProgressOpen request;
  const TDialogFlags df = o.DialogFlags();
  request.Style = (df.Contains(dfTopMost) ? dsTopMost : 0u) | (df.Contains(dfOwnLook) ? dsOwnLook : 0u);
  request.Modal = modal;
  request.Caption = o.GetText(110);
  if (!DisplayAvailable()) {
    lastFailure_ = "no display";
    return;
  }
  std::string why;
  std::unique_ptr<TDialogHelper> helper = TDialogHelper::Start(why);
  // The sending waits for the window, but never longer than the deadline.
  if (!helper || !helper->Send(request.Encode()) || !WaitFor(*helper, mkShown, DialogDeadlines().ShownMs)) {
    lastFailure_ = helper ? "the progress window was not on screen in time" : why;
    return;
  }
  progress_ = std::move(helper);
}

void TDialogUi::SetSendDialogStep(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (!progress_) return;
  if (progress_->Drain()) progressCancelled_ = true;
  progress_->Send(EncodeProgressStep(text));
}

void TDialogUi::SetSendDialogMessageStep(const std::string& text, int current, int total) {
  std::string prefix;
  {
    std::lock_guard lock(mutex_);
    prefix = progressPrefix_;
  }
  SetSendDialogStep(Format("%s %d/%d: ", {prefix, current, total}) + text);
}

void TDialogUi::SetSendDialogPosition(int percent) {
  std::lock_guard lock(mutex_);
  percent = std::clamp(percent, 0, 100);
  if (!progress_ || percent <= progressPosition_) return;
  progressPosition_ = percent;
  if (progress_->Drain()) progressCancelled_ = true;
  progress_->Send(EncodeProgressPosition(percent));
}

void TDialogUi::CloseSendDialog() {
  std::unique_ptr<TDialogHelper> helper;
  {
    std::lock_guard lock(mutex_);
    helper = std::move(progress_);
  }
  if (!helper) return;
  helper->Drain();
  if (helper->Send(EncodeProgressClose())) WaitFor(*helper, mkDone, DialogDeadlines().WriteMs);
}

bool TDialogUi::SendDialogCancelled() {
  std::lock_guard lock(mutex_);
  if (progress_ && progress_->Drain()) progressCancelled_ = true;
  return progressCancelled_;
}

bool TDialogUi::SendDialogOpen() const {
  std::lock_guard lock(mutex_);
  return progress_ != nullptr;
}

// ---- Message box and clipboard -----------------------------------------------------------------

bool TDialogUi::ShowMessageBox(const std::string& caption, const std::string& text, TMessageBoxIcon icon) {
  return RunMessageBox(caption, text, true, icon == mbInformation) == srShown;
}

bool TDialogUi::CopyToClipboard(const std::string& text) {
  if (!DisplayAvailable()) {
    Fail("no display");
    return false;
  }
  std::string why;
  std::unique_ptr<TDialogHelper> helper = TDialogHelper::Start(why);
  if (!helper) {
    Fail(why);
    return false;
  }
  return helper->Send(EncodeClipboard(text)) && WaitFor(*helper, mkDone, DialogDeadlines().ShownMs);
}

// ---- Installation ----------------------------------------------------------------------------------

void InstallDialogUi(TDialogFlowLink link) {
  auto ui = std::make_shared<TDialogUi>(std::move(link));
  {
    std::lock_guard lock(g_installedMutex);
    *g_installed = ui;
  }
  SetExceptionUi(ui);
}

std::shared_ptr<TDialogUi> InstalledDialogUi() {
  std::lock_guard lock(g_installedMutex);
  return *g_installed;
}

namespace {

// Linking the dialogs makes them the flow's: a program without the helper program beside it,
// or without a display, gets the same one line on stderr as without them.
const bool g_registered = [] {
  if (!InstalledDialogUi()) InstallDialogUi();
  return true;
}();

}  // namespace

extern "C" __attribute__((used)) const bool* TarvexLog_DialogAnchor() { return &g_registered; }
