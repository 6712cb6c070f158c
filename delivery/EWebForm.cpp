// The form upload: the attachments and the custom web fields posted as one multipart form.
#include <cstdio>

#include "delivery/EWebTransfer.h"

namespace {

std::string FileNamePart(const std::string& name) {
  size_t slash = name.find_last_of('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::pair<std::string, std::string> SplitField(const std::string& line) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return {line, {}};
  return {line.substr(0, eq), line.substr(eq + 1)};
}

}  // namespace

std::string WebRequestUrl(const std::string& scheme, const std::string& host, uint16_t port, const std::string& path) {
  std::string url = scheme + "://" + host;
  if (port != 0) url += ":" + std::to_string(port);
  if (path.empty() || path.front() != '/') url += '/';
  return url + path;
}

int UploadHttp(const TUploadRequest& request, std::string& errorText) {
  errorText.clear();
  std::vector<std::pair<std::string, std::string>> fields;
  for (const std::string& line : request.Fields) fields.push_back(SplitField(line));
  std::vector<TMultipartFile> files;
  for (size_t i = 0; i < request.Files.size(); ++i) {
    std::string display = i < request.DisplayNames.size() ? request.DisplayNames[i] : FileNamePart(request.Files[i]);
    files.push_back({"tl_upload_file_" + std::to_string(i), display, request.Files[i]});
  }
  TBodySource body;
  std::string boundary = BuildMultipartBody(fields, files, true, body);
  const int64_t length = body.Size();
  auto progress = [&](int kind, int64_t done) {
    if (request.Progress) request.Progress(kind, length, done);
  };
  progress(0, 0);

  TWebSettings settings = WebSettings();
  TCurlEasy easy;
  easy.Configure(settings, request.Host, request.Proxy);
  THttpExchange x;
  x.Url = WebRequestUrl(request.Https ? "https" : "http", request.Host, request.Port, request.Path);
  x.Post = true;
  x.Body = &body;
  x.PieceSize = 1024;
  x.MaxResponseBytes = settings.MaxResponseBytes;
  x.IdleSeconds = settings.IdleTimeoutSeconds;
  x.Headers.push_back("Content-Type: multipart/form-data; boundary=" + boundary);
  if (!request.User.empty() || !request.Password.empty())
    x.Headers.push_back("Authorization: Basic " + WebBase64(request.User + ":" + request.Password));
  // Connected: libcurl calls the read callback first once the connection (and TLS) is up.
  bool connected = false;
  x.OnSent = [&](int64_t sent, int64_t total) {
    if (!connected) {
      connected = true;
      progress(1, 0);
    }
    progress(2, std::min(sent, total));
  };
  CURLcode rc = PerformHttp(easy, x);
  if (!connected && rc == CURLE_OK) progress(1, 0);
  if (rc != CURLE_OK) {
    bool sent = body.Sent() == length;
    // A status line that is no HTTP status line once the whole request went out.
    if (sent && x.Status == 0 && (rc == CURLE_UNSUPPORTED_PROTOCOL || rc == CURLE_WEIRD_SERVER_REPLY))
      return kUnparseableStatus;
    int code = WebErrorCode(easy.Failure(rc));
    errorText = WinInetErrorText(code);
    return code;
  }
  if (x.Status == 200) return 0;
  if (x.Status <= 0) return kUnparseableStatus;
  errorText = x.StatusText;
  return static_cast<int>(x.Status);
}
