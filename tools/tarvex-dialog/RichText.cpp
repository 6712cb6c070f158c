#include "tools/tarvex-dialog/RichText.h"

#include <cctype>
#include <cstdlib>

namespace tarvex_dialog {

namespace {

enum TDestination { dsText, dsFontTable, dsColourTable, dsSkip };

struct TState {
  TDestination Destination = dsText;
  bool Bold = false;
  int Colour = 0;  // index into the colour table; 0 is "auto"
};

class TParser {
 public:
  explicit TParser(std::string_view rtf) : in_(rtf) {}

  TRichDocument Run() {
    doc_.Paragraphs.emplace_back();
    std::vector<TState> stack{TState{}};
    while (at_ < in_.size()) {
      const char c = in_[at_];
      if (c == '{') {
        stack.push_back(stack.back());
        ++at_;
        // "{\*\dest ...}": an ignorable destination.
        if (in_.substr(at_, 2) == "\\*") stack.back().Destination = dsSkip;
      } else if (c == '}') {
        if (stack.back().Destination == dsColourTable && pending_.Set) EndColour();
        if (stack.size() > 1) stack.pop_back();
        ++at_;
      } else if (c == '\\') {
        ControlWord(stack.back());
      } else if (c == '\r' || c == '\n') {
        ++at_;
      } else {
        Literal(stack.back(), std::string(1, c));
        ++at_;
      }
    }
    return std::move(doc_);
  }

 private:
  void ControlWord(TState& s) {
    ++at_;
    if (at_ >= in_.size()) return;
    const char first = in_[at_];
    if (!std::isalpha(static_cast<unsigned char>(first))) {
      ++at_;
      if (first == '\\' || first == '{' || first == '}') {
        Literal(s, std::string(1, first));
      } else if (first == '\'' && at_ + 2 <= in_.size()) {
        const std::string hex(in_.substr(at_, 2));
        at_ += 2;
        Literal(s, std::string(1, static_cast<char>(std::strtol(hex.c_str(), nullptr, 16))));
      } else if (first == '~') {
        Literal(s, " ");
      }
      return;
    }
    const size_t start = at_;
    while (at_ < in_.size() && std::isalpha(static_cast<unsigned char>(in_[at_]))) ++at_;
    const std::string_view word = in_.substr(start, at_ - start);
    bool hasNumber = false;
    long number = 0;
    const size_t numberStart = at_;
    if (at_ < in_.size() && (in_[at_] == '-' || std::isdigit(static_cast<unsigned char>(in_[at_])))) {
      ++at_;
      while (at_ < in_.size() && std::isdigit(static_cast<unsigned char>(in_[at_]))) ++at_;
      number = std::strtol(std::string(in_.substr(numberStart, at_ - numberStart)).c_str(), nullptr, 10);
      hasNumber = true;
    }
    if (at_ < in_.size() && in_[at_] == ' ') ++at_;  // the delimiter belongs to the word

    if (word == "fonttbl") s.Destination = dsFontTable;
    else if (word == "colortbl") {
      s.Destination = dsColourTable;
      colours_.clear();
      pending_ = {};
    } else if (s.Destination == dsColourTable) {
      if (word == "red") pending_.R = static_cast<int>(number), pending_.Set = true;
      else if (word == "green") pending_.G = static_cast<int>(number), pending_.Set = true;
      else if (word == "blue") pending_.B = static_cast<int>(number), pending_.Set = true;
    } else if (s.Destination == dsText) {
      if (word == "par") doc_.Paragraphs.push_back({{}, tabStops_});
      else if (word == "pard") tabStops_.clear(), doc_.Paragraphs.back().TabStopsTwips.clear();
      else if (word == "tx" && hasNumber) tabStops_.push_back(static_cast<int>(number)),
                                         doc_.Paragraphs.back().TabStopsTwips = tabStops_;
      else if (word == "tab") Literal(s, "\t");
      else if (word == "b") s.Bold = !hasNumber || number != 0;
      else if (word == "cf") s.Colour = static_cast<int>(number);
      else if (word == "fs" && hasNumber) doc_.HalfPoints = static_cast<int>(number);
      else if (word == "line") Literal(s, "\n");
    }
  }

  void Literal(const TState& s, const std::string& text) {
    if (s.Destination == dsFontTable) {
      if (text == ";") fontDone_ = true;
      else if (!fontDone_ && !(doc_.FontName.empty() && text == " ")) doc_.FontName += text;
      return;
    }
    if (s.Destination == dsColourTable) {
      if (text == ";") EndColour();
      return;
    }
    if (s.Destination != dsText) return;
    TRichRun run;
    run.Bold = s.Bold;
    if (s.Colour > 0 && static_cast<size_t>(s.Colour) < colours_.size() && colours_[s.Colour].Set) {
      run.AutoColour = false;
      const TColour& c = colours_[s.Colour];
      run.Colour = static_cast<uint32_t>((c.R & 0xFF) << 16 | (c.G & 0xFF) << 8 | (c.B & 0xFF));
    }
    std::vector<TRichRun>& runs = doc_.Paragraphs.back().Runs;
    if (!runs.empty() && runs.back().Bold == run.Bold && runs.back().AutoColour == run.AutoColour &&
        runs.back().Colour == run.Colour) {
      runs.back().Text += text;
    } else {
      run.Text = text;
      runs.push_back(std::move(run));
    }
  }

  void EndColour() {
    colours_.push_back(pending_);
    pending_ = {};
  }

  struct TColour {
    int R = 0, G = 0, B = 0;
    bool Set = false;
  };
  std::string_view in_;
  size_t at_ = 0;
  TRichDocument doc_;
  std::vector<TColour> colours_;
  TColour pending_;
  std::vector<int> tabStops_;
  bool fontDone_ = false;
};

}  // namespace

std::string TRichDocument::PlainText() const {
  std::string out;
  for (size_t i = 0; i < Paragraphs.size(); ++i) {
    if (i) out += '\n';
    for (const TRichRun& r : Paragraphs[i].Runs) out += r.Text;
  }
  return out;
}

TRichDocument ParseRichText(std::string_view rtf) { return TParser(rtf).Run(); }

}  // namespace tarvex_dialog
