// The HTTP client under the transport, behind a small interface: one object is one
// "connected" state (connections to the server are kept and reused while it lives).
// SOAPHTTPTrans_curl.cpp implements it on libcurl, and speaks HTTP/1.1 itself on a kept plain
// connection (HTTPWire).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/SysUtils.h"
#include "soap/SOAPHTTPTrans.h"

// A failure of the HTTP client itself (resolve, connect, send, receive, time-out), with the
// client's own error text.
ZELK_DECLARE_EXCEPTION(EHTTPClientError, Exception);

struct THTTPConnectSettings {
  std::string Agent;
  std::string Proxy;  // empty: the environment's proxy settings
  std::string ProxyByPass;
  std::string UserName;
  std::string Password;
};

struct THTTPRequest {
  bool Get = false;  // GET without a body, else POST
  std::string URL;
  std::vector<std::string> Headers;  // "Name: value" lines, in order; an empty value is sent empty
  bool IgnoreInvalidCerts = false;
  // THTTPExchange::BeforeSend may change the client's options; they do not outlive the request.
  // Such a request always goes through libcurl.
  bool BeforeSendHook = false;
  THTTPTimeouts Timeouts;
  int IdleFallback = 0;  // the idle limit for a send or receive time-out of 0; 0: none
  // POST body: sent from `SingleBody` in one piece, or, when `Streamed`, `StreamedSize`
  // bytes pulled through THTTPExchange::ReadBody.
  const std::string* SingleBody = nullptr;
  bool Streamed = false;
  int64_t StreamedSize = 0;
  size_t PieceSize = 32768;
};

// The transport's side of one request. Exceptions raised here stop the transfer and leave
// THTTPClientConnection::Perform unchanged.
class THTTPExchange {
 public:
  virtual ~THTTPExchange() = default;
  // After the headers are set, before anything is sent; `native` is the client's handle (a
  // CURL*), or null when the request is written without libcurl (never with BeforeSendHook).
  virtual void BeforeSend(void* native) = 0;
  // Fills up to `max` bytes of a streamed body; called until StreamedSize bytes are given.
  virtual size_t ReadBody(char* buffer, size_t max) = 0;
  // The final response's status line, Content-Type and Content-Length (-1 when not given,
  // e.g. a chunked answer), before any of its body.
  virtual void HeadersReceived(int status, const std::string& statusText, const std::string& contentType,
                               int64_t contentLength) = 0;
  virtual void BodyReceived(const char* data, size_t count) = 0;
};

class THTTPClientConnection {
 public:
  // Raises EHTTPClientError when the client cannot be set up.
  static std::unique_ptr<THTTPClientConnection> Open(const THTTPConnectSettings& settings);
  virtual ~THTTPClientConnection() = default;
  // Runs one request; raises what `exchange` raised, or EHTTPClientError.
  virtual void Perform(const THTTPRequest& request, THTTPExchange& exchange) = 0;
};

// The URL as it is requested (scheme, host, port, path and query; the default port filled
// in); false when it cannot be parsed or its scheme is not http or https.
bool SplitHTTPURL(const std::string& url, std::string& requestURL);

// Exposed for tests: whether `host` matches a proxy bypass list.
bool ProxyBypassed(const std::string& byPassList, const std::string& host);
// The proxy of a proxy list for a URL scheme ("http"/"https"); empty when none applies.
std::string ProxyForScheme(const std::string& proxyList, const std::string& scheme);
