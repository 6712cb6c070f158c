// The web delivery entry: one attempt by the configured web mode.
#include "delivery/EWebTools.h"

#include <algorithm>

#include "delivery/EWebTracker.h"

TSendProgress::TSendProgress(const TTarvexModuleOptions& options, bool show) : options_(options) {
  if (!show) return;
  if (std::shared_ptr<IExceptionUi> ui = ExceptionUi()) {
    ui->ShowSendDialog(options, !options.SendFlags().Contains(sfSendInThread));
    shown_ = open_ = options.SendFlags().Contains(sfShowSendProgress);
  }
}

TSendProgress::~TSendProgress() { Close(); }

void TSendProgress::Step(int textIndex) {
  if (!open_) return;
  if (std::shared_ptr<IExceptionUi> ui = ExceptionUi()) ui->SetSendDialogStep(options_.GetText(textIndex));
}

void TSendProgress::Position(int64_t percent) {
  int p = static_cast<int>(std::clamp<int64_t>(percent, 0, 100));
  if (p <= position_) return;  // the bar only rises
  position_ = p;
  if (!open_) return;
  if (std::shared_ptr<IExceptionUi> ui = ExceptionUi()) ui->SetSendDialogPosition(p);
}

void TSendProgress::Close() {
  if (!open_) return;
  open_ = false;
  if (std::shared_ptr<IExceptionUi> ui = ExceptionUi()) ui->CloseSendDialog();
}

namespace {

std::string FileNamePart(const std::string& name) {
  size_t slash = name.find_last_of('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

// The form and FTP uploads with their progress and their warning.
bool SendUpload(TDeliveryContext& context, TSendProgress& progress) {
  const TTarvexModuleOptions& o = *context.Options;
  TWebAddress address = ParseWebAddress(o.WebAddress());
  TUploadRequest request;
  request.Host = address.Host;
  request.Path = address.Path;
  request.Port = static_cast<uint16_t>(o.WebServerPort() & 0xFFFF);
  request.User = o.WebAuthUser();
  request.Password = o.WebAuthPassword();
  request.Https = o.WebMode() == wmHttps;
  if (!o.ProxyAddress().empty())
    request.Proxy = {o.ProxyAddress(), o.ProxyServerPort(), o.ProxyAuthUser(), o.ProxyAuthPassword()};
  request.Files = context.Attachments;
  for (const std::string& f : context.Attachments) request.DisplayNames.push_back(FileNamePart(f));
  int lastKind = -1;
  request.Progress = [&](int kind, int64_t total, int64_t done) {
    if (kind != lastKind) progress.Step(kind == 0 ? 114 : kind == 1 ? 115 : 116);
    lastKind = kind;
    if (kind == 2 && total > 0) progress.Position((done * 100 + total / 2) / total);
  };

  const bool ftp = o.WebMode() == wmFtp;
  const TTarvexLogErrorCode code = ftp ? eeWebFTPError : request.Https ? eeWebHTTPSError : eeWebHTTPError;
  const char* protocol = ftp ? "FTP" : request.Https ? "HTTPS" : "HTTP";
  if (!request.Https && (!request.User.empty() || !request.Password.empty()))
    ReportWarning(code, Format("%s: the user name and password are sent unencrypted.", {protocol}));
  int result;
  std::string errorText;
  if (ftp) {
    result = UploadFtp(request, errorText);
  } else {
    RaiseCustomWebFieldsRequest(request.Fields);
    result = UploadHttp(request, errorText);
  }
  progress.Close();
  if (result == 0) return true;
  ReportWarning(code, UploadResultText(protocol, result, errorText));
  return false;
}

}  // namespace

bool SendWebReport(TDeliveryContext& context) {
  const TTarvexModuleOptions& o = *context.Options;
  if (o.WebMode() == wmNone) return false;
  TSendProgress progress(o, true);
  try {
    switch (o.WebMode()) {
      case wmHttp:
      case wmHttps:
      case wmFtp:
        return SendUpload(context, progress);
      case wmBugzilla:
      case wmFogBugz:
      case wmMantis:
        return SendTrackerReport(context, progress);
      default:
        return false;
    }
  } catch (const std::exception& e) {
    progress.Close();
    ReportWarning(o.WebMode() >= wmBugzilla ? eeWebTrakerError : o.WebMode() == wmFtp ? eeWebFTPError : eeWebHTTPError,
                  e.what());
    return false;
  }
}
