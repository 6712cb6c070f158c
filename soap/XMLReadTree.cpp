// The read-only document: libxml2's parser with callbacks that append nodes to an arena.
//
// Names (local names, prefixes, namespace URIs) are the parser's dictionary strings: the
// document keeps the dictionary. Values and text are copied into the arena. Nodes are never
// destroyed one by one; each AddRef or Release of a node counts on the document, which frees
// the arena when the last reference goes.
//
// Entity content is parsed by libxml2 in contexts of its own, to check it and to bound its
// expansion; those callbacks go to libxml2's own tree builder, as with TXMLDocument, so the
// entity gets its content and the answer gets an entity reference node, as on the DOM.
#include "soap/XMLReadTree.h"

#include <libxml/SAX2.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/valid.h>
#include <libxml/xmlIO.h>
#include <libxml/xmlsave.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <typeinfo>
#include <vector>

#include "runtime/Strings.h"
#include "soap/XMLParseSupport.h"

namespace {

const char* const kReadOnly = "The document is read-only";

const char* C(const xmlChar* s) { return reinterpret_cast<const char*>(s); }
WideString W(const char* s) { return s ? Utf8ToUtf16(s) : WideString(); }
bool Empty(const char* s) { return !s || !*s; }
// NULL and "" are the same here (no prefix, no namespace).
bool Same(const char* a, const char* b) {
  if (Empty(a)) return Empty(b);
  return b && std::strcmp(a, b) == 0;
}
// Names are compared on every value read: ASCII in place, anything else through the
// general comparison.
bool SameW(std::u16string_view w, const char* s) {
  if (!s) return w.empty();
  for (size_t i = 0; i < w.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == 0) return false;
    if (c >= 0x80 || w[i] >= 0x80) return SameUtf16Utf8(w, s);
    if (c != w[i]) return false;
  }
  return s[w.size()] == '\0';
}

// ---- the arena ----

// Blocks of documents already freed, kept for the next document of the thread: answers come
// one after another, and giving the memory back to the system only to fault it in again on
// the next answer costs more than the parse. Bounded, so one huge answer is not kept.
class TBlockCache {
 public:
  static constexpr size_t kMaxKept = size_t{16} << 20;
  ~TBlockCache() {
    for (auto& b : blocks_) std::free(b.data);
  }
  // A kept block of at least `n` bytes (the smallest that fits), or none.
  bool Take(size_t n, char*& data, size_t& size) {
    size_t best = blocks_.size();
    for (size_t i = 0; i < blocks_.size(); ++i)
      if (blocks_[i].size >= n && (best == blocks_.size() || blocks_[i].size < blocks_[best].size)) best = i;
    if (best == blocks_.size()) return false;
    data = blocks_[best].data;
    size = blocks_[best].size;
    kept_ -= size;
    blocks_[best] = blocks_.back();
    blocks_.pop_back();
    return true;
  }
  void Give(char* data, size_t size) {
    if (kept_ + size > kMaxKept || blocks_.size() >= 64) {
      std::free(data);
      return;
    }
    blocks_.push_back({data, size});
    kept_ += size;
  }
  static TBlockCache* Get() {
    // After the thread's cache is gone (exit of the thread), blocks go back to malloc.
    thread_local bool alive = false;
    thread_local struct TOwner {
      TBlockCache cache;
      explicit TOwner(bool& a) : flag(a) { flag = true; }
      ~TOwner() { flag = false; }
      bool& flag;
    } owner(alive);
    return alive ? &owner.cache : nullptr;
  }

 private:
  struct TBlock {
    char* data;
    size_t size;
  };
  std::vector<TBlock> blocks_;
  size_t kept_ = 0;
};

class TArena {
 public:
  explicit TArena(size_t firstBlock) : next_(std::max<size_t>(firstBlock, 4096)) {}
  ~TArena() {
    TBlockCache* cache = TBlockCache::Get();
    for (const auto& b : blocks_) {
      if (cache) cache->Give(b.data, b.size);
      else std::free(b.data);
    }
  }
  TArena(const TArena&) = delete;
  TArena& operator=(const TArena&) = delete;

  void* Alloc(size_t n) {
    n = (n + 7) & ~size_t{7};
    if (n > left_) Grow(n);
    void* p = cur_;
    cur_ += n;
    left_ -= n;
    return p;
  }
  const char* Copy(const char* s, size_t n) {
    auto* p = static_cast<char*>(Alloc(n + 1));
    if (n) std::memcpy(p, s, n);
    p[n] = '\0';
    return p;
  }

 private:
  void Grow(size_t n) {
    size_t size = std::max(n, next_);
    char* b = nullptr;
    TBlockCache* cache = TBlockCache::Get();
    if (!cache || !cache->Take(size, b, size)) {
      b = static_cast<char*>(std::malloc(size));
      if (!b) throw EXMLDocError("Out of memory");
    }
    try {
      blocks_.push_back({b, size});
    } catch (...) {
      std::free(b);
      throw;
    }
    cur_ = b;
    left_ = size;
    next_ = std::min<size_t>(next_ * 2, size_t{1} << 22);
  }
  struct TBlock {
    char* data;
    size_t size;
  };
  std::vector<TBlock> blocks_;
  char* cur_ = nullptr;
  size_t left_ = 0;
  size_t next_;
};

enum TKind : uint8_t { kElement, kAttribute, kNsDecl, kText, kCData, kComment, kPI, kEntityRef, kDocument, kDocType };

class TReadDoc;
class TReadList;

// One node. Attributes and declarations hang off their element (`attrs`, `decls`), linked by
// next/prev, with the element as parent.
class TRNode final : public IXMLNode {
 public:
  TRNode(TReadDoc* d, TKind k) : doc(d), kind(k) {}

  TReadDoc* doc;
  TRNode* parent = nullptr;
  TRNode* next = nullptr;
  TRNode* prev = nullptr;
  TRNode* first = nullptr;
  TRNode* attrs = nullptr;
  TRNode* decls = nullptr;
  const char* local = nullptr;   // element, attribute, PI target, entity or DTD name
  const char* prefix = nullptr;  // element, attribute, declaration
  const char* uri = nullptr;     // element, attribute, declaration
  const char* value = nullptr;   // attribute value, text, data; the DTD's markup; an
  uint32_t length = 0;           // element's text while it is held in place (below)
  TKind kind;
  // An element whose only child is text holds that text itself: most elements of an answer
  // are such values, and the text node is made only when someone asks for the children.
  bool inlineText = false;

  TRNode* Kids() {
    if (inlineText) Materialize();
    return first;
  }
  void Materialize();

  bool IsElement() const { return kind == kElement; }
  bool IsNamed() const { return kind == kElement || kind == kAttribute; }
  bool HasOwnChildren() const { return kind == kElement || kind == kDocument; }
  std::string QName() const {
    std::string s;
    if (!Empty(prefix)) {
      s = prefix;
      s += ':';
    }
    if (local) s += local;
    return s;
  }

  HRESULT QueryInterface(const TGUID& iid, void** obj) override {
    if (iid == IInterface::IID || iid == IXMLNode::IID) {
      *obj = static_cast<IXMLNode*>(this);
      _AddRef();
      return S_OK;
    }
    *obj = nullptr;
    return E_NOINTERFACE;
  }
  int32_t _AddRef() override;
  int32_t _Release() override;

  // ---- identity ----
  TNodeType NodeType() override {
    switch (kind) {
      case kElement: return ntElement;
      case kAttribute: case kNsDecl: return ntAttribute;
      case kText: return ntText;
      case kCData: return ntCData;
      case kComment: return ntComment;
      case kPI: return ntProcessingInstr;
      case kEntityRef: return ntEntityRef;
      case kDocument: return ntDocument;
      case kDocType: return ntDocType;
    }
    return ntReserved;
  }
  WideString NodeName() override {
    switch (kind) {
      case kElement: case kAttribute: return Utf8ToUtf16(QName());
      case kNsDecl: return prefix ? u"xmlns:" + W(prefix) : WideString(u"xmlns");
      case kText: return u"#text";
      case kCData: return u"#cdata-section";
      case kComment: return u"#comment";
      case kDocument: return u"#document";
      default: return W(local);
    }
  }
  WideString LocalName() override {
    if (kind == kNsDecl) return prefix ? W(prefix) : WideString(u"xmlns");
    if (IsNamed()) return W(local);
    return NodeName();
  }
  WideString NamespaceURI() override {
    if (kind == kNsDecl) return SXMLNSNamespaceURI;
    return IsNamed() ? W(uri) : WideString();
  }
  WideString Prefix() override {
    if (kind == kNsDecl) return prefix ? WideString(u"xmlns") : WideString();
    return IsNamed() ? W(prefix) : WideString();
  }
  bool LocalNameIs(std::u16string_view name) override {
    if (IsNamed()) return SameW(name, local);
    return LocalName() == name;
  }
  bool NamespaceURIIs(std::u16string_view u) override {
    if (IsNamed()) return Empty(uri) ? u.empty() : SameW(u, uri);
    return NamespaceURI() == u;
  }
  TIntfPtr<IXMLNode> ParentNode() override { return Ptr(parent); }
  TIntfPtr<IXMLNode> NextSibling() override {
    if (kind == kNsDecl) return Ptr(next ? next : parent->attrs);
    return Ptr(next);
  }
  TIntfPtr<IXMLNode> PreviousSibling() override { return kind == kNsDecl ? TIntfPtr<IXMLNode>() : Ptr(prev); }
  TIntfPtr<IXMLDocument> OwnerDocument() override;

  // ---- content ----
  WideString Text() override {
    if (kind == kElement) {
      if (inlineText) return Utf8ToUtf16(std::string_view(value, length));
      if (!first) return {};
      if (first->next || (first->kind != kText && first->kind != kCData))
        throw EXMLDocError("Element does not contain a single text node");
      return Utf8ToUtf16(std::string_view(first->value, first->length));
    }
    return NodeValue();
  }
  void SetText(const WideString&) override { ReadOnly(); }
  bool IsTextElement() override {
    return kind == kElement &&
           (inlineText || (first && !first->next && (first->kind == kText || first->kind == kCData)));
  }
  WideString NodeValue() override {
    switch (kind) {
      case kNsDecl: return W(uri);
      case kAttribute: case kText: case kCData: case kComment: case kPI:
        return value ? Utf8ToUtf16(std::string_view(value, length)) : WideString();
      default: return {};
    }
  }
  void SetNodeValue(const WideString&) override { ReadOnly(); }
  WideString XML() override;

  // ---- children ----
  TIntfPtr<IXMLNodeList> ChildNodes() override;
  bool HasChildNodes() override { return HasOwnChildren() && (first || inlineText); }
  TIntfPtr<IXMLNode> FirstChild() override { return HasOwnChildren() ? Ptr(Kids()) : TIntfPtr<IXMLNode>(); }
  TIntfPtr<IXMLNode> AddChild(const WideString&, int) override { ReadOnly(); }
  TIntfPtr<IXMLNode> AddChild(const WideString&, const WideString&, bool, int) override { ReadOnly(); }
  TIntfPtr<IXMLNode> AppendChild(IXMLNode*) override { ReadOnly(); }
  TIntfPtr<IXMLNode> CloneNode(bool) override { ReadOnly(); }

  // ---- attributes ----
  TIntfPtr<IXMLNodeList> AttributeNodes() override;
  bool HasAttribute(const WideString& name) override { return FindAttr(name) != nullptr; }
  bool HasAttributeNS(const WideString& localName, const WideString& namespaceURI) override {
    return FindAttrNS(localName, namespaceURI) != nullptr;
  }
  WideString GetAttribute(const WideString& name) override { return ValueOf(FindAttr(name)); }
  WideString GetAttributeNS(const WideString& localName, const WideString& namespaceURI) override {
    return ValueOf(FindAttrNS(localName, namespaceURI));
  }
  bool AnyAttributeNS(std::initializer_list<std::u16string_view> localNames,
                      std::initializer_list<std::u16string_view> namespaceURIs,
                      const std::function<bool(const WideString& value)>& accept) override {
    if (kind != kElement) return false;
    for (TRNode* a = attrs; a; a = a->next) {
      if (std::none_of(localNames.begin(), localNames.end(), [&](std::u16string_view l) { return SameW(l, a->local); }))
        continue;
      auto inNamespace = [&](std::u16string_view u) { return u.empty() ? Empty(a->uri) : SameW(u, a->uri); };
      if (std::none_of(namespaceURIs.begin(), namespaceURIs.end(), inNamespace)) continue;
      if (accept(ValueOf(a))) return true;
    }
    return false;
  }
  Variant Attributes(const WideString& name) override;
  void SetAttribute(const WideString&, const WideString&) override { ReadOnly(); }
  void SetAttributeNS(const WideString&, const WideString&, const WideString&) override { ReadOnly(); }
  void RemoveAttribute(const WideString&) override { ReadOnly(); }

  // ---- namespaces ----
  void DeclareNamespace(const WideString&, const WideString&) override { ReadOnly(); }
  WideString FindNamespaceURI(const WideString& prefixOrName) override {
    std::string q = Utf16ToUtf8(prefixOrName);
    std::string p = q.substr(0, q.find(':'));
    if (p == "xml") return SXMLNamespaceURI;
    if (p == "xmlns") return SXMLNSNamespaceURI;
    if (TRNode* d = SearchByPrefix(ScopeElement(), p.c_str())) return W(d->uri);
    return {};
  }
  TIntfPtr<IXMLNode> FindNamespaceDecl(const WideString& u) override {
    TRNode* e = ScopeElement();
    for (TRNode* a = e; a && a->kind == kElement; a = a->parent)
      for (TRNode* d = a->decls; d; d = d->next)
        if (d->uri && SameW(u, d->uri) && SearchByPrefix(e, d->prefix) == d) return Ptr(d);
    return {};
  }

  // ---- for the document, the lists and the writer ----
  TRNode* ScopeElement() {
    if (kind == kElement) return this;
    if (kind == kAttribute || kind == kNsDecl) return parent;
    return parent && parent->kind == kElement ? parent : nullptr;
  }
  static TRNode* SearchByPrefix(TRNode* e, const char* p) {
    for (; e && e->kind == kElement; e = e->parent)
      for (TRNode* d = e->decls; d; d = d->next)
        if (Same(d->prefix, p)) return d;
    return nullptr;
  }
  TRNode* FindAttr(std::u16string_view q) {
    if (kind != kElement) return nullptr;
    if (q.substr(0, 5) == u"xmlns" && (q.size() == 5 || q[5] == u':')) {
      std::string p = q.size() == 5 ? std::string() : Utf16ToUtf8(q.substr(6));
      for (TRNode* d = decls; d; d = d->next)
        if (Same(d->prefix, p.c_str())) return d;
      return nullptr;
    }
    for (TRNode* a = attrs; a; a = a->next) {
      std::u16string_view l = q;
      if (!Empty(a->prefix)) {
        size_t colon = q.find(u':');
        if (colon == std::u16string_view::npos || !SameW(q.substr(0, colon), a->prefix)) continue;
        l = q.substr(colon + 1);
      }
      if (SameW(l, a->local)) return a;
    }
    return nullptr;
  }
  TRNode* FindAttrNS(std::u16string_view l, std::u16string_view u) {
    if (kind != kElement) return nullptr;
    if (u == SXMLNSNamespaceURI) {
      for (TRNode* d = decls; d; d = d->next)
        if (d->prefix ? SameW(l, d->prefix) : l == u"xmlns") return d;
      return nullptr;
    }
    for (TRNode* a = attrs; a; a = a->next)
      if (SameW(l, a->local) && (u.empty() ? Empty(a->uri) : SameW(u, a->uri))) return a;
    return nullptr;
  }
  static WideString ValueOf(TRNode* a) {
    if (!a) return {};
    if (a->kind == kNsDecl) return W(a->uri);
    return Utf8ToUtf16(std::string_view(a->value, a->length));
  }
  static TIntfPtr<IXMLNode> Ptr(TRNode* n) { return n ? TIntfPtr<IXMLNode>(n) : TIntfPtr<IXMLNode>(); }
  [[noreturn]] static void ReadOnly() { throw EXMLDocError(kReadOnly); }
};

// ---- the document ----

class TReadDoc final : public IXMLDocument {
 public:
  explicit TReadDoc(size_t sourceSize) : arena(sourceSize * 4) {
    root = New(kDocument);
  }
  ~TReadDoc() {
    if (dict) xmlDictFree(dict);
  }

  TRNode* New(TKind k) { return new (arena.Alloc(sizeof(TRNode))) TRNode(this, k); }

  HRESULT QueryInterface(const TGUID& iid, void** obj) override {
    if (iid == IInterface::IID || iid == IXMLDocument::IID) {
      *obj = static_cast<IXMLDocument*>(this);
      _AddRef();
      return S_OK;
    }
    *obj = nullptr;
    return E_NOINTERFACE;
  }
  int32_t _AddRef() override { return ++refs; }
  int32_t _Release() override {
    int32_t r = --refs;
    if (r == 0) delete this;
    return r;
  }

  bool Active() override { return true; }
  void SetActive(bool active) override {
    if (!active) TRNode::ReadOnly();
  }
  TXMLDocOptions Options() override { return options; }
  void SetOptions(TXMLDocOptions o) override { options = o; }
  TParseOptions ParseOptions() override { return parseOptions; }
  void SetParseOptions(TParseOptions o) override { parseOptions = o; }
  WideString Version() override { return hasDecl ? version : WideString(); }
  void SetVersion(const WideString&) override { TRNode::ReadOnly(); }
  WideString Encoding() override { return hasDecl ? encoding : WideString(); }
  void SetEncoding(const WideString&) override { TRNode::ReadOnly(); }
  WideString StandAlone() override { return hasDecl ? standalone : WideString(); }
  void SetStandAlone(const WideString&) override { TRNode::ReadOnly(); }
  std::string FileName() override { return fileName; }
  void SetFileName(const std::string& name) override { fileName = name; }

  TIntfPtr<IXMLNode> Node() override { return TIntfPtr<IXMLNode>(root); }
  TIntfPtr<IXMLNodeList> ChildNodes() override { return root->ChildNodes(); }
  TIntfPtr<IXMLNode> DocumentElement() override {
    for (TRNode* c = root->first; c; c = c->next)
      if (c->kind == kElement) return TIntfPtr<IXMLNode>(c);
    return {};
  }
  void SetDocumentElement(IXMLNode*) override { TRNode::ReadOnly(); }
  TIntfPtr<IXMLNode> AddChild(const WideString&, const WideString&) override { TRNode::ReadOnly(); }
  TIntfPtr<IXMLNode> CreateElement(const WideString&, const WideString&) override { TRNode::ReadOnly(); }
  TIntfPtr<IXMLNode> CreateNode(const WideString&, TNodeType, const WideString&) override { TRNode::ReadOnly(); }
  TIntfPtr<IXMLNode> ImportNode(IXMLNode*, bool) override { TRNode::ReadOnly(); }
  WideString GeneratePrefix(IXMLNode*) override { TRNode::ReadOnly(); }

  WideString SaveToXML() override { return Utf8ToUtf16(SaveUtf8()); }
  std::string SaveToBytes() override;
  void SaveToStream(std::ostream& out) override {
    std::string bytes = SaveToBytes();
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw EXMLDocError("Cannot write the XML document to the stream");
  }
  void SaveToStream(TStream& out) override { out.WriteString(SaveToBytes()); }
  void SaveToFile(const std::string& name) override {
    std::string bytes = SaveToBytes();
    std::ofstream f(name, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw EXMLDocError(Format("Cannot write the file \"%s\"", {name}));
  }
  void LoadFromBytes(std::string_view) override { TRNode::ReadOnly(); }
  void LoadFromStream(std::istream&) override { TRNode::ReadOnly(); }
  void LoadFromStream(TStream&) override { TRNode::ReadOnly(); }
  void LoadFromXML(const WideString&) override { TRNode::ReadOnly(); }
  void LoadFromFile(const std::string&) override { TRNode::ReadOnly(); }

  std::string SaveUtf8();

  std::atomic<int32_t> refs{0};
  TArena arena;
  xmlDictPtr dict = nullptr;
  // The schema-instance namespaces 2001, 1999 and 2000/10 as met in this document.
  const char* schemaInstance[3] = {};
  TRNode* root;
  TXMLDocOptions options = kMessageDocOptions;
  TParseOptions parseOptions;
  bool hasDecl = false;
  WideString version, encoding, standalone;
  std::string fileName;
};

void TRNode::Materialize() {
  TRNode* t = doc->New(kText);
  t->value = value;
  t->length = length;
  t->parent = this;
  first = t;
  value = nullptr;
  length = 0;
  inlineText = false;
}

int32_t TRNode::_AddRef() { return doc->_AddRef(); }
int32_t TRNode::_Release() { return doc->_Release(); }
TIntfPtr<IXMLDocument> TRNode::OwnerDocument() { return TIntfPtr<IXMLDocument>(doc); }
Variant TRNode::Attributes(const WideString& name) {
  TRNode* a = FindAttr(name);
  if (!a) return doc->options.Contains(doAttrNull) ? Variant::Null() : Variant(WideString());
  return Variant(ValueOf(a));
}

// ---- lists: the tree does not change, so a snapshot is the live list ----

class TReadList final : public IXMLNodeList {
 public:
  TReadList(TRNode* owner, bool attributes) : doc_(owner->doc) {
    if (attributes) {
      if (owner->kind == kElement) {
        for (TRNode* d = owner->decls; d; d = d->next) items_.push_back(d);
        for (TRNode* a = owner->attrs; a; a = a->next) items_.push_back(a);
      }
    } else if (owner->HasOwnChildren()) {
      for (TRNode* c = owner->Kids(); c; c = c->next) items_.push_back(c);
    }
  }
  HRESULT QueryInterface(const TGUID& iid, void** obj) override {
    if (iid == IInterface::IID || iid == IXMLNodeList::IID) {
      *obj = static_cast<IXMLNodeList*>(this);
      _AddRef();
      return S_OK;
    }
    *obj = nullptr;
    return E_NOINTERFACE;
  }
  int32_t _AddRef() override { return ++refs_; }
  int32_t _Release() override {
    int32_t r = --refs_;
    if (r == 0) delete this;
    return r;
  }

  int Count() override { return static_cast<int>(items_.size()); }
  TIntfPtr<IXMLNode> Get(int index) override {
    if (index < 0 || index >= Count()) throw EXMLDocError(Format("List index out of bounds (%d)", {index}));
    return TIntfPtr<IXMLNode>(items_[static_cast<size_t>(index)]);
  }
  TIntfPtr<IXMLNode> Nodes(const WideString& name) override {
    if (auto n = FindNode(name)) return n;
    throw EXMLDocError(Format("Node \"%s\" not found", {name}));
  }
  TIntfPtr<IXMLNode> FindNode(const WideString& name) override {
    int i = IndexOf(name);
    return i < 0 ? TIntfPtr<IXMLNode>() : Get(i);
  }
  TIntfPtr<IXMLNode> FindNode(const WideString& localName, const WideString& namespaceURI) override {
    for (TRNode* n : items_)
      if (n->LocalNameIs(localName) && n->NamespaceURIIs(namespaceURI)) return TIntfPtr<IXMLNode>(n);
    return {};
  }
  TIntfPtr<IXMLNode> First() override { return Count() ? Get(0) : TIntfPtr<IXMLNode>(); }
  TIntfPtr<IXMLNode> Last() override { return Count() ? Get(Count() - 1) : TIntfPtr<IXMLNode>(); }
  int IndexOf(IXMLNode* node) override {
    for (size_t i = 0; i < items_.size(); ++i)
      if (static_cast<IXMLNode*>(items_[i]) == node) return static_cast<int>(i);
    return -1;
  }
  int IndexOf(const WideString& name) override {
    for (size_t i = 0; i < items_.size(); ++i) {
      TRNode* n = items_[i];
      if (n->NodeName() == name || n->LocalName() == name) return static_cast<int>(i);
    }
    return -1;
  }
  int Add(IXMLNode*) override { TRNode::ReadOnly(); }
  void Insert(int, IXMLNode*) override { TRNode::ReadOnly(); }
  int Remove(IXMLNode*) override { TRNode::ReadOnly(); }
  void Delete(int) override { TRNode::ReadOnly(); }
  void Clear() override { TRNode::ReadOnly(); }

 private:
  std::atomic<int32_t> refs_{0};
  TIntfPtr<IXMLDocument> doc_;  // keeps the nodes alive
  std::vector<TRNode*> items_;
};

TIntfPtr<IXMLNodeList> TRNode::ChildNodes() { return TIntfPtr<IXMLNodeList>(new TReadList(this, false)); }
TIntfPtr<IXMLNodeList> TRNode::AttributeNodes() { return TIntfPtr<IXMLNodeList>(new TReadList(this, true)); }

// ---- writing, byte for byte as TXMLDocument writes the same tree ----

// Text as libxml2 escapes it in content; in attribute values also quotes and white space.
void AppendEscaped(std::string& out, std::string_view text, bool attribute) {
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* ref = nullptr;
    switch (text[i]) {
      case '<': ref = "&lt;"; break;
      case '>': ref = "&gt;"; break;
      case '&': ref = "&amp;"; break;
      case '\r': ref = "&#13;"; break;
      case '"': ref = attribute ? "&quot;" : nullptr; break;
      case '\n': ref = attribute ? "&#10;" : nullptr; break;
      case '\t': ref = attribute ? "&#9;" : nullptr; break;
      default: break;
    }
    if (!ref) continue;
    out.append(text.data() + run, i - run);
    out += ref;
    run = i + 1;
  }
  out.append(text.data() + run, text.size() - run);
}

// The declarations a copy of `top` needs beyond its own, in the order a copy into another
// document adds them to its top element: every prefix used inside that is declared outside.
class TWriter {
 public:
  explicit TWriter(std::string& out) : out_(out) {}

  void WriteTop(TRNode* top) {
    if (top->kind == kElement) Collect(top, top);
    Write(top, true);
  }
  void Write(TRNode* n, bool isTop = false) {
    switch (n->kind) {
      case kText: AppendEscaped(out_, {n->value, n->length}, false); return;
      case kCData: WriteCData(n); return;
      case kComment:
        out_ += "<!--";
        out_.append(n->value, n->length);
        out_ += "-->";
        return;
      case kPI:
        out_ += "<?";
        out_ += n->local;
        if (n->value) {
          out_ += ' ';
          out_.append(n->value, n->length);
        }
        out_ += "?>";
        return;
      case kEntityRef:
        out_ += '&';
        out_ += n->local;
        out_ += ';';
        return;
      case kDocType:
        if (n->value) out_.append(n->value, n->length);
        return;
      case kElement: break;
      default: return;
    }
    out_ += '<';
    out_ += n->QName();
    for (TRNode* d = n->decls; d; d = d->next) WriteDecl(d->prefix, d->uri);
    if (isTop)
      for (auto& [p, u] : extra_) WriteDecl(p, u);
    for (TRNode* a = n->attrs; a; a = a->next) {
      out_ += ' ';
      out_ += a->QName();
      out_ += "=\"";
      if (a->first) out_.append(a->first->value, a->first->length);
      else AppendEscaped(out_, {a->value, a->length}, true);
      out_ += '"';
    }
    if (!n->first && !n->inlineText) {
      out_ += "/>";
      return;
    }
    out_ += '>';
    if (n->inlineText) AppendEscaped(out_, {n->value, n->length}, false);
    for (TRNode* c = n->first; c; c = c->next) Write(c);
    out_ += "</";
    out_ += n->QName();
    out_ += '>';
  }

 private:
  void WriteDecl(const char* prefix, const char* u) {
    if (prefix && std::strcmp(prefix, "xml") == 0) return;
    out_ += " xmlns";
    if (prefix) {
      out_ += ':';
      out_ += prefix;
    }
    std::string_view href(u ? u : "");
    char quote = href.find('"') == std::string_view::npos ? '"' : '\'';
    out_ += '=';
    out_ += quote;
    out_.append(href);
    out_ += quote;
  }
  void WriteCData(TRNode* n) {
    std::string_view s(n->value ? n->value : "", n->length);
    if (s.empty()) {
      out_ += "<![CDATA[]]>";
      return;
    }
    size_t start = 0;
    for (size_t at; (at = s.find("]]>", start)) != std::string_view::npos; start = at + 2) {
      out_ += "<![CDATA[";
      out_.append(s.substr(start, at + 2 - start));
      out_ += "]]>";
    }
    if (start < s.size()) {
      out_ += "<![CDATA[";
      out_.append(s.substr(start));
      out_ += "]]>";
    }
  }
  // Whether `prefix` is bound inside the copy: on `e` up to `top`, or among the extras.
  bool BoundInCopy(TRNode* e, TRNode* top, const char* prefix) {
    if (prefix && std::strcmp(prefix, "xml") == 0) return true;
    for (TRNode* a = e; a; a = a->parent) {
      for (TRNode* d = a->decls; d; d = d->next)
        if (Same(d->prefix, prefix)) return true;
      if (a == top) break;
    }
    for (auto& x : extra_)
      if (Same(x.first, prefix)) return true;
    return false;
  }
  void Need(TRNode* e, TRNode* top, const char* prefix, const char* u) {
    if (Empty(u) || BoundInCopy(e, top, prefix)) return;
    if (TRNode* d = TRNode::SearchByPrefix(e, prefix)) extra_.emplace_back(d->prefix, d->uri);
  }
  void Collect(TRNode* e, TRNode* top) {
    Need(e, top, e->prefix, e->uri);
    for (TRNode* a = e->attrs; a; a = a->next)
      if (!Empty(a->prefix)) Need(e, top, a->prefix, a->uri);
    for (TRNode* c = e->first; c; c = c->next)
      if (c->kind == kElement) Collect(c, top);
  }

  std::string& out_;
  std::vector<std::pair<const char*, const char*>> extra_;
};

WideString TRNode::XML() {
  std::string out;
  switch (kind) {
    case kDocument: return doc->SaveToXML();
    case kNsDecl: {
      out = prefix ? std::string("xmlns:") + prefix : std::string("xmlns");
      out += "=\"";
      AppendEscaped(out, uri ? uri : "", true);
      out += '"';
      break;
    }
    case kAttribute:
      out = QName() + "=\"" + std::string(value, length) + "\"";
      break;
    default: TWriter(out).WriteTop(this);
  }
  return Utf8ToUtf16(out);
}

std::string TReadDoc::SaveUtf8() {
  std::string out;
  if (hasDecl) {
    out = "<?xml version=\"" + Utf16ToUtf8(version.empty() ? WideString(u"1.0") : version) + "\"";
    if (!encoding.empty()) out += " encoding=\"" + Utf16ToUtf8(encoding) + "\"";
    if (!standalone.empty()) out += " standalone=\"" + Utf16ToUtf8(standalone) + "\"";
    out += "?>";
  }
  for (TRNode* c = root->first; c; c = c->next) TWriter(out).WriteTop(c);
  return out;
}

int WriteToString(void* context, const char* buffer, int len) {
  static_cast<std::string*>(context)->append(buffer, static_cast<size_t>(len));
  return len;
}

std::string TReadDoc::SaveToBytes() {
  std::string text = SaveUtf8();
  std::string enc = Utf16ToUtf8(encoding);
  if (!hasDecl || enc.empty() || SameText(enc, "UTF-8") || SameText(enc, "UTF8")) return text;
  xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(enc.c_str());
  if (!handler) throw EXMLDocError(Format("Unsupported encoding \"%s\"", {enc}));
  // Characters the encoding lacks become character references on the way.
  std::string out;
  xmlOutputBufferPtr buf = xmlOutputBufferCreateIO(WriteToString, nullptr, &out, handler);
  if (!buf) throw EXMLDocError("Out of memory");
  xmlOutputBufferWrite(buf, static_cast<int>(text.size()), text.data());
  xmlOutputBufferClose(buf);
  return out;
}

// ---- building ----

struct TBuilder {
  TReadDoc* doc;
  xmlParserCtxtPtr ctxt;
  std::vector<TRNode*> open;  // the document node, then the open elements
  std::vector<TRNode*> last;  // the last child of each
  // Whether text was kept in each: libxml2 then marks the element as holding text (space
  // state -2), which it does here for dropped white space too, not knowing it was dropped.
  std::vector<bool> keptText;
  std::string text;           // text not yet made a node
  bool pending = false;
  bool sawRoot = false;

  TRNode* Parent() const { return open.back(); }
  void Append(TRNode* n) {
    TRNode* p = open.back();
    TRNode*& l = last.back();
    n->parent = p;
    n->prev = l;
    if (l) l->next = n;
    else p->first = n;
    l = n;
  }
  void Flush() {
    if (!pending) return;
    TRNode* t = doc->New(kText);
    t->value = doc->arena.Copy(text.data(), text.size());
    t->length = static_cast<uint32_t>(text.size());
    text.clear();
    pending = false;
    Append(t);
  }
  void SetValue(TRNode* a, const xmlChar* begin, const xmlChar* end);
  // libxml2 drops white space between elements when it cannot be content: the same test.
  bool DropsBlanks(const xmlChar* ch, int len) const {
    if (ctxt->keepBlanks) return false;
    if (!ctxt->space) return false;
    int space = *ctxt->space == -2 && !keptText.back() ? -1 : *ctxt->space;
    if (space == 1 || space == -2) return false;
    for (int i = 0; i < len; ++i)
      if (ch[i] != ' ' && ch[i] != '\t' && ch[i] != '\n' && ch[i] != '\r') return false;
    TRNode* e = open.back();
    if (e->kind != kElement) return false;
    if (ctxt->myDoc && ctxt->myDoc->intSubset) {
      int mixed = xmlIsMixedElement(ctxt->myDoc, BAD_CAST e->local);
      if (mixed == 0) return true;
      if (mixed == 1) return false;
    }
    const xmlChar* raw = ctxt->input ? ctxt->input->cur : nullptr;
    if (!raw || (raw[0] != '<' && raw[0] != 0xD)) return false;
    // A character reference (the parser is just past its ';') is content, as in libxml2's tree.
    if (raw > ctxt->input->base && raw[-1] == ';') return false;
    bool hasChildren = e->first || pending;
    if (!hasChildren) return !(raw[0] == '<' && raw[1] == '/');
    if (pending || last.back()->kind == kText) return false;
    return e->first->kind != kText;
  }
};

// Entity content is parsed in a context of its own: it goes to libxml2's tree builder.
TBuilder* Main(void* ctx) {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  auto* pc = static_cast<xmlparse::TParseContext*>(ctxt->_private);
  return pc && pc->main == ctxt ? static_cast<TBuilder*>(pc->reader) : nullptr;
}

// An attribute value as the parser hands it over without substituting entities: "&#38;" for
// '&', and references to declared entities, which take their replacement text.
// `serial` (at the top level) gets the value as the DOM writes it: escaped text, and the
// references to declared entities as they stand.
void AppendDecoded(TBuilder* b, std::string& out, std::string* serial, std::string_view v, int depth) {
  for (size_t i = 0; i < v.size();) {
    size_t amp = v.find('&', i);
    if (amp == std::string_view::npos) amp = v.size();
    out.append(v.substr(i, amp - i));
    if (serial) AppendEscaped(*serial, v.substr(i, amp - i), true);
    if (amp == v.size()) break;
    size_t semi = v.find(';', amp);
    if (semi == std::string_view::npos) {
      out.append(v.substr(amp));
      if (serial) AppendEscaped(*serial, v.substr(amp), true);
      break;
    }
    std::string name(v.substr(amp + 1, semi - amp - 1));
    i = semi + 1;
    if (!name.empty() && name[0] == '#') {
      bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
      unsigned long code = std::strtoul(name.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10);
      xmlChar buf[8];
      int n = xmlCopyCharMultiByte(buf, static_cast<int>(code));
      std::string_view c(reinterpret_cast<char*>(buf), static_cast<size_t>(std::max(n, 0)));
      out.append(c);
      if (serial) AppendEscaped(*serial, c, true);
      continue;
    }
    if (serial) *serial += "&" + name + ";";
    xmlEntityPtr ent = b->ctxt->myDoc ? xmlGetDocEntity(b->ctxt->myDoc, BAD_CAST name.c_str()) : nullptr;
    if (!ent) ent = xmlGetPredefinedEntity(BAD_CAST name.c_str());
    // Nested references are followed a few levels deep and within the size of the answer.
    if (ent && ent->content && depth < 8 && out.size() < (size_t{1} << 20)) {
      AppendDecoded(b, out, nullptr, C(ent->content), depth + 1);
    } else {
      out += '&';
      out += name;
      out += ';';
    }
  }
}

void TBuilder::SetValue(TRNode* a, const xmlChar* begin, const xmlChar* end) {
  std::string_view v(C(begin), static_cast<size_t>(end - begin));
  if (ctxt->replaceEntities || v.find('&') == std::string_view::npos) {
    a->length = static_cast<uint32_t>(v.size());
    a->value = doc->arena.Copy(v.data(), v.size());
    return;
  }
  std::string out, serial;
  AppendDecoded(this, out, &serial, v, 0);
  a->length = static_cast<uint32_t>(out.size());
  a->value = doc->arena.Copy(out.data(), out.size());
  // An attribute's child, which it has no other use for, holds its written form.
  TRNode* written = doc->New(kText);
  written->value = doc->arena.Copy(serial.data(), serial.size());
  written->length = static_cast<uint32_t>(serial.size());
  a->first = written;
}

// A prefix that no declaration binds makes part of the name, as in libxml2's tree.
const char* Qualified(TBuilder* b, const xmlChar* prefix, const xmlChar* local) {
  const xmlChar* q = xmlDictQLookup(b->ctxt->dict, prefix, local);
  return C(q ? q : local);
}

void OnStartElement(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* URI,
                    int nbNamespaces, const xmlChar** namespaces, int nbAttributes, int nbDefaulted,
                    const xmlChar** attributes) {
  TBuilder* b = Main(ctx);
  if (!b) {
    xmlSAX2StartElementNs(ctx, localname, prefix, URI, nbNamespaces, namespaces, nbAttributes, nbDefaulted,
                          attributes);
    return;
  }
  b->Flush();
  TRNode* e = b->doc->New(kElement);
  if (prefix && !URI) {
    e->local = Qualified(b, prefix, localname);
  } else {
    e->local = C(localname);
    e->prefix = C(prefix);
    e->uri = C(URI);
  }
  TRNode* tail = nullptr;
  for (int i = 0; i < nbNamespaces; ++i) {
    TRNode* d = b->doc->New(kNsDecl);
    d->prefix = C(namespaces[2 * i]);
    d->uri = C(namespaces[2 * i + 1]);
    d->parent = e;
    d->prev = tail;
    (tail ? tail->next : e->decls) = d;
    tail = d;
  }
  // Defaults from the DTD are not completed, as in libxml2's tree.
  if (nbDefaulted && !(b->ctxt->loadsubset & XML_COMPLETE_ATTRS)) nbAttributes -= nbDefaulted;
  tail = nullptr;
  for (int i = 0; i < nbAttributes; ++i) {
    const xmlChar** at = attributes + 5 * i;
    TRNode* a = b->doc->New(kAttribute);
    if (at[1] && !at[2]) {
      a->local = Qualified(b, at[1], at[0]);
    } else {
      a->local = C(at[0]);
      a->prefix = C(at[1]);
      a->uri = C(at[2]);
    }
    b->SetValue(a, at[3], at[4]);
    a->parent = e;
    a->prev = tail;
    (tail ? tail->next : e->attrs) = a;
    tail = a;
  }
  b->Append(e);
  if (b->open.size() == 1) b->sawRoot = true;
  b->open.push_back(e);
  b->last.push_back(nullptr);
  b->keptText.push_back(false);
}

void OnEndElement(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* URI) {
  TBuilder* b = Main(ctx);
  if (!b) {
    xmlSAX2EndElementNs(ctx, localname, prefix, URI);
    return;
  }
  TRNode* e = b->open.back();
  if (b->pending && !e->first && e->kind == kElement) {
    e->value = b->doc->arena.Copy(b->text.data(), b->text.size());
    e->length = static_cast<uint32_t>(b->text.size());
    e->inlineText = true;
    b->text.clear();
    b->pending = false;
  }
  b->Flush();
  if (b->open.size() > 1) {
    b->open.pop_back();
    b->last.pop_back();
    b->keptText.pop_back();
  }
}

void OnCharacters(void* ctx, const xmlChar* ch, int len) {
  TBuilder* b = Main(ctx);
  if (!b) {
    xmlSAX2Characters(ctx, ch, len);
    return;
  }
  if (b->open.size() < 2 || b->DropsBlanks(ch, len)) return;
  b->text.append(C(ch), static_cast<size_t>(len));
  b->pending = true;
  b->keptText.back() = true;
}

void OnCData(void* ctx, const xmlChar* value, int len) {
  TBuilder* b = Main(ctx);
  if (!b) {
    xmlSAX2CDataBlock(ctx, value, len);
    return;
  }
  b->Flush();
  TRNode* n = b->doc->New(kCData);
  n->value = b->doc->arena.Copy(C(value), static_cast<size_t>(len));
  n->length = static_cast<uint32_t>(len);
  b->Append(n);
}

void OnComment(void* ctx, const xmlChar* value) {
  TBuilder* b = Main(ctx);
  if (!b) {
    xmlSAX2Comment(ctx, value);
    return;
  }
  b->Flush();
  TRNode* n = b->doc->New(kComment);
  size_t len = value ? std::strlen(C(value)) : 0;
  n->value = b->doc->arena.Copy(value ? C(value) : "", len);
  n->length = static_cast<uint32_t>(len);
  b->Append(n);
}

void OnPI(void* ctx, const xmlChar* target, const xmlChar* data) {
  TBuilder* b = Main(ctx);
  if (!b) {
    xmlSAX2ProcessingInstruction(ctx, target, data);
    return;
  }
  b->Flush();
  TRNode* n = b->doc->New(kPI);
  n->local = b->doc->arena.Copy(C(target), std::strlen(C(target)));
  if (data) {
    size_t len = std::strlen(C(data));
    n->value = b->doc->arena.Copy(C(data), len);
    n->length = static_cast<uint32_t>(len);
  }
  b->Append(n);
}

void OnReference(void* ctx, const xmlChar* name) {
  TBuilder* b = Main(ctx);
  if (!b) {
    xmlSAX2Reference(ctx, name);
    return;
  }
  b->Flush();
  TRNode* n = b->doc->New(kEntityRef);
  n->local = b->doc->arena.Copy(C(name), std::strlen(C(name)));
  b->Append(n);
}

void OnInternalSubset(void* ctx, const xmlChar* name, const xmlChar* externalID, const xmlChar* systemID) {
  xmlSAX2InternalSubset(ctx, name, externalID, systemID);
  TBuilder* b = Main(ctx);
  if (!b || b->open.size() != 1) return;
  TRNode* n = b->doc->New(kDocType);
  n->local = b->doc->arena.Copy(C(name), name ? std::strlen(C(name)) : 0);
  b->Append(n);
}

// The document type's markup, once its declarations are all read.
void KeepDocType(TBuilder& b, xmlDocPtr doc) {
  if (!doc || !doc->intSubset) return;
  for (TRNode* c = b.doc->root->first; c; c = c->next) {
    if (c->kind != kDocType) continue;
    xmlBufferPtr buf = xmlBufferCreate();
    if (!buf) return;
    xmlNodeDump(buf, doc, reinterpret_cast<xmlNodePtr>(doc->intSubset), 0, 0);
    c->value = b.doc->arena.Copy(C(xmlBufferContent(buf)), static_cast<size_t>(xmlBufferLength(buf)));
    c->length = static_cast<uint32_t>(xmlBufferLength(buf));
    xmlBufferFree(buf);
  }
}

struct TCtxtFree {
  void operator()(xmlParserCtxtPtr c) const {
    if (c->myDoc) xmlFreeDoc(c->myDoc);
    c->myDoc = nullptr;
    xmlFreeParserCtxt(c);
  }
};
using TCtxtPtr = std::unique_ptr<xmlParserCtxt, TCtxtFree>;
struct TDocFree {
  void operator()(xmlDocPtr d) const { xmlFreeDoc(d); }
};

// One parser context per thread, kept between answers with its name dictionary: making both
// anew is a fixed cost on every answer, and the names of one service's answers repeat. A
// dictionary grown past kMaxKeptDict (names of hostile answers) is not kept, so it neither
// grows without end nor eats much into the next document's own dictionary limit.
constexpr size_t kMaxKeptDict = 256 * 1024;

class TCtxtCache {
 public:
  // A context for one parse; nested parses (a handler loading an answer) get their own.
  static TCtxtPtr Take() {
    if (TCtxtCache* c = Get(); c && c->ctxt_) return std::move(c->ctxt_);
    return TCtxtPtr(xmlNewParserCtxt());
  }
  // Back after a parse that returned to us (not one left by an exception thrown through it).
  static void Give(TCtxtPtr ctxt) {
    ctxt->_private = nullptr;
    if (!ctxt->dict || xmlDictGetUsage(ctxt->dict) > kMaxKeptDict) return;
    if (TCtxtCache* c = Get(); c && !c->ctxt_) c->ctxt_ = std::move(ctxt);
  }

 private:
  static TCtxtCache* Get() {
    thread_local bool alive = false;
    thread_local struct TOwner {
      TCtxtCache cache;
      explicit TOwner(bool& a) : flag(a) { flag = true; }
      ~TOwner() { flag = false; }
      bool& flag;
    } owner(alive);
    return alive ? &owner.cache : nullptr;
  }
  TCtxtPtr ctxt_;
};

// Byte classes of the direct reader.
enum : uint8_t { kNameStart = 1, kNameChar = 2, kBlank = 4, kPlain = 8, kValue = 16 };
struct TByteClasses {
  uint8_t c[256] = {};
  constexpr TByteClasses() {
    for (int i = 0x20; i < 0x80; ++i) c[i] = kPlain;
    for (int i = 'a'; i <= 'z'; ++i) c[i] |= kNameStart | kNameChar;
    for (int i = 'A'; i <= 'Z'; ++i) c[i] |= kNameStart | kNameChar;
    for (int i = '0'; i <= '9'; ++i) c[i] |= kNameChar;
    c['_'] |= kNameStart | kNameChar;
    c['-'] |= kNameChar;
    c['.'] |= kNameChar;
    c[' '] = kBlank;
    c['\t'] = kBlank;
    c['\n'] = kBlank;
    for (unsigned char s : {'<', '&', ']', '"', '\''}) c[s] = 0;
    // As is in an attribute value, quotes apart.
    for (int i = 0x20; i < 0x80; ++i)
      if (i != '<' && i != '&' && i != '"' && i != '\'') c[i] |= kValue;
  }
};
constexpr TByteClasses kByteClass{};

// ---- the direct reader ----
//
// Most answers are UTF-8 with elements, attributes, namespaces and text only. Those are read
// here in one pass to the tree libxml2's parse would give, several times faster. Anything else
// (a declared encoding other than UTF-8, a byte-order mark, a DTD, comments, instructions,
// CDATA, entities other than the five predefined ones and character references, line ends to
// normalise, mixed content, a prefix that libxml2 would report, or a document near one of its
// limits) makes the reader give up, and libxml2 reads the document with its own rules and errors.
class TDirectReader {
 public:
  TDirectReader(TReadDoc* doc, std::string_view bytes)
      : doc_(doc), begin_(bytes.data()), p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  bool Read() {
    // Below libxml2's limits on names, text and its dictionary, which the reader does not count.
    if (end_ - p_ >= kMaxDocument) return false;
    // Names, values and text stay where they are in a copy of the document, each ended by a
    // NUL over the delimiter after it, instead of one copy each.
    copy_ = static_cast<char*>(doc_->arena.Alloc(static_cast<size_t>(end_ - begin_) + 1));
    std::memcpy(copy_, begin_, static_cast<size_t>(end_ - begin_));
    if (end_ - p_ >= 5 && std::memcmp(p_, "<?xml", 5) == 0 && !Declaration()) return false;
    SkipBlanks();
    if (p_ >= end_ || *p_ != '<') return false;
    if (!StartTag()) return false;
    while (!open_.empty()) {
      if (!Text()) return false;
      if (end_ - p_ < 2) return false;
      if (p_[1] == '/') {
        if (!EndTag()) return false;
      } else if (p_[1] == '!' || p_[1] == '?' || !StartTag()) {
        return false;
      }
    }
    SkipBlanks();
    return p_ == end_;
  }

 private:
  static constexpr ptrdiff_t kMaxDocument = ptrdiff_t{8} << 20;
  // Each bounds the work per tag: the depth, a name, the attributes of an element and the
  // namespace bindings in scope (searched for every prefix the memo does not hold).
  static constexpr size_t kMaxDepth = 200, kMaxName = 1000, kMaxAttributes = 32, kMaxBindings = 128;

  static uint8_t Class(char c) { return kByteClass.c[static_cast<unsigned char>(c)]; }

  struct TOpen {
    TRNode* e;
    TRNode* last;
    std::string_view qname;  // as written, for the end tag
    size_t bindings;         // the namespace bindings in scope outside it
    bool hasChild;
    std::string_view text;   // the text just read in it
    bool decoded;            // which is in text_, not in the document
  };
  struct TBinding {
    std::string_view prefix;  // empty: the default namespace
    const char* uri;
  };
  struct TMemo {
    std::string_view prefix;
    const char* uri;
    uint64_t generation;
  };
  struct TAttr {
    std::string_view prefix, local, value;
    const char* uri;
  };

  void SkipBlanks() {
    while (p_ < end_ && (Class(*p_) & kBlank)) ++p_;
  }
  bool Blank() {
    const char* at = p_;
    SkipBlanks();
    return p_ != at;
  }
  bool Expect(char c) {
    if (p_ >= end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  // One UTF-8 character of XML's range (not U+FFFE, U+FFFF or a surrogate).
  bool Utf8() {
    const auto* s = reinterpret_cast<const unsigned char*>(p_);
    const ptrdiff_t left = end_ - p_;
    auto cont = [&](int i) { return i < left && (s[i] & 0xC0) == 0x80; };
    if (s[0] >= 0xC2 && s[0] <= 0xDF) {
      if (!cont(1)) return false;
      p_ += 2;
      return true;
    }
    if (s[0] >= 0xE0 && s[0] <= 0xEF) {
      if (!cont(1) || !cont(2)) return false;
      if (s[0] == 0xE0 && s[1] < 0xA0) return false;
      if (s[0] == 0xED && s[1] >= 0xA0) return false;
      if (s[0] == 0xEF && s[1] == 0xBF && s[2] >= 0xBE) return false;
      p_ += 3;
      return true;
    }
    if (s[0] >= 0xF0 && s[0] <= 0xF4) {
      if (!cont(1) || !cont(2) || !cont(3)) return false;
      if ((s[0] == 0xF0 && s[1] < 0x90) || (s[0] == 0xF4 && s[1] >= 0x90)) return false;
      p_ += 4;
      return true;
    }
    return false;
  }

  bool NCName(std::string_view& name) {
    const char* at = p_;
    if (p_ >= end_ || !(Class(*p_) & kNameStart)) return false;
    ++p_;
    while (p_ < end_ && (Class(*p_) & kNameChar)) ++p_;
    if (static_cast<size_t>(p_ - at) > kMaxName) return false;
    name = std::string_view(at, static_cast<size_t>(p_ - at));
    return true;
  }
  bool QName(std::string_view& prefix, std::string_view& local) {
    prefix = {};
    if (!NCName(local)) return false;
    if (p_ < end_ && *p_ == ':') {
      ++p_;
      prefix = local;
      if (!NCName(local)) return false;
      if (p_ < end_ && *p_ == ':') return false;
    }
    return true;
  }

  // A quoted attribute value with nothing to replace or normalise.
  bool Value(std::string_view& value) {
    if (p_ >= end_ || (*p_ != '"' && *p_ != '\'')) return false;
    const char quote = *p_++;
    const char* at = p_;
    while (p_ < end_ && *p_ != quote) {
      const char c = *p_;
      if (Class(c) & kValue) {
        ++p_;
      } else if (c == '"' || c == '\'') {
        ++p_;
      } else if (static_cast<unsigned char>(c) >= 0x80) {
        if (!Utf8()) return false;
      } else {
        return false;  // '<', '&', and characters that libxml2 would normalise or refuse
      }
    }
    if (p_ >= end_) return false;
    value = std::string_view(at, static_cast<size_t>(p_ - at));
    ++p_;
    return true;
  }

  bool Declaration() {
    p_ += 5;
    std::string_view name, value;
    if (!Blank() || !NCName(name) || name != "version" || !Eq() || !Value(value) || value != "1.0") return false;
    doc_->version = u"1.0";
    bool blank = Blank();
    if (blank && p_ < end_ && *p_ == 'e') {
      if (!NCName(name) || name != "encoding" || !Eq() || !Value(value)) return false;
      if (!SameText(value, "UTF-8")) return false;
      doc_->encoding = Utf8ToUtf16(value);
      blank = Blank();
    }
    if (blank && p_ < end_ && *p_ == 's') {
      if (!NCName(name) || name != "standalone" || !Eq() || !Value(value)) return false;
      if (value != "yes" && value != "no") return false;
      doc_->standalone = value == "yes" ? u"yes" : u"no";
      SkipBlanks();
    }
    return Expect('?') && Expect('>');
  }
  bool Eq() {
    SkipBlanks();
    if (!Expect('=')) return false;
    SkipBlanks();
    return true;
  }

  // Prefixes are short: compared in place rather than through memcmp.
  static bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (a[i] != b[i]) return false;
    return true;
  }
  // Answers use a few prefixes over and over, declared once at the top: the last binding
  // found for each is remembered until a declaration comes or goes.
  const char* Lookup(std::string_view prefix) {
    TMemo& m = memo_[(prefix.size() + (prefix.empty() ? 0 : static_cast<unsigned char>(prefix[0]))) & 7];
    if (m.generation == generation_ && SameName(m.prefix, prefix)) return m.uri;
    const char* uri = nullptr;
    for (size_t i = bindings_.size(); i-- > 0;)
      if (SameName(bindings_[i].prefix, prefix)) {
        uri = bindings_[i].uri;
        break;
      }
    m = {prefix, uri, generation_};
    return uri;
  }
  void DropBindings(size_t outer) {
    if (bindings_.size() == outer) return;
    bindings_.resize(outer);
    ++generation_;
  }
  // `s` (a piece of the document) as a string of the copy.
  const char* Copy(std::string_view s) {
    char* c = copy_ + (s.data() - begin_);
    c[s.size()] = '\0';
    return c;
  }

  void Append(TRNode* n) {
    TRNode* parent = open_.empty() ? doc_->root : open_.back().e;
    TRNode*& last = open_.empty() ? rootLast_ : open_.back().last;
    n->parent = parent;
    n->prev = last;
    (last ? last->next : parent->first) = n;
    last = n;
  }

  bool StartTag() {
    const char* at = ++p_;
    std::string_view prefix, local;
    if (open_.size() >= kMaxDepth || !QName(prefix, local)) return false;
    const std::string_view qname(at, static_cast<size_t>(p_ - at));
    const size_t outer = bindings_.size();
    attrs_.clear();
    bool empty = false;
    for (;;) {
      const bool blank = Blank();
      if (p_ >= end_) return false;
      if (*p_ == '>') {
        ++p_;
        break;
      }
      if (*p_ == '/') {
        ++p_;
        if (!Expect('>')) return false;
        empty = true;
        break;
      }
      TAttr a;
      if (!blank || !QName(a.prefix, a.local) || !Eq() || !Value(a.value)) return false;
      if (attrs_.size() >= kMaxAttributes) return false;
      attrs_.push_back(a);
    }
    TRNode* e = doc_->New(kElement);
    // Declarations first, in their order; libxml2 refuses or reports the unusual ones.
    TRNode* tail = nullptr;
    for (TAttr& a : attrs_) {
      const bool isDefault = a.prefix.empty() && a.local == "xmlns";
      if (!isDefault && a.prefix != "xmlns") continue;
      std::string_view declared = isDefault ? std::string_view() : a.local;
      if (declared == "xml" || declared == "xmlns" || (!isDefault && a.value.empty())) return false;
      if (a.value == "http://www.w3.org/XML/1998/namespace" || a.value == "http://www.w3.org/2000/xmlns/") return false;
      if (bindings_.size() >= kMaxBindings) return false;
      for (size_t i = outer; i < bindings_.size(); ++i)
        if (bindings_[i].prefix == declared) return false;
      TRNode* d = doc_->New(kNsDecl);
      d->prefix = isDefault ? nullptr : Copy(declared);
      d->uri = Copy(a.value);
      d->parent = e;
      d->prev = tail;
      (tail ? tail->next : e->decls) = d;
      tail = d;
      bindings_.push_back({declared, d->uri});
      ++generation_;
      a.local = {};  // taken
    }
    if (prefix == "xml" || prefix == "xmlns") return false;
    const char* uri = Lookup(prefix);
    if (!prefix.empty() && !uri) return false;
    e->local = Copy(local);
    if (!prefix.empty()) e->prefix = Copy(prefix);
    e->uri = uri && *uri ? uri : nullptr;
    tail = nullptr;
    for (size_t i = 0; i < attrs_.size(); ++i) {
      TAttr& a = attrs_[i];
      if (a.local.empty()) continue;
      a.uri = nullptr;
      if (!a.prefix.empty()) {
        if (a.prefix == "xml" || !(a.uri = Lookup(a.prefix))) return false;
      }
      for (size_t j = 0; j < i; ++j) {
        const TAttr& b = attrs_[j];
        if (b.local != a.local) continue;
        if (b.prefix == a.prefix) return false;
        if (a.uri && b.uri && std::strcmp(a.uri, b.uri) == 0) return false;
      }
      TRNode* n = doc_->New(kAttribute);
      n->local = Copy(a.local);
      if (!a.prefix.empty()) {
        n->prefix = Copy(a.prefix);
        n->uri = a.uri;
      }
      n->value = Copy(a.value);
      n->length = static_cast<uint32_t>(a.value.size());
      n->parent = e;
      n->prev = tail;
      (tail ? tail->next : e->attrs) = n;
      tail = n;
    }
    Append(e);
    if (!open_.empty()) open_.back().hasChild = true;
    if (empty) {
      DropBindings(outer);
      return true;
    }
    open_.push_back({e, nullptr, qname, outer, false, {}, false});
    return true;
  }

  bool EndTag() {
    p_ += 2;
    TOpen& top = open_.back();
    if (end_ - p_ < static_cast<ptrdiff_t>(top.qname.size()) ||
        std::memcmp(p_, top.qname.data(), top.qname.size()) != 0)
      return false;
    p_ += top.qname.size();
    if (p_ < end_ && (Class(*p_) & kNameChar || *p_ == ':')) return false;
    SkipBlanks();
    if (!Expect('>')) return false;
    if (!top.hasChild && !top.text.empty()) {
      top.e->value = top.decoded ? doc_->arena.Copy(top.text.data(), top.text.size()) : Copy(top.text);
      top.e->length = static_cast<uint32_t>(top.text.size());
      top.e->inlineText = true;
    }
    DropBindings(top.bindings);
    open_.pop_back();
    return true;
  }

  // The text up to the next tag. An element holds either text or elements with white space
  // around them, which libxml2 drops (white-space-only text is kept only as an element's
  // whole content); text next to elements gives up.
  bool Text() {
    TOpen& top = open_.back();
    top.text = {};
    top.decoded = false;
    const char* at = p_;
    const char* run = p_;
    bool blank = true, decoded = false;
    while (p_ < end_) {
      const char c = *p_;
      const uint8_t k = Class(c);
      if (k & kBlank) {
        ++p_;
      } else if (k & kPlain) {
        blank = false;
        ++p_;
      } else if (c == '<') {
        break;
      } else if (c == ']' || c == '"' || c == '\'') {
        if (c == ']' && end_ - p_ >= 3 && p_[1] == ']' && p_[2] == '>') return false;
        blank = false;
        ++p_;
      } else if (static_cast<unsigned char>(c) >= 0x80) {
        if (!Utf8()) return false;
        blank = false;
      } else if (c == '&') {
        if (!decoded) text_.clear();
        decoded = true;
        text_.append(run, p_);
        if (!Reference()) return false;
        run = p_;
        blank = false;
      } else {
        return false;  // a line end to normalise, or a character XML refuses
      }
    }
    if (end_ - p_ < 2) return false;
    if (p_ == at) return true;
    if (blank) {
      // Kept only as the whole content of an element.
      if (!top.hasChild && p_[1] == '/') top.text = std::string_view(at, static_cast<size_t>(p_ - at));
      return true;
    }
    if (top.hasChild || p_[1] != '/') return false;
    if (decoded) {
      text_.append(run, p_);
      top.text = text_;
      top.decoded = true;
    } else {
      top.text = std::string_view(at, static_cast<size_t>(p_ - at));
    }
    return true;
  }

  // A predefined entity or a character reference (not white space, which libxml2 may drop).
  bool Reference() {
    ++p_;
    const char* semi = static_cast<const char*>(std::memchr(p_, ';', static_cast<size_t>(std::min<ptrdiff_t>(end_ - p_, 12))));
    if (!semi) return false;
    std::string_view name(p_, static_cast<size_t>(semi - p_));
    p_ = semi + 1;
    if (name == "lt") return text_ += '<', true;
    if (name == "gt") return text_ += '>', true;
    if (name == "amp") return text_ += '&', true;
    if (name == "quot") return text_ += '"', true;
    if (name == "apos") return text_ += '\'', true;
    if (name.size() < 2 || name[0] != '#') return false;
    const bool hex = name[1] == 'x';
    std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 6) return false;
    uint32_t code = 0;
    for (char c : digits) {
      int d = c >= '0' && c <= '9' ? c - '0'
              : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
              : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      code = code * (hex ? 16 : 10) + static_cast<uint32_t>(d);
    }
    if (code <= 0x20 || (code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE || code == 0xFFFF || code > 0x10FFFF)
      return false;
    AppendUtf8(text_, code);
    return true;
  }

  TReadDoc* doc_;
  const char* begin_;
  char* copy_ = nullptr;
  const char* p_;
  const char* end_;
  TRNode* rootLast_ = nullptr;
  std::vector<TOpen> open_;
  std::vector<TBinding> bindings_;
  TMemo memo_[8] = {};
  uint64_t generation_ = 1;
  std::vector<TAttr> attrs_;
  std::string text_;
};

TIntfPtr<IXMLDocument> Load(std::string_view bytes, TParseOptions parseOptions) {
  xmlparse::InitLibXml();
  if (bytes.size() > static_cast<size_t>(INT32_MAX)) throw EXMLDocError("Document too large");
  if (bytes.empty()) throw xmlparse::MakeParseError(nullptr, xmlparse::TParseContext(), bytes, false);
  if (!parseOptions.Contains(poPreserveWhiteSpace)) {
    TIntfPtr<IXMLDocument> direct(static_cast<IXMLDocument*>(new TReadDoc(bytes.size())));
    auto* doc = static_cast<TReadDoc*>(direct.Get());
    if (TDirectReader(doc, bytes).Read()) {
      doc->parseOptions = parseOptions;
      doc->hasDecl = xmlparse::SniffDeclaration(bytes, false);
      return direct;
    }
  }
  TCtxtPtr ctxt = TCtxtCache::Take();
  if (!ctxt) throw EXMLDocError("Out of memory");
  TIntfPtr<IXMLDocument> result(static_cast<IXMLDocument*>(new TReadDoc(bytes.size())));
  auto* doc = static_cast<TReadDoc*>(result.Get());
  doc->parseOptions = parseOptions;

  TBuilder builder{doc, ctxt.get(), {doc->root}, {nullptr}, {false}, {}, false, false};
  builder.open.reserve(32);
  builder.last.reserve(32);
  xmlparse::TParseContext pc;
  pc.reader = &builder;
  pc.main = ctxt.get();
  ctxt->_private = &pc;
  const int options = xmlparse::ParserOptions(parseOptions);
  // Every handler set on each parse: the options of an earlier one may have changed them.
  xmlSAXHandlerPtr sax = ctxt->sax;
  sax->serror = xmlparse::RecordError;
  sax->startElementNs = OnStartElement;
  sax->endElementNs = OnEndElement;
  sax->characters = OnCharacters;
  sax->ignorableWhitespace = (options & XML_PARSE_NOBLANKS) ? xmlSAX2IgnorableWhitespace : OnCharacters;
  sax->cdataBlock = OnCData;
  sax->comment = OnComment;
  sax->processingInstruction = OnPI;
  sax->reference = OnReference;
  sax->internalSubset = OnInternalSubset;
  std::unique_ptr<xmlDoc, TDocFree> parsed;
  {
    xmlparse::TRefuseExternal refuse;
    // Resets the context (keeping its dictionary) and reads the bytes in place.
    parsed.reset(xmlCtxtReadMemory(ctxt.get(), bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                                   options));
  }
  if (!parsed || !ctxt->wellFormed || !builder.sawRoot) {
    EDOMParseError error = xmlparse::MakeParseError(ctxt.get(), pc, bytes, false);
    TCtxtCache::Give(std::move(ctxt));
    throw error;
  }
  KeepDocType(builder, parsed.get());

  doc->dict = ctxt->dict;
  xmlDictReference(doc->dict);
  doc->hasDecl = xmlparse::SniffDeclaration(bytes, false);
  if (xmlDocPtr d = parsed.get(); doc->hasDecl) {
    doc->version = W(C(d->version));
    doc->encoding = W(C(d->encoding));
    doc->standalone = d->standalone == 1 ? u"yes" : d->standalone == 0 ? u"no" : u"";
  }
  TCtxtCache::Give(std::move(ctxt));
  return result;
}

}  // namespace

TIntfPtr<IXMLDocument> LoadXMLReadOnly(std::string_view bytes, TParseOptions parseOptions) {
  return Load(bytes, parseOptions);
}

bool IsReadOnlyXMLDocument(IXMLDocument* doc) { return dynamic_cast<TReadDoc*>(doc) != nullptr; }
bool IsReadOnlyXMLNode(IXMLNode* node) { return dynamic_cast<TRNode*>(node) != nullptr; }

bool xmlread::DescribeValue(IXMLNode* node, bool withType, bool tryAllSchema, TValueInfo& info) {
  if (!node || typeid(*node) != typeid(TRNode)) return false;
  auto* e = static_cast<TRNode*>(node);
  if (e->kind != kElement) return false;
  static constexpr const char* kXsi2001 = "http://www.w3.org/2001/XMLSchema-instance";
  static constexpr const char* kXsi1999 = "http://www.w3.org/1999/XMLSchema-instance";
  static constexpr const char* kXsi2000 = "http://www.w3.org/2000/10/XMLSchema-instance";
  static constexpr const char* kEncoding = "http://schemas.xmlsoap.org/soap/encoding/";
  // The type attribute found, by rank: 2001, 1999, 2000/10, unqualified.
  TRNode* type[4] = {};
  for (TRNode* a = e->attrs; a; a = a->next) {
    const char* l = a->local;
    if (!l) continue;
    std::string_view value(a->value, a->length);
    if (Empty(a->uri)) {
      if (std::strcmp(l, "href") == 0) {
        if (!info.hasHref) info.hasHref = true, info.href = value;
      } else if (std::strcmp(l, "id") == 0) {
        if (!info.hasId) info.hasId = true, info.id = value;
      } else if (std::strcmp(l, "type") == 0 && !type[3]) {
        type[3] = a;
      }
      continue;
    }
    // Namespace URIs are the dictionary's strings: once one has been recognised, its pointer says it.
    const char** known = e->doc->schemaInstance;
    int rank = a->uri == known[0] ? 0 : a->uri == known[1] ? 1 : a->uri == known[2] ? 2 : -1;
    if (rank < 0) {
      rank = std::strcmp(a->uri, kXsi2001) == 0 ? 0
             : std::strcmp(a->uri, kXsi1999) == 0 ? 1
             : std::strcmp(a->uri, kXsi2000) == 0 ? 2 : -1;
      if (rank < 0) continue;
      known[rank] = a->uri;
    }
    if (std::strcmp(l, "type") == 0) {
      if (!type[rank]) type[rank] = a;
    } else if (std::strcmp(l, "nil") == 0 || std::strcmp(l, "null") == 0 || std::strcmp(l, "NULL") == 0) {
      if (value == "1" || SameText(value, "true")) info.nil = true;
    }
  }
  info.hasChildren = e->first || e->inlineText;
  if (e->inlineText) {
    info.isText = true;
    info.text = std::string_view(e->value, e->length);
  } else if (e->first && !e->first->next && (e->first->kind == kText || e->first->kind == kCData)) {
    info.isText = true;
    info.text = std::string_view(e->first->value, e->first->length);
  }
  if (!withType) return true;
  auto str = [](const char* s) { return s ? std::string_view(s) : std::string_view(); };
  if (Same(e->local, "Array") && Same(e->uri, kEncoding)) {
    info.typeURI = kEncoding;
    info.typeName = "Array";
    return true;
  }
  TRNode* t = type[0] ? type[0] : tryAllSchema && type[1] ? type[1] : tryAllSchema && type[2] ? type[2] : type[3];
  if (!t) {
    info.typeURI = str(e->uri);
    info.typeName = str(e->local);
    return true;
  }
  std::string_view v(t->value, t->length);
  size_t colon = v.find(':');
  if (colon == std::string_view::npos) {
    info.typeURI = str(e->uri);
    info.typeName = v;
    return true;
  }
  std::string prefix(v.substr(0, colon));
  info.typeName = v.substr(colon + 1);
  if (prefix == "xml") info.typeURI = "http://www.w3.org/XML/1998/namespace";
  else if (prefix == "xmlns") info.typeURI = "http://www.w3.org/2000/xmlns/";
  else if (TRNode* d = TRNode::SearchByPrefix(e, prefix.c_str())) info.typeURI = str(d->uri);
  else info.typeURI = {};
  return true;
}

bool xmlread::Children(IXMLNode* node, std::vector<TChild>& out) {
  if (!node || typeid(*node) != typeid(TRNode)) return false;
  auto* e = static_cast<TRNode*>(node);
  if (!e->HasOwnChildren()) return true;
  for (TRNode* c = e->Kids(); c; c = c->next) out.push_back({c, c->kind == kElement ? c->local : nullptr});
  return true;
}

bool xmlread::ForEachElementWithAttribute(IXMLDocument* doc, const WideString& name,
                                          const std::function<void(IXMLNode*, const WideString&)>& visit) {
  auto* d = dynamic_cast<TReadDoc*>(doc);
  if (!d) return false;
  TIntfPtr<IXMLDocument> keep(doc);
  // A plain name (the converter's "id") is compared in UTF-8 on unprefixed attributes.
  const bool plain = name.find(u':') == WideString::npos && name.rfind(u"xmlns", 0) != 0;
  const std::string utf8 = Utf16ToUtf8(name);
  auto find = [&](TRNode* e) -> TRNode* {
    if (!plain) return e->FindAttr(name);
    for (TRNode* a = e->attrs; a; a = a->next)
      if (Empty(a->prefix) && std::strcmp(a->local, utf8.c_str()) == 0) return a;
    return nullptr;
  };
  // Depth first in document order, without recursion: answers may nest deeply.
  TRNode* n = d->root->first;
  while (n) {
    if (n->kind == kElement)
      if (TRNode* a = find(n)) visit(n, TRNode::ValueOf(a));
    if (n->HasOwnChildren() && n->first) {
      n = n->first;
      continue;
    }
    while (n && !n->next) {
      n = n->parent;
      if (n == d->root) n = nullptr;
    }
    if (n) n = n->next;
  }
  return true;
}
