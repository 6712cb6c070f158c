// The read-only document: plain UTF-8 answers go to the direct reader (XMLDirectRead.cpp);
// everything else to libxml2's parser, with callbacks that append nodes to an arena.
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
#include "soap/XMLReadNodes.h"


namespace xmlread::nodes {

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

}  // namespace xmlread::nodes

using namespace xmlread::nodes;

namespace {

TIntfPtr<IXMLDocument> Load(std::string_view bytes, TParseOptions parseOptions) {
  xmlparse::InitLibXml();
  if (bytes.size() > static_cast<size_t>(INT32_MAX)) throw EXMLDocError("Document too large");
  if (bytes.empty()) throw xmlparse::MakeParseError(nullptr, xmlparse::TParseContext(), bytes, false);
  if (!parseOptions.Contains(poPreserveWhiteSpace)) {
    TIntfPtr<IXMLDocument> direct(static_cast<IXMLDocument*>(new TReadDoc(bytes.size())));
    auto* doc = static_cast<TReadDoc*>(direct.Get());
    if (ReadDirect(doc, bytes)) {
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
