// The fixed tables of the options: the 158 customisable texts with their editor captions and
// groups, the captions of the 48 report fields, the help list of text variables and the
// default HTML page layout.
#pragma once

#include <span>
#include <string>

constexpr int kCustomizedTextCount = 158;
constexpr int kShowFieldCount = 48;

struct TCustomizedTextInfo {
  int Index;
  const char* Caption;      // editor caption; four leading blanks mark a sub-entry
  const char* DefaultText;
};

struct TCustomizedTextGroup {
  const char* Caption;
  std::span<const TCustomizedTextInfo> Entries;  // in editor order
};

// The groups in editor order. Index 153 is a reserved slot and belongs to no group.
std::span<const TCustomizedTextGroup> CustomizedTextGroups();
// Default text and caption by index; empty for the reserved slot or an index out of range.
const std::string& DefaultCustomizedText(int index);
const std::string& CustomizedTextCaption(int index);
// Caption of the group that lists the text, empty for none.
const std::string& CustomizedTextGroup(int index);

// "Application|Start Date" ... "Custom Data|All", by bit.
std::span<const char* const> ShowFieldCaptions();

// "_BugReport | Full TarvexLog bug report" ...: 26 variable names with descriptions.
std::span<const char* const> TextVariablesHelp();

// The page around the report for web-server applications; "<%HTML_TAG%>" marks the report.
const std::string& DefaultHtmlLayout();
