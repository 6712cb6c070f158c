// Tracker delivery: the report's values, the sender of the web mode, the progress window and
// the result.
#include <strings.h>

#include <algorithm>
#include <cmath>

#include "delivery/EWebTracker.h"
#include "reporting/options/ETextVars.h"
#include "reporting/report/EReport.h"
#include "reporting/report/EReportSnapshot.h"

void THTTPConnection::NotifyStatus(int status, int value) {
  static constexpr int kStepText[] = {114, 115, 113, 118, 119, 120, 116, 117, 121, 122};
  if (status < 0 || status > 9) return;
  if (status != lastStep_) progress_.Step(kStepText[status]);
  lastStep_ = status;
  switch (status) {
    case 0:
      progress_.Position(5);
      break;
    case 6:
      progress_.Position(std::lround(std::clamp(value, 0, 100) * 65 / 100.0) + 35);
      break;
    case 7:
    case 8:
    case 9:
      progress_.Position(100);
      break;
    default:
      progress_.Position(progress_.Current() + 5);
      break;
  }
}

THTTPSendReport::THTTPSendReport()
    : factory_([](const TTrackerEndpoint& e) { return std::make_unique<THTTPConnectionBase>(e); }) {}

int THTTPSendReport::SendReport(const TTrackerReport& report, THTTPResponse& response) {
  std::unique_ptr<THTTPConnectionBase> connection = factory_(report.Endpoint);
  connection->Connect();
  int result = trUnknownError;
  try {
    result = Converse(*connection, report, response);
  } catch (...) {
    connection->Disconnect();
    throw;
  }
  connection->Disconnect();
  return result;
}

int TrackerResultText(int result) {
  static constexpr int kTexts[] = {-1, 146, 147, 148, 150, 149, 151, 152};
  return result >= 0 && result <= 7 ? kTexts[result] : 147;
}

std::string ComposeTrackerAddress(const std::string& address, uint32_t port) {
  return port != 0 ? address + ":" + std::to_string(port) : address;
}

std::string TrackerFixedValue(const TTrackerReport& report, const std::string& name) {
  const std::vector<std::string>& lines = report.CustomFields;
  for (size_t i = lines.size() > 4 ? lines.size() - 4 : 0; i < lines.size(); ++i)
    if (lines[i].compare(0, name.size() + 1, name + "=") == 0) return lines[i].substr(name.size() + 1);
  return {};
}

std::string TrackerReportText(const TTrackerReport& report) {
  std::string reproduce = TrackerFixedValue(report, "TL_ReproduceText");
  return reproduce.empty() ? report.Message : report.Message + "\r\n\r\n---\r\n\r\n" + reproduce;
}

TTrackerReport TrackerReportValues(const TDeliveryContext& context) {
  const TTarvexModuleOptions& o = *context.Options;
  TTrackerReport r;
  std::string osType, osBuild;
  if (const TBugReport* report = CurrentBugReport()) {
    r.Version = report->MainModuleVersion;
    r.ExceptionClass = report->Type;
    r.Message = report->Message;
    r.Identifier = report->Identifier;
  }
  if (const IReportSnapshot* snapshot = CurrentReportSnapshot()) {
    TSystemValues system = snapshot->System();
    osType = system.OsType;
    osBuild = system.OsBuild;
  }
  if (r.ExceptionClass.empty()) r.ExceptionClass = "Unknown exception type";
  if (r.Message.empty() || r.Message.back() != '.') r.Message += '.';
  RaiseCustomWebFieldsRequest(r.CustomFields);
  r.CustomFields.push_back("FogBugzTrialID=" + o.TrackerTrialCode());
  r.CustomFields.push_back("TL_OSType=" + osType);
  r.CustomFields.push_back("TL_OSBuild=" + osBuild);
  r.CustomFields.push_back("TL_ReproduceText=" + o.ReproduceText());
  r.AttachedFile = context.Attachments.empty() ? std::string() : context.Attachments.front();
  r.Assignee = ExpandTextVariables(o.TrackerAssignee());
  r.Category = ExpandTextVariables(o.TrackerCategoryName());
  r.Project = ExpandTextVariables(o.TrackerProjectName());
  r.User = o.TrackerAuthUser();
  r.Password = o.TrackerAuthPassword();
  r.Endpoint.WebAddress = ComposeTrackerAddress(o.WebAddress(), o.WebServerPort());
  r.Endpoint.WebUser = o.WebAuthUser();
  r.Endpoint.WebPassword = o.WebAuthPassword();
  r.Endpoint.ProxyAddress = ComposeTrackerAddress(o.ProxyAddress(), o.ProxyServerPort());
  r.Endpoint.ProxyUser = o.ProxyAuthUser();
  r.Endpoint.ProxyPassword = o.ProxyAuthPassword();
  return r;
}

bool SendTrackerReport(TDeliveryContext& context, TSendProgress& progress) {
  const TTarvexModuleOptions& o = *context.Options;
  TTrackerReport report = TrackerReportValues(context);
  std::unique_ptr<THTTPSendReport> sender;
  switch (o.WebMode()) {
    case wmBugzilla:
      sender = std::make_unique<THTTPBugzillaSendReport>();
      break;
    case wmFogBugz:
      sender = std::make_unique<THTTPFogBugzSendReport>();
      break;
    default:
      sender = std::make_unique<THTTPMantisSendReport>();
      break;
  }
  sender->SetConnectionClass(
      [&progress](const TTrackerEndpoint& e) { return std::make_unique<THTTPConnection>(e, progress); });
  if (strcasecmp(ParseWebAddress(report.Endpoint.WebAddress).Scheme.c_str(), "https") != 0 &&
      (!report.Endpoint.WebUser.empty() || !report.Endpoint.WebPassword.empty() || !report.Password.empty()))
    ReportWarning(eeWebTrakerError, "Tracker: the user name and password are sent unencrypted.");
  THTTPResponse response;
  int result = sender->SendReport(report, response);
  const bool shown = progress.Shown();
  progress.Close();
  if (result == trBugClosed && shown) {
    if (std::shared_ptr<IExceptionUi> ui = ExceptionUi()) ui->ShowMessageBox(o.GetText(0), o.GetText(146), IExceptionUi::mbInformation);
    context.TrackerSaidClosed = true;
  }
  if (result == trDelivered || result == trBugClosed) return true;
  ReportWarning(eeWebTrakerError, o.GetText(TrackerResultText(result)) + "\r\n\r\n" +
                                      Format("Error Code: %d\r\nError Message: \"%s\"",
                                             {response.ErrorCode, response.ErrorText}));
  return false;
}
