// The nodes and the document of the read-only tree, shared by the unit that builds it with
// libxml2's parser and the direct reader. Internal to the XML layer.
#pragma once

#include <libxml/xmlstring.h>
#include <libxml/dict.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Strings.h"
#include "soap/XMLReadTree.h"

namespace xmlread::nodes {

inline constexpr const char* kReadOnly = "The document is read-only";

inline const char* C(const xmlChar* s) { return reinterpret_cast<const char*>(s); }
inline WideString W(const char* s) { return s ? Utf8ToUtf16(s) : WideString(); }
inline bool Empty(const char* s) { return !s || !*s; }
// NULL and "" are the same here (no prefix, no namespace).
inline bool Same(const char* a, const char* b) {
  if (Empty(a)) return Empty(b);
  return b && std::strcmp(a, b) == 0;
}
// Names are compared on every value read: ASCII in place, anything else through the
// general comparison.
inline bool SameW(std::u16string_view w, const char* s) {
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

// Reads plain UTF-8 `bytes` into `doc` in one pass; false when the document holds anything
// the direct reader leaves to libxml2 (the document is then dropped and read again).
bool ReadDirect(TReadDoc* doc, std::string_view bytes);

}  // namespace xmlread::nodes
