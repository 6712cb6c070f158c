// The HTTP transport of the SOAP runtime: posts a request envelope and collects the answer,
// and a small document loader that fetches a location with GET.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "runtime/Classes.h"
#include "runtime/Sets.h"
#include "runtime/Strings.h"
#include "soap/WebNode.h"

// A transport failure: the HTTP status for a refused status, 0 for everything else.
class ESOAPHTTPException : public Exception {
 public:
  explicit ESOAPHTTPException(std::string message, int statusCode = 0)
      : Exception(std::move(message)), statusCode_(statusCode) {}
  ESOAPHTTPException(std::string_view fmt, std::initializer_list<TVarRec> args, int statusCode = 0)
      : Exception(fmt, args), statusCode_(statusCode) {}
  int StatusCode() const { return statusCode_; }
  void SetStatusCode(int code) { statusCode_ = code; }

 private:
  int statusCode_;
};

enum TSOAPInvokeOption : uint8_t {
  soNoValueForEmptySOAPAction,
  soIgnoreInvalidCerts,
  soNoSOAPActionHeader,
  soAutoCheckAccessPointViaUDDI,
};
ZELK_DECLARE_ENUM(TSOAPInvokeOption);
using TSOAPInvokeOptions = TSet<TSOAPInvokeOption>;

// What the transport needs of a service description when no URL was set: the endpoint of its
// service and port, the SOAP action of an operation, and the credentials for fetching it.
class TWSDLView {
 public:
  virtual ~TWSDLView() = default;
  virtual std::string Service() const = 0;
  virtual std::string Port() const = 0;
  virtual std::string WSDLFileName() const = 0;
  // The endpoint of the service and port; empty when the description has none.
  virtual std::string EndpointURL() = 0;
  virtual std::string SoapAction(const std::string& operationName) = 0;
  virtual void SetUserName(const std::string& userName) = 0;
  virtual void SetPassword(const std::string& password) = 0;
  virtual void SetProxy(const std::string& proxy) = 0;
};

class THTTPReqResp;
class THTTPClientConnection;
struct THTTPRequest;

// Access to the transport object behind an interface reference.
class IHTTPReqResp : public IInterface {
  ZELK_INTERFACE(IHTTPReqResp, "{3E1B6C2D-8F47-4A90-B5D1-6C0E2F9A7B34}")
 public:
  virtual THTTPReqResp* GetHTTPReqResp() = 0;
};

// Time-outs in milliseconds; 0 leaves the HTTP client's own setting.
struct THTTPTimeouts {
  int Connect = 0;
  int Send = 0;
  int Receive = 0;
};

class THTTPReqResp : public TComponent, public IWebNode, public IHTTPReqResp {
  ZELK_CLASS(THTTPReqResp, TComponent)
 public:
  // After the headers are set, before the body goes out. `request` is the HTTP client's
  // request handle (a CURL*), valid during the call.
  using TBeforePostEvent = std::function<void(THTTPReqResp& sender, void* request)>;
  // A body above kMaxSinglePostSize goes out in pieces of that size: after each piece is
  // handed to the HTTP client, the stream position and the body size.
  using TPostingDataEvent = std::function<void(int64_t sent, int64_t total)>;
  // After each block of the answer is appended to the response stream: the block's size, twice.
  using TReceivingDataEvent = std::function<void(int64_t read, int64_t total)>;
  // Asks the service registry at `operatorURL` for the current access point of a binding;
  // returns it, or empty when there is none.
  using TUDDILookup = std::function<std::string(const std::string& operatorURL, const WideString& bindingKey)>;

  static constexpr const char* kDefaultAgent = "Quorand SOAP 1.2";
  static constexpr int64_t kMaxSinglePostSize = 32768;
  static constexpr int64_t kDefaultMaxResponseSize = int64_t{64} << 20;
  // Certificates are checked unless a caller sets soIgnoreInvalidCerts: accepting any of them
  // by default let anyone in the middle read and change https traffic unnoticed.
  static constexpr TSOAPInvokeOptions kDefaultInvokeOptions{soAutoCheckAccessPointViaUDDI};

  // Without an owner the object lives as long as its interface references.
  explicit THTTPReqResp(TComponent* owner = nullptr);
  ~THTTPReqResp() override;

  // IInterface: counted for every instance; only an unowned one destroys itself at zero.
  HRESULT QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override;
  int32_t _Release() override;

  // IWebNode
  void ExchangeText(const std::string& request, TStream& response) override;
  void PrepareCall(const TIntfMetaData& md, const TIntfMethEntry& me, int methodIndex,
                   IMimeAttachmentHandler* handler) override;
  void Exchange(TStream& request, TStream& response) override;
  std::unique_ptr<TStream> ExchangeToNewStream(TStream& request) override;
  std::string GetMimeBoundary() override { return mimeBoundary_; }
  void SetMimeBoundary(const std::string& boundary) override { mimeBoundary_ = boundary; }

  // IHTTPReqResp
  THTTPReqResp* GetHTTPReqResp() override { return this; }

  // GET of the URL into `stream`; the connection is dropped afterwards.
  void GetDocument(TStream& stream);

  // Raises ESOAPHTTPException for a scheme other than http or https; always disconnects.
  void SetURL(const std::string& url);
  const std::string& URL() const { return url_; }
  const std::string& SoapAction() const { return soapAction_; }
  void SetSoapAction(const std::string& action) { soapAction_ = action; }
  // The response's Content-Type of the last exchange.
  const std::string& ResponseContentType() const { return contentType_; }

  const std::string& Agent() const { return agent_; }
  void SetAgent(const std::string& agent) { agent_ = agent; }
  const std::string& UserName() const { return userName_; }
  void SetUserName(const std::string& userName);
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& password);
  // Proxy list ("host:port", or per scheme "http=host:port https=host:port"); non-empty
  // sends through it, empty uses the environment's proxy settings.
  const std::string& Proxy() const { return proxy_; }
  void SetProxy(const std::string& proxy);
  // Hosts reached directly, separated by ';' or blanks; '*' matches any text, "<local>" any
  // host name without a dot.
  const std::string& ProxyByPass() const { return proxyByPass_; }
  void SetProxyByPass(const std::string& byPass) { proxyByPass_ = byPass; }
  bool UseUTF8InHeader() const { return useUTF8InHeader_; }
  void SetUseUTF8InHeader(bool on) { useUTF8InHeader_ = on; }
  TSOAPInvokeOptions InvokeOptions() const { return invokeOptions_; }
  void SetInvokeOptions(TSOAPInvokeOptions options) { invokeOptions_ = options; }
  const WideString& UDDIBindingKey() const { return uddiBindingKey_; }
  void SetUDDIBindingKey(const WideString& key) { uddiBindingKey_ = key; }
  const std::string& UDDIOperator() const { return uddiOperator_; }
  void SetUDDIOperator(const std::string& op) { uddiOperator_ = op; }
  void SetUDDILookup(TUDDILookup lookup) { uddiLookup_ = std::move(lookup); }

  TWSDLView* WSDLView() const { return wsdlView_; }
  void SetWSDLView(TWSDLView* view) { wsdlView_ = view; }

  // Milliseconds, 0 by default. A value above 0 becomes the process-wide setting at the next
  // send, which every transport of the process then uses.
  int ConnectTimeout() const { return timeouts_.Connect; }
  void SetConnectTimeout(int ms) { timeouts_.Connect = ms; }
  int SendTimeout() const { return timeouts_.Send; }
  void SetSendTimeout(int ms) { timeouts_.Send = ms; }
  int ReceiveTimeout() const { return timeouts_.Receive; }
  void SetReceiveTimeout(int ms) { timeouts_.Receive = ms; }
  // The largest answer accepted, in bytes (kDefaultMaxResponseSize; 0 or less: no limit). A
  // larger one, whether announced by Content-Length or counted as it arrives, ends the call
  // with ESOAPHTTPException "Response exceeds %d bytes" before more of it is read.
  int64_t MaxResponseSize() const { return maxResponseSize_; }
  void SetMaxResponseSize(int64_t bytes) { maxResponseSize_ = bytes; }

  static THTTPTimeouts ProcessTimeouts();
  static void SetProcessTimeouts(const THTTPTimeouts& timeouts);
  // The HTTP client's own idle limit: how long a send or receive may go without a byte while
  // its time-out is 0. A server that stalls must not hang the caller for ever; 0 waits
  // without end. 60000 by default; process-wide.
  static int ClientIdleTimeout();
  static void SetClientIdleTimeout(int ms);

  TBeforePostEvent OnBeforePost;
  TPostingDataEvent OnPostingData;
  TReceivingDataEvent OnReceivingData;

  // The Content-Type header value of a plain SOAP request.
  std::string ContentType() const;
  // The SOAP action as sent: the stored one, or "\"\"" for an empty one unless
  // soNoValueForEmptySOAPAction.
  std::string SoapActionText() const;
  // "SOAPAction: ..." for the current action.
  std::string SoapActionHeader() const;

 private:
  class Exchanger;
  enum class Binding { Soap, Mime };

  void Connect();
  void Disconnect();
  // One POST: send, receive into `response`; disconnects and re-raises on failure.
  void Post(TStream& request, TStream& response);
  void AssignURL(const std::string& url);
  // Makes this object's non-zero time-outs the process-wide ones; returns those in force.
  THTTPTimeouts ApplyTimeouts() const;
  void SoapActionHeaderInto(std::string& line) const;
  [[noreturn]] void RaiseClientError(const std::string& text) const;

  std::atomic<int32_t> refCount_{0};
  std::string url_;
  std::string requestURL_;  // scheme://host:port/path as sent
  bool userSetURL_ = false;
  std::string soapAction_;
  std::string agent_ = kDefaultAgent;
  std::string userName_;
  std::string password_;
  std::string proxy_;
  std::string proxyByPass_;
  bool useUTF8InHeader_ = true;
  TSOAPInvokeOptions invokeOptions_ = kDefaultInvokeOptions;
  WideString uddiBindingKey_;
  std::string uddiOperator_;
  TUDDILookup uddiLookup_;
  TWSDLView* wsdlView_ = nullptr;
  THTTPTimeouts timeouts_;
  int64_t maxResponseSize_ = kDefaultMaxResponseSize;
  Binding binding_ = Binding::Soap;
  std::string mimeBoundary_;
  std::string contentType_;
  std::unique_ptr<THTTPClientConnection> connection_;
  std::unique_ptr<THTTPRequest> post_;  // reused by every post
};

// Loads a document by location: http and https with GET, anything else as a local file.
class IStreamLoader : public IInterface {
  ZELK_INTERFACE(IStreamLoader, "{9A4F0E21-5C3B-4D8E-A761-0B2C4D6E8F13}")
 public:
  virtual void Load(const std::string& location, TStream& stream) = 0;
  virtual void SetUserName(const std::string& userName) = 0;
  virtual void SetPassword(const std::string& password) = 0;
  virtual void SetProxy(const std::string& proxy) = 0;
  virtual void SetTimeout(int ms) = 0;
};

class TStreamLoader : public TInterfacedObject, public IStreamLoader {
  ZELK_CLASS(TStreamLoader, TInterfacedObject)
 public:
  TStreamLoader();
  ~TStreamLoader() override;

  HRESULT QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override { return TInterfacedObject::_AddRef(); }
  int32_t _Release() override { return TInterfacedObject::_Release(); }

  void Load(const std::string& location, TStream& stream) override;
  void SetUserName(const std::string& userName) override { userName_ = userName; }
  void SetPassword(const std::string& password) override { password_ = password; }
  void SetProxy(const std::string& proxy) override { proxy_ = proxy; }
  void SetTimeout(int ms) override { timeout_ = ms; }

  THTTPReqResp& Transport() { return *transport_->GetHTTPReqResp(); }

 private:
  TIntfPtr<IHTTPReqResp> transport_;
  std::string userName_;
  std::string password_;
  std::string proxy_;
  int timeout_ = 0;
};
