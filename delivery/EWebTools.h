// Web delivery: the multipart form upload over HTTP(S), the FTP upload, and what every web route
// shares (the address grammar, the multipart boundary, the error codes and texts). The bug
// trackers are in EWebTracker.h. libcurl carries the bytes; redirects, the multipart body and
// the authorisation header are our own, so what goes on the wire is exactly the designed text.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "delivery/EDelivery.h"

// ---- Errors ----

// A status line that cannot be parsed once the request has gone out.
inline constexpr int kUnparseableStatus = 2147483647;

// The text of a WinInet-style error code; empty for a code without one.
const char* WinInetErrorText(int code);

// What one libcurl transfer ended with, as far as the error table needs it.
struct TTransferFailure {
  int CurlCode = 0;          // CURLcode
  bool ViaProxy = false;     // the transfer went through a proxy
  long SslVerifyResult = 0;  // CURLINFO_SSL_VERIFYRESULT (an X509_V_ERR_* value)
};
// The WinInet-style code of a failed transfer (CurlCode not 0).
int WebErrorCode(const TTransferFailure& failure);

// "%s error code: %d%s" from the protocol ("HTTP", "HTTPS", "FTP"), the result and the suffix
// (the missing-library text for -1, else " (" + error text + ")" when there is one).
std::string UploadResultText(const std::string& protocol, int result, const std::string& errorText);

// ---- Addresses and bodies ----

struct TWebAddress {
  std::string Scheme, User, Password, Host, Path;  // Path has no leading "/"
  uint32_t Port = 0;
};
// The address grammar shared by web and proxy addresses.
TWebAddress ParseWebAddress(const std::string& text);

// "---------------------------" and three groups of four upper-case hex digits from getrandom.
std::string NewMultipartBoundary();
// A name or file name inside the quotes of a Content-Disposition header: quotes and line breaks
// are percent-encoded, everything else is kept.
std::string MultipartQuotedName(std::string_view name);
// Letters and digits kept, every other byte as "%" and two upper-case hex digits.
std::string WebUrlEncode(std::string_view text);
// Base64 without line breaks.
std::string WebBase64(std::string_view bytes);
// "&amp;" ... "&apos;" and "&#n;" replaced in one pass (what a replacement produces is not
// decoded again).
std::string DecodeHtmlEntities(std::string_view text);

// ---- Settings ----

struct TProxyRecord {
  std::string Server;
  uint16_t Port = 0;
  std::string UserName;
  std::string Password;
};

// Process-wide limits and trust of every web route (connect, idle and overall time-outs, each
// reported as 12002; the CA file trusted besides the system's, for a tracker with its own
// authority).
struct TWebSettings {
  int ConnectTimeoutSeconds = 30;
  int IdleTimeoutSeconds = 60;
  int TotalTimeoutSeconds = 600;
  std::string CaFile;
  size_t MaxResponseBytes = 8u << 20;
};
void SetWebSettings(const TWebSettings& settings);
TWebSettings WebSettings();

// ---- Uploads ----

// kind 0 before connecting, 1 when connected, 2 after each written piece.
using TWebProgress = std::function<void(int kind, int64_t total, int64_t done)>;

struct TUploadRequest {
  std::string Host;
  std::string Path;  // the script (HTTP) or the remote folder (FTP)
  std::string User, Password;
  uint16_t Port = 0;  // 0: the scheme's default
  bool Https = false;
  TProxyRecord Proxy;  // Server empty: no proxy
  std::vector<std::string> Fields;  // "name=value" lines (HTTP only)
  std::vector<std::string> DisplayNames, Files;
  TWebProgress Progress;
};

// 0 on success, else a WinInet-style error code or the HTTP status, with its text.
int UploadHttp(const TUploadRequest& request, std::string& errorText);
int UploadFtp(const TUploadRequest& request, std::string& errorText);

// ---- Delivery ----

// The progress window of one attempt, through the dialog helper: the bar only rises and stays
// within 0..100; nothing is shown without sfShowSendProgress.
class TSendProgress {
 public:
  TSendProgress(const TTarvexModuleOptions& options, bool show);
  ~TSendProgress();
  TSendProgress(const TSendProgress&) = delete;
  TSendProgress& operator=(const TSendProgress&) = delete;

  bool Shown() const { return shown_; }
  void Step(int textIndex);
  void Position(int64_t percent);
  int Current() const { return position_; }
  void Close();

 private:
  const TTarvexModuleOptions& options_;
  bool shown_ = false;
  bool open_ = false;
  int position_ = 0;
};

// One attempt of web delivery by the configured mode: opens the progress window, runs the
// route, reports a failure as a warning. The flow raises the action and error events around it.
bool SendWebReport(TDeliveryContext& context);
