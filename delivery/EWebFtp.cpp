// The FTP upload: one STOR per attachment, in passive mode, on one control connection.
#include "delivery/EWebTransfer.h"

namespace {

struct TFtpTransfer {
  TBodySource Body;
  int64_t Before = 0;  // bytes of earlier files
  int64_t Total = 0;
  const TUploadRequest* Request = nullptr;
  bool Connected = false;
  std::string LastReply;   // the server's last complete reply, for the error text
  std::string ReplyLines;  // the reply being read
};

size_t ReadPiece(char* buffer, size_t size, size_t count, void* user) {
  auto& t = *static_cast<TFtpTransfer*>(user);
  if (!t.Connected) {  // logged in, the data connection is open
    t.Connected = true;
    if (t.Request->Progress) t.Request->Progress(1, t.Total, t.Before);
  }
  long n = t.Body.Read(buffer, std::min<size_t>(size * count, 1024));
  if (n < 0) return CURL_READFUNC_ABORT;
  if (n > 0 && t.Request->Progress) t.Request->Progress(2, t.Total, t.Before + t.Body.Sent());
  return static_cast<size_t>(n);
}

int Trace(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  if (type != CURLINFO_HEADER_IN) return 0;
  auto& t = *static_cast<TFtpTransfer*>(user);
  t.ReplyLines.append(data, size);
  // "ddd " ends a reply; "ddd-" lines continue it.
  size_t start = t.ReplyLines.rfind('\n', t.ReplyLines.size() >= 2 ? t.ReplyLines.size() - 2 : 0);
  start = start == std::string::npos ? 0 : start + 1;
  std::string_view last(t.ReplyLines.data() + start, t.ReplyLines.size() - start);
  if (last.size() >= 4 && last[3] == ' ') {
    std::string reply = t.ReplyLines;
    while (!reply.empty() && (reply.back() == '\r' || reply.back() == '\n')) reply.pop_back();
    t.LastReply = reply;
    t.ReplyLines.clear();
  }
  return 0;
}

std::string FileNamePart(const std::string& name) {
  size_t slash = name.find_last_of('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace

int UploadFtp(const TUploadRequest& request, std::string& errorText) {
  errorText.clear();
  if (request.Files.empty()) return 0;
  TFtpTransfer t;
  t.Request = &request;
  for (const std::string& f : request.Files) t.Total += std::max<int64_t>(WebFileSize(f), 0);
  if (request.Progress) request.Progress(0, t.Total, 0);

  TCurlEasy easy;
  easy.Configure(WebSettings(), request.Host, request.Proxy);
  CURL* h = easy.Handle();
  // Through an HTTP proxy the control connection is tunnelled, so it stays FTP.
  if (easy.ViaProxy()) curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, 1L);
  curl_easy_setopt(h, CURLOPT_USERNAME, request.User.c_str());
  curl_easy_setopt(h, CURLOPT_PASSWORD, request.Password.c_str());
  curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(h, CURLOPT_FTP_USE_EPSV, 1L);  // EPSV, then PASV
  curl_easy_setopt(h, CURLOPT_FTP_CREATE_MISSING_DIRS, static_cast<long>(CURLFTP_CREATE_DIR_NONE));
  curl_easy_setopt(h, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
  curl_easy_setopt(h, CURLOPT_READFUNCTION, ReadPiece);
  curl_easy_setopt(h, CURLOPT_READDATA, &t);
  curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, Trace);
  curl_easy_setopt(h, CURLOPT_DEBUGDATA, &t);
  curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
  const int idleSeconds = WebSettings().IdleTimeoutSeconds;
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION,
                   +[](void* user, curl_off_t, curl_off_t dlNow, curl_off_t, curl_off_t ulNow) -> int {
                     return static_cast<TIdleWatch*>(user)->Alive(dlNow, ulNow) ? 0 : 1;
                   });

  std::string folder = request.Path;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  for (size_t i = 0; i < request.Files.size(); ++i) {
    int64_t size = WebFileSize(request.Files[i]);
    if (size < 0) continue;
    std::string display = i < request.DisplayNames.size() ? request.DisplayNames[i] : request.Files[i];
    std::string remote = folder + FileNamePart(display);
    // The remote name is one path, sent as it is in STOR: no folders are walked or made.
    char* escaped = curl_easy_escape(h, remote.c_str(), static_cast<int>(remote.size()));
    std::string url = WebRequestUrl("ftp", request.Host, request.Port, escaped ? escaped : "");
    curl_free(escaped);
    t.Body.Clear();
    t.Body.AddFile(request.Files[i], size);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    TIdleWatch idle(idleSeconds);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &idle);
    CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) {
      int code = WebErrorCode(easy.Failure(rc));
      errorText = code == 12003 && !t.LastReply.empty() ? t.LastReply : WinInetErrorText(code);
      return code;
    }
    t.Before += size;
  }
  return 0;
}
