// The writer of a report's numbered sections: a header, an underline and field lines whose
// ": " stand in one column. Fields are numbered whether or not they are written, so an id such
// as "2.8" always names the same field.
#pragma once

#include <string>
#include <vector>

class TLogItem {
 public:
  // `sectionBefore`: the number of the section before the first one this writer starts.
  explicit TLogItem(int sectionBefore = 0) : section_(sectionBefore) {}

  // Starts the next section.
  void AddHeader(const std::string& name);
  // Numbers the next field of the current section and keeps it when `shown`.
  void AddItem(const std::string& name, const std::string& value, bool shown = true);
  // The finished text: sections without a written field left out, ": " aligned, underlines as
  // long as their section's longest line. No final line break.
  std::string GetText() const;

  int Section() const { return section_; }
  int Item() const { return item_; }

 private:
  struct TField {
    std::string Caption;             // "  H.I name"
    std::vector<std::string> Lines;  // the encoded value: the first line, then continuations
  };
  struct TSection {
    std::string Name;
    bool HasHeader = true;
    std::vector<TField> Fields;
  };
  int section_;
  int item_ = 0;
  std::vector<TSection> sections_;
};

// A value as a field stores it: line breaks as CR LF; a value of several lines with ": " as
// ":_", empty lines as ".", every line after the first indented by one blank.
std::vector<std::string> EncodeLogItemValue(const std::string& value);
