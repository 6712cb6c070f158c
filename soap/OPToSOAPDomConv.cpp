// The client's message converter.
//
// Writing follows the section-5 encoding: one element per parameter under the method element,
// objects as multi-reference elements after it (so a graph, shared or cyclic, is written once
// per object), arrays as SOAP-ENC:Array elements, rectangular when they can be.
//
// Reading takes untrusted input, so three things are kept under control:
//  - hrefs are resolved through a table built once per answer, and every object decoded from
//    an element with an id is recorded before its members are read; a reference that comes
//    back (shared or cyclic) yields the same object, never a second decoding;
//  - the remaining recursion (elements nested inside elements, chains of references to new
//    ids) is bounded by MaxNesting, and the ids and array items of an answer by MaxIds and
//    MaxArrayItems, so neither the stack nor the heap grows with what a server chooses;
//  - a failed answer leaves no decoded objects behind: the objects created so far are
//    unlinked from each other and destroyed, and results and out parameters that would hold
//    them get their previous contents back.
#include "soap/OPToSOAPDomConv.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <new>
#include <typeinfo>
#include <unordered_set>

#include "soap/TypeTrans.h"
#include "soap/XMLReadTree.h"
#include "soap/XSBuiltIns.h"

ZELK_CLASS_INFO(ERemotableFault, "OPToSOAPDomConv")
ZELK_CLASS_INFO(TOPToSoapDomConvert, "OPToSOAPDomConv")

namespace {

// ---- values in memory ----

// `hops` pointer indirections away from `p`.
void* Deref(const void* p, int hops) {
  for (int i = 0; i < hops; ++i) p = *static_cast<void* const*>(p);
  return const_cast<void*>(p);
}

// Storage for one value of a type, built and destroyed by the type's operations.
class TValueBuffer {
 public:
  explicit TValueBuffer(PTypeInfo info)
      : info_(info), data_(::operator new(std::max<size_t>(info->Size, 1), std::align_val_t{16})) {
    info_->Ops.Construct(data_);
  }
  ~TValueBuffer() {
    info_->Ops.Destroy(data_);
    ::operator delete(data_, std::align_val_t{16});
  }
  TValueBuffer(const TValueBuffer&) = delete;
  TValueBuffer& operator=(const TValueBuffer&) = delete;
  void* Get() const { return data_; }

 private:
  PTypeInfo info_;
  void* data_;
};

// A property's value: the field itself, or a copy that Commit writes back through the setter.
class TPropValue {
 public:
  TPropValue(const TPropInfo& prop, TObject* obj) : prop_(prop), obj_(obj) {
    if (prop.Access == paField) {
      ptr_ = prop.Address(obj);
    } else {
      copy_ = std::make_unique<TValueBuffer>(prop.PropType);
      if (prop.Getter) prop.Getter(obj, copy_->Get());
      ptr_ = copy_->Get();
    }
  }
  void* Get() const { return ptr_; }
  void Commit() {
    if (copy_ && prop_.Setter) prop_.Setter(obj_, ptr_);
  }

 private:
  const TPropInfo& prop_;
  TObject* obj_;
  std::unique_ptr<TValueBuffer> copy_;
  void* ptr_ = nullptr;
};

TObject*& ObjectCell(void* p) { return *static_cast<TObject**>(p); }

size_t ArrayLength(PTypeInfo info, const void* arr) { return info->DynArray.Length(arr); }
void* ArrayItem(PTypeInfo info, const void* arr, size_t i) { return info->DynArray.Item(const_cast<void*>(arr), i); }

// The innermost element type and the number of array levels.
struct TArrayShape {
  PTypeInfo Elem = nullptr;
  int Dims = 0;
};
TArrayShape ShapeOf(PTypeInfo info) {
  TArrayShape s;
  PTypeInfo t = info;
  while (t && t->Kind == tkDynArray) {
    ++s.Dims;
    t = t->ElType;
  }
  s.Elem = t;
  return s;
}

bool IsByteType(PTypeInfo t) { return t && ((t->Kind == tkInteger && t->OrdType == otUByte) || t->Kind == tkChar); }

bool IsScalarKind(TTypeKind k) {
  switch (k) {
    case tkInteger: case tkChar: case tkEnumeration: case tkFloat: case tkString: case tkWChar: case tkLString:
    case tkWString: case tkInt64:
      return true;
    default:
      return false;
  }
}

bool IsXSClass(PTypeInfo t) {
  return t->Kind == tkClass && t->ClassType->InheritsFrom(&TRemotableXS::StaticClass());
}

bool IsDateTimeType(PTypeInfo t) { return t == TypeInfo<TDateTime>(); }

bool IsUnsupportedKind(TTypeKind k) {
  return k == tkUnknown || k == tkSet || k == tkMethod || k == tkArray || k == tkRecord || k == tkInterface;
}

// ---- texts ----

WideString W(std::string_view s) { return Utf8ToUtf16(s); }
std::string U(const WideString& s) { return Utf16ToUtf8(s); }

bool IsTrueText(const WideString& v) { return v == u"1" || WideSameText(v, u"true"); }

std::vector<WideString> SplitNames(const WideString& names) {
  std::vector<WideString> out;
  WideString cur;
  for (char16_t c : names) {
    if (c == u',' || c == u';') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

// "[]" for each leading empty dimension but the last, then the rest joined by ",".
WideString DimensionText(const std::vector<size_t>& lengths) {
  WideString out;
  size_t i = 0;
  while (i + 1 < lengths.size() && lengths[i] == 0) {
    out += u"[]";
    ++i;
  }
  out += u"[";
  for (size_t k = i; k < lengths.size(); ++k) {
    if (k > i) out += u",";
    out += W(std::to_string(lengths[k]));
  }
  return out + u"]";
}

// The sizes in the last bracket group of a SOAP-ENC:arrayType value ("xsd:int[2,3]" -> 2, 3).
std::vector<int64_t> LastArrayDimensions(const WideString& arrayType) {
  size_t open = arrayType.rfind(u'[');
  if (open == WideString::npos) return {};
  size_t close = arrayType.find(u']', open);
  WideString group = arrayType.substr(open + 1, close == WideString::npos ? WideString::npos : close - open - 1);
  std::vector<int64_t> sizes;
  for (const WideString& part : [&] {
         std::vector<WideString> parts;
         size_t start = 0;
         for (;;) {
           size_t comma = group.find(u',', start);
           parts.push_back(group.substr(start, comma == WideString::npos ? WideString::npos : comma - start));
           if (comma == WideString::npos) break;
           start = comma + 1;
         }
         return parts;
       }()) {
    WideString t = TrimXml(part);
    sizes.push_back(t.empty() ? 0 : ParseXmlInt32(t));
  }
  return sizes;
}

std::vector<TIntfPtr<IXMLNode>> ElementChildren(IXMLNode* node) {
  std::vector<TIntfPtr<IXMLNode>> out;
  if (!node->HasChildNodes()) return out;
  for (TIntfPtr<IXMLNode> c = node->FirstChild(); c; c = c->NextSibling())
    if (c->NodeType() == ntElement) out.push_back(c);
  return out;
}

std::vector<TIntfPtr<IXMLNode>> AllChildren(IXMLNode* node) {
  std::vector<TIntfPtr<IXMLNode>> out;
  if (!node->HasChildNodes()) return out;
  out.reserve(8);  // a structure's members, mostly: one allocation instead of growing
  for (TIntfPtr<IXMLNode> c = node->FirstChild(); c; c = c->NextSibling()) out.push_back(c);
  return out;
}

TIntfPtr<IXMLNode> FirstElementChild(IXMLNode* node) {
  if (!node->HasChildNodes()) return {};
  for (TIntfPtr<IXMLNode> c = node->FirstChild(); c; c = c->NextSibling())
    if (c->NodeType() == ntElement) return c;
  return {};
}

TRemotableTypeRegistry& Types() { return *GetTypeRegistry(); }

TXmlTypeName XmlTypeOf(PTypeInfo info) {
  TXmlTypeName n = Types().XmlNameOfType(info);
  if (!n.Found) throw ESOAPDomConvertError("Remotable Type %s not registered", {info->Name});
  return n;
}

struct TRestoreGuard {
  std::function<void()> fn;
  ~TRestoreGuard() {
    if (fn) fn();
  }
};

}  // namespace

// ---- per-answer decoding state ----

struct TOPToSoapDomConvert::TReadState {
  // Objects created while decoding, and objects whose members were set.
  std::vector<TObject*> created;
  std::vector<TObject*> filled;
  // Results and out parameters as they were before this answer touched them.
  struct TSaved {
    void* address;
    PTypeInfo info;
    std::unique_ptr<TValueBuffer> value;
  };
  std::vector<TSaved> saved;
  int depth = 0;
  // What reading a class's objects asks of the registry, looked up once per answer: its
  // serialization options, whether it wraps a scalar, and the external names of its
  // properties, also in UTF-8 for matching them on the read tree.
  struct TClassFacts {
    bool known = false;
    // Casts of the objects, for the C++ type they were last taken for (objects passed in by
    // the caller may be of another type than the class names).
    const std::type_info* castType = nullptr;
    bool isRemotable = false;
    bool isXS = false;
    TSerializationOptions so = 0;
    std::vector<WideString> wide;
    std::vector<std::string> utf8;

    // The casts the reader makes on every object, once per C++ type.
    void Cast(TObject* obj) {
      const std::type_info& type = typeid(*obj);
      if (castType == &type) return;
      isRemotable = dynamic_cast<TRemotable*>(obj) != nullptr;
      isXS = dynamic_cast<TRemotableXS*>(obj) != nullptr;
      castType = &type;
    }
  };
  std::unordered_map<TClass, TClassFacts> classes;
  // The child lists of the objects being read, one per nesting level, kept for the next
  // object at that level instead of allocated for each (a deque: taking one moves no other).
  // Lent and given back by each call, so never reset.
  std::deque<std::vector<xmlread::TChild>> childLists;
  size_t childDepth = 0;

  void Clear() {
    created.clear();
    filled.clear();
    saved.clear();
    depth = 0;
    classes.clear();
  }
};

// Counts one level of decoding recursion.
class TNestingGuard {
 public:
  TNestingGuard(int& depth, int limit) : depth_(depth) {
    if (++depth_ > limit) {
      --depth_;
      throw ESOAPDomConvertError("Response nesting exceeds %d levels", {limit});
    }
  }
  ~TNestingGuard() { --depth_; }
  TNestingGuard(const TNestingGuard&) = delete;
  TNestingGuard& operator=(const TNestingGuard&) = delete;

 private:
  int& depth_;
};

// ---- construction and references ----

TOPToSoapDomConvert::TOPToSoapDomConvert(TComponent* owner)
    : TSOAPDomConv(owner), read_(std::make_unique<TReadState>()) {
  options_ = {soSendMultiRefObj, soTryAllSchema, soRootRefNodesToBody, soCacheMimeResponse, soUTF8EncodeXML};
}

TOPToSoapDomConvert::~TOPToSoapDomConvert() { ClearAttachments(); }

HRESULT TOPToSoapDomConvert::QueryInterface(const TGUID& iid, void** obj) {
  if (iid == IOPConvert::IID || iid == IInterface::IID) {
    *obj = static_cast<IOPConvert*>(this);
  } else if (iid == IObjConverter::IID) {
    *obj = static_cast<IObjConverter*>(this);
  } else {
    return TComponent::QueryInterface(iid, obj);
  }
  _AddRef();
  return S_OK;
}

int32_t TOPToSoapDomConvert::_AddRef() { return ++refCount_; }

int32_t TOPToSoapDomConvert::_Release() {
  int32_t n = --refCount_;
  // An owned converter belongs to its owner; references do not end it.
  if (n == 0 && !Owner()) delete this;
  return n;
}

void TOPToSoapDomConvert::SetAttachments(const TSoapDataList& attachments) {
  if (&attachments == &attachments_) return;
  ClearAttachments();
  attachments_ = attachments;
}

void TOPToSoapDomConvert::ClearAttachments() {
  TSoapDataList old;
  old.swap(attachments_);
  for (TSOAPAttachment* a : old) delete a;
}

void TOPToSoapDomConvert::SetTempDir(const std::string& dir) {
  tempDir_ = dir;
  if (!tempDir_.empty() && tempDir_.back() != '/') tempDir_ += '/';
}

// ---- the request ----

std::unique_ptr<TStream> TOPToSoapDomConvert::BuildRequest(const TIntfMetaData& md, int methNum,
                                                           TInvContext& context, THeaderList* headers) {
  if (methNum < 0 || methNum >= static_cast<int>(md.MDA.size())) throw ESOAPDomConvertError("Method has no RTTI");
  const TIntfMethEntry me = md.MDA[static_cast<size_t>(methNum)];
  const bool document = options_.Contains(soDocument);

  TIntfPtr<IXMLDocument> doc = NewXMLDocument(u"1.0");
  if (!encoding_.empty()) doc->SetEncoding(encoding_);
  TIntfPtr<IXMLNode> env = envelope_.MakeEnvelope(doc.Get(), options_);

  ResetIdCounter();
  ClearAttachments();
  // Whatever happens, the next request starts without this one's references.
  TRestoreGuard reset{[this] {
    ResetMultiRefState();
    defaultNS_.clear();
    options_.Exclude(soXXXXHdr);
  }};

  if (headers && headers->Count() > 0) {
    TIntfPtr<IXMLNode> header = envelope_.MakeHeader(env.Get());
    if (!document) header->SetAttributeNS(u"encodingStyle", SSoapNameSpace, SSoapEncodingURI);
    WriteHeaders(header.Get(), *headers);
  }

  TIntfPtr<IXMLNode> body = envelope_.MakeBody(env.Get());
  TIntfPtr<IXMLNode> method = body;
  if (!options_.Contains(soLiteralParams)) {
    TInvokableClassRegistry* inv = GetInvokableRegistry();
    WideString ns = inv->GetNamespaceByGUID(md.IID);
    WideString name = inv->GetMethodExternalName(md.Info, me.Name);
    if (!document) {
      method = body->AddChild(name, ns, !ns.empty());
      body->SetAttributeNS(u"encodingStyle", SSoapNameSpace, SSoapEncodingURI);
    } else {
      method = body->AddChild(name, ns, false);
      defaultNS_ = ns;
    }
  }

  WriteParams(body.Get(), method.Get(), md, me, context);
  FinishMultiRefNodes();
  return Serialize(doc.Get());
}

void TOPToSoapDomConvert::WriteHeaders(IXMLNode* header, THeaderList& headers) {
  for (TSOAPHeader* h : headers.Items()) {
    if (!h) continue;
    // Objects inside a header are written inline.
    options_.Include(soXXXXHdr);
    WriteValue(header, header, W(h->ClassName()), &h->ClassType().TypeInfo, h, 0);
    options_.Exclude(soXXXXHdr);
  }
}

void TOPToSoapDomConvert::WriteParams(IXMLNode* body, IXMLNode* method, const TIntfMetaData& md,
                                      const TIntfMethEntry& me, TInvContext& context) {
  const bool xmlTypeNames = options_.Contains(soDocument) && options_.Contains(soLiteralParams);
  for (size_t i = 0; i < me.Params.size(); ++i) {
    const TIntfParamEntry& p = me.Params[i];
    if ((p.Flags & pfOut) && !(p.Flags & pfVar)) continue;
    WideString name = xmlTypeNames ? XmlTypeOf(p.Info).Name
                                   : GetInvokableRegistry()->GetParamExternalName(md.Info, me.Name, p.Name);
    int indirection = (p.Flags & (pfVar | pfOut)) ? 2 : 1;
    WriteValue(body, method, name, p.Info, context.GetParamPointer(static_cast<int>(i)), indirection);
  }
}

std::unique_ptr<TStream> TOPToSoapDomConvert::Serialize(IXMLDocument* doc) {
  // Bytes in another encoding than the one declared would corrupt every non-ASCII character,
  // so a declared encoding is always honoured.
  std::string bytes;
  if (encoding_.empty()) {
    // Undeclared or UTF-8: the document's own bytes are its text as UTF-8. Only non-ASCII
    // text goes through the wide-text round trip, which replaces malformed sequences.
    WideString declared = doc->Encoding();
    if (declared.empty() || WideSameText(declared, u"UTF-8") || WideSameText(declared, u"UTF8")) {
      bytes = doc->SaveToBytes();
      if (std::any_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        bytes = U(W(bytes));
    } else {
      bytes = U(doc->SaveToXML());
    }
  } else {
    bytes = doc->SaveToBytes();
  }
  auto stream = std::make_unique<TMemoryStream>();
  stream->WriteString(bytes);
  return stream;
}

// ---- writing values ----

void TOPToSoapDomConvert::WriteValue(IXMLNode* root, IXMLNode* parent, const WideString& name, PTypeInfo info,
                                     const void* value, int indirection) {
  const void* p = indirection > 0 ? Deref(value, indirection - 1) : value;
  switch (info->Kind) {
    case tkEnumeration: {
      TXmlTypeName xml = XmlTypeOf(info);
      AddScalarElement(root, parent, name, xml.Name, xml.URI, EnumToText(info, p));
      break;
    }
    case tkClass: {
      TObject* obj = indirection > 0 ? *static_cast<TObject* const*>(p) : static_cast<TObject*>(const_cast<void*>(value));
      WriteObject(root, parent, name, obj);
      break;
    }
    case tkVariant:
      WriteVariant(root, parent, name, *static_cast<const Variant*>(p));
      break;
    case tkDynArray:
      WriteArray(root, parent, name, info, p, (Types().GetSerializationOptions(info) & (1u << xoInlineArrays)) != 0);
      break;
    default:
      if (IsUnsupportedKind(info->Kind))
        throw ESOAPDomConvertError("Datatype of TypeKind: %s not supported as argument for remote invocation",
                                   {TypeKindName(info->Kind)});
      WriteScalar(root, parent, name, info, p);
      break;
  }
}

void TOPToSoapDomConvert::WriteScalar(IXMLNode* root, IXMLNode* parent, const WideString& name, PTypeInfo info,
                                      const void* value) {
  WideString text = TypeTranslator()->ValueToText(info, value);
  TXmlTypeName xml = XmlTypeOf(info);
  AddScalarElement(root, parent, name, xml.Name, xml.URI, text);
}

TIntfPtr<IXMLNode> TOPToSoapDomConvert::AddElement(IXMLNode* parent, const WideString& name, bool unqualified) {
  if (options_.Contains(soDocument) && !unqualified && !defaultNS_.empty())
    return parent->AddChild(name, defaultNS_, false);
  return parent->AddChild(name);
}

TIntfPtr<IXMLNode> TOPToSoapDomConvert::AddScalarElement(IXMLNode* root, IXMLNode* parent, const WideString& name,
                                                         const WideString& typeName, const WideString& typeNS,
                                                         const WideString& text) {
  TIntfPtr<IXMLNode> node = AddElement(parent, name);
  if (!options_.Contains(soSendUntyped) && !options_.Contains(soDocument))
    WriteTypeAttribute(root, node.Get(), typeName, typeNS);
  node->SetText(text);
  return node;
}

TIntfPtr<IXMLNode> TOPToSoapDomConvert::AddNilElement(IXMLNode*, IXMLNode* parent, const WideString& name) {
  TIntfPtr<IXMLNode> node = AddElement(parent, name);
  node->SetAttributeNS(u"nil", SXMLSchemaInstURI_2001, u"true");
  return node;
}

void TOPToSoapDomConvert::WriteTypeAttribute(IXMLNode* root, IXMLNode* node, const WideString& typeName,
                                             const WideString& typeNS) {
  WideString prefix = FindPrefixForURI(root, typeNS);
  node->SetAttributeNS(u"type", SXMLSchemaInstURI_2001, MakeNodeName(prefix, typeName));
}

void TOPToSoapDomConvert::WriteHref(IXMLNode* parent, const WideString& name, const WideString& id) {
  parent->AddChild(name)->SetAttribute(u"href", u"#" + id);
}

WideString TOPToSoapDomConvert::EnumToText(PTypeInfo info, const void* value) {
  std::string ident = GetEnumName(info, GetOrdValue(info, value));
  if (info->IsBooleanEnum()) return W(LowerCase(ident));
  return Types().ExternalPropertyName(info, ident);
}

// ---- objects ----

bool TOPToSoapDomConvert::WritesMultiRef(TClass cls) {
  if (!options_.Contains(soSendMultiRefObj) || options_.Contains(soDocument) || options_.Contains(soXXXXHdr))
    return false;
  TRemotableTypeRegistry& reg = Types();
  TSerializationOptions so = reg.GetSerializationOptions(cls);
  return reg.GetMultiRefOption(cls) != ocNoMultiRef && !reg.IsScalarClass(cls) &&
         !(so & ((1u << xoHolderClass) | (1u << xoSimpleTypeWrapper)));
}

void TOPToSoapDomConvert::WriteObject(IXMLNode* root, IXMLNode* parent, const WideString& name, TObject* obj) {
  if (!obj) {
    AddNilElement(root, parent, name);
    return;
  }
  TClass cls = &obj->ClassType();
  auto* remotable = dynamic_cast<TRemotable*>(obj);
  if (!remotable)
    throw ESOAPDomConvertError(
        "Conversion from class %s to SOAP is not supported - SOAP classes must derive from TRemotable", {cls->Name});
  TXmlTypeName xml = Types().XmlNameOfClass(cls);
  if (!xml.Found) throw ESOAPDomConvertError("Remotable Type %s not registered", {cls->Name});

  bool multiRef = WritesMultiRef(cls);
  if (multiRef) {
    WideString id = refCache_.FindObjectId(obj);
    if (!id.empty()) {
      WriteHref(parent, name, id);
      return;
    }
  } else if (std::find(objectsInProgress_.begin(), objectsInProgress_.end(), obj) != objectsInProgress_.end()) {
    throw ESOAPDomConvertError("Must enable multiref output for objects when serializing a graph of objects - (%s)",
                               {cls->Name});
  }

  if (!multiRef) objectsInProgress_.push_back(obj);
  TRestoreGuard pop{[&] {
    if (!multiRef) objectsInProgress_.pop_back();
  }};
  WideString refId;
  remotable->WriteToMessage(root, parent, this, name, xml.URI, {}, refId);
  if (!refId.empty()) WriteHref(parent, name, refId);
}

TIntfPtr<IXMLNode> TOPToSoapDomConvert::ObjInstanceToSOAP(TRemotable* obj, IXMLNode* root, IXMLNode* parent,
                                                          const WideString& name, const WideString&,
                                                          TObjectConvertOptions options, WideString& refId) {
  TClass cls = &obj->ClassType();
  TXmlTypeName xml = Types().XmlNameOfClass(cls);
  TSerializationOptions so = Types().GetSerializationOptions(cls);
  bool multiRef = WritesMultiRef(cls);
  WideString id = NextId();

  TIntfPtr<IXMLNode> node;
  if (so & (1u << xoHolderClass)) {
    node = TIntfPtr<IXMLNode>(parent);
  } else if (multiRef) {
    WideString prefix = FindPrefixForURI(root, xml.URI);
    node = AddMultiRefElement(root, MakeNodeName(prefix, xml.Name), xml.URI, id);
    refId = id;
  } else {
    node = AddElement(parent, name);
  }
  if (node.Get() != parent && !options_.Contains(soSendUntyped) && !options_.Contains(soDocument) &&
      !options.Contains(ocoDontPutTypeAttr))
    WriteTypeAttribute(root, node.Get(), xml.Name, xml.URI);
  // Recorded before the members, so a reference back to the object finds its id.
  if (multiRef) refCache_.AddObject(id, obj);
  if (!options.Contains(ocoDontSerializeProps)) WriteMembers(root, node.Get(), obj);
  return node;
}

void TOPToSoapDomConvert::WriteMembers(IXMLNode* root, IXMLNode* node, TObject* obj) {
  TClass cls = &obj->ClassType();
  TSerializationOptions so = Types().GetSerializationOptions(cls);
  const auto& props = cls->Properties;
  if ((so & (1u << xoSimpleTypeWrapper)) && props.size() == 1) {
    node->SetText(PropertyText(obj, props[0]));
    return;
  }
  for (const TPropInfo& prop : props) WriteMember(root, node, obj, prop, so);
}

WideString TOPToSoapDomConvert::PropertyText(TObject* obj, const TPropInfo& prop) {
  PTypeInfo t = prop.PropType;
  TPropValue value(prop, obj);
  switch (t->Kind) {
    case tkEnumeration:
      return EnumToText(t, value.Get());
    case tkClass:
      if (IsXSClass(t)) {
        auto* xs = static_cast<TRemotableXS*>(ObjectCell(value.Get()));
        return xs ? xs->ToXmlText() : WideString();
      }
      break;
    default:
      if (IsScalarKind(t->Kind)) return TypeTranslator()->ValueToText(t, value.Get());
      break;
  }
  throw ESOAPDomConvertError(SUnexpectedDataType,
                             {std::string(TypeKindName(t->Kind)) + ":(" + t->Name + ") "});
}

void TOPToSoapDomConvert::WriteMember(IXMLNode* root, IXMLNode* node, TObject* obj, const TPropInfo& prop,
                                      TSerializationOptions so) {
  TClass cls = &obj->ClassType();
  PTypeInfo t = prop.PropType;
  uint32_t flags = prop.MemberFlags();
  if ((flags & mfOptional) && !prop.IsStored(obj)) return;
  WideString extName = Types().ExternalPropertyName(&cls->TypeInfo, prop.Name);
  const bool dontSendEmpty = options_.Contains(soDontSendEmptyNodes);
  const bool neverStored = !prop.StoredFn && !prop.Stored;

  if (flags & mfText) {
    node->SetText(PropertyText(obj, prop));
    return;
  }
  if (((flags & mfAttribute) || neverStored) && (IsScalarKind(t->Kind) || IsXSClass(t))) {
    WideString text = PropertyText(obj, prop);
    if (text.empty() && dontSendEmpty) return;
    TIntfPtr<IXMLNode> target(node);
    if (so & (1u << xoAttributeOnLastMember)) {
      std::vector<TIntfPtr<IXMLNode>> children = ElementChildren(node);
      if (!children.empty()) target = children.back();
    }
    target->SetAttribute(extName, text);
    return;
  }

  TPropValue value(prop, obj);
  bool unqualified = (flags & mfUnqualified) != 0;
  switch (t->Kind) {
    case tkClass: {
      TObject* member = ObjectCell(value.Get());
      if (!member) {
        if (!dontSendEmpty) AddNilElement(root, node, extName);
        return;
      }
      WriteObject(root, node, extName, member);
      return;
    }
    case tkDynArray: {
      bool inlineArray = (so & (1u << xoInlineArrays)) || (flags & mfUnbounded) || neverStored;
      WriteArray(root, node, extName, t, value.Get(), inlineArray);
      return;
    }
    case tkVariant:
      WriteVariant(root, node, extName, *static_cast<const Variant*>(value.Get()));
      return;
    default:
      break;
  }
  WideString text = PropertyText(obj, prop);
  if (text.empty() && dontSendEmpty) return;
  TXmlTypeName xml = XmlTypeOf(t);
  TIntfPtr<IXMLNode> element = AddElement(node, extName, unqualified);
  if (!options_.Contains(soSendUntyped) && !options_.Contains(soDocument))
    WriteTypeAttribute(root, element.Get(), xml.Name, xml.URI);
  element->SetText(text);
}

// ---- arrays ----

namespace {

// Lengths of each level, taken along the first element of each level.
std::vector<size_t> FirstLengths(PTypeInfo info, const void* arr, int dims) {
  std::vector<size_t> lengths;
  for (int d = 0; d < dims; ++d) {
    size_t n = arr ? ArrayLength(info, arr) : 0;
    lengths.push_back(n);
    arr = n > 0 && d + 1 < dims ? ArrayItem(info, arr, 0) : nullptr;
    info = info->ElType;
  }
  return lengths;
}

bool IsRectangular(PTypeInfo info, const void* arr, const std::vector<size_t>& lengths, size_t level) {
  size_t n = ArrayLength(info, arr);
  if (n != lengths[level]) return false;
  if (level + 1 == lengths.size()) return true;
  for (size_t i = 0; i < n; ++i)
    if (!IsRectangular(info->ElType, ArrayItem(info, arr, i), lengths, level + 1)) return false;
  return true;
}

}  // namespace

void TOPToSoapDomConvert::WriteArray(IXMLNode* root, IXMLNode* parent, const WideString& name, PTypeInfo info,
                                     const void* array, bool inlineArray) {
  TArrayShape shape = ShapeOf(info);
  if (!shape.Elem) throw ESOAPDomConvertError("Remotable Type %s not registered", {info->Name});
  TXmlTypeName elemXml = XmlTypeOf(shape.Elem);
  const bool assigned = ArrayLength(info, array) > 0;
  const bool isByte = IsByteType(shape.Elem);
  std::vector<size_t> lengths = FirstLengths(info, array, shape.Dims);

  bool nested = assigned && (!IsRectangular(info, array, lengths, 0) ||
                             (options_.Contains(soDocument) && shape.Dims > 1) || isByte ||
                             options_.Contains(soSendUntyped));
  if (nested) {
    WriteNestedLevel(root, parent, name, info, array, inlineArray);
    return;
  }
  if (shape.Dims == 1 && isByte) {
    WriteByteString(root, parent, name, info, array);
    return;
  }
  TArrayElement element = inlineArray ? TArrayElement{TIntfPtr<IXMLNode>(parent), TIntfPtr<IXMLNode>(parent)}
                                      : AddArrayElement(root, parent, name, elemXml, DimensionText(lengths));
  WriteRectItems(root, element.items.Get(), ItemName(name, elemXml, inlineArray), info, array);
  if (options_.Contains(soDontSendEmptyNodes) && !inlineArray && !element.items->HasChildNodes())
    RemoveArrayElement(element);
}

WideString TOPToSoapDomConvert::ItemName(const WideString& arrayName, const TXmlTypeName& elemXml,
                                         bool inlineArray) const {
  // Items of an inline array repeat the array's own name, which is how they are read back.
  if (inlineArray) return arrayName;
  return options_.Contains(soDocument) ? elemXml.Name : WideString(u"item");
}

TOPToSoapDomConvert::TArrayElement TOPToSoapDomConvert::AddArrayElement(IXMLNode* root, IXMLNode* parent,
                                                                        const WideString& name,
                                                                        const TXmlTypeName& elemXml,
                                                                        const WideString& dimText) {
  const bool document = options_.Contains(soDocument);
  if (document) {
    TIntfPtr<IXMLNode> node = AddElement(parent, name);
    return {node, node};
  }
  if (elemXml.Name.empty() || elemXml.URI.empty()) {
    TIntfPtr<IXMLNode> node = parent->AddChild(name, parent->NamespaceURI(), false);
    return {node, node};
  }
  TArrayElement result;
  if (options_.Contains(soSendMultiRefArray)) {
    WideString elemPrefix = FindPrefixForURI(root, elemXml.URI);
    WideString id = NextId();
    result.placed = parent->AddChild(MakeNodeName(elemPrefix, name));
    result.placed->SetAttribute(u"href", u"#" + id);
    WideString encPrefix = FindPrefixForURI(root, SSoapEncodingURI);
    result.items = AddMultiRefElement(root, MakeNodeName(encPrefix, u"Array"), SSoapEncodingURI, id);
  } else {
    result.items = AddElement(parent, name);
    result.placed = result.items;
  }
  WriteTypeAttribute(root, result.items.Get(), u"Array", SSoapEncodingURI);
  if (!options_.Contains(soSendUntyped)) {
    WideString prefix = FindPrefixForURI(root, elemXml.URI);
    result.items->SetAttributeNS(u"arrayType", SSoapEncodingURI, MakeNodeName(prefix, elemXml.Name) + dimText);
  }
  return result;
}

void TOPToSoapDomConvert::RemoveArrayElement(const TArrayElement& element) {
  for (IXMLNode* n : {element.placed.Get(), element.items.Get()}) {
    TIntfPtr<IXMLNode> parent = n->ParentNode();
    if (parent) parent->ChildNodes()->Remove(n);
  }
  for (auto& e : multiRefNodes_)
    std::erase_if(e.Nodes, [&](const TIntfPtr<IXMLNode>& n) { return n.Get() == element.items.Get(); });
}

void TOPToSoapDomConvert::WriteRectItems(IXMLNode* root, IXMLNode* node, const WideString& itemName, PTypeInfo info,
                                         const void* array) {
  size_t n = ArrayLength(info, array);
  for (size_t i = 0; i < n; ++i) {
    const void* item = ArrayItem(info, array, i);
    if (info->ElType->Kind == tkDynArray) WriteRectItems(root, node, itemName, info->ElType, item);
    else WriteItem(root, node, itemName, info->ElType, item);
  }
}

void TOPToSoapDomConvert::WriteNestedLevel(IXMLNode* root, IXMLNode* parent, const WideString& name,
                                           PTypeInfo info, const void* array, bool inlineArray) {
  TArrayShape shape = ShapeOf(info);
  size_t n = ArrayLength(info, array);
  if (n == 0) {
    AddNilElement(root, parent, name);
    return;
  }
  if (shape.Dims == 1 && IsByteType(shape.Elem)) {
    WriteByteString(root, parent, name, info, array);
    return;
  }
  TXmlTypeName elemXml = XmlTypeOf(shape.Elem);
  WideString dimText;
  for (int d = 1; d < shape.Dims; ++d) dimText += u"[]";
  dimText += u'[';
  dimText += W(std::to_string(n));
  dimText += u']';
  TArrayElement element = inlineArray ? TArrayElement{TIntfPtr<IXMLNode>(parent), TIntfPtr<IXMLNode>(parent)}
                                      : AddArrayElement(root, parent, name, elemXml, dimText);
  WideString itemName = ItemName(name, elemXml, inlineArray);
  for (size_t i = 0; i < n; ++i) {
    const void* item = ArrayItem(info, array, i);
    if (shape.Dims > 1) WriteNestedLevel(root, element.items.Get(), itemName, info->ElType, item, false);
    else WriteItem(root, element.items.Get(), itemName, info->ElType, item);
  }
}

void TOPToSoapDomConvert::WriteItem(IXMLNode* root, IXMLNode* node, const WideString& itemName, PTypeInfo info,
                                    const void* item) {
  switch (info->Kind) {
    case tkClass:
      WriteObject(root, node, itemName, *static_cast<TObject* const*>(item));
      return;
    case tkVariant:
      WriteVariant(root, node, itemName, *static_cast<const Variant*>(item));
      return;
    case tkEnumeration:
      AddElement(node, itemName)->SetText(EnumToText(info, item));
      return;
    default:
      if (IsUnsupportedKind(info->Kind) || info->Kind == tkDynArray)
        throw ESOAPDomConvertError("Datatype of TypeKind: %s not supported as argument for remote invocation",
                                   {TypeKindName(info->Kind)});
      AddElement(node, itemName)->SetText(TypeTranslator()->ValueToText(info, item));
      return;
  }
}

void TOPToSoapDomConvert::WriteByteString(IXMLNode* root, IXMLNode* parent, const WideString& name, PTypeInfo info,
                                          const void* array) {
  size_t n = ArrayLength(info, array);
  if (n == 0) {
    AddNilElement(root, parent, name);
    return;
  }
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = *static_cast<const char*>(ArrayItem(info, array, i));
  AddScalarElement(root, parent, name, u"base64Binary", SXMLSchemaURI_2001, W(Base64Encode(bytes)));
}

// ---- variants ----

void TOPToSoapDomConvert::WriteVariant(IXMLNode* root, IXMLNode* parent, const WideString& name, const Variant& v) {
  if (v.IsNull() || v.IsEmpty()) {
    AddNilElement(root, parent, name);
    return;
  }
  const TVarType code = v.VarType() & varTypeMask;
  if (v.IsArray()) {
    const std::vector<Variant>& items = v.Items();
    if (code == varByte) {
      std::string bytes;
      for (const Variant& b : items) bytes += static_cast<char>(b.AsInt64());
      AddScalarElement(root, parent, name, u"base64Binary", SXMLSchemaURI_2001, W(Base64Encode(bytes)));
      return;
    }
    TIntfPtr<IXMLNode> node = AddElement(parent, name);
    if (!options_.Contains(soDocument)) {
      WriteTypeAttribute(root, node.Get(), u"Array", SSoapEncodingURI);
      if (!options_.Contains(soSendUntyped)) {
        WideString prefix = FindPrefixForURI(root, SXMLSchemaURI_2001);
        node->SetAttributeNS(u"arrayType", SSoapEncodingURI,
                             MakeNodeName(prefix, u"anyType") + u"[" + W(std::to_string(items.size())) + u"]");
      }
    }
    FindPrefixForURI(root, SRuntimeTypesNamespace);
    node->SetAttributeNS(u"VarArrayType", SRuntimeTypesNamespace, W(std::to_string(code)));
    for (const Variant& item : items) WriteVariant(root, node.Get(), u"item", item);
    return;
  }
  PTypeInfo info;
  try {
    info = Types().TypeInfoOfVariant(v);
  } catch (const ETypeRegistryException& e) {
    throw ESOAPDomConvertError(e.Message());
  }
  TXmlTypeName xml = Types().XmlNameOfType(info);
  if (!xml.Found) throw ESOAPDomConvertError("Unsuppported variant type %d", {int(code)});
  WideString text = code == varDate ? FormatXmlDateTime(TDateTime(v.AsDouble()), true) : v.AsWideString();
  AddScalarElement(root, parent, name, xml.Name, xml.URI, text);
}

// ---- the response ----

void TOPToSoapDomConvert::ReadResponse(TStream& response, const TIntfMetaData& md, const TIntfMethEntry& me,
                                       TInvContext& context, THeaderList* headers) {
  // An answer is only read: a read-only tree costs a fraction of a DOM to build and free.
  // A memory stream (the transport's) is parsed where it lies.
  if (auto* memory = dynamic_cast<TMemoryStream*>(&response)) {
    TIntfPtr<IXMLDocument> doc = LoadXMLReadOnly(memory->DataString());
    ReadResponse(doc.Get(), md, me, context, headers);
    return;
  }
  response.SetPosition(0);
  TIntfPtr<IXMLDocument> doc = LoadXMLReadOnly(response.ReadRest());
  ReadResponse(doc.Get(), md, me, context, headers);
}

void TOPToSoapDomConvert::ReadResponse(const WideString& response, const TIntfMetaData& md,
                                       const TIntfMethEntry& me, TInvContext& context, THeaderList* headers) {
  TIntfPtr<IXMLDocument> doc = NewXMLDocument(u"1.0");
  doc->LoadFromXML(response);
  ReadResponse(doc.Get(), md, me, context, headers);
}

void TOPToSoapDomConvert::ReadResponse(IXMLDocument* doc, const TIntfMetaData& md, const TIntfMethEntry& me,
                                       TInvContext& context, THeaderList* headers) {
  TRestoreGuard reset{[this] {
    ResetMultiRefState();
    read_->Clear();
  }};
  read_->Clear();
  BuildIdTable(doc);

  TIntfPtr<IXMLNode> env = doc->DocumentElement();
  if (!env) throw ESOAPDomConvertError("Invalid SOAP Response");
  if (!env->LocalNameIs(u"Envelope") || !env->NamespaceURIIs(SSoapNameSpace))
    throw ESOAPDomConvertError("DocumentElement %s:%s expected, %s:%s found",
                               {SSoapNameSpace, "Envelope", env->NamespaceURI(), env->LocalName()});
  if (!env->HasChildNodes()) throw ESOAPDomConvertError("Invalid SOAP request");

  TIntfPtr<IXMLNode> body;
  bool seenHeader = false;
  for (const TIntfPtr<IXMLNode>& child : ElementChildren(env.Get())) {
    WideString local = child->LocalName();
    if (local == u"Header") {
      if (seenHeader) throw ESOAPDomConvertError("Invalid SOAP response");
      seenHeader = true;
      ReadHeaders(child.Get(), headers);
    } else if (local == u"Body") {
      if (body) throw ESOAPDomConvertError("Invalid SOAP response");
      body = child;
    }
  }
  if (!body) return;

  TIntfPtr<IXMLNode> response = FirstElementChild(body.Get());
  if (options_.Contains(soLiteralParams) && !(response && response->LocalNameIs(u"Fault"))) response = body;
  if (!response) return;
  if (response->LocalNameIs(u"Fault")) RaiseFault(response.Get());

  try {
    ReadResults(body.Get(), response.Get(), md, me, context);
  } catch (...) {
    DiscardDecodedObjects();
    throw;
  }
}

void TOPToSoapDomConvert::ReadResults(IXMLNode* root, IXMLNode* response, const TIntfMetaData& md,
                                      const TIntfMethEntry& me, TInvContext& context) {
  PTypeInfo rt = me.ResultInfo;
  void* result = context.GetResultPointer();
  std::vector<TIntfPtr<IXMLNode>> children = ElementChildren(response);

  TIntfPtr<IXMLNode> ret;
  if (rt && rt->Kind == tkDynArray && (Types().GetSerializationOptions(rt) & (1u << xoInlineArrays))) {
    if (result) {
      SaveTarget(result, rt);
      ReadArrayItems(result, rt, children, WideString(), root);
    }
  } else if (rt) {
    if (children.size() == 1) {
      ret = children[0];
    } else {
      std::vector<WideString> names = SplitNames(GetInvokableRegistry()->GetReturnNames(md.Info));
      for (const auto& c : children) {
        WideString local = c->LocalName();
        if (std::any_of(names.begin(), names.end(), [&](const WideString& n) { return WideSameText(local, n); })) {
          ret = c;
          break;
        }
      }
    }
    if (!ret && rt->Kind != tkClass && rt->Kind != tkVariant)
      throw ESOAPDomConvertError("SOAP Response Packet: element matching function return not found, received \"%s\"",
                                 {response->XML()});
  }

  if (rt && !response->HasChildNodes() && (rt->Kind == tkClass || rt->Kind == tkVariant)) {
    if (result) {
      if (rt->Kind == tkClass) ObjectCell(result) = nullptr;
      else *static_cast<Variant*>(result) = Variant::Null();
    }
    return;
  }
  if (!ret && me.Params.empty()) return;

  std::vector<bool> read(me.Params.size(), false);
  for (const auto& child : children) {
    if (child.Get() == ret.Get()) {
      if (result) {
        SaveTarget(result, rt);
        ReadValue(result, rt, 1, false, true, child.Get(), root, &context);
      }
      continue;
    }
    WideString local = child->LocalName();
    for (size_t k = 0; k < me.Params.size(); ++k) {
      const TIntfParamEntry& p = me.Params[k];
      if (GetInvokableRegistry()->GetParamExternalName(md.Info, me.Name, p.Name) != local) continue;
      // Only var and out parameters receive values: an input may be the caller's constant.
      bool writable = (p.Flags & (pfVar | pfOut)) != 0;
      if (writable && !read[k]) {
        void* slot = context.GetParamPointer(static_cast<int>(k));
        if (slot) {
          SaveTarget(Deref(slot, 1), p.Info);
          ReadValue(slot, p.Info, 2, true, true, child.Get(), root, &context);
        }
        read[k] = true;
      }
      break;
    }
  }
}

void TOPToSoapDomConvert::SaveTarget(void* address, PTypeInfo info) {
  if (!address || (info->Kind != tkClass && info->Kind != tkDynArray)) return;
  auto copy = std::make_unique<TValueBuffer>(info);
  info->Ops.Copy(copy->Get(), address);
  read_->saved.push_back({address, info, std::move(copy)});
}

// ---- reading values ----

void TOPToSoapDomConvert::ReadValue(void* target, PTypeInfo info, int indirection, bool, bool convertScalars,
                                    IXMLNode* node, IXMLNode* root, TInvContext*) {
  void* p = indirection > 0 ? Deref(target, indirection - 1) : target;
  switch (info->Kind) {
    case tkVariant: {
      WideString id;
      TIntfPtr<IXMLNode> data = GetDataNode(root, node, id);
      *static_cast<Variant*>(p) = NodeIsNull(data.Get()) ? Variant::Null() : ReadVariantValue(data.Get(), root);
      return;
    }
    case tkDynArray:
      ReadArray(p, info, node, root);
      return;
    case tkClass:
      ObjectCell(p) = ReadObject(root, node, ObjectCell(p), info->ClassType);
      return;
    default:
      if (!convertScalars) return;
      WideString id;
      TIntfPtr<IXMLNode> data = GetDataNode(root, node, id);
      TypeTranslator()->TextToValue(info, GetNodeText(data.Get()), NodeIsNull(data.Get()), p);
      return;
  }
}

TObject* TOPToSoapDomConvert::CreateObject(TClass cls) {
  if (!cls->Create) return nullptr;
  TObject* obj = cls->Create();
  read_->created.push_back(obj);
  return obj;
}

TObject* TOPToSoapDomConvert::ReadObject(IXMLNode* root, IXMLNode* node, TObject* existing, TClass declared) {
  TNestingGuard nesting(read_->depth, MaxNesting());
  WideString id;
  TIntfPtr<IXMLNode> data;
  // A value in place on the read tree, the usual case: its attributes read once, in UTF-8.
  xmlread::TValueInfo v;
  const bool direct = !options_.Contains(soDocument) &&
                      xmlread::DescribeValue(node, true, options_.Contains(soTryAllSchema), v) && !v.hasHref;
  if (direct) {
    if (v.nil || !v.hasChildren) return nullptr;
    if (v.hasId) id = W(v.id);
    data = TIntfPtr<IXMLNode>(node);
  } else {
    data = GetDataNode(root, node, id);
    if (options_.Contains(soDocument)) {
      if (IsTrueText(data->GetAttributeNS(u"nil", SXMLSchemaInstURI_2001))) return nullptr;
    } else if (NodeIsNull(node) || NodeIsNull(data.Get())) {
      return nullptr;
    }
  }

  if (!id.empty() && declared != &TSOAPAttachment::StaticClass()) {
    if (TObject* known = refCache_.FindObject(id)) {
      // The same id read for another type would put one object in two kinds of slot.
      if (!known->InheritsFrom(declared))
        throw ESOAPDomConvertError("Element with id %s does not hold a %s", {id, declared->Name});
      return known;
    }
  }

  TClass registered;
  if (direct) {
    registered = Types().FindClassByXmlName(v.typeURI, v.typeName);
  } else {
    WideString typeURI, typeName;
    GetElementType(data.Get(), typeURI, typeName);
    registered = Types().FindClassByXmlName(typeURI, typeName);
  }
  if (registered && !registered->InheritsFrom(declared)) registered = nullptr;

  TObject* obj = existing;
  if (!obj) obj = CreateObject(registered ? registered : declared);
  else if (registered && registered != &obj->ClassType()) obj = CreateObject(registered);
  if (!obj) return nullptr;

  if (!id.empty()) refCache_.AddObject(id, obj);
  TReadState::TClassFacts& facts = read_->classes[&obj->ClassType()];
  facts.Cast(obj);
  if (facts.isRemotable) static_cast<TRemotable*>(obj)->ReadFromMessage(root, data.Get(), this);
  else ReadObjectMembers(obj, root, data.Get());
  return obj;
}

void TOPToSoapDomConvert::InitObjectFromSOAP(TRemotable* obj, IXMLNode* root, IXMLNode* node) {
  ReadObjectMembers(obj, root, node);
}

void TOPToSoapDomConvert::MemberMissing(TClass cls, const TPropInfo& prop) {
  if (OnMemberDataNotReceived) OnMemberDataNotReceived(cls->Name, prop.Name);
}

void TOPToSoapDomConvert::NotifyUnhandled(const WideString& name, IXMLNode* node) {
  if (OnUnhandledNode) OnUnhandledNode(name, node->XML());
}

void TOPToSoapDomConvert::ReadObjectMembers(TObject* obj, IXMLNode* root, IXMLNode* node) {
  TClass cls = &obj->ClassType();
  const auto& props = cls->Properties;
  TReadState::TClassFacts& facts = read_->classes[cls];
  if (!facts.known) {
    facts.so = Types().GetSerializationOptions(cls);
    for (const TPropInfo& prop : props) {
      facts.wide.push_back(Types().ExternalPropertyName(&cls->TypeInfo, prop.Name));
      facts.utf8.push_back(U(facts.wide.back()));
    }
    facts.known = true;
  }
  const TSerializationOptions so = facts.so;
  facts.Cast(obj);
  read_->filled.push_back(obj);

  TIntfPtr<IXMLNode> element(node);
  if ((so & (1u << xoHolderClass)) && (!(so & (1u << xoInlineArrays)) || (so & (1u << xoLiteralParam)))) {
    if (TIntfPtr<IXMLNode> parent = node->ParentNode()) element = parent;
  }
  if ((so & (1u << xoSimpleTypeWrapper)) && props.size() == 1) {
    SetPropertyFromText(obj, props[0], GetNodeText(node));
    return;
  }

  // This level's child list, lent for the duration of the call.
  struct TLoan {
    TReadState& state;
    std::vector<xmlread::TChild>* list;
    explicit TLoan(TReadState& s) : state(s) {
      if (s.childLists.size() <= s.childDepth) s.childLists.emplace_back();
      list = &s.childLists[s.childDepth++];
      list->clear();
    }
    ~TLoan() {
      --state.childDepth;
      // One huge answer does not keep its memory.
      if (list->capacity() > 1024) std::vector<xmlread::TChild>().swap(*list);
    }
  } loan(*read_);
  std::vector<xmlread::TChild>& children = *loan.list;
  // On the read tree the children come without a reference each and with their names in
  // UTF-8; on other documents through the node interface.
  std::vector<TIntfPtr<IXMLNode>> held;
  const bool direct = xmlread::Children(element.Get(), children);
  if (!direct) {
    held = AllChildren(element.Get());
    for (const auto& c : held) children.push_back({c.Get(), nullptr});
  }
  // Which children a member took; most classes have few members, so no allocation for them.
  std::array<uint8_t, 16> consumedSmall{};
  std::vector<uint8_t> consumedLarge;
  uint8_t* consumed = consumedSmall.data();
  if (children.size() > consumedSmall.size()) {
    consumedLarge.assign(children.size(), 0);
    consumed = consumedLarge.data();
  }

  auto isMember = [&](size_t i, size_t pi) {
    if (direct) return children[i].local && children[i].local == std::string_view(facts.utf8[pi]);
    IXMLNode* c = children[i].node;
    return c->NodeType() == ntElement && c->LocalNameIs(facts.wide[pi]);
  };
  auto findChild = [&](size_t pi) -> int {
    for (size_t i = 0; i < children.size(); ++i)
      if (!consumed[i] && isMember(i, pi)) return static_cast<int>(i);
    return -1;
  };
  for (size_t pi = 0; pi < props.size(); ++pi) {
    const TPropInfo& prop = props[pi];
    PTypeInfo t = prop.PropType;
    uint32_t flags = prop.MemberFlags();
    bool optional = (flags & mfOptional) != 0;
    bool neverStored = !prop.StoredFn && !prop.Stored;
    const WideString& extName = facts.wide[pi];

    if (flags & mfText) {
      SetPropertyFromText(obj, prop, GetNodeText(element.Get()));
      if (children.size() == 1) consumed[0] = true;
      continue;
    }
    if (((flags & mfAttribute) || neverStored) && (IsScalarKind(t->Kind) || IsXSClass(t))) {
      if (element->HasAttributeNS(extName, WideString()))
        SetPropertyFromText(obj, prop, element->GetAttributeNS(extName, WideString()));
      else if (!optional)
        MemberMissing(cls, prop);
      continue;
    }
    if (t->Kind == tkDynArray && ((so & (1u << xoInlineArrays)) || (flags & mfUnbounded) || neverStored)) {
      std::vector<TIntfPtr<IXMLNode>> items;
      for (size_t i = 0; i < children.size(); ++i)
        if (!consumed[i] && isMember(i, pi)) {
          consumed[i] = true;
          items.emplace_back(children[i].node);
        }
      if (items.empty() && !optional) MemberMissing(cls, prop);
      TPropValue value(prop, obj);
      ReadArrayItems(value.Get(), t, items, WideString(), root);
      value.Commit();
      continue;
    }
    int i = findChild(pi);
    if (i < 0) {
      if (!optional) MemberMissing(cls, prop);
      continue;
    }
    consumed[static_cast<size_t>(i)] = true;
    ReadMemberElement(obj, prop, children[static_cast<size_t>(i)].node, root);
  }

  // A wrapper's text child is its value, read by the wrapper itself.
  if (facts.isXS) return;
  for (size_t i = 0; i < children.size(); ++i)
    if (!consumed[i]) NotifyUnhandled(W(cls->Name), children[i].node);
}

void TOPToSoapDomConvert::ReadMemberElement(TObject* obj, const TPropInfo& prop, IXMLNode* child, IXMLNode* root) {
  PTypeInfo t = prop.PropType;
  switch (t->Kind) {
    case tkClass: {
      TObject* member = ReadObject(root, child, nullptr, t->ClassType);
      if (member) {
        TPropValue value(prop, obj);
        ObjectCell(value.Get()) = member;
        value.Commit();
      }
      return;
    }
    case tkVariant: {
      TPropValue value(prop, obj);
      *static_cast<Variant*>(value.Get()) = ReadVariantProperty(child, root);
      value.Commit();
      return;
    }
    case tkDynArray: {
      if (!options_.Contains(soDocument) && NodeIsNull(child)) return;
      TPropValue value(prop, obj);
      ReadArray(value.Get(), t, child, root);
      value.Commit();
      return;
    }
    default: {
      auto setNil = [&] {
        // A nil date-time is the zero date rather than an error.
        if (IsDateTimeType(t)) {
          TPropValue value(prop, obj);
          *static_cast<TDateTime*>(value.Get()) = TDateTime(0);
          value.Commit();
          return;
        }
        SetPropertyFromText(obj, prop, NilText(t->Kind));
      };
      // A value in place on the read tree: its attributes read once.
      if (xmlread::TValueInfo v; xmlread::DescribeValue(child, false, false, v) && !v.hasHref) {
        if (v.nil || !v.hasChildren) setNil();
        else if (!v.isText || !SetPropertyFromUtf8(obj, prop, v.text)) SetPropertyFromText(obj, prop, GetNodeText(child));
        return;
      }
      WideString id;
      TIntfPtr<IXMLNode> data = GetDataNode(root, child, id);
      if (NodeIsNull(data.Get())) {
        setNil();
      } else if (xmlread::TValueInfo v; xmlread::DescribeValue(data.Get(), false, false, v) && v.isText &&
                                        SetPropertyFromUtf8(obj, prop, v.text)) {
      } else {
        SetPropertyFromText(obj, prop, GetNodeText(data.Get()));
      }
      return;
    }
  }
}

WideString TOPToSoapDomConvert::NilText(TTypeKind kind) {
  if (kind == tkChar || kind == tkWChar) return WideString(1, u'\0');
  return TypeTranslator()->NilText(kind);
}

namespace {
// TrimXml without a copy.
std::string_view TrimmedView(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  return text.substr(b, e - b);
}
}  // namespace

bool TOPToSoapDomConvert::SetPropertyFromUtf8(TObject* obj, const TPropInfo& prop, std::string_view text) {
  PTypeInfo t = prop.PropType;
  switch (t->Kind) {
    case tkInteger: {
      int64_t v = t->OrdType == otULong ? ParseXmlInt64(text) : ParseXmlInt32(text);
      TPropValue value(prop, obj);
      SetOrdValue(t, value.Get(), v);
      value.Commit();
      return true;
    }
    case tkInt64: {
      int64_t v = ParseXmlInt64(TrimmedView(text));
      TPropValue value(prop, obj);
      std::memcpy(value.Get(), &v, 8);
      value.Commit();
      return true;
    }
    case tkFloat: {
      if (IsDateTimeType(t) || (t->FloatType != ftDouble && t->FloatType != ftSingle && t->FloatType != ftExtended))
        return false;
      long double v = ParseXmlFloat(TrimmedView(text));
      TPropValue value(prop, obj);
      if (t->FloatType == ftDouble) *static_cast<double*>(value.Get()) = static_cast<double>(v);
      else if (t->FloatType == ftSingle) *static_cast<float*>(value.Get()) = static_cast<float>(v);
      else *static_cast<long double*>(value.Get()) = v;
      value.Commit();
      return true;
    }
    case tkEnumeration: {
      if (!t->IsBooleanEnum()) return false;
      std::string_view trimmed = TrimmedView(text);
      bool v;
      if (SameText(trimmed, "true") || trimmed == "1") v = true;
      else if (SameText(trimmed, "false") || trimmed == "0") v = false;
      else throw EPropertyConvertError(SInvalidPropertyElement, {""});
      TPropValue value(prop, obj);
      SetOrdValue(t, value.Get(), v ? (t->MinValue < 0 ? -1 : 1) : 0);
      value.Commit();
      return true;
    }
    case tkWString: {
      TPropValue value(prop, obj);
      *static_cast<WideString*>(value.Get()) = Utf8ToUtf16(text);
      value.Commit();
      return true;
    }
    default:
      return false;
  }
}

void TOPToSoapDomConvert::SetPropertyFromText(TObject* obj, const TPropInfo& prop, const WideString& text) {
  PTypeInfo t = prop.PropType;
  TPropValue value(prop, obj);
  void* p = value.Get();
  switch (t->Kind) {
    case tkInteger:
      SetOrdValue(t, p, t->OrdType == otULong ? ParseXmlInt64(text) : ParseXmlInt32(text));
      break;
    case tkChar:
    case tkWChar:
      if (text.empty()) return;
      TypeTranslator()->TextToValue(t, text, false, p);
      break;
    case tkEnumeration: {
      WideString trimmed = TrimXml(text);
      if (t->IsBooleanEnum()) {
        bool v;
        if (WideSameText(trimmed, u"true") || trimmed == u"1") v = true;
        else if (WideSameText(trimmed, u"false") || trimmed == u"0") v = false;
        else throw EPropertyConvertError(SInvalidPropertyElement, {""});
        SetOrdValue(t, p, v ? (t->MinValue < 0 ? -1 : 1) : 0);
      } else if (trimmed.empty()) {
        SetOrdValue(t, p, 0);
      } else {
        int64_t ord = GetEnumValue(t, Types().InternalPropertyName(t, trimmed));
        if (ord < 0) throw EPropertyConvertError(SInvalidPropertyElement, {trimmed});
        SetOrdValue(t, p, ord);
      }
      break;
    }
    case tkFloat:
    case tkString:
    case tkLString:
    case tkWString:
    case tkInt64:
      TypeTranslator()->TextToValue(t, text, false, p);
      break;
    case tkClass:
      if (IsXSClass(t)) {
        TObject*& cell = ObjectCell(p);
        if (!cell) cell = CreateObject(t->ClassType);
        if (cell) static_cast<TRemotableXS*>(cell)->FromXmlText(text);
        break;
      }
      [[fallthrough]];
    default:
      throw ESOAPDomConvertError(SUnexpectedDataType, {TypeKindName(t->Kind)});
  }
  value.Commit();
}

// ---- arrays ----

void TOPToSoapDomConvert::ReadArray(void* target, PTypeInfo info, IXMLNode* node, IXMLNode* root) {
  TNestingGuard nesting(read_->depth, MaxNesting());
  TArrayShape shape = ShapeOf(info);
  if (!shape.Elem) throw ESOAPDomConvertError("Element of Array type %s has no RTTI", {info->Name});
  WideString id;
  TIntfPtr<IXMLNode> data = GetDataNode(root, node, id);
  if (shape.Dims == 1 && IsByteType(shape.Elem)) {
    std::string bytes = Base64Decode(data->Text());
    info->DynArray.SetLength(target, 0);
    info->DynArray.SetLength(target, bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) *static_cast<char*>(ArrayItem(info, target, i)) = bytes[i];
    return;
  }
  ReadArrayItems(target, info, ElementChildren(data.Get()), data->GetAttributeNS(u"arrayType", SSoapEncodingURI),
                 root);
}

void TOPToSoapDomConvert::ReadArrayItems(void* target, PTypeInfo info, const std::vector<TIntfPtr<IXMLNode>>& items,
                                         const WideString& arrayType, IXMLNode* root) {
  TArrayShape shape = ShapeOf(info);
  if (!shape.Elem) throw ESOAPDomConvertError("Element of Array type %s has no RTTI", {info->Name});
  CheckArrayItems(items.size());
  info->DynArray.SetLength(target, 0);
  if (shape.Dims > 1) {
    std::vector<int64_t> sizes = LastArrayDimensions(arrayType);
    if (sizes.size() == static_cast<size_t>(shape.Dims)) {
      ReadRectangular(target, info, items, sizes, root);
      return;
    }
    info->DynArray.SetLength(target, items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      WideString id;
      TIntfPtr<IXMLNode> level = GetDataNode(root, items[i].Get(), id);
      TNestingGuard nesting(read_->depth, MaxNesting());
      ReadArrayItems(ArrayItem(info, target, i), info->ElType, ElementChildren(level.Get()),
                     level->GetAttributeNS(u"arrayType", SSoapEncodingURI), root);
    }
    return;
  }
  info->DynArray.SetLength(target, items.size());
  for (size_t i = 0; i < items.size(); ++i) ReadArrayItem(ArrayItem(info, target, i), info->ElType, items[i].Get(), root);
}

void TOPToSoapDomConvert::ReadRectangular(void* target, PTypeInfo info, const std::vector<TIntfPtr<IXMLNode>>& items,
                                          const std::vector<int64_t>& sizes, IXMLNode* root) {
  // The sizes come from the sender: they may shape the items received, never allocate more.
  uint64_t cells = 1;
  for (int64_t s : sizes) {
    if (s < 0 || (s > 0 && cells > items.size() / static_cast<uint64_t>(s) + 1)) cells = UINT64_MAX;
    else cells *= static_cast<uint64_t>(s);
  }
  if (cells > items.size()) {
    WideString dims;
    for (size_t k = 0; k < sizes.size(); ++k) {
      if (k) dims += u',';
      dims += W(std::to_string(sizes[k]));
    }
    throw ESOAPDomConvertError("Array dimensions [%s] exceed the %d items received", {dims, int(items.size())});
  }
  size_t next = 0;
  std::function<void(void*, PTypeInfo, size_t)> fill = [&](void* arr, PTypeInfo t, size_t level) {
    size_t n = static_cast<size_t>(sizes[level]);
    t->DynArray.SetLength(arr, n);
    for (size_t i = 0; i < n; ++i) {
      if (level + 1 < sizes.size()) fill(ArrayItem(t, arr, i), t->ElType, level + 1);
      else ReadArrayItem(ArrayItem(t, arr, i), t->ElType, items[next++].Get(), root);
    }
  };
  fill(target, info, 0);
}

void TOPToSoapDomConvert::ReadArrayItem(void* item, PTypeInfo info, IXMLNode* node, IXMLNode* root) {
  switch (info->Kind) {
    case tkClass:
      ObjectCell(item) = ReadObject(root, node, nullptr, info->ClassType);
      return;
    case tkVariant:
      *static_cast<Variant*>(item) = ReadVariantItem(node, root);
      return;
    default: {
      WideString id;
      TIntfPtr<IXMLNode> data = GetDataNode(root, node, id);
      TypeTranslator()->TextToValue(info, data->Text(), false, item);
      return;
    }
  }
}

void TOPToSoapDomConvert::CheckArrayItems(size_t count) {
  if (count > static_cast<size_t>(std::max(MaxArrayItems(), 0)))
    throw ESOAPDomConvertError("Array exceeds %d items", {MaxArrayItems()});
}

// ---- variants ----

Variant TOPToSoapDomConvert::ReadScalarVariant(IXMLNode* node, bool trim) {
  WideString typeURI, typeName;
  GetElementType(node, typeURI, typeName);
  PTypeInfo info = Types().TypeInfoOfXmlType(typeURI, typeName);
  if (!info) info = TypeInfo<WideString>();
  WideString text = GetNodeText(node);
  if (IsDateTimeType(info) || (info->Kind == tkClass && info->ClassType->InheritsFrom(&TXSDateTime::StaticClass())))
    return Variant(ParseXmlDateTime(TrimXml(text), false));
  // Other wrapper classes have no variant form; their text is kept.
  if (info->Kind == tkClass) return Variant(text);
  return TypeTranslator()->TextToVariant(info, text, trim ? TVariantTextForm::Trimming : TVariantTextForm::Plain);
}

Variant TOPToSoapDomConvert::ReadVariantArray(IXMLNode* node, IXMLNode* root) {
  TNestingGuard nesting(read_->depth, MaxNesting());
  std::vector<TIntfPtr<IXMLNode>> children = ElementChildren(node);
  CheckArrayItems(children.size());
  std::vector<Variant> items;
  items.reserve(children.size());
  for (const auto& child : children) items.push_back(ReadVariantItem(child.Get(), root));
  return Variant::Array(std::move(items));
}

Variant TOPToSoapDomConvert::ReadVariantValue(IXMLNode* node, IXMLNode* root) {
  bool hasArrayType = node->HasAttributeNS(u"VarArrayType", SRuntimeTypesNamespace) ||
                      node->HasAttributeNS(u"VarArrayType", WideString());
  if (ElementChildren(node).size() > 1 || hasArrayType) return ReadVariantArray(node, root);
  return ReadScalarVariant(node, false);
}

Variant TOPToSoapDomConvert::ReadVariantItem(IXMLNode* node, IXMLNode* root) {
  WideString id;
  TIntfPtr<IXMLNode> data = GetDataNode(root, node, id);
  size_t childCount = AllChildren(data.Get()).size();
  if (childCount <= 1 && NodeIsNull(data.Get())) return Variant::Null();
  if (childCount > 1) return ReadVariantArray(data.Get(), root);
  return ReadScalarVariant(data.Get(), true);
}

Variant TOPToSoapDomConvert::ReadVariantProperty(IXMLNode* node, IXMLNode* root) {
  WideString id;
  TIntfPtr<IXMLNode> data = GetDataNode(root, node, id);
  if (AllChildren(data.Get()).size() >= 2) return ReadVariantArray(data.Get(), root);
  if (NodeIsNull(data.Get())) return Variant::Null();
  return ReadScalarVariant(data.Get(), true);
}

// ---- faults and headers ----

void TOPToSoapDomConvert::RaiseFault(IXMLNode* fault) {
  TIntfPtr<IXMLNode> code, text, detail, actor;
  for (const auto& child : ElementChildren(fault)) {
    WideString local = child->LocalName();
    if (WideSameText(local, u"faultcode")) code = child;
    else if (WideSameText(local, u"faultstring")) text = child;
    else if (WideSameText(local, u"detail")) detail = child;
    else if (WideSameText(local, u"faultactor")) actor = child;
  }
  std::string message = text ? U(GetNodeText(text.Get())) : std::string();

  std::unique_ptr<TObject> custom;
  ERemotableFault* registered = nullptr;
  if (detail) {
    WideString typeURI, typeName;
    GetElementType(detail.Get(), typeURI, typeName);
    TClass cls = Types().FindClassByXmlName(typeURI, typeName);
    if (cls && cls->InheritsFrom(&ERemotableFault::StaticClass()) && cls->Create) {
      custom.reset(cls->Create());
      registered = dynamic_cast<ERemotableFault*>(custom.get());
    }
    if (registered) {
      registered->SetMessage(message);
      for (const TPropInfo& prop : cls->Properties)
        for (const auto& child : ElementChildren(detail.Get()))
          if (child->LocalName() == W(prop.Name)) SetPropertyFromText(custom.get(), prop, GetNodeText(child.Get()));
    }
  }
  // Whatever the fault's properties created now belongs to the fault.
  read_->created.clear();

  ERemotableException plain(message);
  ERemotableException& e = registered ? static_cast<ERemotableException&>(*registered) : plain;
  if (actor) e.SetFaultActor(GetNodeText(actor.Get()));
  if (code) e.SetFaultCode(GetNodeText(code.Get()));
  if (detail) e.SetFaultDetail(detail->XML());
  if (registered) registered->Raise();
  throw plain;
}

void TOPToSoapDomConvert::ReadHeaders(IXMLNode* header, THeaderList* headers) {
  for (const auto& child : ElementChildren(header)) ReadHeader(header, child.Get(), headers);
}

void TOPToSoapDomConvert::ReadHeader(IXMLNode* root, IXMLNode* element, THeaderList* headers) {
  WideString id;
  TIntfPtr<IXMLNode> data = GetDataNode(root, element, id);
  WideString local = data->LocalName();
  WideString ns = data->NamespaceURI();

  if (TClass cls = GetInvokableRegistry()->FindHeaderClass(ns, local); cls && cls->Create) {
    std::unique_ptr<TObject> obj(cls->Create());
    if (auto* remotable = dynamic_cast<TRemotable*>(obj.get())) remotable->ReadFromMessage(root, data.Get(), this);
    else ReadObjectMembers(obj.get(), root, data.Get());
    if (auto* h = dynamic_cast<TSOAPHeader*>(obj.get()); h && headers) {
      obj.release();
      headers->Add(h);
    }
    return;
  }

  bool handled = false, abortRequest = false;
  IDOMHeaderProcessor* processor = FindHeaderProcessor(ns, local);
  if (processor) processor->ProcessHeader(data.Get(), handled, abortRequest);
  if (abortRequest) throw ESOAPDomConvertError("Error Processing Header (%s)%s", {ns, local});
  if (handled) return;
  if (!processor) NotifyUnhandled(ns + u":" + local, data.Get());
  // The attribute belongs to the envelope's namespace; some senders leave it unqualified.
  bool mustUnderstand = IsTrueText(element->GetAttributeNS(u"mustUnderstand", WideString())) ||
                        IsTrueText(element->GetAttributeNS(u"mustUnderstand", SSoapNameSpace));
  if (mustUnderstand)
    throw ERemotableException(Format("Soap header %s with attribute 'mustUnderstand' set to true was not handled",
                                     {local}),
                              u"MustUnderstand");
}

// ---- after a failed answer ----

namespace {

// Clears every reference to a discarded object inside an array value.
void UnlinkArray(PTypeInfo info, void* arr, const std::unordered_set<TObject*>& discarded) {
  size_t n = ArrayLength(info, arr);
  PTypeInfo el = info->ElType;
  if (!el) return;
  for (size_t i = 0; i < n; ++i) {
    void* item = ArrayItem(info, arr, i);
    if (el->Kind == tkClass) {
      if (discarded.count(ObjectCell(item))) ObjectCell(item) = nullptr;
    } else if (el->Kind == tkDynArray) {
      UnlinkArray(el, item, discarded);
    }
  }
}

}  // namespace

void TOPToSoapDomConvert::DiscardDecodedObjects() {
  TReadState& st = *read_;
  // Results and out parameters first get back what they held.
  for (auto it = st.saved.rbegin(); it != st.saved.rend(); ++it) it->info->Ops.Copy(it->address, it->value->Get());
  st.saved.clear();
  // Objects own their members, so each created object is cut loose before it is destroyed
  // once: nothing is freed twice and nothing survives pointing at freed memory. The set is
  // made here, on the failure path, rather than for every object decoded.
  const std::unordered_set<TObject*> createdSet(st.created.begin(), st.created.end());
  for (TObject* obj : st.filled)
    for (const TPropInfo& prop : obj->ClassType().Properties) {
      PTypeInfo t = prop.PropType;
      if (t->Kind != tkClass && t->Kind != tkDynArray) continue;
      TPropValue value(prop, obj);
      if (t->Kind == tkClass && createdSet.count(ObjectCell(value.Get()))) ObjectCell(value.Get()) = nullptr;
      else if (t->Kind == tkDynArray) UnlinkArray(t, value.Get(), createdSet);
      value.Commit();
    }
  std::vector<TObject*> created;
  created.swap(st.created);
  st.filled.clear();
  for (TObject* obj : created) delete obj;
}
