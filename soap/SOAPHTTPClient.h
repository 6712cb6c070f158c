// THTTPRIO: the remote invocation proxy with the HTTP transport and the SOAP converter as its
// default sub-components, bound either to an endpoint URL or to a service description.
#pragma once

#include <memory>
#include <string>

#include "soap/Rio.h"
#include "soap/SOAPHTTPTrans.h"

class TOPToSoapDomConvert;
class TWSDLDescription;

class THTTPRIO : public TRIO {
  ZELK_CLASS(THTTPRIO, TRIO)
 public:
  explicit THTTPRIO(TComponent* owner = nullptr);
  ~THTTPRIO() override;

  const std::string& WSDLLocation() const { return wsdlLocation_; }
  void SetWSDLLocation(const std::string& location);
  // The description's service and port; empty, and ignored when set, without a description.
  std::string Service() const;
  void SetService(const std::string& service);
  std::string Port() const;
  void SetPort(const std::string& port);
  // The transport's URL. Setting a non-empty one clears WSDLLocation (URL mode).
  std::string URL() const;
  void SetURL(const std::string& url);

  // The current transport and converter; the defaults are re-created when there is none.
  THTTPReqResp* HTTPWebNode();
  void SetHTTPWebNode(THTTPReqResp* node);
  TOPToSoapDomConvert* Converter();
  void SetConverter(TOPToSoapDomConvert* converter);

 protected:
  void AfterBind() override;
  void Notification(TComponent* component, TOperation operation) override;

 private:
  void CreateDefaultWebNode();
  void CreateDefaultConverter();
  void AttachView();

  THTTPReqResp* defaultWebNode_ = nullptr;
  TOPToSoapDomConvert* defaultConverter_ = nullptr;
  THTTPReqResp* webNode_ = nullptr;
  TOPToSoapDomConvert* converter_ = nullptr;
  std::string wsdlLocation_;
  std::unique_ptr<TWSDLDescription> description_;
};
