#include "soap/SOAPHTTPClient.h"

#include "soap/OPToSOAPDomConv.h"
#include "soap/XMLDoc.h"

ZELK_CLASS_INFO(THTTPRIO, "SOAPHTTPClient")

// A service description read on demand: the endpoint of one service and port. Reading fetches
// the document through the stream loader (GET for http and https, a file otherwise).
class TWSDLDescription : public TWSDLView {
 public:
  std::string Service() const override { return service_; }
  std::string Port() const override { return port_; }
  std::string WSDLFileName() const override { return fileName_; }
  void SetService(const std::string& s) { service_ = s; }
  void SetPort(const std::string& p) { port_ = p; }
  void SetFileName(const std::string& f) {
    fileName_ = f;
    loaded_ = false;
  }
  void Deactivate() { loaded_ = false; }
  void SetUserName(const std::string& u) override { userName_ = u; }
  void SetPassword(const std::string& p) override { password_ = p; }
  void SetProxy(const std::string& p) override { proxy_ = p; }

  std::string EndpointURL() override {
    Load();
    for (const Port_& p : ports_)
      if ((service_.empty() || p.service == service_) && (port_.empty() || p.port == port_)) return p.address;
    return {};
  }
  std::string SoapAction(const std::string& operationName) override {
    Load();
    for (const auto& [op, action] : actions_)
      if (op == operationName) return action;
    return {};
  }

 private:
  struct Port_ {
    std::string service, port, address;
  };

  void Load() {
    if (loaded_) return;
    ports_.clear();
    actions_.clear();
    TIntfPtr<IStreamLoader> loader(new TStreamLoader);
    loader->SetUserName(userName_);
    loader->SetPassword(password_);
    loader->SetProxy(proxy_);
    TMemoryStream data;
    loader->Load(fileName_, data);
    TIntfPtr<IXMLDocument> doc = LoadXMLDocumentBytes(data.DataString());
    Walk(doc->DocumentElement().Get(), {}, {});
    loaded_ = true;
  }

  // Collects service/port/address and operation/soapAction pairs, whatever the prefixes.
  void Walk(IXMLNode* node, const std::string& service, const std::string& port) {
    if (!node || node->NodeType() != ntElement) return;
    std::string local = Utf16ToUtf8(node->LocalName());
    std::string s = service, p = port;
    if (local == "service") s = Utf16ToUtf8(node->GetAttribute(u"name"));
    if (local == "port") p = Utf16ToUtf8(node->GetAttribute(u"name"));
    if (local == "address" && !p.empty())
      ports_.push_back({s, p, Utf16ToUtf8(node->GetAttribute(u"location"))});
    if (local == "operation" && node->HasAttribute(u"soapAction"))
      actions_.emplace_back(Utf16ToUtf8(node->ParentNode()->GetAttribute(u"name")),
                            Utf16ToUtf8(node->GetAttribute(u"soapAction")));
    TIntfPtr<IXMLNodeList> children = node->ChildNodes();
    for (int i = 0; i < children->Count(); ++i) Walk(children->Get(i).Get(), s, p);
  }

  std::string service_, port_, fileName_, userName_, password_, proxy_;
  bool loaded_ = false;
  std::vector<Port_> ports_;
  std::vector<std::pair<std::string, std::string>> actions_;
};

THTTPRIO::THTTPRIO(TComponent* owner) : TRIO(owner, TDeferLoaded{}) {
  CreateDefaultConverter();
  CreateDefaultWebNode();
  Loaded();
}

THTTPRIO::~THTTPRIO() {
  BeginDestroy();
  SetConverterIntf(nullptr);
  SetWebNodeIntf(nullptr);
  if (webNode_) webNode_->SetWSDLView(nullptr);
  description_.reset();
}

void THTTPRIO::CreateDefaultConverter() {
  defaultConverter_ = new TOPToSoapDomConvert(this);
  defaultConverter_->SetName("Converter1");
  defaultConverter_->SetSubComponent(true);
  converter_ = defaultConverter_;
  SetConverterIntf(TIntfPtr<IOPConvert>(static_cast<IOPConvert*>(converter_)));
}

void THTTPRIO::CreateDefaultWebNode() {
  defaultWebNode_ = new THTTPReqResp(this);
  defaultWebNode_->SetName("HTTPWebNode1");
  defaultWebNode_->SetSubComponent(true);
  webNode_ = defaultWebNode_;
  SetWebNodeIntf(TIntfPtr<IWebNode>(static_cast<IWebNode*>(webNode_)));
  AttachView();
}

void THTTPRIO::AttachView() {
  if (webNode_) webNode_->SetWSDLView(description_.get());
}

void THTTPRIO::AfterBind() {
  if (webNode_) webNode_->SetSoapAction(GetInvokableRegistry()->GetSoapActionOfGuid(IntfMD().IID));
}

std::string THTTPRIO::URL() const { return webNode_ ? webNode_->URL() : std::string(); }

void THTTPRIO::SetURL(const std::string& url) {
  if (!webNode_) CreateDefaultWebNode();
  webNode_->SetURL(url);
  if (!url.empty()) {
    wsdlLocation_.clear();
    AttachView();
  }
}

void THTTPRIO::SetWSDLLocation(const std::string& location) {
  if (!location.empty() && webNode_) webNode_->SetURL("");
  if (!description_) description_ = std::make_unique<TWSDLDescription>();
  AttachView();
  description_->Deactivate();
  wsdlLocation_ = location;
  description_->SetFileName(location);
  description_->SetPort("");
  description_->SetService("");
}

std::string THTTPRIO::Service() const { return description_ ? description_->Service() : std::string(); }
void THTTPRIO::SetService(const std::string& s) {
  if (description_) description_->SetService(s);
}
std::string THTTPRIO::Port() const { return description_ ? description_->Port() : std::string(); }
void THTTPRIO::SetPort(const std::string& p) {
  if (description_) description_->SetPort(p);
}

THTTPReqResp* THTTPRIO::HTTPWebNode() {
  if (!webNode_) CreateDefaultWebNode();
  return webNode_;
}

void THTTPRIO::SetHTTPWebNode(THTTPReqResp* node) {
  if (node == webNode_) return;
  THTTPReqResp* old = webNode_;
  if (!node) {
    // Back to the default sub-component.
    if (old && old != defaultWebNode_ && old->Owner() == this) delete old;
    else if (old) RemoveFreeNotification(old);
    webNode_ = nullptr;
    if (defaultWebNode_) {
      webNode_ = defaultWebNode_;
      SetWebNodeIntf(TIntfPtr<IWebNode>(static_cast<IWebNode*>(webNode_)));
      AttachView();
    } else {
      CreateDefaultWebNode();
    }
    return;
  }
  // The new transport inherits the endpoint when it has none of its own.
  if (old) {
    if (node->URL().empty() && !old->URL().empty()) node->SetURL(old->URL());
    if (node->UDDIOperator().empty()) node->SetUDDIOperator(old->UDDIOperator());
    if (node->UDDIBindingKey().empty()) node->SetUDDIBindingKey(old->UDDIBindingKey());
    if (old != defaultWebNode_ && old->Owner() == this) delete old;
    else RemoveFreeNotification(old);
  }
  webNode_ = node;
  SetWebNodeIntf(TIntfPtr<IWebNode>(static_cast<IWebNode*>(node)));
  FreeNotification(node);
  AttachView();
}

TOPToSoapDomConvert* THTTPRIO::Converter() {
  if (!converter_) CreateDefaultConverter();
  return converter_;
}

void THTTPRIO::SetConverter(TOPToSoapDomConvert* converter) {
  if (converter == converter_) return;
  TOPToSoapDomConvert* old = converter_;
  if (old && old != defaultConverter_ && old->Owner() == this) delete old;
  else if (old) RemoveFreeNotification(old);
  converter_ = converter;
  SetConverterIntf(converter ? TIntfPtr<IOPConvert>(static_cast<IOPConvert*>(converter)) : TIntfPtr<IOPConvert>());
  if (converter) FreeNotification(converter);
}

void THTTPRIO::Notification(TComponent* component, TOperation operation) {
  TRIO::Notification(component, operation);
  if (operation != opRemove || Destroying()) return;
  if (component == webNode_) {
    webNode_ = nullptr;
    SetWebNodeIntf(nullptr);
  }
  if (component == defaultWebNode_) defaultWebNode_ = nullptr;
  if (component == converter_) {
    converter_ = nullptr;
    SetConverterIntf(nullptr);
  }
  if (component == defaultConverter_) defaultConverter_ = nullptr;
}
