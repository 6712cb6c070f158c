// A kept plain HTTP connection on which requests are written and answers read without
// libcurl's per-request work. libcurl only opens it (CURLOPT_CONNECT_ONLY): name resolution,
// the connect time-out and their error texts stay its own, and so does closing the socket.
#pragma once

#include <string>

#include "soap/HTTPConnection.h"
#include "soap/HTTPWire.h"
#include "soap/HTTPWireSocket.h"

// What a plain request needs of its URL. `Plain` is false when the URL is not one the wire
// path takes: not http, odd characters, an IPv6 zone.
struct THTTPWireTarget {
  std::string URL;
  bool Plain = false;
  std::string Host;      // as in the URL, brackets around an IPv6 address
  std::string HostLine;  // the Host header's value
  std::string Target;    // path and query
  std::string Origin;    // host:port, what a kept connection is connected to
};

void ParseWireTarget(const std::string& url, THTTPWireTarget& target);

class THTTPWireConnection {
 public:
  THTTPWireConnection() : reader_(socket_) {}
  ~THTTPWireConnection() { Close(); }
  THTTPWireConnection(const THTTPWireConnection&) = delete;
  THTTPWireConnection& operator=(const THTTPWireConnection&) = delete;

  // Runs one request to `target` (which must be Plain, with no proxy in the way), on the kept
  // connection or a new one. Raises what `exchange` raised, or EHTTPClientError; the
  // connection is closed after any failure.
  void Perform(const THTTPRequest& request, THTTPExchange& exchange, const THTTPWireTarget& target,
               const std::string& agent);
  void Close();

 private:
  void Run(const THTTPRequest& r, THTTPExchange& exchange, const THTTPWireTarget& w, const std::string& agent);
  bool Send(const THTTPRequest& r, THTTPExchange& exchange, int64_t size, bool& pulled);
  void Open(const THTTPRequest& r, const THTTPWireTarget& w);

  void* connect_ = nullptr;  // the CURL handle holding the connection; cleaning it up closes the socket
  std::string origin_;
  THTTPWireSocket socket_;
  THTTPResponseReader reader_;
  std::string head_;
  std::string piece_;
};
