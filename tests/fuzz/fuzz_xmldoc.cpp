// Loads arbitrary bytes through the XML document component, then walks and saves the tree:
// every failure must be the runtime's exception.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "soap/XMLDoc.h"

namespace {

void Walk(IXMLNode* root) {
  // Iterative: the tree's depth is the parser's business, not this stack's.
  std::vector<TIntfPtr<IXMLNode>> pending{TIntfPtr<IXMLNode>(root)};
  size_t visited = 0;
  while (!pending.empty() && ++visited < 20000) {
    TIntfPtr<IXMLNode> node = std::move(pending.back());
    pending.pop_back();
    node->NodeName();
    node->NamespaceURI();
    if (node->NodeType() == ntElement) {
      TIntfPtr<IXMLNodeList> attrs = node->AttributeNodes();
      for (int i = 0; i < attrs->Count(); ++i) attrs->Get(i)->NodeValue();
      if (node->IsTextElement()) node->Text();
      node->FindNamespaceURI(node->Prefix());
    }
    if (!node->HasChildNodes()) continue;
    for (TIntfPtr<IXMLNode> child = node->ChildNodes()->First(); child; child = child->NextSibling())
      pending.push_back(child);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    TIntfPtr<IXMLDocument> doc = LoadXMLDocumentBytes({reinterpret_cast<const char*>(data), size});
    Walk(doc->Node().Get());
    std::string bytes = doc->SaveToBytes();
    // What the component wrote it must read back.
    LoadXMLDocumentBytes(bytes);
  } catch (const Exception&) {
  }
  return 0;
}
