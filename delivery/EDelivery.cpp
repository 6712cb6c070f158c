#include "delivery/EDelivery.h"

#include <exception>

#include "delivery/EZip.h"
#include "reporting/flow/EFlowState.h"

namespace {

// A route's failure that escaped it still ends as a failed attempt, never in the flow.
template <typename F>
bool Attempt(F&& route) {
  try {
    return route();
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

void TDelivery::BeginDelivery(const TTarvexModuleOptions& options, const std::string& reportText) {
  Context = TDeliveryContext{};
  Context.Options = &options;
  Context.ReportText = reportText;
  Context.Folder = tarvex_flow::TemporaryFolder(true);
  Context.ExceptionTime = CurrentExceptionTime();
  EmailArchiveReady = false;
  try {
    PrepareTextFiles(Context);
  } catch (const std::exception&) {
    // A text file that cannot be written is only a missing attachment.
  }
}

bool TDelivery::SendEmail(const TTarvexModuleOptions& options, const std::string&) {
  Context.Options = &options;
  return Attempt([&] {
    PrepareAttachments(Context, true);
    EmailArchiveReady = true;
    return SendEmailReport(Context);
  });
}

bool TDelivery::SendWeb(const TTarvexModuleOptions& options, const std::string&) {
  Context.Options = &options;
  return Attempt([&] {
    // The e-mail's archive lacks the log copy when the report went into the message body.
    if (!EmailArchiveReady || options.EmailReportInBody()) PrepareAttachments(Context, false);
    return SendWebReport(Context);
  });
}

void TDelivery::EndDelivery(const TTarvexModuleOptions& options, const std::string&, bool success) {
  Context.Options = &options;
  try {
    AfterDelivery(Context, success);
  } catch (const std::exception&) {
  }
  Context = TDeliveryContext{};
  EmailArchiveReady = false;
}
