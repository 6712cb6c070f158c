#include "soap/UDDIInquiry.h"

#include <mutex>

const WideString SUDDIInquiryNamespace = u"urn:uddi-org:api_v2";

ZELK_INTERFACE_INFO(InquireSoap, IInvokable, "UDDIInquiry",
                    ZELK_METHOD("get_bindingDetail", ccStdCall, TypeInfo<WideString>(),
                                ZELK_PARAM(pfConst, "bindingKey", WideString)))

void InitializeUDDIInquiry() {
  static std::once_flag once;
  std::call_once(once, [] {
    TInvokableClassRegistry* inv = GetInvokableRegistry();
    inv->AddInterface(TypeInfo<InquireSoap>(), SUDDIInquiryNamespace, u"UTF-8");
    inv->SetDefaultSoapAction(TypeInfo<InquireSoap>(), "\"\"");
    inv->AddInvokeOption(TypeInfo<InquireSoap>(), ioDocument);
    inv->AddInvokeOption(TypeInfo<InquireSoap>(), ioLiteral);
  });
}
