// A tracker connection: one libcurl handle with its own cookies, the requests of the
// conversation and the redirects, which are followed here and not by libcurl.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cmath>

#include "delivery/EWebTracker.h"
#include "delivery/EWebTransfer.h"

namespace {

constexpr int kMaxRedirects = 10;

void SplitRequestPath(const std::string& path, std::string& dir, std::string& page, std::string& query) {
  size_t q = path.find('?');
  std::string plain = path.substr(0, q);
  query = q == std::string::npos ? std::string() : path.substr(q);
  size_t slash = plain.find_last_of('/');
  dir = slash == std::string::npos ? std::string() : plain.substr(0, slash + 1);
  page = slash == std::string::npos ? plain : plain.substr(slash + 1);
}

int Rounded(double v) { return static_cast<int>(std::lround(v)); }

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

// ---- THTTPResponse ----

void THTTPResponse::Assign(const THTTPResponse* source) {
  if (!source) throw EHTTPTrackerError("Cannot assign a THTTPResponse class to a NIL value.");
  StatusCode = source->StatusCode;
  StatusText = source->StatusText;
  RawHeaders = source->RawHeaders;
  Body = source->Body;
  PageName = source->PageName;
  ErrorCode = source->ErrorCode;
  ErrorText = source->ErrorText;
}

void THTTPResponse::Clear() {
  StatusCode = 0;
  StatusText.clear();
  RawHeaders.clear();
  Body.clear();
  PageName.clear();
  ErrorCode = 0;
  ErrorText.clear();
}

// ---- THTTPConnectionBase ----

THTTPConnectionBase::THTTPConnectionBase(const TTrackerEndpoint& endpoint) {
  TWebAddress web = ParseWebAddress(endpoint.WebAddress);
  host_ = web.Host;
  user_ = endpoint.WebUser.empty() && endpoint.WebPassword.empty() ? web.User : endpoint.WebUser;
  password_ = endpoint.WebUser.empty() && endpoint.WebPassword.empty() ? web.Password : endpoint.WebPassword;
  https_ = strcasecmp(web.Scheme.c_str(), "https") == 0;
  port_ = static_cast<uint16_t>(web.Port != 0 ? web.Port : https_ ? 443 : 80);
  basePath_ = web.Path.substr(0, web.Path.find('?'));
  if (basePath_.empty() || basePath_.back() != '/') basePath_ += '/';
  if (!endpoint.ProxyAddress.empty() && endpoint.ProxyAddress.front() != ':') {
    TWebAddress proxy = ParseWebAddress(endpoint.ProxyAddress);
    proxy_.Server = proxy.Host;
    proxy_.Port = static_cast<uint16_t>(proxy.Port != 0 ? proxy.Port : 8080);
    proxy_.UserName = endpoint.ProxyUser.empty() && endpoint.ProxyPassword.empty() ? proxy.User : endpoint.ProxyUser;
    proxy_.Password =
        endpoint.ProxyUser.empty() && endpoint.ProxyPassword.empty() ? proxy.Password : endpoint.ProxyPassword;
    useProxy_ = true;
  }
}

THTTPConnectionBase::~THTTPConnectionBase() = default;

void THTTPConnectionBase::NotifyStatus(int, int) {}

void THTTPConnectionBase::Connect() {
  NotifyStatus(0, 0);
  try {
    easy_ = std::make_unique<TCurlEasy>();
  } catch (const std::exception&) {
    throw EHTTPTrackerError("Cannot create an HTTP connection with the host: %s", {host_});
  }
  easy_->Configure(WebSettings(), host_, useProxy_ ? proxy_ : TProxyRecord{});
  // The cookies live in memory for this connection only: the tracker's login.
  curl_easy_setopt(easy_->Handle(), CURLOPT_COOKIEFILE, "");
  curl_easy_setopt(easy_->Handle(), CURLOPT_PROTOCOLS_STR, "http,https");
  NotifyStatus(1, 0);
}

void THTTPConnectionBase::Disconnect() {
  NotifyStatus(8, 0);
  easy_.reset();
  NotifyStatus(9, 0);
}

void THTTPConnectionBase::SetRequest(const std::string& page, THTTPRequestMethod method) {
  requestPath_ = basePath_ + page;
  method_ = method;
  fields_.clear();
  files_.clear();
}

void THTTPConnectionBase::AddField(const std::string& name, const std::string& value) { fields_.emplace_back(name, value); }

void THTTPConnectionBase::AddFile(const std::string& name, const std::string& path) { files_.emplace_back(name, path); }

void THTTPConnectionBase::CopyInputField(const std::string& name) {
  if (std::optional<std::string> v = InputFieldValue(last_.Body, name)) AddField(name, *v);
}

void THTTPConnectionBase::CopyTextAreaField(const std::string& name) {
  if (std::optional<std::string> v = TextAreaValue(last_.Body, name)) AddField(name, *v);
}

void THTTPConnectionBase::CopySelectField(const std::string& name) {
  std::optional<std::string> v = SelectedOptionValue(last_.Body, name);
  if (v) AddField(name, *v);
  else CopyInputField(name);
}

void THTTPConnectionBase::CopySelectFieldIfSet(const std::string& name) {
  std::optional<std::string> v = SelectedOptionValue(last_.Body, name);
  if (!v) CopyInputField(name);
  else if (!v->empty()) AddField(name, *v);
}

void THTTPConnectionBase::SelectOptionByText(const std::string& name, const std::string& text) {
  if (std::optional<std::string> v = OptionValueByText(last_.Body, name, text)) AddField(name, *v);
}

void THTTPConnectionBase::AddCustomFields(const std::vector<std::string>& lines) {
  size_t count = lines.size() > 4 ? lines.size() - 4 : 0;
  for (size_t i = 0; i < count; ++i) {
    size_t eq = lines[i].find('=');
    std::string name = lines[i].substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : lines[i].substr(eq + 1);
    std::erase_if(fields_, [&](const auto& f) { return f.first == name; });
    AddField(name, value);
  }
}

void THTTPConnectionBase::AddSummaryField(const std::string& name, const std::string& version,
                                          const std::string& className, const std::string& identifier) {
  AddField(name, Format("[v%s - 1]: %s (%s)", {version, className, identifier}));
}

void THTTPConnectionBase::AddSearchField(const std::string& name, const std::string& className,
                                         const std::string& identifier) {
  AddField(name, Format("%s (%s)", {className, identifier}));
}

bool THTTPConnectionBase::IncrementSummaryCounter(const std::string& name) {
  std::string value = InputFieldValue(last_.Body, name).value_or("");
  size_t dash = value.find(" - ");
  if (dash != std::string::npos) {
    size_t start = dash + 3;
    size_t end = value.find(']', start);
    std::string counter = value.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (AllDigits(counter)) {
      // Long digit runs are 9999 or more as well.
      long n = counter.size() > 6 ? 9999 : std::stol(counter);
      if (n >= 9999) return false;
      value = value.substr(0, start) + std::to_string(n + 1) + (end == std::string::npos ? "" : value.substr(end));
    }
  }
  AddField(name, value);
  return true;
}

bool THTTPConnectionBase::CheckResponse(const std::string& page, const std::string& must,
                                        const std::string& mustNot) const {
  return (page.empty() || strcasecmp(page.c_str(), last_.PageName.c_str()) == 0) &&
         (must.empty() || last_.Body.find(must) != std::string::npos) &&
         (mustNot.empty() || last_.Body.find(mustNot) == std::string::npos);
}

bool THTTPConnectionBase::Redirect(const std::string& location, THTTPResponse& response) {
  std::string path = location;
  size_t sep = path.find("://");
  if (sep != std::string::npos) {
    // Only to the same server: same scheme, host and port.
    CURLU* u = curl_url();
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    char* rest = nullptr;
    bool parsed = curl_url_set(u, CURLUPART_URL, location.c_str(), 0) == CURLUE_OK &&
                  curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                  curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
                  curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK &&
                  curl_url_get(u, CURLUPART_PATH, &rest, 0) == CURLUE_OK;
    int code = 0;
    if (!parsed) {
      code = 12005;
    } else if (https_ != (strcasecmp(scheme, "https") == 0)) {
      code = https_ ? 12040 : 12039;
    } else if (strcasecmp(host, host_.c_str()) != 0 || std::atoi(port) != port_) {
      code = 12160;
    } else {
      path = rest;
      char* query = nullptr;
      if (curl_url_get(u, CURLUPART_QUERY, &query, 0) == CURLUE_OK && query) path += std::string("?") + query;
      curl_free(query);
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_free(rest);
    curl_url_cleanup(u);
    if (code != 0) {
      response.ErrorCode = code;
      response.ErrorText = WinInetErrorText(code);
      return false;
    }
  }
  method_ = rmGet;
  fields_.clear();
  files_.clear();
  std::string dir, page, query, newDir, newPage, newQuery;
  SplitRequestPath(requestPath_, dir, page, query);
  SplitRequestPath(path, newDir, newPage, newQuery);
  if (!newDir.empty()) dir = newDir;
  requestPath_ = dir + newPage + newQuery;
  response.PageName = newPage;
  return true;
}

bool THTTPConnectionBase::Execute(THTTPResponse& response, bool reportProgress) {
  response.Clear();
  if (!easy_) return false;
  TWebSettings settings = WebSettings();
  for (int redirects = 0;; ++redirects) {
    std::string dir, page, query;
    SplitRequestPath(requestPath_, dir, page, query);
    THttpExchange x;
    TBodySource body;
    x.MaxResponseBytes = settings.MaxResponseBytes;
    x.IdleSeconds = settings.IdleTimeoutSeconds;
    x.PieceSize = 4096;
    if (method_ == rmGet) {
      for (const auto& [name, value] : fields_)
        query += (query.empty() ? "?" : "&") + WebUrlEncode(name) + "=" + WebUrlEncode(value);
    } else if (method_ == rmPostForm) {
      std::string text;
      for (const auto& [name, value] : fields_) text += (text.empty() ? "" : "&") + name + "=" + WebUrlEncode(value);
      body.AddText(std::move(text));
      x.Headers.push_back("Content-Type: application/x-www-form-urlencoded");
    } else {
      std::vector<TMultipartFile> files;
      for (const auto& [name, path] : files_) {
        size_t slash = path.find_last_of('/');
        files.push_back({name, slash == std::string::npos ? path : path.substr(slash + 1), path});
      }
      std::string boundary = BuildMultipartBody(fields_, files, false, body);
      x.Headers.push_back("Content-Type: multipart/form-data; boundary=" + boundary);
    }
    if (!user_.empty() || !password_.empty())
      x.Headers.push_back("Authorization: Basic " + WebBase64(user_ + ":" + password_));
    x.Url = WebRequestUrl(https_ ? "https" : "http", host_, port_, dir + page + query);
    x.Post = method_ != rmGet;
    x.Body = &body;
    if (reportProgress) {
      x.OnSent = [this](int64_t sent, int64_t total) {
        NotifyStatus(6, std::min(50, total > 0 ? Rounded(100.0 * static_cast<double>(sent) / static_cast<double>(total)) : 50));
      };
      x.OnReceived = [this](int64_t received, int64_t length) {
        double l = length > 0 ? static_cast<double>(length) : 1.0;
        NotifyStatus(6, std::min(100, Rounded(static_cast<double>(received) * 50.0 / l + 50.0)));
      };
    }
    CURLcode rc = PerformHttp(*easy_, x);
    if (rc != CURLE_OK) {
      int code = x.TooLarge ? 12004 : WebErrorCode(easy_->Failure(rc));
      response.ErrorCode = code;
      response.ErrorText = WinInetErrorText(code);
      return false;
    }
    if (reportProgress) NotifyStatus(6, 50);
    response.StatusCode = static_cast<int32_t>(x.Status);
    response.StatusText = x.StatusText;
    response.RawHeaders = x.RawHeaders;
    response.Body = std::move(x.ResponseBody);
    response.PageName = page;

    std::string location;
    std::string refresh = x.Status == 200 ? x.Header("Refresh") : std::string();
    if (!refresh.empty()) {
      size_t url = refresh.find("url=");
      if (url == std::string::npos) url = refresh.find("URL=");
      location = url == std::string::npos ? refresh : refresh.substr(url + 4);
      while (!location.empty() && static_cast<unsigned char>(location.back()) <= ' ') location.pop_back();
      while (!location.empty() && static_cast<unsigned char>(location.front()) <= ' ') location.erase(0, 1);
      response.StatusCode = 302;
    } else if (x.Status == 301 || x.Status == 302 || x.Status == 303) {
      location = x.Header("Location");
    }
    if (response.StatusCode == 301 || response.StatusCode == 302 || response.StatusCode == 303) {
      if (!Redirect(location, response)) return false;
      if (response.StatusCode == 302 && redirects < kMaxRedirects) continue;
    }
    break;
  }
  if (reportProgress) NotifyStatus(7, 0);
  for (char& c : response.Body)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  last_.Assign(&response);
  return true;
}
