// The XML document component: a DOM of reference-counted node interfaces over libxml2's tree.
//
// The message converters build requests and read responses through IXMLDocument and
// IXMLNode. What they rely on:
//  - namespace-aware elements and attributes; an element added with a namespace reuses the
//    prefix of an in-scope declaration of that namespace, or gets a generated one ("NS1",
//    "NS2", ... from a per-document counter, skipping names bound in scope) declared on itself;
//  - every output is namespace-well-formed: a node whose namespace is not declared where it
//    ends up gets the declaration on itself when it is linked into the tree;
//  - serialisation adds no white space (no indentation, no line break after the declaration);
//  - loading takes the encoding from the byte-order mark or the XML declaration, never touches
//    the network, substitutes no entities and reads no external DTD or entity.
//
// Node interfaces stay valid as long as they are held: each keeps the document's tree alive,
// and a node removed from the tree stays usable (and can be linked again) until released.
// One node of the tree has at most one interface object at a time, so interface pointers can
// be compared for identity.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <string>
#include <string_view>

#include "runtime/Classes.h"
#include "runtime/Interfaces.h"
#include "runtime/Sets.h"
#include "runtime/Streams.h"
#include "runtime/Strings.h"
#include "runtime/SysUtils.h"
#include "runtime/Variants.h"

class IXMLDocument;
class IXMLNodeList;

enum TNodeType : uint8_t {
  ntReserved, ntElement, ntAttribute, ntText, ntCData, ntEntityRef, ntEntity, ntProcessingInstr,
  ntComment, ntDocument, ntDocType, ntDocFragment, ntNotation
};
// "ntElement", ... for messages and tests.
const char* NodeTypeName(TNodeType type);

enum TXMLDocOption : uint8_t {
  doNodeAutoCreate,  // IXMLNodeList::Nodes(name) adds a missing element instead of raising
  doNodeAutoIndent,  // serialisation indents (off for messages)
  doAttrNull,        // IXMLNode::Attributes(name) is a null variant for a missing attribute
  doAutoPrefix,      // a namespaced attribute with an unprefixed name takes the in-scope prefix
  doNamespaceDecl,   // a namespace not in scope is declared where it is used (output is
                     // namespace-well-formed in any case)
  doAutoSave         // saves to FileName when the document is deactivated or destroyed
};
using TXMLDocOptions = TSet<TXMLDocOption>;

// Parse options. Whatever the set holds, external entities and DTDs are never loaded, nothing
// is validated and loading is synchronous; only poPreserveWhiteSpace changes the result
// (without it, white-space-only text between elements is dropped).
enum TParseOption : uint8_t { poResolveExternals, poValidateOnParse, poPreserveWhiteSpace, poAsyncLoad };
using TParseOptions = TSet<TParseOption>;

// The options the message converters create their documents with.
constexpr TXMLDocOptions kMessageDocOptions{doNodeAutoCreate, doAttrNull, doAutoPrefix, doNamespaceDecl};

// Namespaces the component knows by heart.
extern const WideString SXMLNamespaceURI;    // http://www.w3.org/XML/1998/namespace
extern const WideString SXMLNSNamespaceURI;  // http://www.w3.org/2000/xmlns/

// Misuse of the component: a list index out of range, a missing node, a text read from an
// element with mixed content, an operation the node type does not support.
ZELK_DECLARE_EXCEPTION(EXMLDocError, Exception);

// A document that is not well-formed. The message is made by "%s%s%s: %d%s%s" from the
// parser's reason, a line break, "Line", the line number, a line break and the first 40
// characters of the source line where the parser stopped.
class EDOMParseError : public EXMLDocError {
 public:
  EDOMParseError(std::string reason, int line, int linePos, int filePos, std::string srcText, int errorCode);
  const std::string& Reason() const { return reason_; }
  const std::string& SrcText() const { return srcText_; }  // the whole source line
  int Line() const { return line_; }
  int LinePos() const { return linePos_; }
  int FilePos() const { return filePos_; }
  int ErrorCode() const { return errorCode_; }  // libxml2's error code

 private:
  std::string reason_;
  std::string srcText_;
  int line_;
  int linePos_;
  int filePos_;
  int errorCode_;
};

// One node: element, attribute (also the xmlns declarations, which appear as attributes in
// the xmlns namespace), text, CDATA, comment, processing instruction, entity reference,
// document type, document fragment or the document itself.
class IXMLNode : public IInterface {
  ZELK_INTERFACE(IXMLNode, "{6C1B7E42-9D3A-4F5E-8B21-3A7C9E0D4F61}")
 public:
  // ---- identity ----
  virtual TNodeType NodeType() = 0;
  // The qualified name ("SOAP-ENV:Body", "xmlns:NS1"), or "#text", "#cdata-section",
  // "#comment", "#document", "#document-fragment", a PI's target, an entity's name.
  virtual WideString NodeName() = 0;
  virtual WideString LocalName() = 0;
  virtual WideString NamespaceURI() = 0;
  virtual WideString Prefix() = 0;
  // LocalName() == name and NamespaceURI() == uri, compared without making the copies.
  virtual bool LocalNameIs(std::u16string_view name) = 0;
  virtual bool NamespaceURIIs(std::u16string_view uri) = 0;
  // The parent; an attribute's parent is its element. Empty for the document and for a node
  // that is not linked into a tree.
  virtual TIntfPtr<IXMLNode> ParentNode() = 0;
  virtual TIntfPtr<IXMLNode> NextSibling() = 0;
  virtual TIntfPtr<IXMLNode> PreviousSibling() = 0;
  // Empty once the document component has been destroyed by its owner.
  virtual TIntfPtr<IXMLDocument> OwnerDocument() = 0;

  // ---- content ----
  // Element: the text of its one text (or CDATA) child, empty without children; raises
  // EXMLDocError "Element does not contain a single text node" otherwise. Attribute: its
  // value. Text, CDATA, comment, PI: the data. Others: empty.
  virtual WideString Text() = 0;
  // Element: replaces all children by one text node (none for empty text). Others: as
  // SetNodeValue.
  virtual void SetText(const WideString& text) = 0;
  // An element whose only child is a text or CDATA node.
  virtual bool IsTextElement() = 0;
  // The DOM node value: the data of text-like nodes and attributes, empty for the rest.
  virtual WideString NodeValue() = 0;
  // Raises EXMLDocError for elements, documents and fragments.
  virtual void SetNodeValue(const WideString& value) = 0;
  // The node as XML text, nothing added: namespace declarations that the node's subtree
  // needs from its ancestors are written on it. The document node gives the document's XML.
  virtual WideString XML() = 0;

  // ---- children ----
  virtual TIntfPtr<IXMLNodeList> ChildNodes() = 0;
  virtual bool HasChildNodes() = 0;
  // ChildNodes()->First() without making the list; walk on with NextSibling().
  virtual TIntfPtr<IXMLNode> FirstChild() = 0;
  // Adds an element at `index` (-1 = at the end). Without a namespace URI, a prefixed tag
  // name takes the namespace bound to the prefix in scope. With a URI and an unprefixed name,
  // the prefix of an in-scope declaration of the URI is used; if there is none, a generated
  // prefix declared on the new element when `generatePrefix`, else a default namespace
  // declaration on the new element.
  virtual TIntfPtr<IXMLNode> AddChild(const WideString& tagName, int index = -1) = 0;
  virtual TIntfPtr<IXMLNode> AddChild(const WideString& tagName, const WideString& namespaceURI,
                                      bool generatePrefix = false, int index = -1) = 0;
  // ChildNodes()->Add(node): links a detached node (or moves a linked one) to the end.
  virtual TIntfPtr<IXMLNode> AppendChild(IXMLNode* node) = 0;
  // A copy in the same document, not linked anywhere.
  virtual TIntfPtr<IXMLNode> CloneNode(bool deep) = 0;

  // ---- attributes ----
  // The xmlns declarations first, then the attributes, each group in document order.
  virtual TIntfPtr<IXMLNodeList> AttributeNodes() = 0;
  // By qualified name ("xsi:type", "id", "xmlns:NS1").
  virtual bool HasAttribute(const WideString& name) = 0;
  // By local name and namespace URI (empty URI: an attribute without namespace).
  virtual bool HasAttributeNS(const WideString& localName, const WideString& namespaceURI) = 0;
  // The value; empty when missing.
  virtual WideString GetAttribute(const WideString& name) = 0;
  virtual WideString GetAttributeNS(const WideString& localName, const WideString& namespaceURI) = 0;
  // One pass over the attributes (not the xmlns declarations): calls `accept` with the value of
  // each one whose local name is in `localNames` and namespace URI in `namespaceURIs`, in
  // document order, until it returns true. Returns whether it did.
  virtual bool AnyAttributeNS(std::initializer_list<std::u16string_view> localNames,
                              std::initializer_list<std::u16string_view> namespaceURIs,
                              const std::function<bool(const WideString& value)>& accept) = 0;
  // The value as a string variant; a missing attribute is null with doAttrNull, else empty text.
  virtual Variant Attributes(const WideString& name) = 0;
  // Sets (adds or replaces) an attribute. A prefixed name without URI takes the namespace
  // bound to the prefix in scope.
  virtual void SetAttribute(const WideString& name, const WideString& value) = 0;
  // With a URI: an unprefixed name gets the prefix of an in-scope declaration of the URI
  // (doAutoPrefix) or else a generated prefix declared on this element. The xmlns namespace
  // (or a name "xmlns"/"xmlns:p") declares a namespace instead.
  virtual void SetAttributeNS(const WideString& name, const WideString& namespaceURI, const WideString& value) = 0;
  virtual void RemoveAttribute(const WideString& name) = 0;

  // ---- namespaces ----
  // Adds (or rebinds) the declaration xmlns:prefix="uri" on this element; an empty prefix
  // declares the default namespace.
  virtual void DeclareNamespace(const WideString& prefix, const WideString& uri) = 0;
  // The URI bound in scope to the prefix of `prefixOrName` ("NS1", "NS1:foo", "" for the
  // default namespace); empty when unbound.
  virtual WideString FindNamespaceURI(const WideString& prefixOrName) = 0;
  // The in-scope declaration (an attribute node) that binds `uri` to a prefix, nearest first,
  // skipping declarations whose prefix is rebound nearer; empty when there is none.
  virtual TIntfPtr<IXMLNode> FindNamespaceDecl(const WideString& uri) = 0;
};

// A live view of a node's children or attributes.
class IXMLNodeList : public IInterface {
  ZELK_INTERFACE(IXMLNodeList, "{2E8D5A17-C4B9-4A63-9F08-D71E6B3C2A94}")
 public:
  virtual int Count() = 0;
  // Raises EXMLDocError "List index out of bounds (%d)".
  virtual TIntfPtr<IXMLNode> Get(int index) = 0;
  // The first node whose name or local name is `name`; with doNodeAutoCreate a missing
  // element is added to a child list, otherwise EXMLDocError "Node \"%s\" not found".
  virtual TIntfPtr<IXMLNode> Nodes(const WideString& name) = 0;
  // The first node whose name or local name is `name`; empty when none.
  virtual TIntfPtr<IXMLNode> FindNode(const WideString& name) = 0;
  // The first node with that local name and namespace URI; empty when none.
  virtual TIntfPtr<IXMLNode> FindNode(const WideString& localName, const WideString& namespaceURI) = 0;
  virtual TIntfPtr<IXMLNode> First() = 0;
  virtual TIntfPtr<IXMLNode> Last() = 0;
  virtual int IndexOf(IXMLNode* node) = 0;
  virtual int IndexOf(const WideString& name) = 0;
  // Links `node` at the end (Add) or before position `index` (-1 = at the end). A node of
  // another document raises EXMLDocError. Attribute lists take attribute nodes, replacing an
  // attribute of the same name.
  virtual int Add(IXMLNode* node) = 0;
  virtual void Insert(int index, IXMLNode* node) = 0;
  // Unlinks the node; it stays usable while referenced. Returns its former index, -1 when it
  // was not in the list.
  virtual int Remove(IXMLNode* node) = 0;
  virtual void Delete(int index) = 0;
  virtual void Clear() = 0;
};

class IXMLDocument : public IInterface {
  ZELK_INTERFACE(IXMLDocument, "{9A4F2C63-1E7B-4D85-A6C0-5B3E8D17F2A9}")
 public:
  // An active document has a tree; activating an empty component creates an empty document
  // (no declaration until a version is set); deactivating drops the tree.
  virtual bool Active() = 0;
  virtual void SetActive(bool active) = 0;
  virtual TXMLDocOptions Options() = 0;
  virtual void SetOptions(TXMLDocOptions options) = 0;
  virtual TParseOptions ParseOptions() = 0;
  virtual void SetParseOptions(TParseOptions options) = 0;

  // The XML declaration: setting any of these (to non-empty text) gives the document one;
  // version "1.0" when only the encoding or standalone was set.
  virtual WideString Version() = 0;
  virtual void SetVersion(const WideString& version) = 0;
  virtual WideString Encoding() = 0;
  virtual void SetEncoding(const WideString& encoding) = 0;
  virtual WideString StandAlone() = 0;
  virtual void SetStandAlone(const WideString& standAlone) = 0;

  virtual std::string FileName() = 0;
  virtual void SetFileName(const std::string& fileName) = 0;

  // The document node, its children (DTD, comments, PIs, the root element) and the root.
  virtual TIntfPtr<IXMLNode> Node() = 0;
  virtual TIntfPtr<IXMLNodeList> ChildNodes() = 0;
  virtual TIntfPtr<IXMLNode> DocumentElement() = 0;
  // Replaces the root element (the old one is unlinked).
  virtual void SetDocumentElement(IXMLNode* element) = 0;
  // Adds the root element (raises EXMLDocError when there is one).
  virtual TIntfPtr<IXMLNode> AddChild(const WideString& tagName, const WideString& namespaceURI = {}) = 0;

  // A detached element. A prefixed name with a URI keeps its prefix; an unprefixed one with a
  // URI becomes the default namespace. Declarations are made when it is linked into the tree.
  virtual TIntfPtr<IXMLNode> CreateElement(const WideString& tagName, const WideString& namespaceURI) = 0;
  // A detached node of any creatable type: ntElement and ntAttribute (name, namespace URI in
  // `data`), ntText, ntCData, ntComment (text in `nameOrData`), ntProcessingInstr (target,
  // data), ntEntityRef (name), ntDocFragment.
  virtual TIntfPtr<IXMLNode> CreateNode(const WideString& nameOrData, TNodeType type = ntElement,
                                        const WideString& data = {}) = 0;
  // A detached copy in this document of a node of any document (elements with namespace,
  // attributes and, when deep, children; attributes; text, CDATA, comments; entity
  // references; PIs; fragments). Other node types give an empty reference.
  virtual TIntfPtr<IXMLNode> ImportNode(IXMLNode* node, bool deep) = 0;
  // "NS" and the next counter value (from 1) that `scope` (when given) does not bind.
  virtual WideString GeneratePrefix(IXMLNode* scope) = 0;

  // The document as text: the declaration as held, then the nodes, no white space added
  // (unless doNodeAutoIndent).
  virtual WideString SaveToXML() = 0;
  // The same text encoded in the declared encoding (UTF-8 when none); characters the
  // encoding lacks become character references. UTF-16 gets a byte-order mark.
  virtual std::string SaveToBytes() = 0;
  virtual void SaveToStream(std::ostream& out) = 0;
  virtual void SaveToStream(TStream& out) = 0;  // written at the stream's position
  virtual void SaveToFile(const std::string& fileName) = 0;

  // Parses a new tree (the document becomes active). The encoding comes from the byte-order
  // mark or the declaration. Raises EDOMParseError when the text is not well-formed.
  virtual void LoadFromBytes(std::string_view bytes) = 0;
  virtual void LoadFromStream(std::istream& in) = 0;
  virtual void LoadFromStream(TStream& in) = 0;  // from the stream's position to its end
  virtual void LoadFromXML(const WideString& xml) = 0;  // the declaration's encoding is ignored
  virtual void LoadFromFile(const std::string& fileName) = 0;
};

struct TXMLDocData;

// The component: owned by its owner component, or, without one, alive as long as its
// interface references (node interfaces count too).
class TXMLDocument : public TComponent, public IXMLDocument {
  ZELK_CLASS(TXMLDocument, TComponent)
 public:
  explicit TXMLDocument(TComponent* owner = nullptr);
  ~TXMLDocument() override;

  HRESULT QueryInterface(const TGUID& iid, void** obj) override;
  int32_t _AddRef() override;
  int32_t _Release() override;

  bool Active() override;
  void SetActive(bool active) override;
  TXMLDocOptions Options() override { return options_; }
  void SetOptions(TXMLDocOptions options) override { options_ = options; }
  TParseOptions ParseOptions() override { return parseOptions_; }
  void SetParseOptions(TParseOptions options) override { parseOptions_ = options; }
  // Keeps short text inside its node when loading, which saves an allocation per value: for
  // documents that are mostly read, such as answers. Off by default.
  bool CompactText() const { return compactText_; }
  void SetCompactText(bool compact) { compactText_ = compact; }
  WideString Version() override;
  void SetVersion(const WideString& version) override;
  WideString Encoding() override;
  void SetEncoding(const WideString& encoding) override;
  WideString StandAlone() override;
  void SetStandAlone(const WideString& standAlone) override;
  std::string FileName() override { return fileName_; }
  void SetFileName(const std::string& fileName) override { fileName_ = fileName; }
  TIntfPtr<IXMLNode> Node() override;
  TIntfPtr<IXMLNodeList> ChildNodes() override;
  TIntfPtr<IXMLNode> DocumentElement() override;
  void SetDocumentElement(IXMLNode* element) override;
  TIntfPtr<IXMLNode> AddChild(const WideString& tagName, const WideString& namespaceURI = {}) override;
  TIntfPtr<IXMLNode> CreateElement(const WideString& tagName, const WideString& namespaceURI) override;
  TIntfPtr<IXMLNode> CreateNode(const WideString& nameOrData, TNodeType type = ntElement,
                                const WideString& data = {}) override;
  TIntfPtr<IXMLNode> ImportNode(IXMLNode* node, bool deep) override;
  WideString GeneratePrefix(IXMLNode* scope) override;
  WideString SaveToXML() override;
  std::string SaveToBytes() override;
  void SaveToStream(std::ostream& out) override;
  void SaveToStream(TStream& out) override;
  void SaveToFile(const std::string& fileName) override;
  void LoadFromBytes(std::string_view bytes) override;
  void LoadFromStream(std::istream& in) override;
  void LoadFromStream(TStream& in) override;
  void LoadFromXML(const WideString& xml) override;
  void LoadFromFile(const std::string& fileName) override;

  // Internal: the tree behind the component (activated on demand).
  TXMLDocData* Data();

 private:
  void Release(TXMLDocData* data);
  TXMLDocData* data_ = nullptr;
  TXMLDocOptions options_ = kMessageDocOptions;
  TParseOptions parseOptions_;
  bool compactText_ = false;
  std::string fileName_;
  std::atomic<int32_t> refCount_{0};
};

// A new unowned, active document with the message options, no parse options and, when
// `version` is not empty, an XML declaration of that version.
TIntfPtr<IXMLDocument> NewXMLDocument(const WideString& version = u"1.0");
// An unowned document parsed from text or bytes (EDOMParseError when malformed).
TIntfPtr<IXMLDocument> LoadXMLData(const WideString& xml);
TIntfPtr<IXMLDocument> LoadXMLDocumentBytes(std::string_view bytes);

// Calls `visit` for every element of the document carrying the attribute `name` (qualified),
// in document order, with the attribute's value. Only those elements get an interface.
void ForEachElementWithAttribute(IXMLDocument* doc, const WideString& name,
                                 const std::function<void(IXMLNode*, const WideString&)>& visit);

// "prefix:local" helpers.
WideString ExtractPrefix(const WideString& qualifiedName);
WideString ExtractLocalName(const WideString& qualifiedName);
WideString MakeNodeName(const WideString& prefix, const WideString& localName);
