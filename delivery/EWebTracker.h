// Bug-tracker delivery: a tracker connection drives the tracker's ordinary pages as a person in
// a browser would (log in, pick the project, search for the report's identifier, file a new bug
// or count the occurrence in the existing one). One libcurl handle per connection keeps the
// cookies, and with them the login, for the whole conversation.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "delivery/EWebTools.h"
#include "runtime/SysUtils.h"

ZELK_DECLARE_EXCEPTION(EHTTPTrackerError, Exception);

// The result of one request.
class THTTPResponse {
 public:
  virtual ~THTTPResponse() = default;
  // EHTTPTrackerError "Cannot assign a THTTPResponse class to a NIL value." for null.
  virtual void Assign(const THTTPResponse* source);
  virtual void Clear();

  int32_t StatusCode = 0;
  std::string StatusText;
  std::string RawHeaders;
  std::string Body;      // every byte below 32 as a blank
  std::string PageName;  // the file part of the final request path, without folder and query
  int32_t ErrorCode = 0;
  std::string ErrorText;
};

enum THTTPRequestMethod : uint8_t { rmGet = 0, rmPostForm = 1, rmPostMultipart = 2 };

// Where a tracker lives and how to reach it. Credentials stay in fields of their own: they
// never go into an address.
struct TTrackerEndpoint {
  std::string WebAddress;  // address, then ":" and the port when it is not 0
  std::string WebUser, WebPassword;
  std::string ProxyAddress;  // empty, or starting with ":" (no server): no proxy
  std::string ProxyUser, ProxyPassword;
};

class TCurlEasy;

// One session with a tracker.
class THTTPConnectionBase {
 public:
  // Parses both addresses; Open connects. An address is composed with the port by
  // ComposeTrackerAddress.
  explicit THTTPConnectionBase(const TTrackerEndpoint& endpoint);
  virtual ~THTTPConnectionBase();
  THTTPConnectionBase(const THTTPConnectionBase&) = delete;
  THTTPConnectionBase& operator=(const THTTPConnectionBase&) = delete;

  // EHTTPTrackerError "Cannot create an HTTP connection with the host: %s".
  virtual void Connect();
  // EHTTPTrackerError "Cannot close the HTTP connection with the host: %s".
  virtual void Disconnect();
  // 0 connecting ... 9 disconnected; 6 carries the transfer's progress (0..100).
  virtual void NotifyStatus(int status, int value);

  void SetRequest(const std::string& page, THTTPRequestMethod method);
  void AddField(const std::string& name, const std::string& value);
  void AddFile(const std::string& name, const std::string& path);
  void CopyInputField(const std::string& name);
  void CopyTextAreaField(const std::string& name);
  void CopySelectField(const std::string& name);
  void CopySelectFieldIfSet(const std::string& name);
  void SelectOptionByText(const std::string& name, const std::string& text);
  // Every line but the last four (the fixed lines appended for trackers).
  void AddCustomFields(const std::vector<std::string>& lines);
  void AddSummaryField(const std::string& name, const std::string& version, const std::string& className,
                       const std::string& identifier);
  void AddSearchField(const std::string& name, const std::string& className, const std::string& identifier);
  bool IncrementSummaryCounter(const std::string& name);
  // True when a final response came; false with the error code and text in `response`.
  bool Execute(THTTPResponse& response, bool reportProgress);
  bool CheckResponse(const std::string& page, const std::string& must, const std::string& mustNot) const;

  const THTTPResponse& LastResponse() const { return last_; }
  const std::string& Host() const { return host_; }
  uint16_t Port() const { return port_; }
  const std::string& BasePath() const { return basePath_; }
  bool Https() const { return https_; }
  bool UsesProxy() const { return useProxy_; }
  const TProxyRecord& Proxy() const { return proxy_; }
  const std::string& RequestPath() const { return requestPath_; }
  THTTPRequestMethod RequestMethod() const { return method_; }
  const std::vector<std::pair<std::string, std::string>>& Fields() const { return fields_; }

 private:
  bool Redirect(const std::string& location, THTTPResponse& response);

  std::string host_;
  uint16_t port_ = 0;
  std::string user_, password_;
  std::string basePath_;
  bool https_ = false;
  TProxyRecord proxy_;
  bool useProxy_ = false;
  std::string requestPath_;
  THTTPRequestMethod method_ = rmGet;
  std::vector<std::pair<std::string, std::string>> fields_;
  std::vector<std::pair<std::string, std::string>> files_;
  std::unique_ptr<TCurlEasy> easy_;
  THTTPResponse last_;
};

// The connection of a delivery: its status drives the send progress window.
class THTTPConnection : public THTTPConnectionBase {
 public:
  THTTPConnection(const TTrackerEndpoint& endpoint, TSendProgress& progress)
      : THTTPConnectionBase(endpoint), progress_(progress) {}
  void NotifyStatus(int status, int value) override;

 private:
  TSendProgress& progress_;
  int lastStep_ = -1;
};

// What a tracker is told about the report.
struct TTrackerReport {
  std::string Version;
  std::string ExceptionClass;  // "Unknown exception type" when none
  std::string Message;         // ends with "."
  std::string Identifier;
  std::vector<std::string> CustomFields;  // with the four fixed lines at the end
  std::string AttachedFile;               // empty: none
  std::string Assignee, Category, Project;
  std::string User, Password;
  TTrackerEndpoint Endpoint;
};

// Tracker result codes.
enum TTrackerResult : int {
  trDelivered = 0, trBugClosed = 1, trUnknownError = 2, trLoginFailed = 3, trProjectFailed = 4,
  trSearchFailed = 5, trInsertFailed = 6, trModifyFailed = 7
};
// The message-table text of a result (146 ... 152); -1 for 0.
int TrackerResultText(int result);

class THTTPSendReport {
 public:
  using TConnectionFactory = std::function<std::unique_ptr<THTTPConnectionBase>(const TTrackerEndpoint&)>;
  THTTPSendReport();
  virtual ~THTTPSendReport() = default;
  void SetConnectionClass(TConnectionFactory factory) { factory_ = std::move(factory); }
  // A tracker result code; the last page and its errors in `response`.
  int SendReport(const TTrackerReport& report, THTTPResponse& response);

 protected:
  virtual int Converse(THTTPConnectionBase& c, const TTrackerReport& report, THTTPResponse& response) = 0;

 private:
  TConnectionFactory factory_;
};

class THTTPBugzillaSendReport : public THTTPSendReport {
 protected:
  int Converse(THTTPConnectionBase& c, const TTrackerReport& report, THTTPResponse& response) override;
};
class THTTPFogBugzSendReport : public THTTPSendReport {
 protected:
  int Converse(THTTPConnectionBase& c, const TTrackerReport& report, THTTPResponse& response) override;
};
class THTTPMantisSendReport : public THTTPSendReport {
 protected:
  int Converse(THTTPConnectionBase& c, const TTrackerReport& report, THTTPResponse& response) override;
};

// ---- Tracker delivery ----

// The address, ":" and the port when it is not 0.
std::string ComposeTrackerAddress(const std::string& address, uint32_t port);
// The report's values and the options' tracker settings; the custom web fields are asked for
// anew (the event runs) and the four fixed lines appended.
TTrackerReport TrackerReportValues(const TDeliveryContext& context);
// One attempt by the tracker of the web mode; codes 0 and 1 are success, others a warning.
bool SendTrackerReport(TDeliveryContext& context, TSendProgress& progress);

// ---- Page helpers (case-insensitive; exposed for tests) ----

// The next tag of `opening` ("<input " ...) from `pos`: its text, trimmed, blanks around "="
// removed, entities decoded; `pos` moves past its end marker.
bool NextTagText(std::string_view body, size_t& pos, std::string_view opening, std::string& tagText);
// The value of `attribute` ("name", "value") in a tag text, one pair of quotes removed.
std::string TagAttribute(std::string_view tagText, std::string_view attribute);
std::optional<std::string> InputFieldValue(std::string_view body, const std::string& name);
std::optional<std::string> TextAreaValue(std::string_view body, const std::string& name);
// nullopt without such a select; "" when no option is selected.
std::optional<std::string> SelectedOptionValue(std::string_view body, const std::string& name);
std::optional<std::string> OptionValueByText(std::string_view body, const std::string& name, const std::string& text);
// What follows the n-th (from 1) occurrence of `marker` up to a blank, quote, "&", "<", ">",
// backslash or the end; empty when the marker does not occur.
std::string TextAfterMarker(std::string_view body, std::string_view marker, int n = 1);
std::string QuotedValueAfterMarker(std::string_view body, std::string_view marker);

// The value of one of the four fixed lines ("TL_OSType", ...) of the custom fields.
std::string TrackerFixedValue(const TTrackerReport& report, const std::string& name);
// The exception message, then the reproduce text after "\r\n\r\n---\r\n\r\n" when there is one.
std::string TrackerReportText(const TTrackerReport& report);
