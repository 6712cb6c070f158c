// The libcurl side of the web routes (internal): one easy handle with the limits, trust and
// proxy of the settings, a request body pulled piece by piece from texts and files, and one
// HTTP exchange with its status line, raw headers and capped body.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "delivery/EWebTools.h"
#include "runtime/SysUtils.h"

// A request body of texts and files; files are read while the body is sent.
class TBodySource {
 public:
  TBodySource() = default;
  ~TBodySource();
  TBodySource(const TBodySource&) = delete;
  TBodySource& operator=(const TBodySource&) = delete;

  void Clear();
  void AddText(std::string text);
  void AddFile(const std::string& path, int64_t size);
  int64_t Size() const { return size_; }
  int64_t Sent() const { return sent_; }
  // Up to `max` bytes; 0 at the end, -1 when a file can no longer give its bytes.
  long Read(char* buffer, size_t max);
  // Whether the bytes contain `needle` (texts and files, across piece borders).
  bool Contains(std::string_view needle) const;

 private:
  struct TSegment {
    std::string Text;
    std::string Path;
    int64_t Size = 0;
    bool File = false;
  };
  void CloseFile();
  std::vector<TSegment> segments_;
  size_t index_ = 0;
  int64_t offset_ = 0;
  int fd_ = -1;
  int64_t sent_ = 0;
  int64_t size_ = 0;
};

struct TMultipartFile {
  std::string Name;      // the form field's name
  std::string FileName;  // the filename attribute
  std::string Path;
};
// Fills `body` with the multipart form and returns its boundary, new until it occurs nowhere in
// the body. A missing file is left out (`skipMissing`) or sent empty with an empty file name.
std::string BuildMultipartBody(const std::vector<std::pair<std::string, std::string>>& fields,
                               const std::vector<TMultipartFile>& files, bool skipMissing, TBodySource& body);

// The size of a regular file, -1 when there is none.
int64_t WebFileSize(const std::string& path);

// Silence longer than the idle limit ends a transfer: libcurl's low-speed check averages over
// seconds, so it would notice a stalled server late.
class TIdleWatch {
 public:
  explicit TIdleWatch(int seconds);
  // False once nothing moved for longer than the limit, or the user stopped the delivery.
  bool Alive(int64_t received, int64_t sent);

 private:
  int64_t limitMs_;
  int64_t lastMs_;
  int64_t received_ = -1, sent_ = -1;
};

class TCurlEasy {
 public:
  TCurlEasy();  // EWebError when libcurl cannot give a handle
  ~TCurlEasy();
  TCurlEasy(const TCurlEasy&) = delete;
  TCurlEasy& operator=(const TCurlEasy&) = delete;

  CURL* Handle() const { return easy_; }
  // Limits, trust, agent and proxy for transfers to `host` (a proxy is skipped for local names,
  // as "<local>" bypasses it).
  void Configure(const TWebSettings& settings, const std::string& host, const TProxyRecord& proxy);
  bool ViaProxy() const { return viaProxy_; }
  TTransferFailure Failure(CURLcode code) const;

 private:
  CURL* easy_ = nullptr;
  bool viaProxy_ = false;
};

ZELK_DECLARE_EXCEPTION(EWebError, Exception);

// One HTTP request and its final answer (libcurl follows nothing).
struct THttpExchange {
  std::string Url;
  bool Post = false;
  std::vector<std::string> Headers;
  TBodySource* Body = nullptr;  // POST
  size_t PieceSize = 1024;
  size_t MaxResponseBytes = 8u << 20;
  std::function<void(int64_t sent, int64_t total)> OnSent;
  std::function<void(int64_t received, int64_t contentLength)> OnReceived;

  long Status = 0;
  std::string StatusText;
  std::string RawHeaders;  // status line and headers, CR LF after each
  std::string ResponseBody;
  bool TooLarge = false;
  int IdleSeconds = 60;

  // The first value of a header of the answer; empty when absent.
  std::string Header(std::string_view name) const;
};
CURLcode PerformHttp(TCurlEasy& easy, THttpExchange& exchange);

// scheme "://" host [":" port] "/" path (the path given without its leading "/").
std::string WebRequestUrl(const std::string& scheme, const std::string& host, uint16_t port, const std::string& path);
