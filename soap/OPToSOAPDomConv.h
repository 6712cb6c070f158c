// The message converter of the client: one call on a registered interface becomes a SOAP 1.1
// request document, and the answer (values, multi-reference elements, or a fault) becomes the
// result, the out parameters and the inbound headers of the call.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "soap/SOAPDomConv.h"

// Base of fault classes that the type registry can name: when a fault's detail element has
// the XML type of a registered subclass, that subclass is raised instead of
// ERemotableException, its published properties filled from the detail's children.
class ERemotableFault : public ERemotableException, public TObject {
  ZELK_CLASS(ERemotableFault, TObject)
 public:
  ERemotableFault() = default;
  using ERemotableException::ERemotableException;
  // Throws a copy of this exception as its own class.
  [[noreturn]] virtual void Raise() const { throw *this; }
};

// Inside the body of a subclass of ERemotableFault.
#define ZELK_FAULT_CLASS(Name, Parent) \
  ZELK_CLASS(Name, Parent)             \
  [[noreturn]] void Raise() const override { throw *this; }

using TMemberDataNotReceivedEvent = std::function<void(const std::string& className, const std::string& member)>;
using TUnhandledNodeEvent = std::function<void(const WideString& name, const WideString& nodeXML)>;

class TOPToSoapDomConvert : public TSOAPDomConv, public IOPConvert, public IObjConverter {
  ZELK_CLASS(TOPToSoapDomConvert, TSOAPDomConv)
 public:
  // Without an owner the converter lives as long as its interface references.
  explicit TOPToSoapDomConvert(TComponent* owner = nullptr);
  ~TOPToSoapDomConvert() override;

  HRESULT QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override;
  int32_t _Release() override;

  TSOAPConvertOptions Options() const { return options_; }
  WideString Encoding() const { return encoding_; }
  const std::string& TempDir() const { return tempDir_; }

  TMemberDataNotReceivedEvent OnMemberDataNotReceived;
  TUnhandledNodeEvent OnUnhandledNode;

  // ---- IOPConvert ----
  TSOAPConvertOptions GetOptions() override { return options_; }
  void SetOptions(TSOAPConvertOptions options) override { options_ = options; }
  // The list owns its attachments: ClearAttachments destroys them.
  TSoapDataList& GetAttachments() override { return attachments_; }
  void SetAttachments(const TSoapDataList& attachments) override;
  std::string GetTempDir() override { return tempDir_; }
  // A folder without a trailing separator gets one.
  void SetTempDir(const std::string& dir) override;
  WideString GetEncoding() override { return encoding_; }
  void SetEncoding(const WideString& encoding) override { encoding_ = encoding; }
  std::unique_ptr<TStream> BuildRequest(const TIntfMetaData& md, int methNum, TInvContext& context,
                                        THeaderList* headers) override;
  void ReadResponse(TStream& response, const TIntfMetaData& md, const TIntfMethEntry& me, TInvContext& context,
                    THeaderList* headers) override;
  void ReadResponse(const WideString& response, const TIntfMetaData& md, const TIntfMethEntry& me,
                    TInvContext& context, THeaderList* headers) override;
  void ReadResponse(IXMLDocument* response, const TIntfMetaData& md, const TIntfMethEntry& me,
                    TInvContext& context, THeaderList* headers);
  void ClearAttachments() override;

  // ---- IObjConverter ----
  TIntfPtr<IXMLNode> ObjInstanceToSOAP(TRemotable* obj, IXMLNode* root, IXMLNode* parent, const WideString& name,
                                       const WideString& nameSpace, TObjectConvertOptions options,
                                       WideString& refId) override;
  void InitObjectFromSOAP(TRemotable* obj, IXMLNode* root, IXMLNode* node) override;

  // Writes one value as a child of `parent`; multi-reference elements and generated
  // declarations go to `root`. `indirection`: pointer hops from `value` to the value (0 for
  // an object reference passed directly).
  virtual void WriteValue(IXMLNode* root, IXMLNode* parent, const WideString& name, PTypeInfo info,
                          const void* value, int indirection);
  // Reads `node` into the value `indirection` hops from `target`.
  virtual void ReadValue(void* target, PTypeInfo info, int indirection, bool byRef, bool convertScalars,
                         IXMLNode* node, IXMLNode* root, TInvContext* context);

 private:
  struct TReadState;
  // Where the items of an array go, and the element placed under the parent (a reference
  // element when the array is a multi-reference element).
  struct TArrayElement {
    TIntfPtr<IXMLNode> items;
    TIntfPtr<IXMLNode> placed;
  };

  // ---- writing ----
  void WriteHeaders(IXMLNode* header, THeaderList& headers);
  void WriteParams(IXMLNode* body, IXMLNode* method, const TIntfMetaData& md, const TIntfMethEntry& me,
                   TInvContext& context);
  std::unique_ptr<TStream> Serialize(IXMLDocument* doc);
  TIntfPtr<IXMLNode> AddElement(IXMLNode* parent, const WideString& name, bool unqualified = false);
  TIntfPtr<IXMLNode> AddScalarElement(IXMLNode* root, IXMLNode* parent, const WideString& name,
                                      const WideString& typeName, const WideString& typeNS, const WideString& text);
  TIntfPtr<IXMLNode> AddNilElement(IXMLNode* root, IXMLNode* parent, const WideString& name);
  void WriteTypeAttribute(IXMLNode* root, IXMLNode* node, const WideString& typeName, const WideString& typeNS);
  void WriteHref(IXMLNode* parent, const WideString& name, const WideString& id);
  WideString EnumToText(PTypeInfo info, const void* value);
  WideString PropertyText(TObject* obj, const TPropInfo& prop);
  void WriteScalar(IXMLNode* root, IXMLNode* parent, const WideString& name, PTypeInfo info, const void* value);
  void WriteObject(IXMLNode* root, IXMLNode* parent, const WideString& name, TObject* obj);
  bool WritesMultiRef(TClass cls);
  void WriteMembers(IXMLNode* root, IXMLNode* node, TObject* obj);
  void WriteMember(IXMLNode* root, IXMLNode* node, TObject* obj, const TPropInfo& prop, TSerializationOptions so);
  void WriteArray(IXMLNode* root, IXMLNode* parent, const WideString& name, PTypeInfo info, const void* array,
                  bool inlineArray);
  WideString ItemName(const WideString& arrayName, const TXmlTypeName& elemXml, bool inlineArray) const;
  TArrayElement AddArrayElement(IXMLNode* root, IXMLNode* parent, const WideString& name,
                                const TXmlTypeName& elemXml, const WideString& dimText);
  void RemoveArrayElement(const TArrayElement& element);
  void WriteRectItems(IXMLNode* root, IXMLNode* node, const WideString& itemName, PTypeInfo info,
                      const void* array);
  void WriteNestedLevel(IXMLNode* root, IXMLNode* parent, const WideString& name, PTypeInfo info,
                        const void* array, bool inlineArray);
  void WriteItem(IXMLNode* root, IXMLNode* node, const WideString& itemName, PTypeInfo info, const void* item);
  void WriteByteString(IXMLNode* root, IXMLNode* parent, const WideString& name, PTypeInfo info,
                       const void* array);
  void WriteVariant(IXMLNode* root, IXMLNode* parent, const WideString& name, const Variant& v);

  // ---- reading ----
  void ReadHeaders(IXMLNode* header, THeaderList* headers);
  void ReadHeader(IXMLNode* root, IXMLNode* element, THeaderList* headers);
  [[noreturn]] void RaiseFault(IXMLNode* fault);
  void ReadResults(IXMLNode* root, IXMLNode* response, const TIntfMetaData& md, const TIntfMethEntry& me,
                   TInvContext& context);
  // Keeps the previous contents of a result or out parameter that may receive objects.
  void SaveTarget(void* address, PTypeInfo info);
  TObject* CreateObject(TClass cls);
  TObject* ReadObject(IXMLNode* root, IXMLNode* node, TObject* existing, TClass declared);
  void ReadObjectMembers(TObject* obj, IXMLNode* root, IXMLNode* node);
  void ReadMemberElement(TObject* obj, const TPropInfo& prop, IXMLNode* child, IXMLNode* root);
  void MemberMissing(TClass cls, const TPropInfo& prop);
  WideString NilText(TTypeKind kind);
  void SetPropertyFromText(TObject* obj, const TPropInfo& prop, const WideString& text);
  // The same from UTF-8 text for the kinds read without a UTF-16 copy; false for the others.
  bool SetPropertyFromUtf8(TObject* obj, const TPropInfo& prop, std::string_view text);
  void ReadArray(void* target, PTypeInfo info, IXMLNode* node, IXMLNode* root);
  void ReadArrayItems(void* target, PTypeInfo info, const std::vector<TIntfPtr<IXMLNode>>& items,
                      const WideString& arrayType, IXMLNode* root);
  void ReadRectangular(void* target, PTypeInfo info, const std::vector<TIntfPtr<IXMLNode>>& items,
                       const std::vector<int64_t>& sizes, IXMLNode* root);
  void ReadArrayItem(void* item, PTypeInfo info, IXMLNode* node, IXMLNode* root);
  void CheckArrayItems(size_t count);
  Variant ReadScalarVariant(IXMLNode* node, bool trim);
  Variant ReadVariantArray(IXMLNode* node, IXMLNode* root);
  Variant ReadVariantValue(IXMLNode* node, IXMLNode* root);
  Variant ReadVariantItem(IXMLNode* node, IXMLNode* root);
  Variant ReadVariantProperty(IXMLNode* node, IXMLNode* root);
  void NotifyUnhandled(const WideString& name, IXMLNode* node);
  // After a failed answer: results and out parameters get their previous contents back, and
  // the objects decoded so far are destroyed.
  void DiscardDecodedObjects();

  WideString encoding_;
  std::string tempDir_;
  TSoapDataList attachments_;
  // Document style: the namespace of qualified elements.
  WideString defaultNS_;
  std::unique_ptr<TReadState> read_;
  std::atomic<int32_t> refCount_{0};
};
