// One delivery of a report: what its routes (e-mail, web upload, bug tracker) share, and the
// entry of each route. The flow calls `TDelivery` (IDelivery) once per exception to be sent.
#pragma once

#include <string>
#include <vector>

#include "reporting/flow/EFlow.h"
#include "reporting/report/EReportSnapshot.h"

struct TDeliveryContext {
  const TTarvexModuleOptions* Options = nullptr;
  // The text to send: the report, or the whole log with sfWholeLogText.
  std::string ReportText;
  // The exception's private temporary folder, where every prepared file is written.
  std::string Folder;
  // When the exception happened: the date in kept archives' names.
  TReportTime ExceptionTime;
  // After PrepareAttachments: the archive's path alone, or nothing when there was nothing to pack.
  std::vector<std::string> Attachments;
  // Set by the tracker route when it has already told the user that the bug is closed; the
  // result message is then not shown.
  bool TrackerSaidClosed = false;
};

// The routes, each one attempt; false on failure with the warning already reported.
bool SendEmailReport(TDeliveryContext& context);  // ESockets
bool SendWebReport(TDeliveryContext& context);    // EWebTools

// Registered with the flow by linking the delivery library.
class TDelivery final : public IDelivery {
 public:
  void BeginDelivery(const TTarvexModuleOptions& options, const std::string& reportText) override;
  bool SendEmail(const TTarvexModuleOptions& options, const std::string& reportText) override;
  bool SendWeb(const TTarvexModuleOptions& options, const std::string& reportText) override;
  void EndDelivery(const TTarvexModuleOptions& options, const std::string& reportText, bool success) override;

 private:
  TDeliveryContext Context;
  bool EmailArchiveReady = false;
};
