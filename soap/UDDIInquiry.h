// The service-discovery (UDDI inquiry) binding: a document/literal interface that the
// transport's access-point fallback asks. Registered at start-up before any service binding.
#pragma once

#include "soap/InvokeRegistry.h"

extern const WideString SUDDIInquiryNamespace;

class InquireSoap : public IInvokable {
  ZELK_INTERFACE(InquireSoap, "{6C1F54A2-93D7-4E0B-A8F5-2B7D0C9E4A11}")
 public:
  // The access point registered for a binding key; empty when the registry knows none.
  virtual WideString get_bindingDetail(const WideString& bindingKey) = 0;
};

// The unit's start-up: registers once; the first access to the registries creates them.
void InitializeUDDIInquiry();
