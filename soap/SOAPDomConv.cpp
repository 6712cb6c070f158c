#include "soap/SOAPDomConv.h"

#include "soap/XMLReadTree.h"

#include <algorithm>
#include <random>

const WideString SSoapNameSpace = u"http://schemas.xmlsoap.org/soap/envelope/";
const WideString SXMLSchemaInstURI_1999 = u"http://www.w3.org/1999/XMLSchema-instance";
const WideString SXMLSchemaInstURI_2000_10 = u"http://www.w3.org/2000/10/XMLSchema-instance";
const WideString SXMLSchemaInstURI_2001 = u"http://www.w3.org/2001/XMLSchema-instance";

ZELK_CLASS_INFO(TSOAPDOMProcessor, "SOAPDomConv")
ZELK_CLASS_INFO(TSOAPDomConv, "SOAPDomConv")
ZELK_INTERFACE_INFO(IDOMHeaderProcessor, IInterface, "SOAPDomConv")

namespace {

char16_t FoldCase(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool IsTrue(const WideString& v) { return v == u"1" || WideSameText(v, u"true"); }

}  // namespace

namespace {
// Ids come from the peer: a per-process seed keeps crafted ids from all landing in one bucket.
uint64_t HashSeed() {
  static const uint64_t seed = [] {
    uint64_t s = 0;
    try {
      std::random_device rd;
      s = (uint64_t{rd()} << 32) ^ rd();
    } catch (...) {
      s = reinterpret_cast<uintptr_t>(&s);
    }
    return s;
  }();
  return seed;
}
}  // namespace

size_t TTextHashNoCase::operator()(const WideString& s) const {
  const uint64_t seed = HashSeed();
  uint64_t h = 1469598103934665603ull ^ seed;
  for (char16_t c : s) h = (h ^ FoldCase(c)) * 1099511628211ull;
  // Mixed again so that the low bits the buckets use depend on every input bit and the seed.
  h ^= seed;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  return static_cast<size_t>(h);
}

bool TTextSameNoCase::operator()(const WideString& a, const WideString& b) const { return WideSameText(a, b); }

bool TTextLessNoCase::operator()(const WideString& a, const WideString& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char16_t x, char16_t y) { return FoldCase(x) < FoldCase(y); });
}

// ---- TSOAPDOMProcessor ----

void TSOAPDOMProcessor::AddHeaderProcessor(const WideString& nameSpace, const WideString& elementName,
                                           TIntfPtr<IDOMHeaderProcessor> processor) {
  for (auto& e : headerProcessors_)
    if (e.NameSpace == nameSpace && e.ElementName == elementName) {
      e.Processor = std::move(processor);
      return;
    }
  headerProcessors_.push_back({std::move(processor), nameSpace, elementName});
}

void TSOAPDOMProcessor::RemoveHeaderProcessor(const WideString& nameSpace, const WideString& elementName) {
  std::erase_if(headerProcessors_, [&](const TDOMHeaderProcessorEntry& e) {
    return e.NameSpace == nameSpace && e.ElementName == elementName;
  });
}

IDOMHeaderProcessor* TSOAPDOMProcessor::FindHeaderProcessor(const WideString& nameSpace,
                                                            const WideString& elementName) const {
  for (const auto& e : headerProcessors_)
    if (e.NameSpace == nameSpace && e.ElementName == elementName) return e.Processor.Get();
  return nullptr;
}

// ---- TRefCache ----

void TRefCache::Clear() {
  nodes_.clear();
  hrefToNode_.clear();
  idToObject_.clear();
  objectToId_.clear();
}

void TRefCache::AddNode(const WideString& id, TIntfPtr<IXMLNode> node) {
  if (hrefToNode_.try_emplace(u"#" + id, nodes_.size()).second) nodes_.push_back(std::move(node));
}

IXMLNode* TRefCache::FindNode(const WideString& href) const {
  auto it = hrefToNode_.find(href);
  return it == hrefToNode_.end() ? nullptr : nodes_[it->second].Get();
}

void TRefCache::AddObject(const WideString& id, TObject* obj) {
  idToObject_[id] = obj;
  objectToId_.try_emplace(obj, id);
}

TObject* TRefCache::FindObject(const WideString& id) const {
  auto it = idToObject_.find(id);
  return it == idToObject_.end() ? nullptr : it->second;
}

WideString TRefCache::FindObjectId(const TObject* obj) const {
  auto it = objectToId_.find(obj);
  return it == objectToId_.end() ? WideString() : it->second;
}

// ---- TSoapEnvelope ----

TIntfPtr<IXMLNode> TSoapEnvelope::MakeEnvelope(IXMLDocument* doc, TSOAPConvertOptions options) {
  TIntfPtr<IXMLNode> env = doc->CreateElement(u"SOAP-ENV:Envelope", SSoapNameSpace);
  doc->SetDocumentElement(env.Get());
  env->DeclareNamespace(u"SOAP-ENV", SSoapNameSpace);
  env->DeclareNamespace(u"xsd", SXMLSchemaURI_2001);
  env->DeclareNamespace(u"xsi", SXMLSchemaInstURI_2001);
  if (!options.Contains(soDocument)) env->DeclareNamespace(u"SOAP-ENC", SSoapEncodingURI);
  return env;
}

TIntfPtr<IXMLNode> TSoapEnvelope::MakeHeader(IXMLNode* envelope) {
  return envelope->AddChild(u"SOAP-ENV:Header", SSoapNameSpace, false);
}

TIntfPtr<IXMLNode> TSoapEnvelope::MakeBody(IXMLNode* envelope) {
  return envelope->AddChild(u"SOAP-ENV:Body", SSoapNameSpace, false);
}

// ---- TSOAPDomConv: writing ----

WideString TSOAPDomConv::NextId() { return Utf8ToUtf16(std::to_string(idCounter_++)); }

TIntfPtr<IXMLNode> TSOAPDomConv::AddMultiRefElement(IXMLNode* root, const WideString& name,
                                                    const WideString& nameSpace, const WideString& id) {
  TIntfPtr<IXMLDocument> doc = root->OwnerDocument();
  if (!doc) throw ESOAPDomConvertError("Invalid SOAP request");
  TIntfPtr<IXMLNode> node = doc->CreateElement(name, nameSpace);
  node->SetAttribute(u"id", id);
  root->AppendChild(node.Get());
  auto it = std::find_if(multiRefNodes_.begin(), multiRefNodes_.end(),
                         [&](const TMultiRefNodeElem& e) { return e.Root.Get() == root; });
  if (it == multiRefNodes_.end()) {
    multiRefNodes_.push_back({TIntfPtr<IXMLNode>(root), {}});
    it = multiRefNodes_.end() - 1;
  }
  it->Nodes.push_back(node);
  return node;
}

void TSOAPDomConv::FinishMultiRefNodes() {
  for (auto& e : multiRefNodes_)
    for (auto& n : e.Nodes) {
      TIntfPtr<IXMLNode> parent = n->ParentNode();
      if (parent.Get() != e.Root.Get()) e.Root->AppendChild(n.Get());
    }
  multiRefNodes_.clear();
}

WideString TSOAPDomConv::FindPrefixForURI(IXMLNode* root, const WideString& uri) {
  if (uri.empty()) return {};
  if (TIntfPtr<IXMLNode> decl = root->FindNamespaceDecl(uri)) {
    // A default-namespace declaration ("xmlns") binds no prefix.
    if (decl->Prefix() == u"xmlns") return decl->LocalName();
  }
  TIntfPtr<IXMLDocument> doc = root->OwnerDocument();
  WideString prefix = doc->GeneratePrefix(root);
  root->DeclareNamespace(prefix, uri);
  return prefix;
}

void TSOAPDomConv::ResetMultiRefState() {
  refCache_.Clear();
  multiRefNodes_.clear();
  objectsInProgress_.clear();
}

// ---- TSOAPDomConv: reading ----

void TSOAPDomConv::BuildIdTable(IXMLDocument* doc) {
  refCache_.Clear();
  ForEachElementWithAttribute(doc, u"id", [this](IXMLNode* node, const WideString& id) {
    if (refCache_.NodeCount() >= static_cast<size_t>(std::max(maxIds_, 0)))
      throw ESOAPDomConvertError("Response holds more than %d elements with an id", {maxIds_});
    refCache_.AddNode(id, TIntfPtr<IXMLNode>(node));
  });
}

TIntfPtr<IXMLNode> TSOAPDomConv::GetDataNode(IXMLNode*, IXMLNode* node, WideString& id) {
  id.clear();
  if (xmlread::TValueInfo v; xmlread::DescribeValue(node, false, false, v)) {
    if (!v.href.empty()) {
      WideString href = Utf8ToUtf16(v.href);
      if (IXMLNode* target = refCache_.FindNode(href)) {
        id = href.substr(1);
        return TIntfPtr<IXMLNode>(target);
      }
    } else if (v.hasId) {
      id = Utf8ToUtf16(v.id);
    }
    return TIntfPtr<IXMLNode>(node);
  }
  WideString href = node->GetAttribute(u"href");
  if (!href.empty()) {
    if (IXMLNode* target = refCache_.FindNode(href)) {
      id = href.substr(1);
      return TIntfPtr<IXMLNode>(target);
    }
    return TIntfPtr<IXMLNode>(node);
  }
  id = node->GetAttribute(u"id");
  return TIntfPtr<IXMLNode>(node);
}

bool TSOAPDomConv::NodeIsNull(IXMLNode* node) {
  if (xmlread::TValueInfo v; xmlread::DescribeValue(node, false, false, v)) {
    if (v.nil) return true;
    if (v.hasChildren) return false;
    return v.href.empty() || !refCache_.FindNode(Utf8ToUtf16(v.href));
  }
  // One pass over the attributes: this runs for every value read.
  if (node->AnyAttributeNS({u"nil", u"null", u"NULL"},
                           {SXMLSchemaInstURI_2001, SXMLSchemaInstURI_2000_10, SXMLSchemaInstURI_1999},
                           [](const WideString& value) { return IsTrue(value); }))
    return true;
  if (node->HasChildNodes()) return false;
  // An href that leads nowhere reads as an empty value, not as text to convert.
  WideString href = node->GetAttribute(u"href");
  return href.empty() || !refCache_.FindNode(href);
}

void TSOAPDomConv::GetElementType(IXMLNode* node, WideString& typeURI, WideString& typeName) {
  if (xmlread::TValueInfo v; xmlread::DescribeValue(node, true, options_.Contains(soTryAllSchema), v)) {
    typeURI = Utf8ToUtf16(v.typeURI);
    typeName = Utf8ToUtf16(v.typeName);
    return;
  }
  if (node->LocalNameIs(u"Array") && node->NamespaceURIIs(SSoapEncodingURI)) {
    typeURI = SSoapEncodingURI;
    typeName = u"Array";
    return;
  }
  bool found = false;
  WideString value;
  // Most elements carry a type: ask for the value first, and for presence only when it is empty.
  auto tryNs = [&](const WideString& ns) {
    if (found) return;
    value = node->GetAttributeNS(u"type", ns);
    found = !value.empty() || node->HasAttributeNS(u"type", ns);
  };
  tryNs(SXMLSchemaInstURI_2001);
  if (options_.Contains(soTryAllSchema)) {
    tryNs(SXMLSchemaInstURI_1999);
    tryNs(SXMLSchemaInstURI_2000_10);
  }
  tryNs(WideString());
  if (!found) {
    typeURI = node->NamespaceURI();
    typeName = node->LocalName();
    return;
  }
  size_t colon = value.find(u':');
  if (colon == WideString::npos) {
    typeURI = node->NamespaceURI();
    typeName = value;
  } else {
    typeURI = node->FindNamespaceURI(value.substr(0, colon));
    typeName = value.substr(colon + 1);
  }
}

WideString TSOAPDomConv::GetNodeText(IXMLNode* node) {
  if (xmlread::TValueInfo v; xmlread::DescribeValue(node, false, false, v)) {
    if (v.isText) return Utf8ToUtf16(v.text);
    if (!v.hasChildren) return {};
  }
  // The usual case, one text or CDATA child, without a child list.
  if (node->IsTextElement()) return node->Text();
  if (!node->HasChildNodes()) return {};
  TIntfPtr<IXMLNodeList> children = node->ChildNodes();
  int count = children->Count();
  // Text split into text and CDATA pieces is still text: its markup would corrupt the value.
  bool allText = true;
  for (int i = 0; i < count && allText; ++i) {
    TNodeType t = children->Get(i)->NodeType();
    allText = t == ntText || t == ntCData;
  }
  WideString result;
  for (int i = 0; i < count; ++i) {
    TIntfPtr<IXMLNode> child = children->Get(i);
    result += allText ? child->NodeValue() : child->XML();
  }
  return result;
}
