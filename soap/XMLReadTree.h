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
#include <string_view>

#include "soap/XMLDoc.h"

// Parses `bytes` (encoding from the byte-order mark or the declaration) into a new read-only
// document. Raises EDOMParseError, with the same text as TXMLDocument, when malformed.
TIntfPtr<IXMLDocument> LoadXMLReadOnly(std::string_view bytes, TParseOptions parseOptions = {});

// Whether the document, or the node, belongs to a document made by LoadXMLReadOnly.
bool IsReadOnlyXMLDocument(IXMLDocument* doc);
bool IsReadOnlyXMLNode(IXMLNode* node);

namespace xmlread {
// ForEachElementWithAttribute (XMLDoc.h) on a read-only document; false for other documents.
bool ForEachElementWithAttribute(IXMLDocument* doc, const WideString& name,
                                 const std::function<void(IXMLNode*, const WideString&)>& visit);
}  // namespace xmlread
