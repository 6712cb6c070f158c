// A read-only document for answers: one pass of libxml2's parser fills an arena with nodes
// that are their own IXMLNode interfaces, so reading an answer allocates no tree of libxml2's
// and no interface objects, and freeing it is a handful of frees.
//
// Reading through IXMLNode, IXMLNodeList and IXMLDocument works as on TXMLDocument: names,
// namespaces and their lookups, attributes, text, navigation, the XML of a node (with the
// declarations it needs from its ancestors written on it), saving, and ImportNode of its nodes
// into an ordinary document. Every change (adding, setting, removing, cloning, loading)
// raises EXMLDocError "The document is read-only". The parser runs as for TXMLDocument: the
// same limits, no network, no external entity or DTD, no entity substituted, and white-space-
// only text between elements dropped unless poPreserveWhiteSpace.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "soap/XMLDoc.h"

// Parses `bytes` (encoding from the byte-order mark or the declaration) into a new read-only
// document. Raises EDOMParseError, with the same text as TXMLDocument, when malformed.
TIntfPtr<IXMLDocument> LoadXMLReadOnly(std::string_view bytes, TParseOptions parseOptions = {});

// Whether the document, or the node, belongs to a document made by LoadXMLReadOnly.
bool IsReadOnlyXMLDocument(IXMLDocument* doc);
bool IsReadOnlyXMLNode(IXMLNode* node);

namespace xmlread {
// What the answer reader asks of every value element, found in one pass over its attributes
// and compared in UTF-8: the converter reads each value through these, and going through the
// node interface would copy every name and value into UTF-16 and back.
struct TValueInfo {
  bool hasHref = false, hasId = false;
  std::string_view href, id;
  // xsi:nil, xsi:null or xsi:NULL (schema-instance namespaces 2001, 2000/10, 1999) is "1" or "true".
  bool nil = false;
  bool hasChildren = false;
  // The element's type: its type attribute (schema-instance 2001, then with `tryAllSchema`
  // 1999 and 2000/10, then unqualified), the prefix resolved where the element stands; else
  // the element's own name. An element Array in the SOAP encoding namespace is that type.
  std::string_view typeURI, typeName;
  // The element's text when its only child is one text node.
  bool isText = false;
  std::string_view text;
};
// Fills `info` (the type only `withType`) for an element of a read-only document; false
// (nothing filled) for other nodes.
bool DescribeValue(IXMLNode* node, bool withType, bool tryAllSchema, TValueInfo& info);

// The child nodes of an element of a read-only document, without a reference counted for
// each (the caller holds the document), with the local names of elements in UTF-8; false
// (nothing added) for other nodes.
struct TChild {
  IXMLNode* node;
  const char* local;  // elements only, else null
};
bool Children(IXMLNode* node, std::vector<TChild>& out);

// ForEachElementWithAttribute (XMLDoc.h) on a read-only document; false for other documents.
bool ForEachElementWithAttribute(IXMLDocument* doc, const WideString& name,
                                 const std::function<void(IXMLNode*, const WideString&)>& visit);
}  // namespace xmlread
