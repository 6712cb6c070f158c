// Loopback helpers for web-delivery tests: the forms a recorded request carries (query,
// url-encoded or multipart body), a forwarding proxy that records what it is asked (CONNECT
// tunnels included), and a sink that takes uploads of any size without keeping them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/HttpTestServer.h"

using WebFieldList = std::vector<std::pair<std::string, std::string>>;

struct WebFormPart {
  std::string Name;
  std::string FileName;
  bool IsFile = false;  // the part had a filename attribute
  std::string Value;    // the value, or the file's bytes
};

// One request as a form: the page and its query, the fields in order.
struct WebFormRequest {
  std::string Method;
  std::string Path;   // the origin-form path without query ("/mantis/login.php"), also via a proxy
  std::string Page;   // the last path segment
  WebFieldList Query;
  WebFieldList Fields;             // url-encoded body fields, or the multipart parts' names and
                                   // values (a file as its file name)
  std::vector<WebFormPart> Parts;  // multipart only
  std::string Cookie;
};

// "a=b&c=d": percent escapes and "+" decoded.
WebFieldList ParseUrlEncoded(std::string_view text);
// The parts of a multipart body (boundary from the Content-Type value); false when malformed.
bool ParseMultipart(std::string_view contentType, std::string_view body, std::vector<WebFormPart>& parts);
WebFormRequest ParseFormRequest(const HttpRequestRecord& request);

// An HTTP proxy on 127.0.0.1: records the first line and the Proxy-Authorization of every
// connection's first request, then forwards the connection to its target (CONNECT: after
// "200 Connection established"; absolute URLs: the request as it came).
class RecordingProxy {
 public:
  RecordingProxy();
  ~RecordingProxy();
  RecordingProxy(const RecordingProxy&) = delete;
  RecordingProxy& operator=(const RecordingProxy&) = delete;
  int Port() const;
  std::vector<std::string> RequestLines() const;
  std::vector<std::string> Authorizations() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// An HTTP server that reads each request's body and throws it away, then answers 200 (or
// stalls: accepts and never answers). For uploads too large to record.
class SinkServer {
 public:
  explicit SinkServer(bool stall = false);
  ~SinkServer();
  SinkServer(const SinkServer&) = delete;
  SinkServer& operator=(const SinkServer&) = delete;
  int Port() const;
  int64_t BytesReceived() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// A private folder under $TMPDIR (or /tmp), removed with its files.
class WebTempFolder {
 public:
  WebTempFolder();
  ~WebTempFolder();
  WebTempFolder(const WebTempFolder&) = delete;
  WebTempFolder& operator=(const WebTempFolder&) = delete;
  const std::string& Path() const { return path_; }
  // Writes `bytes` to a file in the folder; returns its path.
  std::string Write(const std::string& name, std::string_view bytes) const;

 private:
  std::string path_;
};

// A loopback port on which nothing listens (bound once, then closed).
int RefusedLoopbackPort();
