#include "soap/HTTPWireConnection.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "runtime/Strings.h"

namespace {

bool Printable(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

// One part of a parsed URL; false when it is not there.
bool Part(CURLU* u, CURLUPart part, std::string& out, unsigned flags = 0) {
  char* s = nullptr;
  if (curl_url_get(u, part, &s, flags) != CURLUE_OK) return false;
  out = s;
  curl_free(s);
  return true;
}

}  // namespace

// The parts as libcurl takes them for its request: the path URL-encoded, the query as it is.
void ParseWireTarget(const std::string& url, THTTPWireTarget& w) {
  w.URL = url;
  w.Plain = false;
  std::unique_ptr<CURLU, void (*)(CURLU*)> u(curl_url(), curl_url_cleanup);
  if (!u) throw std::bad_alloc();
  std::string scheme, port, path, query;
  if (curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK || !Part(u.get(), CURLUPART_SCHEME, scheme) ||
      !SameText(scheme, "http") || !Part(u.get(), CURLUPART_HOST, w.Host) ||
      !Part(u.get(), CURLUPART_PORT, port, CURLU_DEFAULT_PORT) || !Part(u.get(), CURLUPART_PATH, path, CURLU_URLENCODE))
    return;
  bool hasQuery = Part(u.get(), CURLUPART_QUERY, query);
  w.Target = hasQuery ? path + "?" + query : path;
  w.HostLine = port == "80" ? w.Host : w.Host + ":" + port;
  w.Origin = w.Host + ":" + port;
  w.Plain = Printable(w.HostLine) && Printable(w.Target) && w.Host.find('%') == std::string::npos && !w.Target.empty();
}

void THTTPWireConnection::Perform(const THTTPRequest& r, THTTPExchange& exchange, const THTTPWireTarget& w,
                                  const std::string& agent) {
  try {
    Run(r, exchange, w, agent);
  } catch (...) {
    Close();  // whatever was under way leaves the connection in an unknown state
    throw;
  }
}

void THTTPWireConnection::Close() {
  socket_.Detach();
  reader_.Reset();
  if (connect_) curl_easy_cleanup(static_cast<CURL*>(connect_));
  connect_ = nullptr;
  origin_.clear();
}

void THTTPWireConnection::Run(const THTTPRequest& r, THTTPExchange& exchange, const THTTPWireTarget& w,
                              const std::string& agent) {
  bool fresh = false;
  if (!socket_.Attached() || origin_ != w.Origin || !socket_.Usable()) {
    Close();
    Open(r, w);
    fresh = true;
  }
  exchange.BeforeSend(nullptr);
  const int64_t size = r.Streamed ? r.StreamedSize : (r.SingleBody ? static_cast<int64_t>(r.SingleBody->size()) : 0);
  head_.clear();
  AppendRequestHead(head_, r.Get, w.Target, w.HostLine, agent, r.Headers, size);
  auto limit = [&r](int ms) { return ms > 0 ? ms : r.IdleFallback; };
  socket_.SetIdleLimits(limit(r.Timeouts.Send), limit(r.Timeouts.Receive));
  for (;;) {
    // A kept connection the server closed takes the request again on a new one, once; not
    // after any of a streamed body was pulled, which cannot be pulled twice.
    bool pulled = false;
    TWireEnd end = Send(r, exchange, size, pulled) ? reader_.Read(exchange) : TWireEnd::Nothing;
    if (end == TWireEnd::Nothing) {
      if (fresh || pulled) throw EHTTPClientError("Empty reply from server");
      Close();
      Open(r, w);
      fresh = true;
      continue;
    }
    if (end == TWireEnd::Close || reader_.Pending()) Close();
    return;
  }
}

// False when the peer was gone before it took anything.
bool THTTPWireConnection::Send(const THTTPRequest& r, THTTPExchange& exchange, int64_t size, bool& pulled) {
  iovec pieces[2] = {{head_.data(), head_.size()}, {nullptr, 0}};
  int count = 1;
  if (!r.Streamed && r.SingleBody && !r.SingleBody->empty())
    pieces[count++] = {const_cast<char*>(r.SingleBody->data()), r.SingleBody->size()};
  if (!socket_.Send(pieces, count)) return false;
  if (!r.Streamed) return true;
  piece_.resize(r.PieceSize);
  for (int64_t left = size; left > 0;) {
    pulled = true;
    size_t n = exchange.ReadBody(piece_.data(), static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(piece_.size()))));
    if (n == 0 || static_cast<int64_t>(n) > left) throw EHTTPClientError(curl_easy_strerror(CURLE_READ_ERROR));
    left -= static_cast<int64_t>(n);
    iovec piece{piece_.data(), n};
    if (!socket_.Send(&piece, 1)) throw EHTTPClientError(std::string("Send failure: ") + std::strerror(EPIPE));
  }
  return true;
}

void THTTPWireConnection::Open(const THTTPRequest& r, const THTTPWireTarget& w) {
  CURL* h = curl_easy_init();
  if (!h) throw EHTTPClientError(curl_easy_strerror(CURLE_FAILED_INIT));
  connect_ = h;
  char errorText[CURL_ERROR_SIZE] = {};
  auto set = [h](CURLoption option, auto value) {
    CURLcode rc = curl_easy_setopt(h, option, value);
    if (rc != CURLE_OK) throw EHTTPClientError(curl_easy_strerror(rc));
  };
  set(CURLOPT_ERRORBUFFER, errorText);
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_URL, w.URL.c_str());
  set(CURLOPT_PROTOCOLS_STR, "http");
  set(CURLOPT_PROXY, "");  // the caller found that no proxy applies
  set(CURLOPT_CONNECT_ONLY, 1L);
  if (r.Timeouts.Connect > 0) set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(r.Timeouts.Connect));
  CURLcode rc = curl_easy_perform(h);
  curl_socket_t fd = CURL_SOCKET_BAD;
  if (rc == CURLE_OK) rc = curl_easy_getinfo(h, CURLINFO_ACTIVESOCKET, &fd);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
  if (rc != CURLE_OK || fd == CURL_SOCKET_BAD) {
    std::string text = errorText[0] ? errorText : curl_easy_strerror(rc == CURLE_OK ? CURLE_COULDNT_CONNECT : rc);
    Close();
    throw EHTTPClientError(text);
  }
  socket_.Attach(static_cast<int>(fd));
  origin_ = w.Origin;
}
