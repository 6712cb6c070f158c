// What the document component and the answer reader share about running libxml2's parser:
// its quiet, network-free set-up, the first error of a parse, and the parse error exception.
#pragma once

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <string>
#include <string_view>

#include "soap/XMLDoc.h"

namespace xmlparse {

// Sets libxml2 up once (no external loads, no messages on stderr) and for the calling thread.
void InitLibXml();

// Lives in the parser context's `_private` during a parse.
struct TParseContext {
  // The first error: the parser may report more after it, but the first one says what is wrong.
  bool set = false;
  std::string message;
  int line = 0, column = 0, code = 0;
  // The answer reader's state, and the context its callbacks build from (entity content is
  // parsed in contexts of its own).
  void* reader = nullptr;
  xmlParserCtxtPtr main = nullptr;
};

// The structured error handler: keeps the first error in the context's TParseContext.
void RecordError(void* userData, xmlErrorPtr error);

// While one exists, the external entity loader refuses every load on this thread.
struct TRefuseExternal {
  TRefuseExternal();
  ~TRefuseExternal();
};

// libxml2's options for the component's parse options.
int ParserOptions(TParseOptions options);

// The EDOMParseError for a parse of `bytes` that failed (`forcedUtf8`: the declaration's
// encoding was ignored).
EDOMParseError MakeParseError(xmlParserCtxtPtr ctxt, const TParseContext& first, std::string_view bytes,
                              bool forcedUtf8);

// Whether the text starts with an XML declaration.
bool SniffDeclaration(std::string_view bytes, bool isUtf8);

}  // namespace xmlparse
