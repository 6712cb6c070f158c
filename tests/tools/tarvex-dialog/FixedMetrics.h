// Font metrics with round numbers, so that expected rectangles can be worked out by hand: every
// character 6 pixels wide, lines 13 pixels high (the fixed font 12), words never split: a line
// of n characters takes ceil(6n / width) lines.
#pragma once

#include <string>
#include <vector>

#include "reporting/ui/EDialogProtocol.h"
#include "tools/tarvex-dialog/DialogLayout.h"

namespace tarvex_dialog::test {

class TFixedMetrics final : public IFontMetrics {
 public:
  int TextWidth(TFontRole, std::string_view text) const override { return 6 * static_cast<int>(text.size()); }
  int LineHeight(TFontRole font) const override { return font == frFixed ? 12 : 13; }
  int WrappedHeight(TFontRole font, std::string_view text, int width) const override {
    int lines = 0;
    size_t start = 0;
    for (;;) {
      const size_t end = text.find('\n', start);
      const std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
      const int w = TextWidth(font, line);
      lines += w == 0 ? 1 : (w + width - 1) / width;
      if (end == std::string_view::npos) break;
      start = end + 1;
    }
    return lines * LineHeight(font);
  }
  int AverageCharWidth(TFontRole) const override { return 6; }
};

// The message table's default texts that the windows use.
inline std::vector<TIndexedText> DefaultTexts() {
  return {{2, "Error."},
          {3, "Error occurred"},
          {4, "An error has occurred during program execution.\r\nPlease read the following information for further "
              "details."},
          {5, "General"}, {6, "General Information"}, {7, "Call Stack"}, {8, "Call Stack Information"},
          {9, "Modules"}, {10, "Modules Information"}, {11, "Processes"}, {12, "Processes Information"},
          {13, "Assembler"}, {14, "Assembler Information"}, {15, "CPU"}, {16, "CPU Information"},
          {17, "&OK"}, {18, "&Terminate"}, {19, "&Restart"}, {20, "&Details"}, {21, "&Help"},
          {22, "&Send this error via Internet"}, {23, "&Attach a Screenshot image"}, {24, "&Copy to Clipboard"},
          {25, "Go to the Support Page"},
          {26, "The application has encountered a problem. We are sorry for the inconvenience."},
          {27, "Restart application."}, {28, "Terminate application."}, {29, "Please tell us about this problem."},
          {30, "We have created an error report that you can send to us. We will treat this report as confidential "
               "and anonymous."},
          {31, "To see what data the error report contains,"}, {32, "click here."},
          {33, "What were you doing when the problem happened (optional)?"}, {34, "Email address (optional):"},
          {35, "&Send Error Report"}, {36, "&Don't Send"},
          {92, "Address"}, {93, "Module"}, {94, "Unit"}, {95, "Class"}, {96, "Procedure/Method"}, {97, "Line"},
          {126, "Handle"}, {127, "Name"}, {128, "Description"}, {129, "Version"}, {130, "Size"}, {131, "Modified"},
          {132, "Path"}, {133, "ID"}, {134, "Name"}, {135, "Description"}, {136, "Version"}, {137, "Memory"},
          {138, "Priority"}, {139, "Threads"}, {140, "Path"}, {157, "Invalid email."}};
}

inline TDialogRequest Request(int kind, uint32_t offered, uint32_t checked = 0, const std::string& message = "boom") {
  TDialogRequest q;
  q.Kind = kind;
  q.Offered = offered;
  q.Checked = checked;
  q.Message = message;
  q.Texts = DefaultTexts();
  return q;
}

}  // namespace tarvex_dialog::test
