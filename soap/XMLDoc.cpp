// The document component on libxml2's tree.
//
// Ownership. A document's tree (TXMLDocData) is reference counted: the component holds it
// while active, and so does every node interface and node list. Every node interface is
// registered in its libxml2 node's `_private` field, so one node has at most one interface.
// Nodes that are not linked into the document ("detached roots": created, copied or removed
// nodes) are kept in a set and freed when the last interface inside them goes or when the tree
// goes; removing or replacing a node never frees memory an interface still points to.
//
// Namespaces. libxml2 ties an element or attribute to a declaration (xmlNs) on itself or an
// ancestor. A node created or moved by this component first points to a "floating"
// declaration owned by the tree (its URI and wanted prefix); when the node is linked into the
// document, Reconcile points it at the matching in-scope declaration or declares the
// namespace on the node itself. A subtree that is unlinked gets floating copies of the
// declarations it used from outside, so it never points into memory that may be freed.
#include "soap/XMLDoc.h"

#include "soap/XMLParseSupport.h"
#include "soap/XMLReadTree.h"

#include <iconv.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlIO.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <istream>
#include <iterator>
#include <mutex>
#include <ostream>
#include <sstream>
#include <unordered_set>
#include <vector>

const WideString SXMLNamespaceURI = u"http://www.w3.org/XML/1998/namespace";
const WideString SXMLNSNamespaceURI = u"http://www.w3.org/2000/xmlns/";

ZELK_CLASS_INFO(TXMLDocument, "XMLDoc")
ZELK_INTERFACE_INFO(IXMLNode, IInterface, "XMLDoc")
ZELK_INTERFACE_INFO(IXMLNodeList, IInterface, "XMLDoc")
ZELK_INTERFACE_INFO(IXMLDocument, IInterface, "XMLDoc")

const char* NodeTypeName(TNodeType type) {
  static const char* const names[] = {"ntReserved",   "ntElement", "ntAttribute", "ntText",      "ntCData",
                                      "ntEntityRef",  "ntEntity",  "ntProcessingInstr", "ntComment",
                                      "ntDocument",   "ntDocType", "ntDocFragment", "ntNotation"};
  return type <= ntNotation ? names[type] : "ntReserved";
}

EDOMParseError::EDOMParseError(std::string reason, int line, int linePos, int filePos, std::string srcText,
                               int errorCode)
    : EXMLDocError(Format("%s%s%s: %d%s%s", {reason, "\n", "Line", line, "\n", [&] {
                            // The first 40 characters (UTF-16 units) of the source line.
                            std::u16string w = Utf8ToUtf16(srcText);
                            size_t n = std::min<size_t>(40, w.size());
                            if (n == 40 && w[39] >= 0xD800 && w[39] <= 0xDBFF) n = 39;
                            return Utf16ToUtf8(w.substr(0, n));
                          }()})),
      reason_(std::move(reason)),
      srcText_(std::move(srcText)),
      line_(line),
      linePos_(linePos),
      filePos_(filePos),
      errorCode_(errorCode) {}

WideString ExtractPrefix(const WideString& qualifiedName) {
  size_t p = qualifiedName.find(u':');
  return p == WideString::npos ? WideString() : qualifiedName.substr(0, p);
}

WideString ExtractLocalName(const WideString& qualifiedName) {
  size_t p = qualifiedName.find(u':');
  return p == WideString::npos ? qualifiedName : qualifiedName.substr(p + 1);
}

WideString MakeNodeName(const WideString& prefix, const WideString& localName) {
  return prefix.empty() ? localName : prefix + u":" + localName;
}

// ---------------------------------------------------------------------------------------------
// The tree behind a component.

struct TXMLDocData {
  std::atomic<int32_t> refs{0};
  xmlDocPtr doc = nullptr;
  TXMLDocument* component = nullptr;  // null once the component let go of this tree
  std::vector<xmlNsPtr> floating;      // declarations no element carries
  std::unordered_set<xmlNodePtr> detached;  // roots of unlinked subtrees (nodes and attributes)
  uint64_t generation = 0;                  // bumped on every change of structure
  int prefixCounter = 0;
  bool hasDecl = false;
  WideString version, encoding, standalone;

  void AddRef() { ++refs; }
  void Release() {
    if (--refs == 0) delete this;
  }
  TXMLDocOptions Options() const { return component ? component->Options() : kMessageDocOptions; }
  ~TXMLDocData();
};

namespace {

const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }
const char* C(const xmlChar* s) { return reinterpret_cast<const char*>(s); }
std::string U8(const WideString& w) { return Utf16ToUtf8(w); }
WideString W(const xmlChar* s) { return s ? Utf8ToUtf16(C(s)) : WideString(); }
bool Eq(const xmlChar* a, const xmlChar* b) {
  // NULL and "" are the same here (no prefix, no namespace).
  if (!a || !*a) return !b || !*b;
  return b && std::strcmp(C(a), C(b)) == 0;
}

void SplitQName(const std::string& q, std::string& prefix, std::string& local) {
  size_t p = q.find(':');
  if (p == std::string::npos) {
    prefix.clear();
    local = q;
  } else {
    prefix = q.substr(0, p);
    local = q.substr(p + 1);
  }
}

// Whether `q` is the qualified name prefix:local (local alone without a prefix).
bool IsQName(std::string_view q, const xmlChar* prefix, const xmlChar* local) {
  if (prefix && *prefix) {
    std::string_view p(C(prefix));
    if (q.size() <= p.size() || q.compare(0, p.size(), p) != 0 || q[p.size()] != ':') return false;
    q.remove_prefix(p.size() + 1);
  }
  return q == std::string_view(local ? C(local) : "");
}

std::string QName(const xmlChar* prefix, const xmlChar* local) {
  std::string s;
  if (prefix && *prefix) {
    s = C(prefix);
    s += ':';
  }
  if (local) s += C(local);
  return s;
}

bool IsElement(xmlNodePtr n) { return n && n->type == XML_ELEMENT_NODE; }

WideString AttrText(xmlAttrPtr a) {
  // The usual value, one text node, is read in place.
  if (xmlNodePtr t = a->children; t && !t->next && t->type == XML_TEXT_NODE) return W(t->content);
  xmlChar* v = xmlNodeListGetString(a->doc, a->children, 1);
  WideString r = W(v);
  xmlFree(v);
  return r;
}
bool IsAttr(xmlNodePtr n) { return n && n->type == XML_ATTRIBUTE_NODE; }
bool IsDocNode(xmlNodePtr n) {
  return n && (n->type == XML_DOCUMENT_NODE || n->type == XML_HTML_DOCUMENT_NODE);
}

// Nodes whose libxml2 children are ours to expose and to walk.
bool HasOwnChildren(xmlNodePtr n) {
  return n && (n->type == XML_ELEMENT_NODE || IsDocNode(n) || n->type == XML_DOCUMENT_FRAG_NODE);
}

// The element that is the scope of `n` for namespace lookups.
xmlNodePtr ScopeElement(xmlNodePtr n) {
  if (!n) return nullptr;
  if (IsElement(n)) return n;
  if (IsAttr(n)) return n->parent;
  return IsElement(n->parent) ? n->parent : nullptr;
}

bool InDocument(xmlNodePtr n) {
  while (n && !IsDocNode(n)) n = n->parent;
  return n != nullptr;
}

xmlNodePtr TopOf(xmlNodePtr n) {
  while (n->parent) n = n->parent;
  return n;
}

// The nearest declaration of `prefix` (NULL or "" = default) visible from element `e`.
xmlNsPtr SearchNsByPrefix(xmlNodePtr e, const xmlChar* prefix) {
  for (; e && IsElement(e); e = e->parent)
    for (xmlNsPtr d = e->nsDef; d; d = d->next)
      if (Eq(d->prefix, prefix)) return d;
  return nullptr;
}

// The nearest declaration of `href` visible from `e` whose prefix is not rebound nearer.
xmlNsPtr SearchNsByHref(xmlNodePtr e, const xmlChar* href, bool requirePrefix, xmlNodePtr* owner = nullptr) {
  for (xmlNodePtr a = e; a && IsElement(a); a = a->parent)
    for (xmlNsPtr d = a->nsDef; d; d = d->next) {
      if (!d->href || std::strcmp(C(d->href), C(href)) != 0) continue;
      if (requirePrefix && (!d->prefix || !*d->prefix)) continue;
      if (SearchNsByPrefix(e, d->prefix) != d) continue;
      if (owner) *owner = a;
      return d;
    }
  return nullptr;
}

bool IsXmlPrefix(const xmlChar* p) { return p && std::strcmp(C(p), "xml") == 0; }

bool HasWrappers(xmlNodePtr n) {
  if (n->_private) return true;
  if (IsElement(n)) {
    for (xmlAttrPtr a = n->properties; a; a = a->next)
      if (a->_private) return true;
    for (xmlNsPtr d = n->nsDef; d; d = d->next)
      if (d->_private) return true;
  }
  if (HasOwnChildren(n))
    for (xmlNodePtr c = n->children; c; c = c->next)
      if (HasWrappers(c)) return true;
  return false;
}

void FreeAny(xmlNodePtr n) {
  if (IsAttr(n)) xmlFreeProp(reinterpret_cast<xmlAttrPtr>(n));
  else xmlFreeNode(n);
}

template <class F>
void ForEachElement(xmlNodePtr n, F&& f) {
  if (IsElement(n)) f(n);
  if (HasOwnChildren(n))
    for (xmlNodePtr c = n->children; c; c = c->next) ForEachElement(c, f);
}

}  // namespace

TXMLDocData::~TXMLDocData() {
  // Detached nodes first: they use the document's dictionary.
  std::vector<xmlNodePtr> roots;
  for (xmlNodePtr n : detached)
    if (!n->parent) roots.push_back(n);
  for (xmlNodePtr n : roots) FreeAny(n);
  if (doc) xmlFreeDoc(doc);
  for (xmlNsPtr ns : floating) xmlFreeNs(ns);
}

namespace {

// ---- namespace bookkeeping ----

xmlNsPtr Floating(TXMLDocData* d, const xmlChar* href, const xmlChar* prefix) {
  if (IsXmlPrefix(prefix)) return xmlSearchNs(d->doc, nullptr, BAD_CAST "xml");
  const xmlChar* p = (prefix && *prefix) ? prefix : nullptr;
  for (xmlNsPtr ns : d->floating)
    if (Eq(ns->href, href) && Eq(ns->prefix, p)) return ns;
  xmlNsPtr ns = xmlNewNs(nullptr, href, p);
  if (!ns) throw EXMLDocError("Out of memory");
  d->floating.push_back(ns);
  return ns;
}

std::string NextPrefix(TXMLDocData* d, xmlNodePtr scope) {
  for (;;) {
    std::string p = "NS" + std::to_string(++d->prefixCounter);
    if (!scope || !SearchNsByPrefix(ScopeElement(scope), X(p))) return p;
  }
}

// A prefix not declared on `e` itself and not visible from it.
std::string FreePrefix(TXMLDocData* d, xmlNodePtr e) { return NextPrefix(d, e); }

// Points `ns` (of element `e`, or of one of its attributes when `forAttr`) at a declaration
// in scope, declaring it on `e` when there is none.
xmlNsPtr Resolve(TXMLDocData* d, xmlNodePtr e, xmlNsPtr ns, bool forAttr) {
  if (!ns) return nullptr;
  if (IsXmlPrefix(ns->prefix)) return ns;
  bool noPrefix = !ns->prefix || !*ns->prefix;
  if (forAttr && noPrefix) {
    // An attribute in a namespace needs a prefix: take a visible one or make one.
    if (xmlNsPtr found = SearchNsByHref(e, ns->href, true)) return found;
    std::string p = FreePrefix(d, e);
    return xmlNewNs(e, ns->href, X(p));
  }
  xmlNsPtr found = SearchNsByPrefix(e, ns->prefix);
  if (found == ns) return ns;
  if (found && Eq(found->href, ns->href)) return found;
  // Declare it here, unless the element itself binds the prefix otherwise.
  for (xmlNsPtr own = e->nsDef; own; own = own->next)
    if (Eq(own->prefix, ns->prefix)) {
      if (xmlNsPtr other = SearchNsByHref(e, ns->href, forAttr)) return other;
      std::string p = FreePrefix(d, e);
      return xmlNewNs(e, ns->href, X(p));
    }
  xmlNsPtr decl = xmlNewNs(e, ns->href, noPrefix ? nullptr : ns->prefix);
  return decl ? decl : ns;
}

// Makes every element and attribute under `top` point at declarations in scope.
void Reconcile(TXMLDocData* d, xmlNodePtr top) {
  if (IsAttr(top)) {
    xmlNodePtr e = top->parent;
    if (e && top->ns) top->ns = Resolve(d, e, top->ns, true);
    return;
  }
  ForEachElement(top, [&](xmlNodePtr e) {
    if (e->ns) {
      e->ns = Resolve(d, e, e->ns, false);
    } else {
      // An element without namespace under a default namespace needs xmlns="".
      xmlNsPtr def = SearchNsByPrefix(e->parent, nullptr);
      if (def && def->href && *def->href) {
        bool own = false;
        for (xmlNsPtr o = e->nsDef; o; o = o->next)
          if (!o->prefix) own = true;
        if (!own) xmlNewNs(e, BAD_CAST "", nullptr);
      }
    }
    for (xmlAttrPtr a = e->properties; a; a = a->next)
      if (a->ns) a->ns = Resolve(d, e, a->ns, true);
  });
}

bool DeclaredWithin(xmlNodePtr n, xmlNodePtr top, xmlNsPtr ns) {
  for (xmlNodePtr e = n; e; e = e->parent) {
    if (IsElement(e))
      for (xmlNsPtr o = e->nsDef; o; o = o->next)
        if (o == ns) return true;
    if (e == top) break;
  }
  return false;
}

// After unlinking `top`: declarations it used from its former ancestors become floating.
void Localize(TXMLDocData* d, xmlNodePtr top) {
  auto fix = [&](xmlNodePtr n, xmlNsPtr& ns) {
    if (ns && !IsXmlPrefix(ns->prefix) && !DeclaredWithin(n, top, ns)) ns = Floating(d, ns->href, ns->prefix);
  };
  if (IsAttr(top)) {
    fix(top, top->ns);
    return;
  }
  ForEachElement(top, [&](xmlNodePtr e) {
    fix(e, e->ns);
    for (xmlAttrPtr a = e->properties; a; a = a->next) fix(e, a->ns);
  });
}

// ---- structure ----

void Detach(TXMLDocData* d, xmlNodePtr n) {
  if (!n->parent) return;
  xmlUnlinkNode(n);
  Localize(d, n);
  d->detached.insert(n);
  ++d->generation;
}

// Frees a detached subtree unless an interface still points into it.
void Dispose(TXMLDocData* d, xmlNodePtr n) {
  if (n->parent || HasWrappers(n)) return;
  d->detached.erase(n);
  FreeAny(n);
}

void Adopt(TXMLDocData* d, xmlNodePtr n) {
  d->detached.insert(n);
}

bool IsAncestorOrSelf(xmlNodePtr candidate, xmlNodePtr n) {
  for (; n; n = n->parent)
    if (n == candidate) return true;
  return false;
}

void LinkAttribute(TXMLDocData* d, xmlNodePtr e, xmlAttrPtr a) {
  if (!IsElement(e)) throw EXMLDocError("Attributes can only be added to elements");
  if (a->parent == e) return;
  if (a->parent) Detach(d, reinterpret_cast<xmlNodePtr>(a));
  // Replace an attribute of the same name and namespace.
  for (xmlAttrPtr o = e->properties; o; o = o->next)
    if (Eq(o->name, a->name) && ((!o->ns && !a->ns) || (o->ns && a->ns && Eq(o->ns->href, a->ns->href)))) {
      xmlNodePtr old = reinterpret_cast<xmlNodePtr>(o);
      Detach(d, old);
      Dispose(d, old);
      break;
    }
  a->parent = e;
  a->doc = e->doc;
  a->next = nullptr;
  if (!e->properties) {
    e->properties = a;
    a->prev = nullptr;
  } else {
    xmlAttrPtr last = e->properties;
    while (last->next) last = last->next;
    last->next = a;
    a->prev = last;
  }
  if (!d->detached.empty()) d->detached.erase(reinterpret_cast<xmlNodePtr>(a));
  if (InDocument(e)) Reconcile(d, reinterpret_cast<xmlNodePtr>(a));
  ++d->generation;
}

// Links `child` under `parent` before `before` (null: at the end). Text nodes are never merged.
void LinkChild(TXMLDocData* d, xmlNodePtr parent, xmlNodePtr child, xmlNodePtr before) {
  if (child->doc != d->doc) throw EXMLDocError("The node belongs to another document");
  if (IsAttr(child)) {
    LinkAttribute(d, parent, reinterpret_cast<xmlAttrPtr>(child));
    return;
  }
  if (!HasOwnChildren(parent)) throw EXMLDocError("This node cannot have children");
  if (child->type == XML_DOCUMENT_FRAG_NODE) {
    while (xmlNodePtr c = child->children) LinkChild(d, parent, c, before);
    return;
  }
  if (IsDocNode(child) || IsAncestorOrSelf(child, parent))
    throw EXMLDocError("A node cannot be inserted into itself or its descendants");
  if (IsDocNode(parent)) {
    switch (child->type) {
      case XML_ELEMENT_NODE:
        for (xmlNodePtr c = parent->children; c; c = c->next)
          if (IsElement(c) && c != child) throw EXMLDocError("Only one top level element is allowed in an XML document");
        break;
      case XML_COMMENT_NODE: case XML_PI_NODE: case XML_DTD_NODE: break;
      default: throw EXMLDocError("This node cannot be a child of the document");
    }
  }
  if (before == child) return;
  if (child->parent) {
    // A move: unlink without localizing; Reconcile below fixes the namespaces.
    xmlUnlinkNode(child);
  }
  child->parent = parent;
  child->doc = parent->doc;
  if (before) {
    child->next = before;
    child->prev = before->prev;
    if (before->prev) before->prev->next = child;
    else parent->children = child;
    before->prev = child;
  } else {
    child->next = nullptr;
    child->prev = parent->last;
    if (parent->last) parent->last->next = child;
    else parent->children = child;
    parent->last = child;
  }
  if (!d->detached.empty()) d->detached.erase(child);
  if (InDocument(parent)) Reconcile(d, child);
  ++d->generation;
}

// ---- serialisation ----

int WriteToString(void* context, const char* buffer, int len) {
  static_cast<std::string*>(context)->append(buffer, static_cast<size_t>(len));
  return len;
}

using xmlparse::InitLibXml;

// Writes `n` with libxml2's serialiser into `out`; the document's encoding is set while it
// runs so that attribute values keep their characters instead of character references.
// A tree of elements, text and attributes made of text: what messages consist of, and what
// WritePlain writes byte for byte as libxml2's serialiser does, without its output buffer.
bool IsPlain(xmlNodePtr n) {
  if (n->type == XML_TEXT_NODE) return n->name != xmlStringTextNoenc;
  if (n->type != XML_ELEMENT_NODE) return false;
  for (xmlNsPtr d = n->nsDef; d; d = d->next)
    if (!d->href || std::strchr(C(d->href), '"')) return false;
  for (xmlAttrPtr a = n->properties; a; a = a->next)
    for (xmlNodePtr t = a->children; t; t = t->next)
      if (t->type != XML_TEXT_NODE) return false;
  for (xmlNodePtr c = n->children; c; c = c->next)
    if (!IsPlain(c)) return false;
  return true;
}

void AppendQName(std::string& out, xmlNsPtr ns, const xmlChar* name) {
  if (ns && ns->prefix) {
    out += C(ns->prefix);
    out += ':';
  }
  out += C(name);
}

// Text as libxml2 escapes it in content; in attribute values also quotes and white space.
void AppendEscaped(std::string& out, const xmlChar* text, bool attribute) {
  if (!text) return;
  const char* p = C(text);
  for (const char* run = p;; ++p) {
    const char c = *p;
    const char* ref = nullptr;
    switch (c) {
      case '<': ref = "&lt;"; break;
      case '>': ref = "&gt;"; break;
      case '&': ref = "&amp;"; break;
      case '\r': ref = "&#13;"; break;
      case '"': ref = attribute ? "&quot;" : nullptr; break;
      case '\n': ref = attribute ? "&#10;" : nullptr; break;
      case '\t': ref = attribute ? "&#9;" : nullptr; break;
      default: break;
    }
    if (!ref && c) continue;
    out.append(run, static_cast<size_t>(p - run));
    if (!c) return;
    out += ref;
    run = p + 1;
  }
}

void WritePlain(std::string& out, xmlNodePtr n) {
  if (n->type == XML_TEXT_NODE) {
    AppendEscaped(out, n->content, false);
    return;
  }
  out += '<';
  AppendQName(out, n->ns, n->name);
  for (xmlNsPtr d = n->nsDef; d; d = d->next) {
    if (d->prefix && std::strcmp(C(d->prefix), "xml") == 0) continue;
    out += " xmlns";
    if (d->prefix) {
      out += ':';
      out += C(d->prefix);
    }
    out += "=\"";
    out += C(d->href);
    out += '"';
  }
  for (xmlAttrPtr a = n->properties; a; a = a->next) {
    out += ' ';
    AppendQName(out, a->ns, a->name);
    out += "=\"";
    for (xmlNodePtr t = a->children; t; t = t->next) AppendEscaped(out, t->content, true);
    out += '"';
  }
  if (!n->children) {
    out += "/>";
    return;
  }
  out += '>';
  for (xmlNodePtr c = n->children; c; c = c->next) WritePlain(out, c);
  out += "</";
  AppendQName(out, n->ns, n->name);
  out += '>';
}

void DumpNode(std::string& out, xmlDocPtr doc, xmlNodePtr n, bool indent, const char* encoding = "UTF-8",
              xmlCharEncodingHandlerPtr handler = nullptr) {
  if (!indent && !handler && std::strcmp(encoding, "UTF-8") == 0 && IsPlain(n)) {
    WritePlain(out, n);
    return;
  }
  InitLibXml();
  xmlOutputBufferPtr buf = xmlOutputBufferCreateIO(WriteToString, nullptr, &out, handler);
  if (!buf) throw EXMLDocError("Out of memory");
  const xmlChar* saved = doc->encoding;
  doc->encoding = BAD_CAST encoding;
  xmlNodeDumpOutput(buf, doc, n, 0, indent ? 1 : 0, encoding);
  doc->encoding = saved;
  xmlOutputBufferClose(buf);
}

std::string EscapeAttr(const std::string& v) {
  std::string r;
  for (char c : v) {
    switch (c) {
      case '<': r += "&lt;"; break;
      case '>': r += "&gt;"; break;
      case '&': r += "&amp;"; break;
      case '"': r += "&quot;"; break;
      case '\r': r += "&#13;"; break;
      case '\n': r += "&#10;"; break;
      case '\t': r += "&#9;"; break;
      default: r += c;
    }
  }
  return r;
}

std::string NodeXmlUtf8(xmlNodePtr n) {
  std::string out;
  if (IsElement(n) || n->type == XML_DOCUMENT_FRAG_NODE) {
    // A copy in a scratch document: declarations the subtree needs from its ancestors are
    // then written on the copy.
    xmlDocPtr scratch = xmlNewDoc(BAD_CAST "1.0");
    xmlNodePtr copy = xmlDocCopyNode(n, scratch, 1);
    if (copy) {
      if (IsElement(copy)) {
        xmlDocSetRootElement(scratch, copy);
        DumpNode(out, scratch, copy, false);
      } else {
        for (xmlNodePtr c = copy->children; c; c = c->next) DumpNode(out, scratch, c, false);
        xmlFreeNode(copy);
      }
    }
    xmlFreeDoc(scratch);
    return out;
  }
  if (IsAttr(n)) {
    xmlAttrPtr a = reinterpret_cast<xmlAttrPtr>(n);
    xmlChar* v = xmlNodeListGetString(n->doc, n->children, 1);
    out = QName(a->ns ? a->ns->prefix : nullptr, a->name) + "=\"" + (v ? C(v) : "") + "\"";
    xmlFree(v);
    return out;
  }
  DumpNode(out, n->doc, n, false);
  return out;
}

// ---- parsing ----

thread_local int g_refuseExternal = 0;
xmlExternalEntityLoader g_defaultLoader = nullptr;

xmlParserInputPtr RefusingLoader(const char* url, const char* id, xmlParserCtxtPtr ctxt) {
  if (g_refuseExternal) return nullptr;  // our documents never read anything but themselves
  return g_defaultLoader ? g_defaultLoader(url, id, ctxt) : nullptr;
}

void SilentError(void*, const char*, ...) {}
void SilentStructuredError(void*, xmlErrorPtr) {}

}  // namespace

void xmlparse::InitLibXml() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    g_defaultLoader = xmlGetExternalEntityLoader();
    xmlSetExternalEntityLoader(RefusingLoader);
    xmlThrDefSetGenericErrorFunc(nullptr, SilentError);
    xmlThrDefSetStructuredErrorFunc(nullptr, SilentStructuredError);
  });
  // Errors reach the caller as exceptions; the library must not also write them to stderr.
  // Its handlers are per thread.
  thread_local bool quiet = [] {
    xmlSetGenericErrorFunc(nullptr, SilentError);
    xmlSetStructuredErrorFunc(nullptr, SilentStructuredError);
    return true;
  }();
  (void)quiet;
}

void xmlparse::RecordError(void* userData, xmlErrorPtr error) {
  auto* ctxt = static_cast<xmlParserCtxtPtr>(userData);
  auto* first = ctxt ? static_cast<TParseContext*>(ctxt->_private) : nullptr;
  if (!first || first->set || !error || error->level < XML_ERR_ERROR) return;
  first->set = true;
  first->message = error->message ? error->message : "";
  first->line = error->line;
  first->column = error->int2;
  first->code = error->code;
}

xmlparse::TRefuseExternal::TRefuseExternal() { ++g_refuseExternal; }
xmlparse::TRefuseExternal::~TRefuseExternal() { --g_refuseExternal; }

int xmlparse::ParserOptions(TParseOptions parseOptions) {
  int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  if (!parseOptions.Contains(poPreserveWhiteSpace)) options |= XML_PARSE_NOBLANKS;
  return options;
}

namespace {

std::string IconvToUtf8(std::string_view bytes, const std::string& from) {
  iconv_t cd = iconv_open("UTF-8", from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(bytes);
  std::string out(bytes.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char* o = out.data();
  size_t outLeft = out.size();
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &o, &outLeft) == static_cast<size_t>(-1)) {
      if (errno == EILSEQ && inLeft > 0 && outLeft >= 3) {
        // Keep going past a bad byte: this text only serves an error message.
        ++in;
        --inLeft;
        std::memcpy(o, "\xEF\xBF\xBD", 3);
        o += 3;
        outLeft -= 3;
        continue;
      }
      break;
    }
  }
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}

// The document's text as UTF-8, decoded as the parser would: byte-order mark, else the
// declaration's encoding, else UTF-8. Only used for error messages.
std::string DecodeForMessage(std::string_view b, bool isUtf8) {
  if (isUtf8) return std::string(b);
  auto starts = [&](const char* s, size_t n) { return b.size() >= n && std::memcmp(b.data(), s, n) == 0; };
  if (starts("\xEF\xBB\xBF", 3)) return std::string(b.substr(3));
  if (starts("\xFF\xFE", 2)) return IconvToUtf8(b.substr(2), "UTF-16LE");
  if (starts("\xFE\xFF", 2)) return IconvToUtf8(b.substr(2), "UTF-16BE");
  if (starts("<\0?\0", 4)) return IconvToUtf8(b, "UTF-16LE");
  if (starts("\0<\0?", 4)) return IconvToUtf8(b, "UTF-16BE");
  std::string head(b.substr(0, std::min<size_t>(b.size(), 200)));
  if (head.rfind("<?xml", 0) == 0) {
    size_t end = head.find("?>");
    size_t p = head.find("encoding");
    if (p != std::string::npos && (end == std::string::npos || p < end)) {
      size_t q = head.find_first_of("\"'", p);
      if (q != std::string::npos) {
        size_t r = head.find(head[q], q + 1);
        if (r != std::string::npos) {
          std::string enc = head.substr(q + 1, r - q - 1);
          if (!SameText(enc, "UTF-8")) return IconvToUtf8(b, enc);
        }
      }
    }
  }
  return std::string(b);
}

std::string SourceLine(const std::string& text, int line) {
  size_t start = 0;
  for (int i = 1; i < line; ++i) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) return {};
    start = nl + 1;
  }
  size_t end = text.find('\n', start);
  std::string s = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (!s.empty() && s.back() == '\r') s.pop_back();
  return s;
}

}  // namespace

bool xmlparse::SniffDeclaration(std::string_view b, bool isUtf8) {
  auto starts = [&](std::string_view s, size_t at) { return b.size() >= at + s.size() && b.substr(at, s.size()) == s; };
  if (isUtf8) return starts("<?xml", 0) || starts("\xEF\xBB\xBF<?xml", 0);
  size_t at = starts("\xEF\xBB\xBF", 0) ? 3 : (starts("\xFF\xFE", 0) || starts("\xFE\xFF", 0)) ? 2 : 0;
  if (starts("<?xml", at)) return true;
  if (starts(std::string_view("<\0?\0x\0m\0l\0", 10), at)) return true;
  if (starts(std::string_view("\0<\0?\0x\0m\0l", 10), at)) return true;
  return false;
}

EDOMParseError xmlparse::MakeParseError(xmlParserCtxtPtr ctxt, const TParseContext& first, std::string_view bytes,
                                        bool forcedUtf8) {
  std::string reason = "Document is empty";
  int line = 1, col = 0, code = 0;
  if (first.set) {
    reason = first.message;
    line = first.line > 0 ? first.line : 1;
    col = first.column;
    code = first.code;
  } else if (xmlErrorPtr err = ctxt ? xmlCtxtGetLastError(ctxt) : nullptr; err && err->code != 0) {
    if (err->message) reason = err->message;
    line = err->line > 0 ? err->line : 1;
    col = err->int2;
    code = err->code;
  }
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '))
    reason.pop_back();
  std::string text = DecodeForMessage(bytes, forcedUtf8);
  std::string src = SourceLine(text, line);
  size_t lineStart = 0;
  for (int i = 1; i < line && lineStart != std::string::npos; ++i) {
    lineStart = text.find('\n', lineStart);
    if (lineStart != std::string::npos) ++lineStart;
  }
  int filePos = static_cast<int>((lineStart == std::string::npos ? 0 : lineStart) + (col > 0 ? col - 1 : 0));
  return EDOMParseError(reason, line, col, filePos, src, code);
}

namespace {

// Parses `bytes` into a new tree; `forcedUtf8` ignores the declaration's encoding.
TXMLDocData* Parse(std::string_view bytes, bool forcedUtf8, TParseOptions parseOptions, bool compactText) {
  InitLibXml();
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  if (!ctxt) throw EXMLDocError("Out of memory");
  xmlparse::TParseContext first;
  ctxt->_private = &first;
  ctxt->sax->serror = xmlparse::RecordError;
  int options = xmlparse::ParserOptions(parseOptions);
  if (compactText) options |= XML_PARSE_COMPACT;
  xmlDocPtr doc;
  {
    xmlparse::TRefuseExternal refuse;
    doc = xmlCtxtReadMemory(ctxt, bytes.data(), static_cast<int>(bytes.size()), nullptr,
                            forcedUtf8 ? "UTF-8" : nullptr, options);
  }
  if (!doc || !xmlDocGetRootElement(doc)) {
    EDOMParseError error = xmlparse::MakeParseError(ctxt, first, bytes, forcedUtf8);
    if (doc) xmlFreeDoc(doc);
    xmlFreeParserCtxt(ctxt);
    throw error;
  }
  xmlFreeParserCtxt(ctxt);
  auto* d = new TXMLDocData();
  d->doc = doc;
  d->hasDecl = xmlparse::SniffDeclaration(bytes, forcedUtf8);
  if (d->hasDecl) {
    d->version = W(doc->version);
    if (!forcedUtf8) d->encoding = W(doc->encoding);
    d->standalone = doc->standalone == 1 ? u"yes" : doc->standalone == 0 ? u"no" : u"";
  }
  return d;
}

TXMLDocData* NewTree() {
  InitLibXml();
  auto* d = new TXMLDocData();
  d->doc = xmlNewDoc(BAD_CAST "1.0");
  if (!d->doc) {
    delete d;
    throw EXMLDocError("Out of memory");
  }
  return d;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Node interfaces.

class TXMLNode final : public IXMLNode {
 public:
  // The one interface of a node, attribute or document node.
  static TIntfPtr<IXMLNode> Wrap(TXMLDocData* d, xmlNodePtr n) {
    if (!n) return {};
    if (n->_private) return TIntfPtr<IXMLNode>(static_cast<TXMLNode*>(n->_private));
    return TIntfPtr<IXMLNode>(new TXMLNode(d, n, nullptr));
  }
  static TIntfPtr<IXMLNode> WrapAttr(TXMLDocData* d, xmlAttrPtr a) { return Wrap(d, reinterpret_cast<xmlNodePtr>(a)); }
  // An xmlns declaration of element `owner`.
  static TIntfPtr<IXMLNode> WrapNs(TXMLDocData* d, xmlNsPtr ns, xmlNodePtr owner) {
    if (ns->_private) return TIntfPtr<IXMLNode>(static_cast<TXMLNode*>(ns->_private));
    return TIntfPtr<IXMLNode>(new TXMLNode(d, owner, ns));
  }
  static TXMLNode* From(IXMLNode* n) {
    auto* impl = dynamic_cast<TXMLNode*>(n);
    if (n && !impl) throw EXMLDocError("The node does not belong to this XML document component");
    return impl;
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
  int32_t _AddRef() override { return ++refs_; }
  int32_t _Release() override {
    int32_t r = --refs_;
    if (r == 0) delete this;
    return r;
  }

  TXMLDocData* Data() const { return d_; }
  xmlNodePtr Raw() const { return n_; }
  bool IsNsDecl() const { return ns_ != nullptr; }

  // ---- identity ----
  TNodeType NodeType() override {
    if (ns_) return ntAttribute;
    switch (n_->type) {
      case XML_ELEMENT_NODE: return ntElement;
      case XML_ATTRIBUTE_NODE: return ntAttribute;
      case XML_TEXT_NODE: return ntText;
      case XML_CDATA_SECTION_NODE: return ntCData;
      case XML_ENTITY_REF_NODE: return ntEntityRef;
      case XML_ENTITY_NODE: case XML_ENTITY_DECL: return ntEntity;
      case XML_PI_NODE: return ntProcessingInstr;
      case XML_COMMENT_NODE: return ntComment;
      case XML_DOCUMENT_NODE: case XML_HTML_DOCUMENT_NODE: return ntDocument;
      case XML_DOCUMENT_TYPE_NODE: case XML_DTD_NODE: return ntDocType;
      case XML_DOCUMENT_FRAG_NODE: return ntDocFragment;
      case XML_NOTATION_NODE: return ntNotation;
      default: return ntReserved;
    }
  }
  WideString NodeName() override {
    if (ns_) return ns_->prefix ? u"xmlns:" + W(ns_->prefix) : u"xmlns";
    switch (n_->type) {
      case XML_ELEMENT_NODE: case XML_ATTRIBUTE_NODE: return Utf8ToUtf16(QName(NsPrefix(), n_->name));
      case XML_TEXT_NODE: return u"#text";
      case XML_CDATA_SECTION_NODE: return u"#cdata-section";
      case XML_COMMENT_NODE: return u"#comment";
      case XML_DOCUMENT_NODE: case XML_HTML_DOCUMENT_NODE: return u"#document";
      case XML_DOCUMENT_FRAG_NODE: return u"#document-fragment";
      default: return W(n_->name);
    }
  }
  WideString LocalName() override {
    if (ns_) return ns_->prefix ? W(ns_->prefix) : u"xmlns";
    if (IsElement(n_) || IsAttr(n_)) return W(n_->name);
    return NodeName();
  }
  WideString NamespaceURI() override {
    if (ns_) return SXMLNSNamespaceURI;
    if ((IsElement(n_) || IsAttr(n_)) && n_->ns) return W(n_->ns->href);
    return {};
  }
  WideString Prefix() override {
    if (ns_) return ns_->prefix ? u"xmlns" : u"";
    return W(NsPrefix());
  }
  bool LocalNameIs(std::u16string_view name) override {
    if (!ns_ && (IsElement(n_) || IsAttr(n_))) return n_->name ? SameUtf16Utf8(name, C(n_->name)) : name.empty();
    return LocalName() == name;
  }
  bool NamespaceURIIs(std::u16string_view uri) override {
    if (!ns_ && (IsElement(n_) || IsAttr(n_)))
      return n_->ns && n_->ns->href ? SameUtf16Utf8(uri, C(n_->ns->href)) : uri.empty();
    return NamespaceURI() == uri;
  }
  TIntfPtr<IXMLNode> ParentNode() override {
    if (ns_) return Wrap(d_, n_);
    if (!n_->parent) return {};
    return Wrap(d_, n_->parent);
  }
  TIntfPtr<IXMLNode> NextSibling() override {
    if (ns_) return ns_->next ? WrapNs(d_, ns_->next, n_) : AttrAt(n_->properties);
    if (!n_->next || !n_->parent) return {};
    return Wrap(d_, n_->next);
  }
  TIntfPtr<IXMLNode> PreviousSibling() override {
    if (ns_ || !n_->prev || !n_->parent) return {};
    return Wrap(d_, n_->prev);
  }
  TIntfPtr<IXMLDocument> OwnerDocument() override {
    if (!d_->component) return {};
    return TIntfPtr<IXMLDocument>(static_cast<IXMLDocument*>(d_->component));
  }

  // ---- content ----
  WideString Text() override {
    if (!ns_ && IsElement(n_)) {
      xmlNodePtr c = n_->children;
      if (!c) return {};
      if (c->next || (c->type != XML_TEXT_NODE && c->type != XML_CDATA_SECTION_NODE))
        throw EXMLDocError("Element does not contain a single text node");
      return W(c->content);
    }
    return NodeValue();
  }
  void SetText(const WideString& text) override {
    if (ns_ || !IsElement(n_)) {
      SetNodeValue(text);
      return;
    }
    ClearChildren();
    if (!text.empty()) {
      std::string s = U8(text);
      xmlNodePtr t = xmlNewDocTextLen(n_->doc, X(s), static_cast<int>(s.size()));
      Adopt(d_, t);
      LinkChild(d_, n_, t, nullptr);
    }
    ++d_->generation;
  }
  bool IsTextElement() override {
    return !ns_ && IsElement(n_) && n_->children && !n_->children->next &&
           (n_->children->type == XML_TEXT_NODE || n_->children->type == XML_CDATA_SECTION_NODE);
  }
  WideString NodeValue() override {
    if (ns_) return W(ns_->href);
    switch (n_->type) {
      case XML_ATTRIBUTE_NODE: {
        xmlChar* v = xmlNodeListGetString(n_->doc, n_->children, 1);
        WideString r = W(v);
        xmlFree(v);
        return r;
      }
      case XML_TEXT_NODE: case XML_CDATA_SECTION_NODE: case XML_COMMENT_NODE: case XML_PI_NODE:
        return W(n_->content);
      default: return {};
    }
  }
  void SetNodeValue(const WideString& value) override {
    std::string s = U8(value);
    if (ns_) {
      // Rebinding keeps the namespace of the nodes that used the old binding.
      xmlNodePtr e = n_;
      std::string prefix = ns_->prefix ? C(ns_->prefix) : "";
      DeclareOn(e, prefix, s);
      return;
    }
    switch (n_->type) {
      case XML_ATTRIBUTE_NODE: {
        xmlAttrPtr a = reinterpret_cast<xmlAttrPtr>(n_);
        if (a->children) xmlFreeNodeList(a->children);
        a->children = a->last = nullptr;
        if (!s.empty()) {
          xmlNodePtr t = xmlNewDocTextLen(n_->doc, X(s), static_cast<int>(s.size()));
          t->parent = n_;
          a->children = a->last = t;
        }
        break;
      }
      case XML_TEXT_NODE: case XML_CDATA_SECTION_NODE: case XML_COMMENT_NODE: case XML_PI_NODE:
        xmlNodeSetContentLen(n_, X(s), static_cast<int>(s.size()));
        break;
      default: throw EXMLDocError("Invalid operation on this node type");
    }
  }
  WideString XML() override {
    if (ns_) {
      std::string name = ns_->prefix ? QName(BAD_CAST "xmlns", ns_->prefix) : std::string("xmlns");
      return Utf8ToUtf16(name + "=\"" + EscapeAttr(C(ns_->href)) + "\"");
    }
    if (IsDocNode(n_)) {
      if (d_->component) return d_->component->SaveToXML();
      return {};
    }
    return Utf8ToUtf16(NodeXmlUtf8(n_));
  }

  // ---- children ----
  TIntfPtr<IXMLNodeList> ChildNodes() override;
  bool HasChildNodes() override { return !ns_ && HasOwnChildren(n_) && n_->children; }
  TIntfPtr<IXMLNode> FirstChild() override {
    return !ns_ && HasOwnChildren(n_) ? Wrap(d_, n_->children) : TIntfPtr<IXMLNode>();
  }
  TIntfPtr<IXMLNode> AddChild(const WideString& tagName, int index) override {
    return AddChild(tagName, WideString(), false, index);
  }
  TIntfPtr<IXMLNode> AddChild(const WideString& tagName, const WideString& namespaceURI, bool generatePrefix,
                              int index) override {
    if (ns_ || !HasOwnChildren(n_)) throw EXMLDocError("This node cannot have children");
    std::string prefix, local;
    SplitQName(U8(tagName), prefix, local);
    std::string uri = U8(namespaceURI);
    xmlNodePtr scope = ScopeElement(n_);
    if (uri.empty()) {
      if (!prefix.empty()) {
        uri = U8(FindNamespaceURI(Utf8ToUtf16(prefix)));
        if (uri.empty()) throw EXMLDocError(Format("Namespace prefix \"%s\" is not declared", {prefix}));
      }
    } else if (prefix.empty()) {
      xmlNodePtr owner = nullptr;
      if (xmlNsPtr decl = scope ? SearchNsByHref(scope, X(uri), false, &owner) : nullptr) {
        prefix = decl->prefix ? C(decl->prefix) : "";
      } else if (generatePrefix) {
        prefix = NextPrefix(d_, scope);
      }
    }
    xmlNodePtr e = xmlNewDocNode(n_->doc, nullptr, X(local), nullptr);
    if (!e) throw EXMLDocError("Out of memory");
    if (!uri.empty()) e->ns = Floating(d_, X(uri), prefix.empty() ? nullptr : X(prefix));
    // Linked at once, so never listed as detached; freed here if linking fails.
    try {
      LinkChild(d_, n_, e, ChildAt(index));
    } catch (...) {
      Dispose(d_, e);
      throw;
    }
    return Wrap(d_, e);
  }
  TIntfPtr<IXMLNode> AppendChild(IXMLNode* node) override {
    TXMLNode* c = From(node);
    if (!c) throw EXMLDocError("No node given");
    LinkNode(c, nullptr);
    return TIntfPtr<IXMLNode>(node);
  }
  TIntfPtr<IXMLNode> CloneNode(bool deep) override { return Import(d_, this, deep); }

  // ---- attributes ----
  TIntfPtr<IXMLNodeList> AttributeNodes() override;
  bool HasAttribute(const WideString& name) override { return FindAttr(std::u16string_view(name), nullptr, nullptr); }
  bool HasAttributeNS(const WideString& localName, const WideString& namespaceURI) override {
    return FindAttrNS(localName, namespaceURI, nullptr, nullptr);
  }
  WideString GetAttribute(const WideString& name) override {
    xmlAttrPtr a = nullptr;
    xmlNsPtr ns = nullptr;
    if (!FindAttr(std::u16string_view(name), &a, &ns)) return {};
    return AttrValue(a, ns);
  }
  WideString GetAttributeNS(const WideString& localName, const WideString& namespaceURI) override {
    xmlAttrPtr a = nullptr;
    xmlNsPtr ns = nullptr;
    if (!FindAttrNS(localName, namespaceURI, &a, &ns)) return {};
    return AttrValue(a, ns);
  }
  bool AnyAttributeNS(std::initializer_list<std::u16string_view> localNames,
                      std::initializer_list<std::u16string_view> namespaceURIs,
                      const std::function<bool(const WideString& value)>& accept) override {
    if (ns_ || !IsElement(n_)) return false;
    for (xmlAttrPtr a = n_->properties; a; a = a->next) {
      // Most attributes differ from the wanted ones in the first character.
      auto named = [&](std::u16string_view l) {
        if (!l.empty() && l[0] < 0x80 && a->name[0] != l[0]) return false;
        return SameUtf16Utf8(l, C(a->name));
      };
      if (std::none_of(localNames.begin(), localNames.end(), named))
        continue;
      // As FindAttrNS: an empty URI stands for no namespace.
      auto inNamespace = [&](std::u16string_view u) {
        return u.empty() ? !a->ns : (a->ns && a->ns->href && SameUtf16Utf8(u, C(a->ns->href)));
      };
      if (std::none_of(namespaceURIs.begin(), namespaceURIs.end(), inNamespace)) continue;
      if (accept(AttrText(a))) return true;
    }
    return false;
  }
  Variant Attributes(const WideString& name) override {
    xmlAttrPtr a = nullptr;
    xmlNsPtr ns = nullptr;
    if (!FindAttr(std::u16string_view(name), &a, &ns)) return d_->Options().Contains(doAttrNull) ? Variant::Null() : Variant(WideString());
    return Variant(AttrValue(a, ns));
  }
  void SetAttribute(const WideString& name, const WideString& value) override {
    RequireElement();
    std::string q = U8(name), prefix, local;
    SplitQName(q, prefix, local);
    if (q == "xmlns" || prefix == "xmlns") {
      DeclareOn(n_, prefix.empty() ? std::string() : local, U8(value));
      return;
    }
    if (!prefix.empty()) {
      WideString uri = FindNamespaceURI(Utf8ToUtf16(prefix));
      if (uri.empty()) throw EXMLDocError(Format("Namespace prefix \"%s\" is not declared", {prefix}));
      SetAttributeNS(name, uri, value);
      return;
    }
    SetAttr(local, nullptr, U8(value));
  }
  void SetAttributeNS(const WideString& name, const WideString& namespaceURI, const WideString& value) override {
    RequireElement();
    std::string uri = U8(namespaceURI);
    if (uri.empty()) {
      SetAttribute(name, value);
      return;
    }
    std::string q = U8(name), prefix, local;
    SplitQName(q, prefix, local);
    if (namespaceURI == SXMLNSNamespaceURI || q == "xmlns" || prefix == "xmlns") {
      DeclareOn(n_, q == "xmlns" ? std::string() : local, U8(value));
      return;
    }
    xmlAttrPtr existing = nullptr;
    if (FindAttrNS(local, uri, &existing, nullptr) && existing) {
      SetAttrValue(existing, U8(value));
      return;
    }
    xmlNsPtr ns;
    if (prefix.empty()) {
      xmlNsPtr decl = d_->Options().Contains(doAutoPrefix) ? SearchNsByHref(n_, X(uri), true) : nullptr;
      if (decl) {
        ns = decl;
      } else {
        std::string p = NextPrefix(d_, n_);
        ns = xmlNewNs(n_, X(uri), X(p));
        ++d_->generation;
      }
    } else {
      ns = Floating(d_, X(uri), X(prefix));
    }
    SetAttr(local, ns, U8(value));
  }
  void RemoveAttribute(const WideString& name) override {
    RequireElement();
    xmlAttrPtr a = nullptr;
    xmlNsPtr ns = nullptr;
    if (!FindAttr(U8(name), &a, &ns)) return;
    if (ns) RemoveNsDecl(ns);
    else RemoveAttr(a);
  }

  // ---- namespaces ----
  void DeclareNamespace(const WideString& prefix, const WideString& uri) override {
    RequireElement();
    DeclareOn(n_, U8(prefix), U8(uri));
  }
  WideString FindNamespaceURI(const WideString& prefixOrName) override {
    std::string q = U8(prefixOrName);
    size_t colon = q.find(':');
    std::string prefix = colon == std::string::npos ? q : q.substr(0, colon);
    if (prefix == "xml") return SXMLNamespaceURI;
    if (prefix == "xmlns") return SXMLNSNamespaceURI;
    xmlNodePtr e = ScopeElement(n_);
    const xmlChar* p = prefix.empty() ? nullptr : X(prefix);
    if (xmlNsPtr d = SearchNsByPrefix(e, p)) return W(d->href);
    // A detached element knows its own binding before it is declared anywhere.
    if (e && e->ns && Eq(e->ns->prefix, p)) return W(e->ns->href);
    return {};
  }
  TIntfPtr<IXMLNode> FindNamespaceDecl(const WideString& uri) override {
    xmlNodePtr e = ScopeElement(n_);
    if (!e) return {};
    std::string u = U8(uri);
    xmlNodePtr owner = nullptr;
    xmlNsPtr d = SearchNsByHref(e, X(u), false, &owner);
    if (!d) return {};
    return WrapNs(d_, d, owner);
  }

  // ---- used by the lists and the document ----
  xmlNodePtr ChildAt(int index) {
    if (index < 0) return nullptr;
    xmlNodePtr c = n_->children;
    for (int i = 0; c && i < index; ++i) c = c->next;
    return c;
  }
  void LinkNode(TXMLNode* c, xmlNodePtr before) {
    if (c->d_ != d_) throw EXMLDocError("The node belongs to another document");
    if (c->ns_) throw EXMLDocError("Namespace declarations are added with DeclareNamespace");
    LinkChild(d_, n_, c->n_, before);
  }
  void ClearChildren() {
    while (xmlNodePtr c = n_->children) {
      Detach(d_, c);
      Dispose(d_, c);
    }
  }
  void RemoveChild(xmlNodePtr c) {
    Detach(d_, c);
    Dispose(d_, c);
  }
  void RemoveAttr(xmlAttrPtr a) {
    xmlNodePtr n = reinterpret_cast<xmlNodePtr>(a);
    Detach(d_, n);
    Dispose(d_, n);
  }
  void RemoveNsDecl(xmlNsPtr ns) {
    xmlNsPtr* link = &n_->nsDef;
    while (*link && *link != ns) link = &(*link)->next;
    if (!*link) return;
    *link = ns->next;
    ns->next = nullptr;
    d_->floating.push_back(ns);
    if (InDocument(n_)) Reconcile(d_, n_);
    ++d_->generation;
  }
  TIntfPtr<IXMLNode> AttrAt(xmlAttrPtr a) { return a ? WrapAttr(d_, a) : TIntfPtr<IXMLNode>(); }
  bool HasOwnChildrenPublic() const { return !ns_ && HasOwnChildren(n_); }

  static TIntfPtr<IXMLNode> Import(TXMLDocData* target, TXMLNode* src, bool deep);

 private:
  TXMLNode(TXMLDocData* d, xmlNodePtr n, xmlNsPtr ns) : d_(d), n_(n), ns_(ns) {
    d_->AddRef();
    // An unowned component lives as long as its references, node interfaces included.
    if (d_->component && !d_->component->Owner()) {
      d_->component->_AddRef();
      holdsComponent_ = true;
    }
    if (ns_) ns_->_private = this;
    else n_->_private = this;
  }
  ~TXMLNode() {
    if (ns_) {
      ns_->_private = nullptr;
    } else {
      n_->_private = nullptr;
      // A detached subtree nobody refers to any more is freed now.
      if (!IsDocNode(n_)) {
        xmlNodePtr top = TopOf(n_);
        if (!IsDocNode(top) && d_->detached.count(top) && !HasWrappers(top)) {
          d_->detached.erase(top);
          FreeAny(top);
        }
      }
    }
    if (holdsComponent_ && d_->component) d_->component->_Release();
    d_->Release();
  }

  const xmlChar* NsPrefix() const {
    if ((IsElement(n_) || IsAttr(n_)) && n_->ns) return n_->ns->prefix;
    return nullptr;
  }
  void RequireElement() {
    if (ns_ || !IsElement(n_)) throw EXMLDocError("Invalid operation on this node type");
  }

  // Finds an attribute or xmlns declaration by qualified name.
  bool FindAttr(const std::string& q, xmlAttrPtr* attr, xmlNsPtr* decl) {
    if (ns_ || !IsElement(n_)) return false;
    if (q == "xmlns" || q.rfind("xmlns:", 0) == 0) {
      std::string p = q == "xmlns" ? std::string() : q.substr(6);
      for (xmlNsPtr d = n_->nsDef; d; d = d->next)
        if (Eq(d->prefix, p.empty() ? nullptr : X(p))) {
          if (decl) *decl = d;
          return true;
        }
      return false;
    }
    for (xmlAttrPtr a = n_->properties; a; a = a->next)
      if (IsQName(q, a->ns ? a->ns->prefix : nullptr, a->name)) {
        if (attr) *attr = a;
        return true;
      }
    return false;
  }
  // The same lookup with the caller's UTF-16 name, compared in place: the converter asks for
  // href, id and the like on every value it reads, and most elements have none of them.
  bool FindAttr(std::u16string_view q, xmlAttrPtr* attr, xmlNsPtr* decl) {
    if (q.substr(0, 5) == u"xmlns") return FindAttr(Utf16ToUtf8(q), attr, decl);
    if (ns_ || !IsElement(n_)) return false;
    for (xmlAttrPtr a = n_->properties; a; a = a->next) {
      const xmlChar* prefix = a->ns ? a->ns->prefix : nullptr;
      std::u16string_view local = q;
      if (prefix && *prefix) {
        if (q.empty() || (q[0] < 0x80 && q[0] != prefix[0])) continue;
        size_t colon = q.find(u':');
        if (colon == std::u16string_view::npos || !SameUtf16Utf8(q.substr(0, colon), C(prefix))) continue;
        local = q.substr(colon + 1);
      }
      if (!local.empty() && local[0] < 0x80 && a->name[0] != local[0]) continue;
      if (!SameUtf16Utf8(local, C(a->name))) continue;
      if (attr) *attr = a;
      return true;
    }
    return false;
  }
  bool FindAttrNS(const std::string& local, const std::string& uri, xmlAttrPtr* attr, xmlNsPtr* decl) {
    if (ns_ || !IsElement(n_)) return false;
    if (uri == "http://www.w3.org/2000/xmlns/") return FindAttr(local == "xmlns" ? local : "xmlns:" + local, attr, decl);
    for (xmlAttrPtr a = n_->properties; a; a = a->next) {
      if (local != C(a->name)) continue;
      bool match = uri.empty() ? !a->ns : (a->ns && a->ns->href && uri == C(a->ns->href));
      if (match) {
        if (attr) *attr = a;
        return true;
      }
    }
    return false;
  }
  // The same lookup with the caller's UTF-16 names, compared in place.
  bool FindAttrNS(const WideString& local, const WideString& uri, xmlAttrPtr* attr, xmlNsPtr* decl) {
    if (ns_ || !IsElement(n_)) return false;
    if (std::u16string_view(uri) == SXMLNSNamespaceURI) return FindAttrNS(U8(local), U8(uri), attr, decl);
    // Most attributes differ from the wanted one in the first character.
    const char16_t first = local.empty() ? u'\0' : local[0];
    for (xmlAttrPtr a = n_->properties; a; a = a->next) {
      if (first < 0x80 && a->name[0] != first) continue;
      if (!SameUtf16Utf8(local, C(a->name))) continue;
      bool match = uri.empty() ? !a->ns : (a->ns && a->ns->href && SameUtf16Utf8(uri, C(a->ns->href)));
      if (match) {
        if (attr) *attr = a;
        return true;
      }
    }
    return false;
  }
  WideString AttrValue(xmlAttrPtr a, xmlNsPtr ns) { return ns ? W(ns->href) : AttrText(a); }
  void SetAttrValue(xmlAttrPtr a, const std::string& v) {
    if (a->children) xmlFreeNodeList(a->children);
    a->children = a->last = nullptr;
    if (!v.empty()) {
      xmlNodePtr t = xmlNewDocTextLen(n_->doc, X(v), static_cast<int>(v.size()));
      if (!t) throw EXMLDocError("Out of memory");
      t->parent = reinterpret_cast<xmlNodePtr>(a);
      a->children = a->last = t;
    }
  }
  void SetAttr(const std::string& local, xmlNsPtr ns, const std::string& value) {
    for (xmlAttrPtr a = n_->properties; a; a = a->next)
      if (local == C(a->name) && ((!a->ns && !ns) || (a->ns && ns && Eq(a->ns->href, ns->href)))) {
        SetAttrValue(a, value);
        return;
      }
    xmlAttrPtr a = xmlNewDocProp(n_->doc, X(local), nullptr);
    if (!a) throw EXMLDocError("Out of memory");
    try {
      SetAttrValue(a, value);
      a->ns = ns;
      LinkAttribute(d_, n_, a);
    } catch (...) {
      Dispose(d_, reinterpret_cast<xmlNodePtr>(a));
      throw;
    }
  }
  // xmlns:prefix="uri" on element `e`; a changed binding leaves the nodes that used the old
  // one in their namespace (they are redeclared where needed).
  void DeclareOn(xmlNodePtr e, const std::string& prefix, const std::string& uri) {
    const xmlChar* p = prefix.empty() ? nullptr : X(prefix);
    if (prefix == "xml" || prefix == "xmlns") throw EXMLDocError(Format("The prefix \"%s\" cannot be declared", {prefix}));
    for (xmlNsPtr d = e->nsDef; d; d = d->next)
      if (Eq(d->prefix, p)) {
        if (Eq(d->href, X(uri)) && d->href) return;
        // Rebind: the old declaration becomes floating, a new one takes its place in order.
        xmlNsPtr fresh = xmlNewNs(nullptr, X(uri), p);
        fresh->next = d->next;
        xmlNsPtr* link = &e->nsDef;
        while (*link != d) link = &(*link)->next;
        *link = fresh;
        d->next = nullptr;
        d_->floating.push_back(d);
        if (d->_private) {
          // The interface of the declaration follows the new binding.
          auto* w = static_cast<TXMLNode*>(d->_private);
          d->_private = nullptr;
          w->ns_ = fresh;
          fresh->_private = w;
        }
        if (InDocument(e)) Reconcile(d_, e);
        ++d_->generation;
        return;
      }
    xmlNsPtr ns = xmlNewNs(e, X(uri), p);
    if (!ns) throw EXMLDocError("Out of memory");
    ++d_->generation;
  }

  std::atomic<int32_t> refs_{0};
  TXMLDocData* d_;
  bool holdsComponent_ = false;    // holds a reference to an unowned component
  xmlNodePtr n_;                   // the node; for a declaration, its element
  xmlNsPtr ns_;                    // set for an xmlns declaration
};

// A live list of a node's children or of an element's declarations and attributes.
class TXMLNodeList final : public IXMLNodeList {
 public:
  TXMLNodeList(TXMLNode* owner, bool attributes) : ownerRef_(owner), owner_(owner), attributes_(attributes) {}

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

  int Count() override { return static_cast<int>(Items().size()); }
  TIntfPtr<IXMLNode> Get(int index) override {
    auto& items = Items();
    if (index < 0 || index >= static_cast<int>(items.size()))
      throw EXMLDocError(Format("List index out of bounds (%d)", {index}));
    return WrapItem(items[static_cast<size_t>(index)]);
  }
  TIntfPtr<IXMLNode> Nodes(const WideString& name) override {
    if (auto n = FindNode(name)) return n;
    if (!attributes_ && owner_->Data()->Options().Contains(doNodeAutoCreate) && owner_->HasOwnChildrenPublic())
      return owner_->AddChild(name, -1);
    throw EXMLDocError(Format("Node \"%s\" not found", {name}));
  }
  TIntfPtr<IXMLNode> FindNode(const WideString& name) override {
    std::string q = U8(name);
    for (auto& it : Items()) {
      std::string qn, local;
      Names(it, qn, local);
      if (qn == q || local == q) return WrapItem(it);
    }
    return {};
  }
  TIntfPtr<IXMLNode> FindNode(const WideString& localName, const WideString& namespaceURI) override {
    std::string l = U8(localName), u = U8(namespaceURI);
    for (auto& it : Items()) {
      std::string qn, local;
      Names(it, qn, local);
      if (local != l) continue;
      std::string href;
      if (it.ns) href = U8(SXMLNSNamespaceURI);
      else if ((IsElement(it.node) || IsAttr(it.node)) && it.node->ns && it.node->ns->href) href = C(it.node->ns->href);
      if (href == u) return WrapItem(it);
    }
    return {};
  }
  // The ends of a child list are read off the tree: walking siblings needs no snapshot.
  TIntfPtr<IXMLNode> First() override {
    if (!attributes_ && !owner_->IsNsDecl()) {
      xmlNodePtr n = owner_->Raw();
      return HasOwnChildren(n) ? TXMLNode::Wrap(owner_->Data(), n->children) : TIntfPtr<IXMLNode>();
    }
    return Count() ? Get(0) : TIntfPtr<IXMLNode>();
  }
  TIntfPtr<IXMLNode> Last() override {
    if (!attributes_ && !owner_->IsNsDecl()) {
      xmlNodePtr n = owner_->Raw();
      if (!HasOwnChildren(n) || !n->children) return {};
      xmlNodePtr c = n->children;
      while (c->next) c = c->next;
      return TXMLNode::Wrap(owner_->Data(), c);
    }
    return Count() ? Get(Count() - 1) : TIntfPtr<IXMLNode>();
  }
  int IndexOf(IXMLNode* node) override {
    auto* impl = dynamic_cast<TXMLNode*>(node);
    if (!impl) return -1;
    auto& items = Items();
    for (size_t i = 0; i < items.size(); ++i)
      if (impl->IsNsDecl() ? items[i].ns && items[i].ns->_private == impl : !items[i].ns && items[i].node == impl->Raw())
        return static_cast<int>(i);
    return -1;
  }
  int IndexOf(const WideString& name) override {
    std::string q = U8(name);
    auto& items = Items();
    for (size_t i = 0; i < items.size(); ++i) {
      std::string qn, local;
      Names(items[i], qn, local);
      if (qn == q || local == q) return static_cast<int>(i);
    }
    return -1;
  }
  int Add(IXMLNode* node) override {
    Insert(-1, node);
    return IndexOf(node);
  }
  void Insert(int index, IXMLNode* node) override {
    TXMLNode* c = TXMLNode::From(node);
    if (!c) throw EXMLDocError("No node given");
    if (attributes_) {
      if (c->IsNsDecl() || !IsAttr(c->Raw())) throw EXMLDocError("Only attribute nodes can be added to an attribute list");
      if (c->Data() != owner_->Data()) throw EXMLDocError("The node belongs to another document");
      LinkAttribute(owner_->Data(), owner_->Raw(), reinterpret_cast<xmlAttrPtr>(c->Raw()));
      return;
    }
    owner_->LinkNode(c, owner_->ChildAt(index));
  }
  int Remove(IXMLNode* node) override {
    int index = IndexOf(node);
    if (index < 0) return -1;
    Delete(index);
    return index;
  }
  void Delete(int index) override {
    auto& items = Items();
    if (index < 0 || index >= static_cast<int>(items.size()))
      throw EXMLDocError(Format("List index out of bounds (%d)", {index}));
    TItem it = items[static_cast<size_t>(index)];
    if (it.ns) owner_->RemoveNsDecl(it.ns);
    else if (IsAttr(it.node)) owner_->RemoveAttr(reinterpret_cast<xmlAttrPtr>(it.node));
    else owner_->RemoveChild(it.node);
  }
  void Clear() override {
    while (Count() > 0) Delete(Count() - 1);
  }

 private:
  struct TItem {
    xmlNodePtr node = nullptr;  // child or attribute
    xmlNsPtr ns = nullptr;      // or declaration
  };
  const std::vector<TItem>& Items() {
    TXMLDocData* d = owner_->Data();
    if (valid_ && generation_ == d->generation) return items_;
    items_.clear();
    xmlNodePtr n = owner_->Raw();
    if (!owner_->IsNsDecl()) {
      if (attributes_) {
        if (IsElement(n)) {
          for (xmlNsPtr ns = n->nsDef; ns; ns = ns->next) items_.push_back({nullptr, ns});
          for (xmlAttrPtr a = n->properties; a; a = a->next) items_.push_back({reinterpret_cast<xmlNodePtr>(a), nullptr});
        }
      } else if (HasOwnChildren(n)) {
        for (xmlNodePtr c = n->children; c; c = c->next) items_.push_back({c, nullptr});
      }
    }
    generation_ = d->generation;
    valid_ = true;
    return items_;
  }
  TIntfPtr<IXMLNode> WrapItem(const TItem& it) {
    if (it.ns) return TXMLNode::WrapNs(owner_->Data(), it.ns, owner_->Raw());
    return TXMLNode::Wrap(owner_->Data(), it.node);
  }
  static void Names(const TItem& it, std::string& qn, std::string& local) {
    if (it.ns) {
      qn = it.ns->prefix ? "xmlns:" + std::string(C(it.ns->prefix)) : "xmlns";
      local = it.ns->prefix ? C(it.ns->prefix) : "xmlns";
      return;
    }
    xmlNodePtr n = it.node;
    if (IsElement(n) || IsAttr(n)) {
      local = n->name ? C(n->name) : "";
      qn = QName(n->ns ? n->ns->prefix : nullptr, n->name);
    } else {
      switch (n->type) {
        case XML_TEXT_NODE: qn = "#text"; break;
        case XML_CDATA_SECTION_NODE: qn = "#cdata-section"; break;
        case XML_COMMENT_NODE: qn = "#comment"; break;
        default: qn = n->name ? C(n->name) : ""; break;
      }
      local = qn;
    }
  }

  std::atomic<int32_t> refs_{0};
  TIntfPtr<IXMLNode> ownerRef_;
  TXMLNode* owner_;
  bool attributes_;
  bool valid_ = false;
  uint64_t generation_ = 0;
  std::vector<TItem> items_;
};

TIntfPtr<IXMLNodeList> TXMLNode::ChildNodes() { return TIntfPtr<IXMLNodeList>(new TXMLNodeList(this, false)); }
TIntfPtr<IXMLNodeList> TXMLNode::AttributeNodes() { return TIntfPtr<IXMLNodeList>(new TXMLNodeList(this, true)); }

TIntfPtr<IXMLNode> TXMLNode::Import(TXMLDocData* target, TXMLNode* src, bool deep) {
  if (src->ns_) return {};
  xmlNodePtr n = src->n_;
  xmlNodePtr copy = nullptr;
  switch (n->type) {
    case XML_ATTRIBUTE_NODE: {
      // libxml2 drops the namespace of an attribute copied without an element.
      xmlAttrPtr a = xmlNewDocProp(target->doc, n->name, nullptr);
      xmlChar* v = xmlNodeListGetString(n->doc, n->children, 1);
      if (v && *v) {
        xmlNodePtr t = xmlNewDocText(target->doc, v);
        t->parent = reinterpret_cast<xmlNodePtr>(a);
        a->children = a->last = t;
      }
      xmlFree(v);
      if (n->ns) a->ns = Floating(target, n->ns->href, n->ns->prefix);
      copy = reinterpret_cast<xmlNodePtr>(a);
      break;
    }
    case XML_ELEMENT_NODE: case XML_TEXT_NODE: case XML_CDATA_SECTION_NODE: case XML_COMMENT_NODE:
    case XML_ENTITY_REF_NODE: case XML_PI_NODE: case XML_DOCUMENT_FRAG_NODE:
      copy = xmlDocCopyNode(n, target->doc, deep ? 1 : 2);
      break;
    default: return {};
  }
  if (!copy) throw EXMLDocError("Out of memory");
  Adopt(target, copy);
  return Wrap(target, copy);
}

// ---------------------------------------------------------------------------------------------
// The component.

TXMLDocument::TXMLDocument(TComponent* owner) : TComponent(owner) {}

TXMLDocument::~TXMLDocument() {
  BeginDestroy();
  if (data_) {
    if (options_.Contains(doAutoSave) && !fileName_.empty()) {
      try {
        SaveToFile(fileName_);
      } catch (...) {
        // A destructor cannot report; the file keeps its former content.
      }
    }
    Release(data_);
    data_ = nullptr;
  }
}

HRESULT TXMLDocument::QueryInterface(const TGUID& iid, void** obj) {
  if (iid == IInterface::IID || iid == IXMLDocument::IID) {
    *obj = static_cast<IXMLDocument*>(this);
    _AddRef();
    return S_OK;
  }
  *obj = nullptr;
  return E_NOINTERFACE;
}

// An owned component belongs to its owner; an unowned one to its references.
int32_t TXMLDocument::_AddRef() {
  if (Owner() || Destroying()) return -1;
  return ++refCount_;
}

int32_t TXMLDocument::_Release() {
  if (Owner() || Destroying()) return -1;
  int32_t r = --refCount_;
  if (r == 0) delete this;
  return r;
}

void TXMLDocument::Release(TXMLDocData* data) {
  data->component = nullptr;
  data->Release();
}

TXMLDocData* TXMLDocument::Data() {
  if (!data_) SetActive(true);
  return data_;
}

bool TXMLDocument::Active() { return data_ != nullptr; }

void TXMLDocument::SetActive(bool active) {
  if (active == (data_ != nullptr)) return;
  if (active) {
    data_ = NewTree();
    data_->component = this;
    data_->AddRef();
  } else {
    if (options_.Contains(doAutoSave) && !fileName_.empty()) SaveToFile(fileName_);
    TXMLDocData* old = data_;
    data_ = nullptr;
    Release(old);
  }
}

WideString TXMLDocument::Version() { return data_ && data_->hasDecl ? data_->version : WideString(); }
WideString TXMLDocument::Encoding() { return data_ && data_->hasDecl ? data_->encoding : WideString(); }
WideString TXMLDocument::StandAlone() { return data_ && data_->hasDecl ? data_->standalone : WideString(); }

void TXMLDocument::SetVersion(const WideString& version) {
  TXMLDocData* d = Data();
  d->version = version;
  d->hasDecl = !version.empty() || !d->encoding.empty() || !d->standalone.empty();
}

void TXMLDocument::SetEncoding(const WideString& encoding) {
  TXMLDocData* d = Data();
  d->encoding = encoding;
  if (!encoding.empty() && d->version.empty()) d->version = u"1.0";
  d->hasDecl = !d->version.empty();
}

void TXMLDocument::SetStandAlone(const WideString& standAlone) {
  TXMLDocData* d = Data();
  d->standalone = standAlone;
  if (!standAlone.empty() && d->version.empty()) d->version = u"1.0";
  d->hasDecl = !d->version.empty();
}

TIntfPtr<IXMLNode> TXMLDocument::Node() {
  TXMLDocData* d = Data();
  return TXMLNode::Wrap(d, reinterpret_cast<xmlNodePtr>(d->doc));
}

TIntfPtr<IXMLNodeList> TXMLDocument::ChildNodes() { return Node()->ChildNodes(); }

void ForEachElementWithAttribute(IXMLDocument* doc, const WideString& name,
                                 const std::function<void(IXMLNode*, const WideString&)>& visit) {
  if (xmlread::ForEachElementWithAttribute(doc, name, visit)) return;
  auto* impl = dynamic_cast<TXMLDocument*>(doc);
  const std::string q = U8(name);
  if (!impl || q == "xmlns" || q.rfind("xmlns:", 0) == 0) {
    // Through the interfaces: declarations and foreign documents.
    std::vector<TIntfPtr<IXMLNode>> pending{doc->Node()};
    while (!pending.empty()) {
      TIntfPtr<IXMLNode> node = std::move(pending.back());
      pending.pop_back();
      if (node->NodeType() == ntElement && node->HasAttribute(name)) visit(node.Get(), node->GetAttribute(name));
      if (!node->HasChildNodes()) continue;
      for (TIntfPtr<IXMLNode> child = node->ChildNodes()->Last(); child; child = child->PreviousSibling())
        if (child->NodeType() == ntElement) pending.push_back(child);
    }
    return;
  }
  // On the tree: only the elements found get an interface.
  TXMLDocData* d = impl->Data();
  std::vector<xmlNodePtr> pending{reinterpret_cast<xmlNodePtr>(d->doc)};
  while (!pending.empty()) {
    xmlNodePtr n = pending.back();
    pending.pop_back();
    if (IsElement(n)) {
      for (xmlAttrPtr a = n->properties; a; a = a->next)
        if (IsQName(q, a->ns ? a->ns->prefix : nullptr, a->name)) {
          TIntfPtr<IXMLNode> node = TXMLNode::Wrap(d, n);
          visit(node.Get(), AttrText(a));
          break;
        }
    }
    if (!HasOwnChildren(n) || !n->children) continue;
    xmlNodePtr last = n->children;
    while (last->next) last = last->next;
    for (xmlNodePtr c = last; c; c = c->prev)
      if (IsElement(c)) pending.push_back(c);
  }
}

TIntfPtr<IXMLNode> TXMLDocument::DocumentElement() {
  TXMLDocData* d = Data();
  return TXMLNode::Wrap(d, xmlDocGetRootElement(d->doc));
}

void TXMLDocument::SetDocumentElement(IXMLNode* element) {
  TXMLDocData* d = Data();
  xmlNodePtr docNode = reinterpret_cast<xmlNodePtr>(d->doc);
  xmlNodePtr old = xmlDocGetRootElement(d->doc);
  if (!element) {
    if (old) {
      Detach(d, old);
      Dispose(d, old);
    }
    return;
  }
  TXMLNode* e = TXMLNode::From(element);
  if (e->Data() != d) throw EXMLDocError("The node belongs to another document");
  if (e->IsNsDecl() || !IsElement(e->Raw())) throw EXMLDocError("The document element must be an element");
  if (old == e->Raw()) return;
  xmlNodePtr before = old ? old->next : nullptr;  // the new root takes the old one's place
  if (old) Detach(d, old);
  LinkChild(d, docNode, e->Raw(), before);
  if (old) Dispose(d, old);
}

TIntfPtr<IXMLNode> TXMLDocument::AddChild(const WideString& tagName, const WideString& namespaceURI) {
  return Node()->AddChild(tagName, namespaceURI, false, -1);
}

TIntfPtr<IXMLNode> TXMLDocument::CreateElement(const WideString& tagName, const WideString& namespaceURI) {
  TXMLDocData* d = Data();
  std::string prefix, local;
  SplitQName(U8(tagName), prefix, local);
  std::string uri = U8(namespaceURI);
  if (uri.empty() && !prefix.empty())
    throw EXMLDocError(Format("Namespace prefix \"%s\" is not declared", {prefix}));
  xmlNodePtr e = xmlNewDocNode(d->doc, nullptr, X(local), nullptr);
  if (!e) throw EXMLDocError("Out of memory");
  if (!uri.empty()) e->ns = Floating(d, X(uri), prefix.empty() ? nullptr : X(prefix));
  Adopt(d, e);
  return TXMLNode::Wrap(d, e);
}

TIntfPtr<IXMLNode> TXMLDocument::CreateNode(const WideString& nameOrData, TNodeType type, const WideString& data) {
  TXMLDocData* d = Data();
  std::string s = U8(nameOrData), extra = U8(data);
  xmlNodePtr n = nullptr;
  switch (type) {
    case ntElement: return CreateElement(nameOrData, data);
    case ntAttribute: {
      std::string prefix, local;
      SplitQName(s, prefix, local);
      if (extra.empty() && !prefix.empty())
        throw EXMLDocError(Format("Namespace prefix \"%s\" is not declared", {prefix}));
      xmlAttrPtr a = xmlNewDocProp(d->doc, X(local), nullptr);
      if (a && !extra.empty()) a->ns = Floating(d, X(extra), prefix.empty() ? nullptr : X(prefix));
      n = reinterpret_cast<xmlNodePtr>(a);
      break;
    }
    case ntText: n = xmlNewDocTextLen(d->doc, X(s), static_cast<int>(s.size())); break;
    case ntCData: n = xmlNewCDataBlock(d->doc, X(s), static_cast<int>(s.size())); break;
    case ntComment: n = xmlNewDocComment(d->doc, X(s)); break;
    case ntProcessingInstr: n = xmlNewDocPI(d->doc, X(s), extra.empty() ? nullptr : X(extra)); break;
    case ntEntityRef: n = xmlNewReference(d->doc, X(s)); break;
    case ntDocFragment: n = xmlNewDocFragment(d->doc); break;
    default: throw EXMLDocError(Format("Nodes of type %s cannot be created", {NodeTypeName(type)}));
  }
  if (!n) throw EXMLDocError("Out of memory");
  Adopt(d, n);
  return TXMLNode::Wrap(d, n);
}

namespace {

// A copy of a node of another implementation (a read-only answer's), made through its
// interface; the namespaces it uses are floating until it is linked.
xmlNodePtr CopyForeign(TXMLDocData* d, IXMLNode* src, bool deep) {
  auto str = [](const WideString& w) { return U8(w); };
  switch (src->NodeType()) {
    case ntElement: {
      std::string local = str(src->LocalName()), prefix = str(src->Prefix()), uri = str(src->NamespaceURI());
      xmlNodePtr e = xmlNewDocNode(d->doc, nullptr, X(local), nullptr);
      if (!e) throw EXMLDocError("Out of memory");
      try {
        TIntfPtr<IXMLNodeList> attrs = src->AttributeNodes();
        for (int i = 0, n = attrs->Count(); i < n; ++i) {
          TIntfPtr<IXMLNode> a = attrs->Get(i);
          if (a->NamespaceURIIs(SXMLNSNamespaceURI)) {
            std::string p = a->Prefix().empty() ? std::string() : str(a->LocalName());
            xmlNewNs(e, X(str(a->NodeValue())), p.empty() ? nullptr : X(p));
            continue;
          }
          xmlNodePtr copy = CopyForeign(d, a.Get(), true);
          xmlAttrPtr attr = reinterpret_cast<xmlAttrPtr>(copy);
          attr->parent = e;
          if (!e->properties) {
            e->properties = attr;
          } else {
            xmlAttrPtr last = e->properties;
            while (last->next) last = last->next;
            last->next = attr;
            attr->prev = last;
          }
        }
        if (!uri.empty()) {
          const xmlChar* p = prefix.empty() ? nullptr : X(prefix);
          e->ns = nullptr;
          for (xmlNsPtr own = e->nsDef; own && !e->ns; own = own->next)
            if (Eq(own->prefix, p) && Eq(own->href, X(uri))) e->ns = own;
          if (!e->ns) e->ns = Floating(d, X(uri), p);
        }
        if (deep)
          for (TIntfPtr<IXMLNode> c = src->FirstChild(); c; c = c->NextSibling())
            if (xmlNodePtr copy = CopyForeign(d, c.Get(), true)) xmlAddChild(e, copy);
      } catch (...) {
        xmlFreeNode(e);
        throw;
      }
      return e;
    }
    case ntAttribute: {
      if (src->NamespaceURIIs(SXMLNSNamespaceURI)) return nullptr;
      std::string local = str(src->LocalName()), prefix = str(src->Prefix()), uri = str(src->NamespaceURI());
      std::string value = str(src->NodeValue());
      xmlAttrPtr a = xmlNewDocProp(d->doc, X(local), nullptr);
      if (!a) throw EXMLDocError("Out of memory");
      if (!value.empty()) {
        xmlNodePtr t = xmlNewDocTextLen(d->doc, X(value), static_cast<int>(value.size()));
        t->parent = reinterpret_cast<xmlNodePtr>(a);
        a->children = a->last = t;
      }
      if (!uri.empty()) a->ns = Floating(d, X(uri), prefix.empty() ? nullptr : X(prefix));
      return reinterpret_cast<xmlNodePtr>(a);
    }
    case ntText: case ntCData: case ntComment: {
      std::string v = str(src->NodeValue());
      TNodeType t = src->NodeType();
      if (t == ntText) return xmlNewDocTextLen(d->doc, X(v), static_cast<int>(v.size()));
      if (t == ntCData) return xmlNewCDataBlock(d->doc, X(v), static_cast<int>(v.size()));
      return xmlNewDocComment(d->doc, X(v));
    }
    case ntProcessingInstr: {
      std::string target = str(src->NodeName()), v = str(src->NodeValue());
      return xmlNewDocPI(d->doc, X(target), v.empty() ? nullptr : X(v));
    }
    case ntEntityRef: return xmlNewReference(d->doc, X(str(src->NodeName())));
    default: return nullptr;
  }
}

}  // namespace

TIntfPtr<IXMLNode> TXMLDocument::ImportNode(IXMLNode* node, bool deep) {
  if (node && IsReadOnlyXMLNode(node)) {
    TXMLDocData* d = Data();
    xmlNodePtr copy = CopyForeign(d, node, deep);
    if (!copy) return {};
    Adopt(d, copy);
    return TXMLNode::Wrap(d, copy);
  }
  TXMLNode* src = TXMLNode::From(node);
  if (!src) return {};
  return TXMLNode::Import(Data(), src, deep);
}

WideString TXMLDocument::GeneratePrefix(IXMLNode* scope) {
  TXMLDocData* d = Data();
  TXMLNode* s = TXMLNode::From(scope);
  return Utf8ToUtf16(NextPrefix(d, s && !s->IsNsDecl() ? s->Raw() : nullptr));
}

namespace {

std::string Declaration(const TXMLDocData* d) {
  if (!d->hasDecl) return {};
  std::string s = "<?xml version=\"" + U8(d->version.empty() ? WideString(u"1.0") : d->version) + "\"";
  if (!d->encoding.empty()) s += " encoding=\"" + U8(d->encoding) + "\"";
  if (!d->standalone.empty()) s += " standalone=\"" + U8(d->standalone) + "\"";
  return s + "?>";
}

// The declaration and the top-level nodes; a line break between them only when indenting.
std::string Serialise(TXMLDocData* d, bool indent, const char* encoding, xmlCharEncodingHandlerPtr handler) {
  std::string out;
  std::string decl = Declaration(d);
  xmlNodePtr first = d->doc->children;
  if (handler) {
    // The declaration goes through the encoder too (UTF-16 gets its byte-order mark there).
    xmlOutputBufferPtr buf = xmlOutputBufferCreateIO(WriteToString, nullptr, &out, handler);
    if (!buf) throw EXMLDocError("Out of memory");
    if (!decl.empty()) xmlOutputBufferWriteString(buf, decl.c_str());
    const xmlChar* saved = d->doc->encoding;
    d->doc->encoding = BAD_CAST encoding;
    for (xmlNodePtr c = first; c; c = c->next) {
      if (indent && (c != first || !decl.empty())) xmlOutputBufferWriteString(buf, "\n");
      xmlNodeDumpOutput(buf, d->doc, c, 0, indent ? 1 : 0, encoding);
    }
    d->doc->encoding = saved;
    xmlOutputBufferClose(buf);
    return out;
  }
  // Messages are mostly under a kilobyte: one allocation instead of a string grown by doubling.
  out.reserve(1024);
  out += decl;
  for (xmlNodePtr c = first; c; c = c->next) {
    if (indent && (c != first || !decl.empty())) out += '\n';
    DumpNode(out, d->doc, c, indent);
  }
  return out;
}

}  // namespace

WideString TXMLDocument::SaveToXML() {
  return Utf8ToUtf16(Serialise(Data(), options_.Contains(doNodeAutoIndent), "UTF-8", nullptr));
}

std::string TXMLDocument::SaveToBytes() {
  TXMLDocData* d = Data();
  std::string enc = U8(d->encoding);
  bool indent = options_.Contains(doNodeAutoIndent);
  if (!d->hasDecl || enc.empty() || SameText(enc, "UTF-8") || SameText(enc, "UTF8"))
    return Serialise(d, indent, "UTF-8", nullptr);
  xmlCharEncodingHandlerPtr handler = xmlFindCharEncodingHandler(enc.c_str());
  if (!handler) throw EXMLDocError(Format("Unsupported encoding \"%s\"", {enc}));
  return Serialise(d, indent, enc.c_str(), handler);
}

void TXMLDocument::SaveToStream(std::ostream& out) {
  std::string bytes = SaveToBytes();
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw EXMLDocError("Cannot write the XML document to the stream");
}

void TXMLDocument::SaveToStream(TStream& out) { out.WriteString(SaveToBytes()); }

void TXMLDocument::SaveToFile(const std::string& fileName) {
  std::string bytes = SaveToBytes();
  std::ofstream f(fileName, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw EXMLDocError(Format("Cannot write the file \"%s\"", {fileName}));
}

void TXMLDocument::LoadFromBytes(std::string_view bytes) {
  TXMLDocData* fresh = Parse(bytes, false, parseOptions_, compactText_);
  fresh->component = this;
  fresh->AddRef();
  if (data_) Release(data_);
  data_ = fresh;
}

void TXMLDocument::LoadFromStream(std::istream& in) {
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LoadFromBytes(bytes);
}

void TXMLDocument::LoadFromStream(TStream& in) { LoadFromBytes(in.ReadRest()); }

void TXMLDocument::LoadFromXML(const WideString& xml) {
  TXMLDocData* fresh = Parse(U8(xml), true, parseOptions_, compactText_);
  fresh->component = this;
  fresh->AddRef();
  if (data_) Release(data_);
  data_ = fresh;
}

void TXMLDocument::LoadFromFile(const std::string& fileName) {
  std::ifstream f(fileName, std::ios::binary);
  if (!f) throw EXMLDocError(Format("Cannot open the file \"%s\"", {fileName}));
  LoadFromStream(f);
  fileName_ = fileName;
}

TIntfPtr<IXMLDocument> NewXMLDocument(const WideString& version) {
  TIntfPtr<IXMLDocument> doc(static_cast<IXMLDocument*>(new TXMLDocument()));
  doc->SetActive(true);
  if (!version.empty()) doc->SetVersion(version);
  return doc;
}

TIntfPtr<IXMLDocument> LoadXMLData(const WideString& xml) {
  TIntfPtr<IXMLDocument> doc(static_cast<IXMLDocument*>(new TXMLDocument()));
  doc->LoadFromXML(xml);
  return doc;
}

TIntfPtr<IXMLDocument> LoadXMLDocumentBytes(std::string_view bytes) {
  TIntfPtr<IXMLDocument> doc(static_cast<IXMLDocument*>(new TXMLDocument()));
  doc->LoadFromBytes(bytes);
  return doc;
}
