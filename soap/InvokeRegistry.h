// The two process-wide registries that map native interfaces and types to SOAP and XML
// names, the base class of structured message types, and the exception of a SOAP fault.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "runtime/Classes.h"
#include "runtime/Interfaces.h"
#include "runtime/Strings.h"
#include "runtime/SysUtils.h"
#include "runtime/TypInfo.h"

class IXMLNode;
class TRemotable;

// Namespaces the runtime knows by heart.
extern const WideString SXMLSchemaURI_1999;   // http://www.w3.org/1999/XMLSchema
extern const WideString SXMLSchemaURI_2000_10; // http://www.w3.org/2000/10/XMLSchema
extern const WideString SXMLSchemaURI_2001;   // http://www.w3.org/2001/XMLSchema
extern const WideString SSoapEncodingURI;     // http://schemas.xmlsoap.org/soap/encoding/
extern const WideString SRuntimeTypesNamespace; // the runtime's own types namespace

// Base of every interface that carries method metadata and can be called remotely.
class IInvokable : public IInterface {
  ZELK_INTERFACE(IInvokable, "{4FA9F1C5-3B0E-4C2B-9E8D-6B7A2F0C1D23}")
};

enum TObjectConvertOption : uint8_t {
  ocoDontPrefixNode, ocoDontSetNodeType, ocoDontPutTypeAttr, ocoDontSerializeProps, ocoDontPrefixProps
};
using TObjectConvertOptions = TSet<TObjectConvertOption>;

// The converter's generic object writer and reader, which TRemotable hands its work to.
class IObjConverter : public IInterface {
  ZELK_INTERFACE(IObjConverter, "{8B9E6D4C-1A2F-4E3B-9C5D-7F0A1B2C3D4E}")
 public:
  // Writes `obj` as an element named `name` under `parent` (or as a multi-reference element
  // under `root`); returns the element written and sets `refId` for a reference.
  virtual TIntfPtr<IXMLNode> ObjInstanceToSOAP(TRemotable* obj, IXMLNode* root, IXMLNode* parent,
                                               const WideString& name, const WideString& nameSpace,
                                               TObjectConvertOptions options, WideString& refId) = 0;
  // Fills `obj`'s published properties from the children of `node`.
  virtual void InitObjectFromSOAP(TRemotable* obj, IXMLNode* root, IXMLNode* node) = 0;
};

// Data context of decoded objects; always empty on the client.
class TDataContext;

// Base class of every structured SOAP type.
class TRemotable : public TObject {
  ZELK_CLASS(TRemotable, TObject)
 public:
  TRemotable() = default;
  ~TRemotable() override = default;
  TRemotable(const TRemotable&) = delete;
  TRemotable& operator=(const TRemotable&) = delete;

  virtual TIntfPtr<IXMLNode> WriteToMessage(IXMLNode* root, IXMLNode* parent, IObjConverter* converter,
                                            const WideString& name, const WideString& nameSpace,
                                            TObjectConvertOptions options, WideString& refId);
  virtual void ReadFromMessage(IXMLNode* root, IXMLNode* node, IObjConverter* converter);

  TDataContext* DataContext() const { return dataContext_; }
  void SetDataContext(TDataContext* c) { dataContext_ = c; }

 private:
  TDataContext* dataContext_ = nullptr;
};

// Base of the scalar wrapper classes: a remotable whose value is one text.
class TRemotableXS : public TRemotable {
  ZELK_CLASS(TRemotableXS, TRemotable)
 public:
  virtual WideString ToXmlText() const = 0;
  virtual void FromXmlText(const WideString& text) = 0;

  TIntfPtr<IXMLNode> WriteToMessage(IXMLNode* root, IXMLNode* parent, IObjConverter* converter,
                                    const WideString& name, const WideString& nameSpace,
                                    TObjectConvertOptions options, WideString& refId) override;
  void ReadFromMessage(IXMLNode* root, IXMLNode* node, IObjConverter* converter) override;
};

// An attachment travelling beside the envelope (MIME binding).
class TSOAPAttachment : public TRemotable {
  ZELK_CLASS(TSOAPAttachment, TRemotable)
 public:
  std::string FileName;
  std::string ContentType;
  std::string Data;
};

// A SOAP header object.
class TSOAPHeader : public TRemotable {
  ZELK_CLASS(TSOAPHeader, TRemotable)
 public:
  bool MustUnderstand = false;
  WideString Actor;
};

// The header objects of one direction of a call; destroys them when it owns them.
class THeaderList {
 public:
  explicit THeaderList(bool ownsObjects) : ownsObjects_(ownsObjects) {}
  ~THeaderList() { Clear(); }
  THeaderList(const THeaderList&) = delete;
  THeaderList& operator=(const THeaderList&) = delete;

  void Add(TSOAPHeader* h) { items_.push_back(h); }
  bool Contains(const TSOAPHeader* h) const;
  // Takes `h` out of the list without destroying it.
  void Extract(TSOAPHeader* h);
  void Clear();
  size_t Count() const { return items_.size(); }
  TSOAPHeader* operator[](size_t i) const { return items_[i]; }
  bool OwnsObjects() const { return ownsObjects_; }
  const std::vector<TSOAPHeader*>& Items() const { return items_; }

 private:
  bool ownsObjects_;
  std::vector<TSOAPHeader*> items_;
};

// A SOAP fault.
class ERemotableException : public Exception {
 public:
  ERemotableException() = default;
  ERemotableException(const std::string& message, const WideString& faultCode = {},
                      const WideString& faultActor = {})
      : Exception(message), faultActor_(faultActor), faultCode_(faultCode) {}

  const WideString& FaultActor() const { return faultActor_; }
  const WideString& FaultCode() const { return faultCode_; }
  const WideString& FaultDetail() const { return faultDetail_; }
  void SetFaultActor(WideString v) { faultActor_ = std::move(v); }
  void SetFaultCode(WideString v) { faultCode_ = std::move(v); }
  void SetFaultDetail(WideString v) { faultDetail_ = std::move(v); }

 private:
  WideString faultActor_;
  WideString faultCode_;
  WideString faultDetail_;
};

ZELK_DECLARE_EXCEPTION(ETypeRegistryException, Exception);
ZELK_DECLARE_EXCEPTION(EInterfaceRTTIException, Exception);

// Invoke options of an interface, by ordinal (bit value 2^ordinal in the 16-bit set).
enum TIntfInvokeOption : uint8_t {
  ioNone = 0, ioDocument = 1, ioLiteral = 2, ioHasDefaultSOAPAction = 3, ioHasReturnParamNames = 4,
  ioHasNamespace = 5
};
using TIntfInvokeOptions = uint16_t;
constexpr TIntfInvokeOptions kDocumentStyle = 1u << ioDocument;             // 2
constexpr TIntfInvokeOptions kLiteralParams = 1u << ioLiteral;              // 4
constexpr TIntfInvokeOptions kHasDefaultAction = 1u << ioHasDefaultSOAPAction;  // 8
constexpr TIntfInvokeOptions kHasNamespace = 1u << ioHasNamespace;          // 32

struct InvRegIntfEntry {
  std::string Name;
  WideString ExtName;
  std::string UnitName;
  TGUID GUID;
  PTypeInfo Info = nullptr;
  WideString Namespace;
  WideString WSDLEncoding;
  std::string Documentation;
  std::string SOAPAction;
  TIntfInvokeOptions InvokeOptions = 0;
};

class TInvokableClassRegistry {
 public:
  void AddInterface(PTypeInfo info, const WideString& nameSpace, const WideString& wsdlEncoding = {},
                    const std::string& doc = {}, const WideString& extName = {});
  void SetDefaultSoapAction(PTypeInfo info, const std::string& action);
  void AddInvokeOption(PTypeInfo info, int optionOrdinal);
  void SetInvokeOptions(PTypeInfo info, TIntfInvokeOptions options);
  TIntfInvokeOptions GetInvokeOptions(PTypeInfo info);
  TIntfInvokeOptions GetInvokeOptions(const TGUID& guid);
  PTypeInfo FindInterfaceByGuid(const TGUID& guid);
  std::string GetSoapAction(PTypeInfo info, const WideString& methodName, int methodIndex);
  std::string GetSoapActionOfGuid(const TGUID& guid);
  std::string GetNamespaceOfGuid(const TGUID& guid);
  WideString GetNamespaceByGUID(const TGUID& guid);  // the same, as wide text
  WideString GetMethodExternalName(PTypeInfo info, const std::string& methodName);
  WideString GetParamExternalName(PTypeInfo info, const std::string& methodName, const std::string& paramName);
  std::string GetMethodInternalName(PTypeInfo info, const WideString& extName);
  WideString GetReturnNames(PTypeInfo info);
  // Header classes are not registered in this system: always none.
  TClass FindHeaderClass(const WideString& nameSpace, const WideString& name);

  // A copy of the entry for `info`; false when there is none.
  bool GetInterfaceEntry(PTypeInfo info, InvRegIntfEntry& out);
  size_t Count();

 private:
  InvRegIntfEntry* Find(PTypeInfo info);  // caller holds the lock
  InvRegIntfEntry* Find(const TGUID& guid);
  std::recursive_mutex lock_;
  std::vector<InvRegIntfEntry> entries_;
};

struct ExtNameMapItem {
  std::string Name;     // the property
  WideString ExtName;   // its XML element
};

// Multi-reference option of a class entry.
enum TObjMultiOptions : uint8_t { ocDefault = 0, ocMultiRef = 1, ocNoMultiRef = 2 };

// Per-type serialisation switches (bit set); their meanings live with the encoder and decoder.
enum TSerializationOption : uint8_t {
  xoHolderClass, xoArrayClass, xoInlineArrays, xoAttributeOnLastMember, xoSimpleTypeWrapper,
  xoLiteralParam, xoOption6, xoOption7
};
using TSerializationOptions = uint8_t;

struct TRemRegEntry {
  TClass ClassType = nullptr;
  PTypeInfo Info = nullptr;
  WideString URI;
  WideString Name;
  WideString ExtName;
  bool IsScalar = false;
  uint8_t MultiRefOpt = ocDefault;
  TSerializationOptions SerializationOpt = 0;
  std::vector<ExtNameMapItem> PropNameMap;
};

// The namespace, XML name and scalar flag a type is written with.
struct TXmlTypeName {
  WideString URI;
  WideString Name;
  bool IsScalar = false;
  bool Found = false;
};

class TRemotableTypeRegistry {
 public:
  TRemotableTypeRegistry();

  void AddClass(TClass cls, const WideString& uri = {}, const WideString& name = {},
                const WideString& extName = {}, bool isScalar = false, uint8_t multiRefOpt = ocDefault);
  void AddType(PTypeInfo info, const WideString& uri = {}, const WideString& name = {},
               const WideString& extName = {});
  void AddExternalPropertyName(PTypeInfo info, const std::string& internalName, const WideString& extName);
  void SetSerializationOptions(PTypeInfo info, TSerializationOptions options);
  void SetSerializationOptions(TClass cls, TSerializationOptions options);
  TSerializationOptions GetSerializationOptions(PTypeInfo info);
  TSerializationOptions GetSerializationOptions(TClass cls);
  bool IsScalarClass(TClass cls);
  uint8_t GetMultiRefOption(TClass cls);
  PTypeInfo FindTypeByXmlName(const WideString& uri, const WideString& name);
  // The class of the first entry with that name (may be none for a non-class entry).
  TClass FindClassByXmlName(const WideString& uri, const WideString& name, bool* isScalar = nullptr);
  // The same with the names in UTF-8, as a parsed answer holds them (no conversion per value).
  TClass FindClassByXmlName(std::string_view uri, std::string_view name, bool* isScalar = nullptr);
  TXmlTypeName XmlNameOfClass(TClass cls);
  TXmlTypeName XmlNameOfType(PTypeInfo info);
  PTypeInfo TypeInfoOfXmlType(const WideString& uri, const WideString& name);
  PTypeInfo TypeInfoOfVariant(const Variant& v);
  WideString ExternalPropertyName(PTypeInfo info, const std::string& internalName);
  std::string InternalPropertyName(PTypeInfo info, const WideString& extName);

  bool AutoRegister() const { return autoRegister_; }
  // A copy of the i-th entry, for inspection.
  std::vector<TRemRegEntry> Entries();

 private:
  TRemRegEntry* FindEntry(PTypeInfo info);  // caller holds the lock
  bool LookupXmlName(PTypeInfo info, TClass cls, TXmlTypeName& out);
  // The first entry for an XML name or a type; built on demand, dropped by every registration.
  // Caller holds the lock.
  const TRemRegEntry* FirstByXmlName(const WideString& uri, const WideString& name);
  const TRemRegEntry* FirstByXmlName(std::string_view uri, std::string_view name);
  void BuildIndex();
  std::recursive_mutex lock_;
  std::vector<TRemRegEntry> entries_;
  std::unordered_map<WideString, std::vector<size_t>> byXmlName_;  // name -> entries in order
  std::unordered_map<PTypeInfo, size_t> byInfo_;                   // the first entry
  // The same names in UTF-8, with each entry's namespace.
  struct TUtf8Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  std::unordered_map<std::string, std::vector<size_t>, TUtf8Hash, std::equal_to<>> byXmlNameUtf8_;
  std::vector<std::string> uriUtf8_;
  bool indexed_ = false;
  bool autoRegister_ = true;
};

// The registries; whichever is asked for first creates both with the built-in types.
TInvokableClassRegistry* GetInvokableRegistry();
TRemotableTypeRegistry* GetTypeRegistry();
inline TInvokableClassRegistry* InvRegistry() { return GetInvokableRegistry(); }
inline TRemotableTypeRegistry* RemTypeRegistry() { return GetTypeRegistry(); }
// Destroys both registries (process end); no lookup may run afterwards.
void DestroyRegistries();

// The thirteen runtime array types.
ZELK_DYNARRAY(TIntegerDynArray, int32_t);
ZELK_DYNARRAY(TCardinalDynArray, uint32_t);
ZELK_DYNARRAY(TWordDynArray, uint16_t);
ZELK_DYNARRAY(TSmallIntDynArray, int16_t);
ZELK_DYNARRAY(TByteDynArray, uint8_t);
ZELK_DYNARRAY(TShortIntDynArray, int8_t);
ZELK_DYNARRAY(TInt64DynArray, int64_t);
ZELK_DYNARRAY(TLongWordDynArray, uint32_t);
ZELK_DYNARRAY(TSingleDynArray, float);
ZELK_DYNARRAY(TDoubleDynArray, double);
ZELK_DYNARRAY(TBooleanDynArray, bool);
ZELK_DYNARRAY(TStringDynArray, std::string);
ZELK_DYNARRAY(TWideStringDynArray, WideString);
