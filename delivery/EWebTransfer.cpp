#include "delivery/EWebTransfer.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

namespace {

std::once_flag gCurlInit;

// The "<local>" bypass entry: a name without dots (and not an IPv6 literal) is a local name.
bool LocalName(const std::string& host) {
  return host.find('.') == std::string::npos && host.find(':') == std::string::npos;
}

std::string PartHeader(const std::string& boundary, const std::string& name) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + MultipartQuotedName(name) + "\"";
}

void FillMultipart(const std::string& boundary, const std::vector<std::pair<std::string, std::string>>& fields,
                   const std::vector<TMultipartFile>& files, bool skipMissing, TBodySource& body) {
  body.Clear();
  for (const auto& [name, value] : fields) body.AddText(PartHeader(boundary, name) + ";\r\n\r\n" + value + "\r\n");
  for (const TMultipartFile& f : files) {
    int64_t size = WebFileSize(f.Path);
    if (size < 0 && skipMissing) continue;
    std::string fileName = size < 0 ? std::string() : MultipartQuotedName(f.FileName);
    body.AddText(PartHeader(boundary, f.Name) + "; filename=\"" + fileName +
                 "\";\r\nContent-Type: application/octet-stream\r\n\r\n");
    if (size > 0) body.AddFile(f.Path, size);
    body.AddText("\r\n");
  }
  body.AddText("--" + boundary + "--\r\n");
}

size_t ReadBody(char* buffer, size_t size, size_t count, void* user) {
  auto& x = *static_cast<THttpExchange*>(user);
  long n = x.Body->Read(buffer, std::min(size * count, x.PieceSize));
  if (n < 0) return CURL_READFUNC_ABORT;
  if (n > 0 && x.OnSent) x.OnSent(x.Body->Sent(), x.Body->Size());
  return static_cast<size_t>(n);
}

size_t HeaderLine(char* data, size_t size, size_t count, void* user) {
  auto& x = *static_cast<THttpExchange*>(user);
  std::string_view line(data, size * count);
  if (line.substr(0, 5) == "HTTP/") {  // a new answer (after a 100 Continue, say)
    x.RawHeaders.clear();
    std::string_view rest = line;
    size_t sp = rest.find(' ');
    rest = sp == std::string_view::npos ? std::string_view() : rest.substr(sp + 1);
    sp = rest.find(' ');
    rest = sp == std::string_view::npos ? std::string_view() : rest.substr(sp + 1);
    while (!rest.empty() && (rest.back() == '\r' || rest.back() == '\n')) rest.remove_suffix(1);
    x.StatusText = std::string(rest);
  }
  x.RawHeaders.append(line);
  return size * count;
}

size_t BodyPiece(char* data, size_t size, size_t count, void* user) {
  auto& x = *static_cast<THttpExchange*>(user);
  size_t n = size * count;
  if (x.ResponseBody.size() + n > x.MaxResponseBytes) {
    x.TooLarge = true;
    return CURL_WRITEFUNC_ERROR;
  }
  x.ResponseBody.append(data, n);
  return n;
}

}  // namespace

namespace {
int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

TIdleWatch::TIdleWatch(int seconds) : limitMs_(int64_t{seconds} * 1000), lastMs_(NowMs()) {}

bool TIdleWatch::Alive(int64_t received, int64_t sent) {
  // The user closed the progress window: the transfer ends as a time-out does.
  if (const std::shared_ptr<IExceptionUi> ui = ExceptionUi(); ui && ui->SendDialogCancelled()) return false;
  int64_t now = NowMs();
  if (received != received_ || sent != sent_) {
    received_ = received;
    sent_ = sent;
    lastMs_ = now;
    return true;
  }
  return limitMs_ <= 0 || now - lastMs_ <= limitMs_;
}

TBodySource::~TBodySource() { CloseFile(); }

void TBodySource::CloseFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TBodySource::Clear() {
  CloseFile();
  segments_.clear();
  index_ = 0;
  offset_ = sent_ = size_ = 0;
}

void TBodySource::AddText(std::string text) {
  size_ += static_cast<int64_t>(text.size());
  if (!segments_.empty() && !segments_.back().File) {
    segments_.back().Text += text;
    segments_.back().Size = static_cast<int64_t>(segments_.back().Text.size());
    return;
  }
  TSegment s;
  s.Size = static_cast<int64_t>(text.size());
  s.Text = std::move(text);
  segments_.push_back(std::move(s));
}

void TBodySource::AddFile(const std::string& path, int64_t size) {
  TSegment s;
  s.Path = path;
  s.Size = size;
  s.File = true;
  size_ += size;
  segments_.push_back(std::move(s));
}

long TBodySource::Read(char* buffer, size_t max) {
  while (index_ < segments_.size() && offset_ >= segments_[index_].Size) {
    CloseFile();
    ++index_;
    offset_ = 0;
  }
  if (index_ >= segments_.size() || max == 0) return 0;
  const TSegment& s = segments_[index_];
  size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(max), s.Size - offset_));
  if (!s.File) {
    memcpy(buffer, s.Text.data() + offset_, want);
  } else {
    if (fd_ < 0) {
      fd_ = ::open(s.Path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd_ < 0 || ::lseek(fd_, offset_, SEEK_SET) != offset_) return -1;
    }
    ssize_t n;
    do n = ::read(fd_, buffer, want);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return -1;  // the file shrank or went away while it was sent
    want = static_cast<size_t>(n);
  }
  offset_ += static_cast<int64_t>(want);
  sent_ += static_cast<int64_t>(want);
  return static_cast<long>(want);
}

bool TBodySource::Contains(std::string_view needle) const {
  if (needle.empty()) return true;
  std::string carry;  // the tail of what came before, so matches across borders are seen
  std::vector<char> buffer(1 << 16);
  auto scan = [&](std::string_view piece) {
    std::string window = carry;
    window.append(piece);
    if (window.find(needle) != std::string::npos) return true;
    size_t keep = std::min(window.size(), needle.size() - 1);
    carry = window.substr(window.size() - keep);
    return false;
  };
  for (const TSegment& s : segments_) {
    if (!s.File) {
      if (scan(s.Text)) return true;
      continue;
    }
    int fd = ::open(s.Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ssize_t n;
    bool found = false;
    while (!found && (n = ::read(fd, buffer.data(), buffer.size())) > 0)
      found = scan(std::string_view(buffer.data(), static_cast<size_t>(n)));
    ::close(fd);
    if (found) return true;
  }
  return false;
}

int64_t WebFileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

std::string BuildMultipartBody(const std::vector<std::pair<std::string, std::string>>& fields,
                               const std::vector<TMultipartFile>& files, bool skipMissing, TBodySource& body) {
  for (;;) {
    std::string boundary = NewMultipartBoundary();
    FillMultipart(boundary, fields, files, skipMissing, body);
    // The boundary occurs once per part by construction; a further occurrence is content.
    TBodySource probe;
    for (const auto& [name, value] : fields) probe.AddText(name + "\n" + value + "\n");
    for (const TMultipartFile& f : files) {
      probe.AddText(f.Name + "\n" + f.FileName + "\n");
      int64_t size = WebFileSize(f.Path);
      if (size > 0) probe.AddFile(f.Path, size);
      probe.AddText("\n");
    }
    if (!probe.Contains(boundary)) return boundary;
  }
}

TCurlEasy::TCurlEasy() {
  std::call_once(gCurlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  easy_ = curl_easy_init();
  if (!easy_) throw EWebError("Cannot create an HTTP connection.");
}

TCurlEasy::~TCurlEasy() { curl_easy_cleanup(easy_); }

void TCurlEasy::Configure(const TWebSettings& settings, const std::string& host, const TProxyRecord& proxy) {
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_USERAGENT, "TarvexLog");
  curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https,ftp");
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, static_cast<long>(settings.ConnectTimeoutSeconds));
  curl_easy_setopt(easy_, CURLOPT_TIMEOUT, static_cast<long>(settings.TotalTimeoutSeconds));
  // Certificates are always checked; a tracker with its own authority names its CA file.
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!settings.CaFile.empty()) curl_easy_setopt(easy_, CURLOPT_CAINFO, settings.CaFile.c_str());
  viaProxy_ = !proxy.Server.empty() && !LocalName(host);
  if (viaProxy_) {
    std::string address = proxy.Server + ":" + std::to_string(proxy.Port);
    curl_easy_setopt(easy_, CURLOPT_PROXY, address.c_str());
    curl_easy_setopt(easy_, CURLOPT_NOPROXY, "");
    curl_easy_setopt(easy_, CURLOPT_PROXYUSERNAME, proxy.UserName.c_str());
    curl_easy_setopt(easy_, CURLOPT_PROXYPASSWORD, proxy.Password.c_str());
  } else {
    curl_easy_setopt(easy_, CURLOPT_PROXY, "");  // direct, whatever the environment says
  }
}

TTransferFailure TCurlEasy::Failure(CURLcode code) const {
  TTransferFailure f;
  f.CurlCode = code;
  f.ViaProxy = viaProxy_;
  curl_easy_getinfo(easy_, CURLINFO_SSL_VERIFYRESULT, &f.SslVerifyResult);
  return f;
}

std::string THttpExchange::Header(std::string_view name) const {
  size_t at = 0;
  while (at < RawHeaders.size()) {
    size_t eol = RawHeaders.find('\n', at);
    if (eol == std::string::npos) eol = RawHeaders.size();
    std::string_view line(RawHeaders.data() + at, eol - at);
    at = eol + 1;
    size_t colon = line.find(':');
    if (colon != name.size() || strncasecmp(line.data(), name.data(), name.size()) != 0) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && static_cast<unsigned char>(value.back()) <= ' ') value.remove_suffix(1);
    return std::string(value);
  }
  return {};
}

CURLcode PerformHttp(TCurlEasy& easy, THttpExchange& x) {
  CURL* h = easy.Handle();
  x.Status = 0;
  x.StatusText.clear();
  x.RawHeaders.clear();
  x.ResponseBody.clear();
  x.TooLarge = false;
  curl_slist* headers = nullptr;
  for (const std::string& line : x.Headers) headers = curl_slist_append(headers, line.c_str());
  // Nothing but the designed headers and what every client adds.
  headers = curl_slist_append(headers, "Accept:");
  headers = curl_slist_append(headers, "Expect:");
  curl_easy_setopt(h, CURLOPT_URL, x.Url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, HeaderLine);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &x);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, BodyPiece);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &x);
  if (x.Post) {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, ReadBody);
    curl_easy_setopt(h, CURLOPT_READDATA, &x);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(x.Body ? x.Body->Size() : 0));
  } else {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  }
  struct TWatch {
    THttpExchange* Exchange;
    TIdleWatch Idle;
  } watch{&x, TIdleWatch(x.IdleSeconds)};
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION,
                   +[](void* user, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t, curl_off_t ulNow) -> int {
                     auto& w = *static_cast<TWatch*>(user);
                     if (dlNow > 0 && w.Exchange->OnReceived) w.Exchange->OnReceived(dlNow, dlTotal);
                     return w.Idle.Alive(dlNow, ulNow) ? 0 : 1;
                   });
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &watch);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  CURLcode rc = curl_easy_perform(h);
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &x.Status);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(headers);
  return rc;
}
