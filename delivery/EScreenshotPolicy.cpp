// What the screenshot asks of the processing flow.
#include "delivery/EScreenshot.h"
#include "reporting/flow/EFlowState.h"
#include "reporting/options/EProgramKind.h"

namespace {

const TTarvexModuleOptions* Options() { return tarvex_flow::State().Options.get(); }

}  // namespace

TScreenshotPolicy DefaultScreenshotPolicy() {
  TScreenshotPolicy policy;
  policy.ForegroundOnly = [] {
    const TTarvexModuleOptions* o = Options();
    return o && o->SendFlags().Contains(sfScreenshotForegroundOnly);
  };
  policy.Wanted = [] {
    const TDialogState& dialog = tarvex_flow::State().Dialog;
    return !Options() || dialog.AttachScreenshot;
  };
  // The flow's dialog state does not tell which dialog was shown: only the detailed one has the
  // screenshot box, and it shows it only to a report that is sent with a screenshot. A dialog
  // that could not be shown leaves its warning.
  policy.ShownAndKept = [] {
    const TTarvexModuleOptions* o = Options();
    const TDialogState& dialog = tarvex_flow::State().Dialog;
    if (!o || ConsoleProgram() || LastWarningCode() == eeShowError) return false;
    const bool sending = o->EmailMode() != emNone || o->WebMode() != wmNone;
    return o->DialogKind() == dkDetailed && sending && o->SendFlags().Contains(sfAttachScreenshot) &&
           o->DialogFlags().Contains(dfOfferScreenshot) && dialog.AttachScreenshot && !dialog.Cancelled;
  };
  policy.Warn = [](const std::string& text) { ReportWarning(eeShowError, Format("[%s] %s", {"Screenshot", text})); };
  return policy;
}
