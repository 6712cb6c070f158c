#include "soap/InvokeRegistry.h"

#include <memory>

#include "soap/XMLDoc.h"
#include "soap/XSBuiltIns.h"

const WideString SXMLSchemaURI_1999 = u"http://www.w3.org/1999/XMLSchema";
const WideString SXMLSchemaURI_2000_10 = u"http://www.w3.org/2000/10/XMLSchema";
const WideString SXMLSchemaURI_2001 = u"http://www.w3.org/2001/XMLSchema";
const WideString SSoapEncodingURI = u"http://schemas.xmlsoap.org/soap/encoding/";
const WideString SRuntimeTypesNamespace = u"http://soap.quorand.example/namespaces/Types";

ZELK_CLASS_INFO(TRemotable, "InvokeRegistry")
ZELK_CLASS_INFO(TRemotableXS, "InvokeRegistry")
ZELK_CLASS_INFO(TSOAPAttachment, "InvokeRegistry")
ZELK_CLASS_INFO(TSOAPHeader, "InvokeRegistry")

ZELK_DYNARRAY_INFO(TIntegerDynArray, "Types")
ZELK_DYNARRAY_INFO(TCardinalDynArray, "Types")
ZELK_DYNARRAY_INFO(TWordDynArray, "Types")
ZELK_DYNARRAY_INFO(TSmallIntDynArray, "Types")
ZELK_DYNARRAY_INFO(TByteDynArray, "Types")
ZELK_DYNARRAY_INFO(TShortIntDynArray, "Types")
ZELK_DYNARRAY_INFO(TInt64DynArray, "Types")
ZELK_DYNARRAY_INFO(TLongWordDynArray, "Types")
ZELK_DYNARRAY_INFO(TSingleDynArray, "Types")
ZELK_DYNARRAY_INFO(TDoubleDynArray, "Types")
ZELK_DYNARRAY_INFO(TBooleanDynArray, "Types")
ZELK_DYNARRAY_INFO(TStringDynArray, "Types")
ZELK_DYNARRAY_INFO(TWideStringDynArray, "Types")

const TTypeInfo& IInvokable::StaticTypeInfo() {
  static const TTypeInfo ti =
      MakeInterfaceInfo("IInvokable", "System", IInvokable::IID, &IInterface::StaticTypeInfo(), true, {});
  return ti;
}

// ---- TRemotable ----

TIntfPtr<IXMLNode> TRemotable::WriteToMessage(IXMLNode* root, IXMLNode* parent, IObjConverter* converter,
                                              const WideString& name, const WideString& nameSpace,
                                              TObjectConvertOptions options, WideString& refId) {
  return converter->ObjInstanceToSOAP(this, root, parent, name, nameSpace, options, refId);
}

void TRemotable::ReadFromMessage(IXMLNode* root, IXMLNode* node, IObjConverter* converter) {
  converter->InitObjectFromSOAP(this, root, node);
}

TIntfPtr<IXMLNode> TRemotableXS::WriteToMessage(IXMLNode* root, IXMLNode* parent, IObjConverter* converter,
                                                const WideString& name, const WideString& nameSpace,
                                                TObjectConvertOptions options, WideString& refId) {
  TIntfPtr<IXMLNode> node = TRemotable::WriteToMessage(root, parent, converter, name, nameSpace, options, refId);
  if (node) node->SetText(ToXmlText());
  return node;
}

void TRemotableXS::ReadFromMessage(IXMLNode* root, IXMLNode* node, IObjConverter* converter) {
  TRemotable::ReadFromMessage(root, node, converter);
  FromXmlText(node->Text());
}

// ---- THeaderList ----

bool THeaderList::Contains(const TSOAPHeader* h) const {
  for (auto* x : items_)
    if (x == h) return true;
  return false;
}

void THeaderList::Extract(TSOAPHeader* h) {
  for (auto it = items_.begin(); it != items_.end(); ++it)
    if (*it == h) {
      items_.erase(it);
      return;
    }
}

void THeaderList::Clear() {
  std::vector<TSOAPHeader*> old;
  old.swap(items_);
  if (ownsObjects_)
    for (auto* h : old) delete h;
}

// ---- the registries as singletons ----

namespace {

void RegisterBuiltIns(TRemotableTypeRegistry& r);

struct TRegistries {
  std::unique_ptr<TInvokableClassRegistry> invokable;
  std::unique_ptr<TRemotableTypeRegistry> types;
  TRegistries() {
    invokable = std::make_unique<TInvokableClassRegistry>();
    types = std::make_unique<TRemotableTypeRegistry>();
    RegisterBuiltIns(*types);
  }
};

TRegistries& Registries() {
  static TRegistries registries;  // created on first access, thread-safe
  return registries;
}

}  // namespace

TInvokableClassRegistry* GetInvokableRegistry() { return Registries().invokable.get(); }
TRemotableTypeRegistry* GetTypeRegistry() { return Registries().types.get(); }

void DestroyRegistries() {
  Registries().types.reset();
  Registries().invokable.reset();
}

// ---- TInvokableClassRegistry ----

InvRegIntfEntry* TInvokableClassRegistry::Find(PTypeInfo info) {
  for (auto& e : entries_)
    if (e.Info == info) return &e;
  return nullptr;
}

InvRegIntfEntry* TInvokableClassRegistry::Find(const TGUID& guid) {
  for (auto& e : entries_)
    if (e.GUID == guid) return &e;
  return nullptr;
}

void TInvokableClassRegistry::AddInterface(PTypeInfo info, const WideString& nameSpace,
                                           const WideString& wsdlEncoding, const std::string& doc,
                                           const WideString& extName) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (Find(info)) return;
  if (info->Kind != tkInterface || !info->Intf || !info->Intf->HasMethodInfo)
    throw EInterfaceRTTIException("Interface %s has no RTTI", {info->UnitName + "." + info->Name});
  InvRegIntfEntry e;
  e.Name = info->Name;
  e.ExtName = extName;
  e.UnitName = info->UnitName;
  e.GUID = info->Intf->Guid;
  e.Info = info;
  e.WSDLEncoding = wsdlEncoding;
  e.Documentation = doc;
  if (!nameSpace.empty()) {
    e.Namespace = nameSpace;
    e.InvokeOptions |= kHasNamespace;
  } else {
    e.Namespace = Utf8ToUtf16("urn:" + info->UnitName + "-" + info->Name);
  }
  entries_.push_back(std::move(e));
}

void TInvokableClassRegistry::SetDefaultSoapAction(PTypeInfo info, const std::string& action) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (auto* e = Find(info)) {
    e->SOAPAction = action;
    e->InvokeOptions |= kHasDefaultAction;
  }
}

void TInvokableClassRegistry::AddInvokeOption(PTypeInfo info, int optionOrdinal) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  SetInvokeOptions(info, static_cast<TIntfInvokeOptions>(GetInvokeOptions(info) | (1u << optionOrdinal)));
}

void TInvokableClassRegistry::SetInvokeOptions(PTypeInfo info, TIntfInvokeOptions options) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (auto* e = Find(info)) e->InvokeOptions = options;
}

TIntfInvokeOptions TInvokableClassRegistry::GetInvokeOptions(PTypeInfo info) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  auto* e = Find(info);
  return e ? e->InvokeOptions : 0;
}

TIntfInvokeOptions TInvokableClassRegistry::GetInvokeOptions(const TGUID& guid) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  auto* e = Find(guid);
  return e ? e->InvokeOptions : 0;
}

PTypeInfo TInvokableClassRegistry::FindInterfaceByGuid(const TGUID& guid) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  auto* e = Find(guid);
  return e ? e->Info : nullptr;
}

std::string TInvokableClassRegistry::GetSoapAction(PTypeInfo info, const WideString& methodName,
                                                   int /*methodIndex*/) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  auto* e = Find(info);
  if (!e) return {};
  std::string method = Utf16ToUtf8(methodName);
  if (e->InvokeOptions & kHasDefaultAction) {
    if (method.empty()) return e->SOAPAction;
    return StringReplace(e->SOAPAction, "%operationName%", method, false);
  }
  return Utf16ToUtf8(e->Namespace) + "#" + method;
}

std::string TInvokableClassRegistry::GetSoapActionOfGuid(const TGUID& guid) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  auto* e = Find(guid);
  return e ? GetSoapAction(e->Info, WideString(), -1) : std::string();
}

std::string TInvokableClassRegistry::GetNamespaceOfGuid(const TGUID& guid) {
  return Utf16ToUtf8(GetNamespaceByGUID(guid));
}

WideString TInvokableClassRegistry::GetNamespaceByGUID(const TGUID& guid) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  auto* e = Find(guid);
  return e ? e->Namespace : WideString();
}

WideString TInvokableClassRegistry::GetMethodExternalName(PTypeInfo, const std::string& methodName) {
  return Utf8ToUtf16(methodName);
}

WideString TInvokableClassRegistry::GetParamExternalName(PTypeInfo, const std::string&, const std::string& paramName) {
  return Utf8ToUtf16(paramName);
}

std::string TInvokableClassRegistry::GetMethodInternalName(PTypeInfo, const WideString& extName) {
  return Utf16ToUtf8(extName);
}

WideString TInvokableClassRegistry::GetReturnNames(PTypeInfo) { return u"Result;Return"; }

TClass TInvokableClassRegistry::FindHeaderClass(const WideString&, const WideString&) { return nullptr; }

bool TInvokableClassRegistry::GetInterfaceEntry(PTypeInfo info, InvRegIntfEntry& out) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  auto* e = Find(info);
  if (e) out = *e;
  return e != nullptr;
}

size_t TInvokableClassRegistry::Count() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return entries_.size();
}

// ---- TRemotableTypeRegistry ----

namespace {

WideString DefaultNamespace(PTypeInfo info) {
  switch (info->Kind) {
    case tkClass: return Utf8ToUtf16("urn:" + info->ClassType->UnitName);
    case tkDynArray: return Utf8ToUtf16("urn:" + info->UnitName);
    case tkEnumeration: {
      PTypeInfo base = info->BaseType ? info->BaseType : info;
      return Utf8ToUtf16("urn:" + base->UnitName);
    }
    default: return u"urn:";
  }
}

// Native type names that match a registered type of another name (the entry's name first).
struct TAlias {
  const char* entryName;
  const char* aliasName;
};
constexpr TAlias kAliases[] = {
    {"Boolean", "bool"},        {"Char", "char"},          {"Char", "signed char"},
    {"Byte", "unsigned char"},  {"SmallInt", "short"},     {"Word", "unsigned short"},
    {"Integer", "int"},         {"Integer", "long"},       {"Cardinal", "unsigned int"},
    {"Cardinal", "unsigned long"}, {"Int64", "__int64"},   {"Int64", "unsigned __int64"},
    {"Single", "float"},        {"Double", "double"},      {"Extended", "long double"},
    {"String", "AnsiString"},   {"WideString", "WideString"},
};

bool IsEquivalent(PTypeInfo registered, PTypeInfo wanted) {
  if (registered->Kind != wanted->Kind) return false;
  if (registered->Name == wanted->Name) return true;
  for (const auto& a : kAliases)
    if (SameText(registered->Name, a.entryName) && SameText(wanted->Name, a.aliasName)) return true;
  return false;
}

TXmlTypeName NameOf(const TRemRegEntry& e) {
  return TXmlTypeName{e.URI, e.ExtName.empty() ? e.Name : e.ExtName, e.IsScalar, true};
}

}  // namespace

TRemotableTypeRegistry::TRemotableTypeRegistry() = default;

void TRemotableTypeRegistry::BuildIndex() {
  byXmlName_.clear();
  byInfo_.clear();
  byXmlNameUtf8_.clear();
  uriUtf8_.clear();
  for (size_t i = 0; i < entries_.size(); ++i) {
    byXmlName_[entries_[i].Name].push_back(i);
    byXmlNameUtf8_[Utf16ToUtf8(entries_[i].Name)].push_back(i);
    uriUtf8_.push_back(Utf16ToUtf8(entries_[i].URI));
    byInfo_.try_emplace(entries_[i].Info, i);
  }
  indexed_ = true;
}

TRemRegEntry* TRemotableTypeRegistry::FindEntry(PTypeInfo info) {
  if (!indexed_) BuildIndex();
  auto it = byInfo_.find(info);
  return it == byInfo_.end() ? nullptr : &entries_[it->second];
}

const TRemRegEntry* TRemotableTypeRegistry::FirstByXmlName(const WideString& uri, const WideString& name) {
  if (!indexed_) BuildIndex();
  auto it = byXmlName_.find(name);
  if (it == byXmlName_.end()) return nullptr;
  for (size_t i : it->second)
    if (std::u16string_view(entries_[i].URI) == uri) return &entries_[i];
  return nullptr;
}

const TRemRegEntry* TRemotableTypeRegistry::FirstByXmlName(std::string_view uri, std::string_view name) {
  if (!indexed_) BuildIndex();
  auto it = byXmlNameUtf8_.find(name);
  if (it == byXmlNameUtf8_.end()) return nullptr;
  for (size_t i : it->second)
    if (uriUtf8_[i] == uri) return &entries_[i];
  return nullptr;
}

void TRemotableTypeRegistry::AddClass(TClass cls, const WideString& uri, const WideString& name,
                                      const WideString& extName, bool isScalar, uint8_t multiRefOpt) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  PTypeInfo info = &cls->TypeInfo;
  WideString u = uri.empty() ? DefaultNamespace(info) : uri;
  WideString n = name.empty() ? Utf8ToUtf16(cls->Name) : name;
  for (const auto& e : entries_)
    if (e.Info == info && e.Name == n) return;
  TRemRegEntry e;
  e.ClassType = cls;
  e.Info = info;
  e.URI = std::move(u);
  e.Name = std::move(n);
  e.ExtName = extName;
  e.IsScalar = isScalar;
  e.MultiRefOpt = multiRefOpt;
  entries_.push_back(std::move(e));
  indexed_ = false;
}

void TRemotableTypeRegistry::AddType(PTypeInfo info, const WideString& uri, const WideString& name,
                                     const WideString& extName) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  WideString u = uri.empty() ? DefaultNamespace(info) : uri;
  WideString n = name.empty() ? Utf8ToUtf16(info->Name) : name;
  for (const auto& e : entries_)
    if (e.Info == info && e.Name == n) return;
  TRemRegEntry e;
  e.ClassType = info->Kind == tkClass ? info->ClassType : nullptr;
  e.Info = info;
  e.URI = std::move(u);
  e.Name = std::move(n);
  e.ExtName = extName;
  entries_.push_back(std::move(e));
  indexed_ = false;
}

void TRemotableTypeRegistry::AddExternalPropertyName(PTypeInfo info, const std::string& internalName,
                                                     const WideString& extName) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (auto* e = FindEntry(info)) e->PropNameMap.push_back({internalName, extName});
}

void TRemotableTypeRegistry::SetSerializationOptions(PTypeInfo info, TSerializationOptions options) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (auto* e = FindEntry(info)) e->SerializationOpt = options;
}

void TRemotableTypeRegistry::SetSerializationOptions(TClass cls, TSerializationOptions options) {
  SetSerializationOptions(&cls->TypeInfo, options);
}

TSerializationOptions TRemotableTypeRegistry::GetSerializationOptions(PTypeInfo info) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  auto* e = FindEntry(info);
  return e ? e->SerializationOpt : 0;
}

TSerializationOptions TRemotableTypeRegistry::GetSerializationOptions(TClass cls) {
  return GetSerializationOptions(&cls->TypeInfo);
}

bool TRemotableTypeRegistry::IsScalarClass(TClass cls) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  for (const auto& e : entries_)
    if (e.ClassType == cls) return e.IsScalar;
  return false;
}

uint8_t TRemotableTypeRegistry::GetMultiRefOption(TClass cls) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  for (const auto& e : entries_)
    if (e.ClassType == cls) return e.MultiRefOpt;
  return ocDefault;
}

PTypeInfo TRemotableTypeRegistry::FindTypeByXmlName(const WideString& uri, const WideString& name) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  const TRemRegEntry* e = FirstByXmlName(uri, name);
  return e ? e->Info : nullptr;
}

TClass TRemotableTypeRegistry::FindClassByXmlName(const WideString& uri, const WideString& name, bool* isScalar) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  const TRemRegEntry* e = FirstByXmlName(uri, name);
  if (isScalar) *isScalar = e && e->IsScalar;
  return e ? e->ClassType : nullptr;
}

TClass TRemotableTypeRegistry::FindClassByXmlName(std::string_view uri, std::string_view name, bool* isScalar) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  const TRemRegEntry* e = FirstByXmlName(uri, name);
  if (isScalar) *isScalar = e && e->IsScalar;
  return e ? e->ClassType : nullptr;
}

bool TRemotableTypeRegistry::LookupXmlName(PTypeInfo info, TClass cls, TXmlTypeName& out) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (cls) {
    for (const auto& e : entries_)
      if (e.ClassType == cls) return (out = NameOf(e)), true;
    return false;
  }
  for (const auto& e : entries_)
    if (e.Info == info) return (out = NameOf(e)), true;
  for (const auto& e : entries_)
    if (IsEquivalent(e.Info, info)) return (out = NameOf(e)), true;
  return false;
}

TXmlTypeName TRemotableTypeRegistry::XmlNameOfClass(TClass cls) {
  TXmlTypeName r;
  if (LookupXmlName(nullptr, cls, r)) return r;
  // Unknown: register under default names, outside the lock, and look once more.
  if (autoRegister_) AddClass(cls);
  LookupXmlName(nullptr, cls, r);
  return r;
}

TXmlTypeName TRemotableTypeRegistry::XmlNameOfType(PTypeInfo info) {
  if (info->Kind == tkClass) return XmlNameOfClass(info->ClassType);
  TXmlTypeName r;
  if (LookupXmlName(info, nullptr, r)) return r;
  if (autoRegister_) AddType(info);
  LookupXmlName(info, nullptr, r);
  return r;
}

PTypeInfo TRemotableTypeRegistry::TypeInfoOfXmlType(const WideString& uri, const WideString& name) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  const TRemRegEntry* first = FirstByXmlName(uri, name);
  if (std::u16string_view(uri) != SXMLSchemaURI_2001) {
    if (first && first->ClassType) return &first->ClassType->TypeInfo;
    return FindTypeByXmlName(uri, name);
  }
  if (first) return first->ClassType ? &first->ClassType->TypeInfo : first->Info;
  if (name == u"base64Binary" || name == u"bin.base64") {
    if (PTypeInfo t = FindTypeByXmlName(SXMLSchemaURI_2001, u"base64Binary")) return t;
    return FindTypeByXmlName(SXMLSchemaURI_2001, u"bin.base64");
  }
  return nullptr;
}

PTypeInfo TRemotableTypeRegistry::TypeInfoOfVariant(const Variant& v) {
  TVarType code = v.VarType() & varTypeMask;
  switch (code) {
    case varSmallint: return TypeInfo<int16_t>();
    case varInteger: return TypeInfo<int32_t>();
    case varSingle: return TypeInfo<float>();
    case varDouble:
    case varCurrency: return TypeInfo<double>();
    case varDate: {
      for (const WideString* ns : {&SXMLSchemaURI_2001, &SXMLSchemaURI_1999, &SXMLSchemaURI_2000_10, &SXMLSchemaURI_2001})
        if (PTypeInfo t = FindTypeByXmlName(*ns, u"dateTime")) return t;
      break;
    }
    case varOleStr:
    case varString: return TypeInfo<WideString>();
    case varBoolean: return TypeInfo<bool>();
    case varVariant: return TypeInfo<Variant>();
    case varShortInt: return TypeInfo<int8_t>();
    case varByte: return TypeInfo<uint8_t>();
    case varWord: return TypeInfo<uint16_t>();
    case varLongWord: return TypeInfo<uint32_t>();
    case varInt64: return TypeInfo<int64_t>();
    case varDispatch: throw ETypeRegistryException("varDispatch type not supported");
    case varError: throw ETypeRegistryException("varError type not supported");
    default: break;
  }
  throw ETypeRegistryException("Unsuppported variant type %d", {int(code)});
}

WideString TRemotableTypeRegistry::ExternalPropertyName(PTypeInfo info, const std::string& internalName) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  while (info) {
    if (const auto* e = FindEntry(info))
      for (const auto& m : e->PropNameMap)
        if (m.Name == internalName) return m.ExtName;
    if (info->Kind != tkClass || !info->ClassType->Parent) break;
    TClass parent = info->ClassType->Parent;
    if (parent == &TRemotable::StaticClass() || parent == &TObject::StaticClass()) break;
    info = &parent->TypeInfo;
  }
  return Utf8ToUtf16(internalName);
}

std::string TRemotableTypeRegistry::InternalPropertyName(PTypeInfo info, const WideString& extName) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (const auto* e = FindEntry(info))
    for (const auto& m : e->PropNameMap)
      if (std::u16string_view(m.ExtName) == extName) return m.Name;
  return Utf16ToUtf8(extName);
}

std::vector<TRemRegEntry> TRemotableTypeRegistry::Entries() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return entries_;
}

// ---- built-in registrations ----

namespace {

void RegisterBuiltIns(TRemotableTypeRegistry& r) {
  const WideString& xs = SXMLSchemaURI_2001;
  // First batch: XML Schema built-ins and the runtime's array types.
  r.AddType(TypeInfo<bool>(), xs, u"boolean");
  r.AddType(TypeInfo<int8_t>(), xs, u"byte");
  r.AddType(TypeInfo<uint8_t>(), xs, u"unsignedByte");
  r.AddType(TypeInfo<int16_t>(), xs, u"short");
  r.AddType(TypeInfo<uint16_t>(), xs, u"unsignedShort");
  r.AddType(TypeInfo<uint32_t>(), xs, u"unsignedInt");
  r.AddType(TypeInfo<uint32_t>(), xs, u"unsignedInt");
  r.AddType(TypeInfo<int32_t>(), xs, u"int");
  r.AddType(TypeInfo<int32_t>(), xs, u"int");
  for (const char16_t* n : {u"long", u"unsignedLong", u"integer"}) r.AddType(TypeInfo<int64_t>(), xs, n);
  r.AddType(TypeInfo<float>(), xs, u"float");
  r.AddType(TypeInfo<double>(), xs, u"double");
  for (PTypeInfo t : {TypeInfo<long double>(), TypeInfo<Currency>(), TypeInfo<Comp>(), TypeInfo_Real()})
    r.AddType(t, xs, u"double");
  for (const char16_t* n :
       {u"string", u"anyURI", u"ENTITY", u"ENTITIES", u"gDay", u"gMonth", u"gMonthDay", u"gYear",
        u"gYearMonth", u"ID", u"IDREF", u"IDREFS", u"language", u"Name", u"NMTOKEN", u"NMTOKENS",
        u"normalizedString", u"NOTATION", u"NCName", u"QName", u"token", u"lang"})
    r.AddType(TypeInfo<std::string>(), xs, n);
  r.AddType(TypeInfo<WideString>(), xs, u"string");
  r.AddType(TypeInfo<ShortString>(), xs, u"string");
  r.AddType(TypeInfo<char>(), xs, u"string");
  r.AddType(TypeInfo<char>(), xs, u"string");
  r.AddType(TypeInfo<char16_t>(), xs, u"string");
  r.AddType(TypeInfo<char16_t>(), xs, u"string");
  r.AddType(TypeInfo<TByteDynArray>(), xs, u"base64Binary");
  for (const char16_t* n : {u"anyType", u"anySimpleType", u"ur-type"}) r.AddType(TypeInfo<Variant>(), xs, n);
  r.AddType(TypeInfo<OleVariant>(), xs, u"anyType");
  r.AddClass(&TXMLData::StaticClass(), xs, u"schema", u"", false, ocNoMultiRef);
  r.AddType(TypeInfo<TByteDynArray>(), SSoapEncodingURI, u"base64");
  const WideString& rt = SRuntimeTypesNamespace;
  for (PTypeInfo t : {TypeInfo<TIntegerDynArray>(), TypeInfo<TCardinalDynArray>(), TypeInfo<TWordDynArray>(),
                      TypeInfo<TSmallIntDynArray>(), TypeInfo<TByteDynArray>(), TypeInfo<TShortIntDynArray>(),
                      TypeInfo<TInt64DynArray>(), TypeInfo<TLongWordDynArray>(), TypeInfo<TSingleDynArray>(),
                      TypeInfo<TDoubleDynArray>(), TypeInfo<TBooleanDynArray>(), TypeInfo<TStringDynArray>(),
                      TypeInfo<TWideStringDynArray>()})
    r.AddType(t, rt, Utf8ToUtf16(t->Name));
  r.AddClass(&TSOAPAttachment::StaticClass(), xs, u"base64Binary", u"", false, ocNoMultiRef);
  r.AddClass(&TSOAPAttachment::StaticClass(), rt, u"TSOAPAttachment", u"", false, ocNoMultiRef);

  // Second batch: the scalar wrapper classes.
  auto scalar = [&](TClass c, std::initializer_list<const char16_t*> names) {
    for (const char16_t* n : names) r.AddClass(c, xs, n, u"", true, ocDefault);
  };
  scalar(&TXSDateTime::StaticClass(), {u"dateTime", u"timeInstant"});
  scalar(&TXSTime::StaticClass(), {u"time"});
  scalar(&TXSDate::StaticClass(), {u"date"});
  scalar(&TXSDuration::StaticClass(), {u"duration", u"timeDuration"});
  scalar(&TXSHexBinary::StaticClass(), {u"hexBinary"});
  scalar(&TXSDecimal::StaticClass(), {u"decimal"});
  scalar(&TXSString::StaticClass(), {u"string"});
  scalar(&TXSBoolean::StaticClass(), {u"boolean"});
  scalar(&TXSInteger::StaticClass(), {u"int"});
  scalar(&TXSLong::StaticClass(), {u"long"});
  scalar(&TXSDecimal::StaticClass(),
         {u"negativeInteger", u"nonNegativeInteger", u"nonPositiveInteger", u"positiveInteger"});

  // Third batch: the date-time type and the wider booleans.
  r.AddType(TypeInfo<TDateTime>(), xs, u"dateTime");
  r.AddType(TypeInfo_ByteBool(), xs, u"boolean");
  r.AddType(TypeInfo_WordBool(), xs, u"boolean");
  r.AddType(TypeInfo_LongBool(), xs, u"boolean");
}

}  // namespace
