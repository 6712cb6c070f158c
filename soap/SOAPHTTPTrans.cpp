#include "soap/SOAPHTTPTrans.h"

#include "soap/HTTPConnection.h"
#include "soap/InvokeRegistry.h"

ZELK_ENUM_INFO(TSOAPInvokeOption, "SOAPHTTPTrans", "soNoValueForEmptySOAPAction", "soIgnoreInvalidCerts",
               "soNoSOAPActionHeader", "soAutoCheckAccessPointViaUDDI")
ZELK_CLASS_INFO(THTTPReqResp, "SOAPHTTPTrans")
ZELK_CLASS_INFO(TStreamLoader, "SOAPHTTPTrans")

namespace {

// The time-outs in force for every transport of the process; a transport with its own
// non-zero values sets them before each request.
std::atomic<int> gConnectTimeout{0};
std::atomic<int> gSendTimeout{0};
std::atomic<int> gReceiveTimeout{0};
std::atomic<int> gClientIdleTimeout{60000};

constexpr const char* kXmlUtf8 = "text/xml; charset=\"utf-8\"";
constexpr const char* kXml = "text/xml";

bool StartsWithText(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

// The boundary parameter of a multipart/related content type; empty for anything else.
std::string BoundaryOf(const std::string& contentType) {
  if (!StartsWithText(contentType, "multipart/related")) return {};
  std::string lower = LowerCase(contentType);
  size_t at = lower.find("boundary=");
  if (at == std::string::npos) return {};
  std::string boundary = contentType.substr(at + 9);
  size_t semicolon = boundary.find(';');
  if (semicolon != std::string::npos) boundary.erase(semicolon);
  boundary = Trim(boundary);
  if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"')
    boundary = boundary.substr(1, boundary.size() - 2);
  return boundary;
}

}  // namespace

// Carries one request's events between the HTTP client and the transport.
class THTTPReqResp::Exchanger : public THTTPExchange {
 public:
  Exchanger(THTTPReqResp& owner, TStream* request, int64_t total, TStream& response, bool get)
      : owner_(owner), request_(request), total_(total), response_(response), get_(get) {}

  void BeforeSend(void* native) override {
    if (owner_.OnBeforePost) owner_.OnBeforePost(owner_, native);
  }

  size_t ReadBody(char* buffer, size_t max) override {
    size_t n = request_->Read(buffer, max);
    if (n == 0) throw ESOAPHTTPException("Invalid HTTP Request: Length is 0");
    if (owner_.OnPostingData) owner_.OnPostingData(request_->Position(), total_);
    return n;
  }

  void HeadersReceived(int status, const std::string& statusText, const std::string& contentType,
                       int64_t contentLength) override {
    // 500 carries a SOAP fault that the caller decodes.
    if (status >= 300 && status != 500)
      throw ESOAPHTTPException("%s (%d) - '%s'", {statusText, status, owner_.url_}, status);
    if (contentLength > 0) {
      CheckSize(contentLength);
      // The announced body lands in one block instead of a growing one.
      if (auto* memory = dynamic_cast<TMemoryStream*>(&response_))
        memory->Data().reserve(memory->Data().size() + static_cast<size_t>(contentLength));
    }
    owner_.contentType_ = contentType;
    owner_.mimeBoundary_ = BoundaryOf(contentType);
  }

  void BodyReceived(const char* data, size_t count) override {
    received_ += static_cast<int64_t>(count);
    CheckSize(received_);
    response_.WriteBuffer(data, count);
    if (owner_.OnReceivingData)
      owner_.OnReceivingData(static_cast<int64_t>(count), static_cast<int64_t>(count));
  }

  // After the transfer: a POST must not be answered with a plain text or HTML page.
  void CheckContentType() const {
    const std::string& ct = owner_.contentType_;
    if (!get_ && (SameText(ct, "text/plain") || SameText(ct, "text/html")))
      throw ESOAPHTTPException("Received content of invalid Content-Type setting: %s - SOAP expects \"text/xml\"",
                               {ct});
  }

 private:
  // A server we do not control must not make the answer fill the memory.
  void CheckSize(int64_t size) const {
    int64_t limit = owner_.maxResponseSize_;
    if (limit > 0 && size > limit) throw ESOAPHTTPException("Response exceeds %d bytes", {TVarRec(limit)});
  }

  THTTPReqResp& owner_;
  TStream* request_;
  int64_t received_ = 0;
  int64_t total_;
  TStream& response_;
  bool get_;
};

THTTPReqResp::THTTPReqResp(TComponent* owner) : TComponent(owner) {}

THTTPReqResp::~THTTPReqResp() { Disconnect(); }

HRESULT THTTPReqResp::QueryInterface(const TGUID& iid, void** obj) {
  if (iid == IInterface::IID || iid == IWebNode::IID) {
    *obj = static_cast<IWebNode*>(this);
  } else if (iid == IHTTPReqResp::IID) {
    *obj = static_cast<IHTTPReqResp*>(this);
  } else {
    *obj = nullptr;
    return E_NOINTERFACE;
  }
  _AddRef();
  return S_OK;
}

int32_t THTTPReqResp::_AddRef() { return ++refCount_; }

int32_t THTTPReqResp::_Release() {
  int32_t r = --refCount_;
  if (r == 0 && !Owner()) delete this;
  return r;
}

THTTPTimeouts THTTPReqResp::ProcessTimeouts() {
  return {gConnectTimeout.load(), gSendTimeout.load(), gReceiveTimeout.load()};
}

void THTTPReqResp::SetProcessTimeouts(const THTTPTimeouts& t) {
  gConnectTimeout = t.Connect;
  gSendTimeout = t.Send;
  gReceiveTimeout = t.Receive;
}

int THTTPReqResp::ClientIdleTimeout() { return gClientIdleTimeout.load(); }

void THTTPReqResp::SetClientIdleTimeout(int ms) { gClientIdleTimeout = ms > 0 ? ms : 0; }

THTTPTimeouts THTTPReqResp::ApplyTimeouts() const {
  if (timeouts_.Connect > 0) gConnectTimeout = timeouts_.Connect;
  if (timeouts_.Send > 0) gSendTimeout = timeouts_.Send;
  if (timeouts_.Receive > 0) gReceiveTimeout = timeouts_.Receive;
  return ProcessTimeouts();
}

void THTTPReqResp::SetURL(const std::string& url) {
  AssignURL(url);
  userSetURL_ = !url.empty();
}

void THTTPReqResp::AssignURL(const std::string& url) {
  std::string requestURL;
  if (!url.empty() && !SplitHTTPURL(url, requestURL))
    throw ESOAPHTTPException("Invalid url '%s' - only supports 'http' and 'https' schemes", {url});
  url_ = url;
  requestURL_ = requestURL;
  Disconnect();
}

void THTTPReqResp::SetUserName(const std::string& userName) {
  userName_ = userName;
  if (wsdlView_) wsdlView_->SetUserName(userName);
}

void THTTPReqResp::SetPassword(const std::string& password) {
  password_ = password;
  if (wsdlView_) wsdlView_->SetPassword(password);
}

void THTTPReqResp::SetProxy(const std::string& proxy) {
  proxy_ = proxy;
  if (wsdlView_) wsdlView_->SetProxy(proxy);
}

std::string THTTPReqResp::ContentType() const {
  return useUTF8InHeader_ ? kXmlUtf8 : kXml;
}

std::string THTTPReqResp::SoapActionText() const {
  if (soapAction_.empty() && !invokeOptions_.Contains(soNoValueForEmptySOAPAction)) return "\"\"";
  return soapAction_;
}

std::string THTTPReqResp::SoapActionHeader() const {
  std::string line;
  SoapActionHeaderInto(line);
  return line;
}

void THTTPReqResp::SoapActionHeaderInto(std::string& line) const {
  if (soapAction_.empty() && !invokeOptions_.Contains(soNoValueForEmptySOAPAction)) {
    line.assign("SOAPAction: \"\"");
  } else if (soapAction_.empty()) {
    line.assign("SOAPAction:");
  } else if (soapAction_ == "\"\"") {
    line.assign("SOAPAction: \"\"");
  } else {
    line.assign("SOAPAction: \"").append(soapAction_).append("\"");
  }
}

void THTTPReqResp::PrepareCall(const TIntfMetaData& md, const TIntfMethEntry& me, int methodIndex,
                               IMimeAttachmentHandler* handler) {
  TInvokableClassRegistry* registry = GetInvokableRegistry();
  WideString external = registry->GetMethodExternalName(md.Info, me.Name);
  if (userSetURL_) {
    soapAction_ = registry->GetSoapAction(md.Info, external, methodIndex);
  } else {
    if (!wsdlView_)
      throw ESOAPHTTPException(
          "No WSDL or URL property was set in the THTTPRIO component. You must set the WSDL or URL property "
          "before invoking the Web Service");
    std::string endpoint = wsdlView_->EndpointURL();
    if (endpoint.empty())
      throw ESOAPHTTPException("Unable to retrieve the URL endpoint for Service/Port '%s'/'%s' from WSDL '%s'",
                               {wsdlView_->Service(), wsdlView_->Port(), wsdlView_->WSDLFileName()});
    if (endpoint != url_) AssignURL(endpoint);
    soapAction_ = wsdlView_->SoapAction(Utf16ToUtf8(external));
  }
  if (handler) {
    binding_ = Binding::Mime;
    mimeBoundary_ = handler->GetMIMEBoundary();
    handler->AddSoapHeader("Content-Type: " + ContentType());
    handler->AddSoapHeader(SoapActionHeader());
  } else {
    binding_ = Binding::Soap;
  }
}

void THTTPReqResp::Connect() {
  if (connection_) return;
  connection_ = THTTPClientConnection::Open({agent_, proxy_, proxyByPass_, userName_, password_});
}

void THTTPReqResp::Disconnect() { connection_.reset(); }

void THTTPReqResp::RaiseClientError(const std::string& text) const {
  throw ESOAPHTTPException("%s - URL:%s - SOAPAction:%s", {text, url_, SoapActionText()});
}

void THTTPReqResp::Post(TStream& request, TStream& response) {
  try {
    Connect();
    // One request object for every post of this transport: its texts keep their room, so a
    // call on a kept connection builds its URL and header lines without allocating.
    if (!post_) post_ = std::make_unique<THTTPRequest>();
    THTTPRequest& req = *post_;
    req.Get = false;
    req.URL.assign(requestURL_);
    req.IgnoreInvalidCerts = invokeOptions_.Contains(soIgnoreInvalidCerts);
    req.BeforeSendHook = static_cast<bool>(OnBeforePost);
    req.Timeouts = ApplyTimeouts();
    req.IdleFallback = ClientIdleTimeout();
    req.SingleBody = nullptr;
    req.Streamed = false;
    req.StreamedSize = 0;
    req.PieceSize = static_cast<size_t>(kMaxSinglePostSize);

    size_t lines = 0;
    auto line = [&req, &lines]() -> std::string& {
      if (req.Headers.size() <= lines) req.Headers.emplace_back();
      return req.Headers[lines++];
    };
    if (binding_ == Binding::Mime) line().assign("MIME-Version: 1.0");
    if (!invokeOptions_.Contains(soNoSOAPActionHeader)) SoapActionHeaderInto(line());
    std::string& contentType = line().assign("Content-Type: ");
    if (binding_ == Binding::Mime)
      contentType.append("multipart/related; boundary=").append(mimeBoundary_);
    else
      contentType.append(useUTF8InHeader_ ? kXmlUtf8 : kXml);
    req.Headers.resize(lines);

    request.SetPosition(0);
    int64_t size = request.Size();
    std::string single;
    if (size <= kMaxSinglePostSize) {
      // A memory stream is sent from its own buffer; any other is read into one.
      if (auto* memory = dynamic_cast<TMemoryStream*>(&request)) {
        req.SingleBody = &memory->DataString();
      } else {
        single.resize(static_cast<size_t>(size));
        request.ReadBuffer(single.data(), single.size());
        req.SingleBody = &single;
      }
    } else {
      req.Streamed = true;
      req.StreamedSize = size;
    }

    Exchanger ex(*this, &request, size, response, false);
    contentType_.clear();
    try {
      connection_->Perform(req, ex);
    } catch (const EHTTPClientError& e) {
      RaiseClientError(e.Message());
    }
    ex.CheckContentType();
  } catch (...) {
    Disconnect();
    throw;
  }
}

void THTTPReqResp::Exchange(TStream& request, TStream& response) {
  bool uddiArmed = invokeOptions_.Contains(soAutoCheckAccessPointViaUDDI) && !uddiBindingKey_.empty() &&
                   !uddiOperator_.empty();
  for (;;) {
    try {
      Post(request, response);
      return;
    } catch (const ESOAPHTTPException& e) {
      int status = e.StatusCode();
      if (!uddiArmed || (status != 404 && status != 405 && status != 410)) throw;
      uddiArmed = false;
      std::string accessPoint;
      try {
        if (uddiLookup_) accessPoint = uddiLookup_(uddiOperator_, uddiBindingKey_);
      } catch (const std::exception&) {  // a failed lookup is the same as no answer
      }
      if (accessPoint.empty() || accessPoint == url_) throw ESOAPHTTPException(e.Message());
      SetURL(accessPoint);
    }
  }
}

void THTTPReqResp::ExchangeText(const std::string& request, TStream& response) {
  TMemoryStream stream(request);
  Exchange(stream, response);
}

std::unique_ptr<TStream> THTTPReqResp::ExchangeToNewStream(TStream& request) {
  auto response = std::make_unique<TMemoryStream>();
  Exchange(request, *response);
  return response;
}

void THTTPReqResp::GetDocument(TStream& stream) {
  if (url_.empty()) throw ESOAPHTTPException("No URL was specified for 'GET'");
  try {
    Connect();
    THTTPRequest req;
    req.Get = true;
    req.URL = requestURL_;
    req.IgnoreInvalidCerts = invokeOptions_.Contains(soIgnoreInvalidCerts);
    req.BeforeSendHook = static_cast<bool>(OnBeforePost);
    req.Timeouts = ApplyTimeouts();
    req.IdleFallback = ClientIdleTimeout();
    req.Headers.push_back("Accept: */*");
    Exchanger ex(*this, nullptr, 0, stream, true);
    contentType_.clear();
    try {
      connection_->Perform(req, ex);
    } catch (const EHTTPClientError& e) {
      RaiseClientError(e.Message());
    }
  } catch (...) {
    Disconnect();
    throw;
  }
  Disconnect();
}

TStreamLoader::TStreamLoader() : transport_(new THTTPReqResp()) {}

TStreamLoader::~TStreamLoader() = default;

HRESULT TStreamLoader::QueryInterface(const TGUID& iid, void** obj) {
  if (iid == IStreamLoader::IID) {
    *obj = static_cast<IStreamLoader*>(this);
    _AddRef();
    return S_OK;
  }
  return TInterfacedObject::QueryInterface(iid, obj);
}

void TStreamLoader::Load(const std::string& location, TStream& stream) {
  std::string where = Trim(location);
  if (StartsWithText(where, "http://") || StartsWithText(where, "https://")) {
    THTTPReqResp& t = Transport();
    t.SetURL(where);
    t.SetUserName(userName_);
    t.SetPassword(password_);
    t.SetProxy(proxy_);
    if (timeout_ != 0) {
      t.SetConnectTimeout(timeout_);
      t.SetSendTimeout(timeout_);
      t.SetReceiveTimeout(timeout_);
    }
    t.GetDocument(stream);
    return;
  }
  TFileStream file(where, fmOpenRead);
  stream.CopyFrom(file, 0);
}
