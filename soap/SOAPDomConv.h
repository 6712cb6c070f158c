// The DOM side shared by the message converters: SOAP namespaces, header processors, and the
// per-message reference state (multi-reference ids and elements on the way out, the id table
// and the objects already decoded on the way in).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/Classes.h"
#include "soap/InvokeRegistry.h"
#include "soap/OPConvert.h"
#include "soap/XMLDoc.h"

extern const WideString SSoapNameSpace;              // SOAP 1.1 envelope
extern const WideString SXMLSchemaInstURI_1999;
extern const WideString SXMLSchemaInstURI_2000_10;
extern const WideString SXMLSchemaInstURI_2001;

ZELK_DECLARE_EXCEPTION(ESOAPDomConvertError, Exception);

// Handles response header elements for which no header class is registered.
class IDOMHeaderProcessor : public IInterface {
  ZELK_INTERFACE(IDOMHeaderProcessor, "{27F23F8F-23A2-4257-95A8-0204EEFF937B}")
 public:
  // `handled`: the header was understood; `abortRequest`: reading must stop with an error.
  virtual void ProcessHeader(IXMLNode* header, bool& handled, bool& abortRequest) = 0;
};

struct TDOMHeaderProcessorEntry {
  TIntfPtr<IDOMHeaderProcessor> Processor;
  WideString NameSpace;
  WideString ElementName;
};

// Ordering of ids and hrefs: ASCII letters without regard to case.
struct TTextLessNoCase {
  bool operator()(const WideString& a, const WideString& b) const;
};
// The same equivalence for hashed lookups.
struct TTextHashNoCase {
  size_t operator()(const WideString& s) const;
};
struct TTextSameNoCase {
  bool operator()(const WideString& a, const WideString& b) const;
};

class TSOAPDOMProcessor : public TComponent {
  ZELK_CLASS(TSOAPDOMProcessor, TComponent)
 public:
  explicit TSOAPDOMProcessor(TComponent* owner = nullptr) : TComponent(owner) {}

  // A later registration for the same namespace and element replaces the earlier one.
  void AddHeaderProcessor(const WideString& nameSpace, const WideString& elementName,
                          TIntfPtr<IDOMHeaderProcessor> processor);
  void RemoveHeaderProcessor(const WideString& nameSpace, const WideString& elementName);
  IDOMHeaderProcessor* FindHeaderProcessor(const WideString& nameSpace, const WideString& elementName) const;

 private:
  std::vector<TDOMHeaderProcessorEntry> headerProcessors_;
};

// Ids and objects of one message. Reading: "#" + id -> element, id -> decoded object.
// Writing: object -> id of its multi-reference element.
class TRefCache {
 public:
  void Clear();
  // Keeps the first element for an id seen twice.
  void AddNode(const WideString& id, TIntfPtr<IXMLNode> node);
  IXMLNode* FindNode(const WideString& href) const;  // href includes the "#"
  size_t NodeCount() const { return nodes_.size(); }

  void AddObject(const WideString& id, TObject* obj);
  TObject* FindObject(const WideString& id) const;
  // The id under which `obj` was recorded; empty when none.
  WideString FindObjectId(const TObject* obj) const;

 private:
  std::vector<TIntfPtr<IXMLNode>> nodes_;
  std::unordered_map<WideString, size_t, TTextHashNoCase, TTextSameNoCase> hrefToNode_;
  std::unordered_map<WideString, TObject*, TTextHashNoCase, TTextSameNoCase> idToObject_;
  std::unordered_map<const TObject*, WideString> objectToId_;
};

// The multi-reference elements created under one root node.
struct TMultiRefNodeElem {
  TIntfPtr<IXMLNode> Root;
  std::vector<TIntfPtr<IXMLNode>> Nodes;
};

// Builds the parts of the envelope.
class TSoapEnvelope {
 public:
  // SOAP-ENV:Envelope with the SOAP-ENV, xsd, xsi and (unless document style) SOAP-ENC
  // declarations, made the document element.
  TIntfPtr<IXMLNode> MakeEnvelope(IXMLDocument* doc, TSOAPConvertOptions options);
  TIntfPtr<IXMLNode> MakeHeader(IXMLNode* envelope);
  TIntfPtr<IXMLNode> MakeBody(IXMLNode* envelope);
};

class TSOAPDomConv : public TSOAPDOMProcessor {
  ZELK_CLASS(TSOAPDomConv, TSOAPDOMProcessor)
 public:
  explicit TSOAPDomConv(TComponent* owner = nullptr) : TSOAPDOMProcessor(owner) {}

  // Bounds on the work an answer can cause, each raising ESOAPDomConvertError; a caller that
  // expects larger answers may raise them.
  static constexpr int kDefaultMaxNesting = 400;
  static constexpr int kDefaultMaxIds = 100000;
  static constexpr int kDefaultMaxArrayItems = 1000000;
  // Values inside values, references followed included: "Response nesting exceeds %d levels".
  int MaxNesting() const { return maxNesting_; }
  void SetMaxNesting(int levels) { maxNesting_ = levels; }
  // Elements carrying an id: "Response holds more than %d elements with an id".
  int MaxIds() const { return maxIds_; }
  void SetMaxIds(int count) { maxIds_ = count; }
  // Items of one array (all dimensions together): "Array exceeds %d items".
  int MaxArrayItems() const { return maxArrayItems_; }
  void SetMaxArrayItems(int count) { maxArrayItems_ = count; }

 protected:
  // ---- writing ----
  // The counter's text; the counter advances.
  WideString NextId();
  void ResetIdCounter() { idCounter_ = 1; }
  // A new element `name` (qualified) in `nameSpace` carrying `id`, appended under `root`.
  TIntfPtr<IXMLNode> AddMultiRefElement(IXMLNode* root, const WideString& name, const WideString& nameSpace,
                                        const WideString& id);
  // Links again every multi-reference element that was moved away from its root; empties
  // the list.
  void FinishMultiRefNodes();
  // The prefix of a declaration of `uri` on `root` or its ancestors; otherwise a generated
  // prefix declared on `root`. Empty for an empty URI.
  WideString FindPrefixForURI(IXMLNode* root, const WideString& uri);
  // Forgets the ids, objects and elements of the message written or read last.
  void ResetMultiRefState();

  // ---- reading ----
  // Records every element carrying an "id" attribute, in document order; raises when there
  // are more than MaxIds.
  void BuildIdTable(IXMLDocument* doc);
  // The element that carries the value of `node` (the target of its href, if any) and the
  // id of that value.
  TIntfPtr<IXMLNode> GetDataNode(IXMLNode* root, IXMLNode* node, WideString& id);
  bool NodeIsNull(IXMLNode* node);
  // The XML type of an element: its type attribute, or its own name.
  void GetElementType(IXMLNode* node, WideString& typeURI, WideString& typeName);
  WideString GetNodeText(IXMLNode* node);

  TSOAPConvertOptions options_;
  TSoapEnvelope envelope_;
  TRefCache refCache_;
  std::vector<TMultiRefNodeElem> multiRefNodes_;
  std::vector<const TObject*> objectsInProgress_;

 private:
  int idCounter_ = 1;
  int maxNesting_ = kDefaultMaxNesting;
  int maxIds_ = kDefaultMaxIds;
  int maxArrayItems_ = kDefaultMaxArrayItems;
};
