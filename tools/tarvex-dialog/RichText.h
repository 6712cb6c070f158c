// The reporting layer's rich-text subset read into paragraphs of coloured runs: the font and
// colour tables, \cfN, \b, \par, \pard, \txN and \tab; text bytes are UTF-8. Anything else is
// skipped, so a richer text still shows its words.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex_dialog {

struct TRichRun {
  std::string Text;       // may hold '\t'
  bool Bold = false;
  bool AutoColour = true; // \cf0 or no colour: the default text colour
  uint32_t Colour = 0;    // 0xRRGGBB when not AutoColour
  bool operator==(const TRichRun&) const = default;
};

struct TRichParagraph {
  std::vector<TRichRun> Runs;
  std::vector<int> TabStopsTwips;
};

struct TRichDocument {
  std::string FontName;
  int HalfPoints = 0;  // \fsN; 0 when absent
  std::vector<TRichParagraph> Paragraphs;
  std::string PlainText() const;  // paragraphs joined with '\n'
};

TRichDocument ParseRichText(std::string_view rtf);

}  // namespace tarvex_dialog
