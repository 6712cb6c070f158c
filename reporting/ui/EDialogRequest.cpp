#include "reporting/ui/EDialogRequest.h"

#include "reporting/report/EReport.h"
#include "reporting/ui/EEmailAddress.h"

using namespace tarvex_dialog;

namespace {

void AddTexts(TDialogRequest& q, const TTarvexModuleOptions& o, std::initializer_list<std::pair<int, int>> ranges) {
  for (auto [first, last] : ranges)
    for (int i = first; i <= last; ++i) q.Texts.push_back({i, o.GetText(i)});
}

bool Blank(const std::string& text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

bool PageShown(int page, uint32_t offered) {
  if (page == dpModules || page == dpProcesses) return offered & dcModulesPages;
  if (page == dpAssembler || page == dpCpu) return offered & dcAssemblerPages;
  return page >= 0 && page <= dpCpu;
}

}  // namespace

bool SendingOffered(const TTarvexModuleOptions& o, bool duplicate) {
  return (o.EmailMode() != emNone || o.WebMode() != wmNone) && !duplicate &&
         o.DialogFlags().Contains(dfOfferSending);
}

TBuiltRequest BuildDialogRequest(const TTarvexModuleOptions& o, const TDialogState& state, const TDialogContext& c) {
  TBuiltRequest built;
  TDialogRequest& q = built.Request;
  const TDialogFlags df = o.DialogFlags();
  const bool sending = SendingOffered(o, c.Duplicate);
  const bool terminate = o.TerminateButtonAction() != xaNone && c.ErrorCount > o.TerminateButtonAfter();
  q.Kind = c.Kind == dkDetailed ? 3 : 2;
  q.TerminateAction = o.TerminateButtonAction();
  q.AutoCloseSeconds = std::max(o.AutoCloseSeconds(), 0);
  q.Message = c.Message;
  q.Style = (df.Contains(dfTopMost) ? dsTopMost : 0u) | (df.Contains(dfOwnLook) ? dsOwnLook : 0u) |
            (c.Beep ? dsBeep : 0u);
  if (terminate) q.Offered |= dcTerminate;
  if (df.Contains(dfShowCustomButton)) q.Offered |= dcCustomButton;
  if (sending) q.Offered |= dcSendBox;

  if (q.Kind == 2) {
    if (df.Contains(dfShowDetailsButton)) q.Offered |= dcDetailsButton;
    if (o.LogFlags().Contains(lfLogReproduceText)) q.Offered |= dcReproduceBox;
    if (sending && (o.EmailMode() != emClient || o.WebMode() != wmNone)) q.Offered |= dcEmailBox;
    // The classic dialog has no send box: "checked" tells whether the report is to be sent,
    // which names its right button.
    if (state.SendReport) q.Checked |= dcSendBox;
    q.ReproduceText = o.ReproduceText();
    q.Email = c.Settings.Email;
    AddTexts(q, o, {{2, 3}, {17, 17}, {21, 21}, {26, 36}, {157, 157}});
    return built;
  }

  // Detailed dialog.
  if (sending && o.SendFlags().Contains(sfAttachScreenshot) && df.Contains(dfOfferScreenshot)) q.Offered |= dcScreenshotBox;
  if (df.Contains(dfShowCopyOption)) q.Offered |= dcCopyBox;
  if (!Blank(o.SupportAddress())) q.Offered |= dcSupportLink;
  if (df.Contains(dfShowDetailsButton) && !c.ForcedDetailed) q.Offered |= dcDetailsButton;
  if (o.LogFlags().Contains(lfModulesAndProcesses)) q.Offered |= dcModulesPages;
  if (o.LogFlags().Contains(lfAssemblerAndCpu)) q.Offered |= dcAssemblerPages;
  // Send report starts true here, so box 3000 follows dfSendChecked alone.
  if (df.Contains(dfSendChecked)) q.Checked |= dcSendBox;
  if (state.AttachScreenshot && df.Contains(dfScreenshotChecked)) q.Checked |= dcScreenshotBox;
  if (c.ForcedDetailed) q.Style |= dsForcedDetailed | dsStartDetailed;
  if (df.Contains(dfStartDetailed)) q.Style |= dsStartDetailed;
  q.DetailPage = PageShown(o.DetailPage(), q.Offered) ? o.DetailPage() : dpGeneral;
  q.SupportAddress = o.SupportAddress();
  AddTexts(q, o, {{3, 25}, {92, 109}, {126, 140}});
  q.Geometry = c.Settings.Geometry;
  q.StackColumns = c.Settings.StackColumns;
  q.ModuleColumns = c.Settings.ModuleColumns;
  q.ProcessColumns = c.Settings.ProcessColumns;
  if (const TDialogDetails* d = c.Details) {
    const TRichTextFont font;
    q.GeneralRich = GeneralRichText(d->GeneralPart, font);
    if (q.Offered & dcAssemblerPages) {
      q.AssemblerRich = AssemblerRichText(d->AssemblerPart, font);
      q.CpuRich = CpuRichText(d->CpuPart, font);
    }
    if (d->Stack) {
      TStackRows rows = CallStackRows(o, *d->Stack, d->Threads, c.ExceptionThread);
      q.StackRows = std::move(rows.Rows);
      built.JumpEntries = std::move(rows.JumpEntries);
    }
    if (q.Offered & dcModulesPages) {
      q.ModuleRows = ModuleRows(d->Modules, d->MainModule);
      q.ProcessRows = ProcessRows(d->Processes);
    }
  }
  return built;
}

TDialogOutcome ApplyDialogResult(const TDialogRequest& q, const TDialogResult& r, TDialogState& state,
                                 TTarvexModuleOptions& o) {
  TDialogOutcome out;
  // A box the dialog did not show keeps its first state: the user could not change it.
  auto box = [&](uint32_t control) { return ((q.Offered & control) ? r.Checked : q.Checked) & control; };
  const bool escaped = r.How == chEscape;
  state.Kind = dkNone;

  if (q.Kind == 2) {
    const bool sending = q.Offered & dcSendBox;
    if (r.How == chSend) state.SendReport = true;
    else if (r.How == chOk) state.SendReport = state.SendReport && !sending;
    else if (escaped) state.SendReport = false;
    if (r.How == chDetailsLink && (q.Offered & dcDetailsButton)) state.Kind = dkDetailed;
    if (escaped) state.Cancelled = true;
    if (q.Offered & dcEmailBox) {
      const std::string email = TrimmedText(r.Email);
      if (ValidEmailAddress(email)) out.AcceptedEmail = email;
    }
    if (q.Offered & dcReproduceBox) o.SetReproduceText(TrimmedText(r.ReproduceText));
    const bool boxChecked = (q.Offered & dcTerminate) && (r.Checked & dcTerminate);
    state.TerminateRequested = (state.TerminateRequested || boxChecked) && !escaped;
    return out;
  }

  // Detailed dialog: send report and copy started true.
  bool send = true, copy = true;
  if (r.How == chTerminate && (q.Offered & dcTerminate)) state.TerminateRequested = true;
  if (escaped) {
    send = copy = false;
    state.Cancelled = true;
  }
  state.SendReport = send && box(dcSendBox);
  state.AttachScreenshot = box(dcScreenshotBox);
  state.CopyToClipboard = copy && box(dcCopyBox);
  TDialogFlags df = o.DialogFlags();
  df.Set(dfSendChecked, state.SendReport);
  df.Set(dfScreenshotChecked, state.AttachScreenshot);
  if (!(df == o.DialogFlags())) o.SetDialogFlags(df);
  out.SaveGeometry = r.GeometryRecorded;
  out.Geometry = r.Geometry;
  out.StackColumns = r.StackColumns;
  out.ModuleColumns = r.ModuleColumns;
  out.ProcessColumns = r.ProcessColumns;
  return out;
}
