#include "reporting/report/ELogItem.h"

#include <algorithm>

namespace {

bool BlankOnly(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

}  // namespace

std::vector<std::string> EncodeLogItemValue(const std::string& value) {
  // Lone CR and lone LF count as line breaks too.
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < value.size() && value[i + 1] == '\n') ++i;
      lines.emplace_back();
    } else {
      lines.back() += c;
    }
  }
  if (lines.size() == 1) return lines;
  for (size_t n = 0; n < lines.size(); ++n) {
    std::string& line = lines[n];
    for (size_t p = line.find(": "); p != std::string::npos; p = line.find(": ", p + 2)) line[p + 1] = '_';
    if (BlankOnly(line)) line = ".";
    if (n > 0) line.insert(0, 1, ' ');
  }
  return lines;
}

void TLogItem::AddHeader(const std::string& name) {
  ++section_;
  item_ = 0;
  sections_.push_back({name, true, {}});
}

void TLogItem::AddItem(const std::string& name, const std::string& value, bool shown) {
  ++item_;
  if (!shown) return;
  if (sections_.empty()) sections_.push_back({{}, false, {}});
  sections_.back().Fields.push_back(
      {"  " + std::to_string(section_) + "." + std::to_string(item_) + " " + name, EncodeLogItemValue(value)});
}

std::string TLogItem::GetText() const {
  std::string text;
  for (const TSection& s : sections_) {
    if (s.Fields.empty()) continue;
    // Every ": " one past the longest id and name; continuation lines under the values.
    size_t column = 0;
    for (const TField& f : s.Fields) column = std::max(column, f.Caption.size());
    std::vector<std::string> lines;
    size_t longest = 0;
    for (const TField& f : s.Fields)
      for (size_t n = 0; n < f.Lines.size(); ++n) {
        std::string line = n == 0 ? f.Caption + std::string(column - f.Caption.size(), ' ') + ": " + f.Lines[0]
                                  : std::string(column + 1, ' ') + f.Lines[n];
        longest = std::max(longest, line.size());
        lines.push_back(std::move(line));
      }
    if (!text.empty()) text += "\r\n\r\n";
    if (s.HasHeader) {
      text += s.Name + ":\r\n" + std::string(std::max<size_t>(longest, 1), '-');
    }
    for (size_t n = 0; n < lines.size(); ++n) {
      if (n > 0 || s.HasHeader) text += "\r\n";
      text += lines[n];
    }
  }
  return text;
}
