// The transport's HTTP client on libcurl.
//
// One easy handle inside one multi handle stands for the "connected" state: the multi handle's
// connection cache keeps the server connection between requests, and destroying the object
// drops it. The multi interface is driven by our own loop so that the send and receive
// time-outs can be idle limits in milliseconds (the time the transfer may go without moving a
// byte), which the easy interface cannot express.
//
// A plain http request on a direct connection, without credentials or a send hook, does not
// go through that machinery: libcurl's per-request work (options, header handling, several
// polls per call) costs more than the round trip itself. Such a request is written and its
// answer read by HTTPWireConnection on a kept connection that libcurl opened with
// CURLOPT_CONNECT_ONLY, with the same bytes, idle limits, retry of a connection the server
// closed, and error texts as through libcurl.
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <chrono>
#include <exception>

#include "runtime/Strings.h"
#include "soap/HTTPConnection.h"
#include "soap/HTTPWire.h"
#include "soap/HTTPWireConnection.h"

namespace {

using Clock = std::chrono::steady_clock;

void GlobalInit() {
  static const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (rc != CURLE_OK) throw EHTTPClientError(curl_easy_strerror(rc));
}

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> items;
  std::string item;
  for (char c : list + ";") {
    if (c == ';' || c == ' ' || c == '\t' || c == ',') {
      if (!item.empty()) items.push_back(item);
      item.clear();
    } else {
      item += c;
    }
  }
  return items;
}

bool WildcardMatch(std::string_view pattern, std::string_view text) {
  size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
  auto same = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  };
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], text[t]))) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

class CurlURL {
 public:
  CurlURL() : h_(curl_url()) {
    if (!h_) throw std::bad_alloc();
  }
  ~CurlURL() { curl_url_cleanup(h_); }
  CurlURL(const CurlURL&) = delete;
  CurlURL& operator=(const CurlURL&) = delete;

  CURLU* Handle() const { return h_; }
  bool Parse(const std::string& url) { return curl_url_set(h_, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK; }
  bool Clear(CURLUPart part) { return curl_url_set(h_, part, nullptr, 0) == CURLUE_OK; }
  bool Get(CURLUPart part, std::string& out, unsigned flags = 0) {
    char* s = nullptr;
    if (curl_url_get(h_, part, &s, flags) != CURLUE_OK) return false;
    out = s;
    curl_free(s);
    return true;
  }

 private:
  CURLU* h_;
};

// The state of one transfer, shared with the callbacks.
struct Transfer {
  Transfer(const THTTPRequest& r, THTTPExchange& e) : request(r), exchange(e) {}

  const THTTPRequest& request;
  THTTPExchange& exchange;
  std::exception_ptr error;  // raised by the exchange; rethrown after the transfer
  THTTPResponseHead head;
  bool started = false;       // connection ready, request on its way
  bool headersDone = false;   // the final response's headers are in
  Clock::time_point lastActivity = Clock::now();
};

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto& t = **static_cast<Transfer**>(user);
  size_t total = size * count;
  std::string_view line(data, total);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  t.lastActivity = Clock::now();
  if (t.headersDone) return total;  // a chunked answer's trailers
  if (line.substr(0, 5) == "HTTP/") {
    t.head.StatusLine(line);
  } else if (line.empty()) {
    if (t.head.Status < 200) return total;
    t.headersDone = true;
    try {
      t.exchange.HeadersReceived(t.head.Status, t.head.StatusText, t.head.ContentType, t.head.ContentLength);
    } catch (...) {
      t.error = std::current_exception();
      return 0;
    }
  } else {
    t.head.HeaderLine(line);
  }
  return total;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& t = **static_cast<Transfer**>(user);
  t.lastActivity = Clock::now();
  try {
    t.exchange.BodyReceived(data, size * count);
  } catch (...) {
    t.error = std::current_exception();
    return CURL_WRITEFUNC_ERROR;
  }
  return size * count;
}

size_t OnReadBody(char* buffer, size_t size, size_t count, void* user) {
  auto& t = **static_cast<Transfer**>(user);
  t.lastActivity = Clock::now();
  try {
    return t.exchange.ReadBody(buffer, std::min(size * count, t.request.PieceSize));
  } catch (...) {
    t.error = std::current_exception();
    return CURL_READFUNC_ABORT;
  }
}

int OnRequestStart(void* user, char*, char*, int, int) {
  auto& t = **static_cast<Transfer**>(user);
  t.started = true;
  t.lastActivity = Clock::now();
  return CURL_PREREQFUNC_OK;
}

// Whether the environment sends a plain http request to `host` through a proxy, as libcurl
// reads it; any setting not plainly ruling the host out counts as a proxy.
bool EnvironmentProxyFor(const std::string& host) {
  bool proxy = false;
  for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) {
    const char* v = std::getenv(name);
    proxy = proxy || (v && *v);
  }
  if (!proxy) return false;
  const char* noProxy = std::getenv("no_proxy");
  if (!noProxy || !*noProxy) noProxy = std::getenv("NO_PROXY");
  if (!noProxy) return true;
  std::string bare = host.size() > 2 && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
  for (const std::string& entry : SplitList(noProxy))
    if (entry == "*" || SameText(entry, bare)) return false;
  return true;
}

class CurlConnection final : public THTTPClientConnection {
 public:
  explicit CurlConnection(const THTTPConnectSettings& settings)
      : settings_(settings), agent_(SingleLine(settings.Agent)) {
    GlobalInit();
  }
  ~CurlConnection() override { Close(); }

  void Perform(const THTTPRequest& request, THTTPExchange& exchange) override {
    if (WirePath(request)) {
      wire_.Perform(request, exchange, wireTarget_, agent_);
      return;
    }
    OpenHandles();
    Transfer t{request, exchange};
    current_ = &t;
    struct Done {
      CurlConnection& c;
      ~Done() { c.current_ = nullptr; }
    } done{*this};
    try {
      Configure(request);
      exchange.BeforeSend(easy_);
      // Options a hook set stay on the handle: the next request starts from a reset one.
      if (request.BeforeSendHook) configured_.valid = false;
      Run(t);
    } catch (...) {
      configured_.valid = false;
      throw;
    }
  }

 private:
  // A plain http request on a direct connection without credentials or a hook is written here
  // on a kept connection; everything else goes through libcurl.
  bool WirePath(const THTTPRequest& r) {
    if (r.BeforeSendHook || !settings_.UserName.empty()) return false;
    if (wireTarget_.URL != r.URL) ParseWireTarget(r.URL, wireTarget_);
    if (!wireTarget_.Plain) return false;
    if (settings_.Proxy.empty()) {
      if (EnvironmentProxyFor(wireTarget_.Host)) return false;
    } else {
      std::string host = wireTarget_.Host;
      if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
      if (!ProxyForScheme(settings_.Proxy, "http").empty() && !ProxyBypassed(settings_.ProxyByPass, host)) return false;
    }
    return std::none_of(r.Headers.begin(), r.Headers.end(), [](const std::string& h) { return IsSpecialHeader(h); });
  }

  // libcurl's handles, made when the first request needs them: a transport that only speaks
  // on the wire path never does.
  void OpenHandles() {
    if (easy_) return;
    easy_ = curl_easy_init();
    multi_ = curl_multi_init();
    proxyHeaders_ = curl_slist_append(nullptr, "Proxy-Connection:");
    if (!easy_ || !multi_ || !proxyHeaders_) {
      Close();
      throw EHTTPClientError(curl_easy_strerror(CURLE_FAILED_INIT));
    }
  }

  void Close() {
    wire_.Close();
    if (multi_) curl_multi_cleanup(multi_);
    if (easy_) curl_easy_cleanup(easy_);
    curl_slist_free_all(proxyHeaders_);
    curl_slist_free_all(headers_);
    multi_ = nullptr;
    easy_ = nullptr;
    proxyHeaders_ = nullptr;
    headers_ = nullptr;
  }

  template <class T>
  void Set(CURLoption option, T value) {
    CURLcode rc = curl_easy_setopt(easy_, option, value);
    if (rc != CURLE_OK) throw EHTTPClientError(curl_easy_strerror(rc));
  }

  // What decides a request's options besides its body. The same as the last request keeps the
  // handle as it is (libcurl keeps options between transfers), so a call on a kept connection
  // sets only its body; compared field by field, without building anything per call.
  struct Config {
    bool valid = false;
    bool get = false, streamed = false, ignoreInvalidCerts = false;
    int connectTimeout = 0;
    size_t pieceSize = 0;
    std::string url, certFile, certDir;
    std::vector<std::string> headers;
  };

  static bool SameEnv(const std::string& kept, const char* now) { return kept == (now ? now : ""); }

  bool SameConfig(const THTTPRequest& r) const {
    const Config& c = configured_;
    return c.valid && c.get == r.Get && c.streamed == r.Streamed && c.ignoreInvalidCerts == r.IgnoreInvalidCerts &&
           c.connectTimeout == r.Timeouts.Connect && c.pieceSize == r.PieceSize && c.url == r.URL &&
           SameEnv(c.certFile, std::getenv("SSL_CERT_FILE")) && SameEnv(c.certDir, std::getenv("SSL_CERT_DIR")) &&
           c.headers == r.Headers;
  }

  void RememberConfig(const THTTPRequest& r) {
    Config& c = configured_;
    c.get = r.Get;
    c.streamed = r.Streamed;
    c.ignoreInvalidCerts = r.IgnoreInvalidCerts;
    c.connectTimeout = r.Timeouts.Connect;
    c.pieceSize = r.PieceSize;
    c.url = r.URL;
    const char* file = std::getenv("SSL_CERT_FILE");
    const char* dir = std::getenv("SSL_CERT_DIR");
    c.certFile = file ? file : "";
    c.certDir = dir ? dir : "";
    c.headers = r.Headers;
    c.valid = true;
  }

  void Configure(const THTTPRequest& r) {
    if (!SameConfig(r)) {
      configured_.valid = false;
      ConfigureAll(r);
      RememberConfig(r);
    }
    errorText_[0] = '\0';
    if (r.Streamed) {
      Set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.StreamedSize));
    } else if (!r.Get) {
      static const char kEmpty[] = "";
      Set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.SingleBody ? r.SingleBody->size() : 0));
      Set(CURLOPT_POSTFIELDS, r.SingleBody ? r.SingleBody->data() : kEmpty);
    }
  }

  void ConfigureAll(const THTTPRequest& r) {
    // A reset keeps the cached connection; every option is set afresh.
    curl_easy_reset(easy_);
    curl_slist_free_all(headers_);
    headers_ = nullptr;
    Set(CURLOPT_ERRORBUFFER, errorText_);
    Set(CURLOPT_NOSIGNAL, 1L);
    // Handed over parsed: libcurl then copies the parts instead of parsing the text per request.
    if (url_.Parse(r.URL))
      Set(CURLOPT_CURLU, url_.Handle());
    else
      Set(CURLOPT_URL, r.URL.c_str());
    Set(CURLOPT_PROTOCOLS_STR, "http,https");
    Set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    Set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    std::string agent = SingleLine(settings_.Agent);
    if (!agent.empty()) Set(CURLOPT_USERAGENT, agent.c_str());
    if (!settings_.UserName.empty()) {
      Set(CURLOPT_USERNAME, settings_.UserName.c_str());
      Set(CURLOPT_PASSWORD, settings_.Password.c_str());
    }
    ConfigureProxy(r.URL);
    ConfigureTrust(r.IgnoreInvalidCerts);
    if (r.Timeouts.Connect > 0) Set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(r.Timeouts.Connect));

    Set(CURLOPT_HEADERFUNCTION, &OnHeader);
    Set(CURLOPT_HEADERDATA, &current_);
    Set(CURLOPT_WRITEFUNCTION, &OnBody);
    Set(CURLOPT_WRITEDATA, &current_);
    Set(CURLOPT_PREREQFUNCTION, &OnRequestStart);
    Set(CURLOPT_PREREQDATA, &current_);
    if (r.Get) {
      Set(CURLOPT_HTTPGET, 1L);
    } else if (r.Streamed) {
      Set(CURLOPT_POST, 1L);
      Set(CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(r.PieceSize));
      Set(CURLOPT_READFUNCTION, &OnReadBody);
      Set(CURLOPT_READDATA, &current_);
    }

    // Only the headers the transport names go out, besides Host, User-Agent and
    // Content-Length (and Authorization with credentials): libcurl's own Accept and
    // "Expect: 100-continue" are removed.
    bool ownAccept = false;
    auto append = [&](const std::string& line) {
      curl_slist* next = curl_slist_append(headers_, line.c_str());
      if (!next) throw std::bad_alloc();
      headers_ = next;
    };
    for (const std::string& line : r.Headers) {
      ownAccept = ownAccept || StartsWithAccept(line);
      append(CurlHeaderLine(line));
    }
    if (!ownAccept) append("Accept:");
    append("Expect:");
    Set(CURLOPT_HTTPHEADER, headers_);
  }

  // The peer and its host name are checked against the system's trust store, or against the
  // authorities of SSL_CERT_FILE / SSL_CERT_DIR when set (a private authority), as OpenSSL's
  // own tools do; libcurl does not read those variables itself.
  void ConfigureTrust(bool ignoreInvalid) {
    if (ignoreInvalid) {
      Set(CURLOPT_SSL_VERIFYPEER, 0L);
      Set(CURLOPT_SSL_VERIFYHOST, 0L);
      return;
    }
    Set(CURLOPT_SSL_VERIFYPEER, 1L);
    Set(CURLOPT_SSL_VERIFYHOST, 2L);
    const char* file = std::getenv("SSL_CERT_FILE");
    const char* dir = std::getenv("SSL_CERT_DIR");
    if (file && *file) Set(CURLOPT_CAINFO, file);
    if (dir && *dir) Set(CURLOPT_CAPATH, dir);
  }

  static bool StartsWithAccept(const std::string& line) {
    return line.size() >= 7 && SameText(std::string_view(line).substr(0, 7), "Accept:");
  }

  void ConfigureProxy(const std::string& url) {
    // Without a proxy list libcurl follows the environment (http_proxy, no_proxy, ...).
    if (settings_.Proxy.empty()) return;
    CurlURL u;
    std::string scheme, host;
    if (!u.Parse(url) || !u.Get(CURLUPART_SCHEME, scheme) || !u.Get(CURLUPART_HOST, host)) return;
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    std::string proxy = ProxyForScheme(settings_.Proxy, scheme);
    if (proxy.empty() || ProxyBypassed(settings_.ProxyByPass, host)) {
      Set(CURLOPT_PROXY, "");  // direct, whatever the environment says
    } else {
      Set(CURLOPT_PROXY, proxy.c_str());
      Set(CURLOPT_NOPROXY, "");  // our bypass list decides, not the environment's
      Set(CURLOPT_PROXYHEADER, proxyHeaders_);
    }
  }

  void Run(Transfer& t) {
    CURLMcode mc = curl_multi_add_handle(multi_, easy_);
    if (mc != CURLM_OK) throw EHTTPClientError(curl_multi_strerror(mc));
    CURLcode result = CURLE_OK;
    bool timedOut = false;
    curl_off_t lastUp = 0, lastDown = 0;
    const THTTPTimeouts& limits = t.request.Timeouts;
    for (;;) {
      int running = 0;
      mc = curl_multi_perform(multi_, &running);
      if (mc != CURLM_OK) break;
      if (!running) break;

      curl_off_t up = 0, down = 0;
      curl_easy_getinfo(easy_, CURLINFO_SIZE_UPLOAD_T, &up);
      curl_easy_getinfo(easy_, CURLINFO_SIZE_DOWNLOAD_T, &down);
      auto now = Clock::now();
      if (up != lastUp || down != lastDown) t.lastActivity = now;
      lastUp = up;
      lastDown = down;

      // Until the request is out the send limit applies, then the receive limit.
      int idleLimit = 0;
      if (t.started) {
        bool sending = !t.request.Get && !t.headersDone && up < BodySize(t.request);
        idleLimit = sending ? limits.Send : limits.Receive;
        if (idleLimit <= 0) idleLimit = t.request.IdleFallback;
      }
      int waitMs = 1000;
      if (idleLimit > 0) {
        auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - t.lastActivity).count();
        if (idle >= idleLimit) {
          timedOut = true;
          break;
        }
        waitMs = static_cast<int>(std::min<long long>(waitMs, idleLimit - idle));
      }
      mc = curl_multi_poll(multi_, nullptr, 0, waitMs, nullptr);
      if (mc != CURLM_OK) break;
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &queued))
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy_) result = msg->data.result;
    curl_multi_remove_handle(multi_, easy_);

    if (t.error) std::rethrow_exception(t.error);
    if (mc != CURLM_OK) throw EHTTPClientError(curl_multi_strerror(mc));
    if (timedOut) throw EHTTPClientError(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
    if (result != CURLE_OK) throw EHTTPClientError(errorText_[0] ? errorText_ : curl_easy_strerror(result));
    if (!t.headersDone) throw EHTTPClientError(curl_easy_strerror(CURLE_WEIRD_SERVER_REPLY));
  }

  static int64_t BodySize(const THTTPRequest& r) {
    if (r.Streamed) return r.StreamedSize;
    return r.SingleBody ? static_cast<int64_t>(r.SingleBody->size()) : 0;
  }

  THTTPConnectSettings settings_;
  std::string agent_;       // as sent: on one line
  THTTPWireTarget wireTarget_;  // the last request URL, parsed for the wire path
  THTTPWireConnection wire_;
  CURL* easy_ = nullptr;
  CURLM* multi_ = nullptr;
  curl_slist* proxyHeaders_ = nullptr;  // removes libcurl's own Proxy-Connection
  curl_slist* headers_ = nullptr;       // the request headers of the configured options
  CurlURL url_;                         // the request URL as CURLOPT_CURLU, while configured
  Config configured_;                   // what the options on the handle were set for
  Transfer* current_ = nullptr;         // the transfer under way, for the callbacks
  char errorText_[CURL_ERROR_SIZE] = {};
};

}  // namespace

std::unique_ptr<THTTPClientConnection> THTTPClientConnection::Open(const THTTPConnectSettings& settings) {
  return std::make_unique<CurlConnection>(settings);
}

bool SplitHTTPURL(const std::string& url, std::string& requestURL) {
  CurlURL u;
  std::string scheme;
  if (!u.Parse(url) || !u.Get(CURLUPART_SCHEME, scheme)) return false;
  if (!SameText(scheme, "http") && !SameText(scheme, "https")) return false;
  // Credentials in the URL are not used: they come from the properties.
  return u.Clear(CURLUPART_USER) && u.Clear(CURLUPART_PASSWORD) && u.Clear(CURLUPART_FRAGMENT) &&
         u.Get(CURLUPART_URL, requestURL, CURLU_DEFAULT_PORT);
}

std::string ProxyForScheme(const std::string& proxyList, const std::string& scheme) {
  std::string any;
  for (const std::string& entry : SplitList(proxyList)) {
    size_t eq = entry.find('=');
    if (eq == std::string::npos) {
      if (any.empty()) any = entry;
    } else if (SameText(std::string_view(entry).substr(0, eq), scheme)) {
      return entry.substr(eq + 1);
    }
  }
  return any;
}

bool ProxyBypassed(const std::string& byPassList, const std::string& host) {
  for (const std::string& pattern : SplitList(byPassList)) {
    if (SameText(pattern, "<local>")) {
      if (host.find('.') == std::string::npos && host.find(':') == std::string::npos) return true;
    } else if (WildcardMatch(pattern, host)) {
      return true;
    }
  }
  return false;
}
