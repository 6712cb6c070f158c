// The HTML page that stands in for a web-server program's response when it reports an
// exception: the report escaped into the page layout, with a marker that lets the layer tell
// its own page from the program's.
#include <cstdio>
#include <string>
#include <string_view>

#include "reporting/report/EReport.h"
#include "runtime/Strings.h"

// A new random number for the page marker (the platform's random source).
uint32_t NewPageMarkerNumber();

namespace {

constexpr std::string_view kHtmlTag = "<%HTML_TAG%>";

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    switch (c) {
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#039;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case ' ':
        if (i + 1 < text.size() && text[i + 1] == ' ') {
          out += "&nbsp;&nbsp;";
          ++i;
        } else {
          out += ' ';
        }
        break;
      case '\r':
        if (i + 1 < text.size() && text[i + 1] == '\n') {
          out += "<br>\r\n";
          ++i;
        } else {
          out += c;
        }
        break;
      default: out += c;
    }
  }
  return out;
}

// Control characters folded to blanks (a run to one), then trimmed.
std::string FoldedAndTrimmed(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 32) {
      if (out.empty() || out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  return Trim(out);
}

// Positions of `what` in `text`, compared without case.
size_t FindText(std::string_view text, std::string_view what, size_t from = 0) {
  for (size_t i = from; i + what.size() <= text.size(); ++i)
    if (SameText(text.substr(i, what.size()), what)) return i;
  return std::string_view::npos;
}

}  // namespace

std::string BuildHtmlPage(const TTarvexModuleOptions& options, const std::string& text, bool okButton,
                          std::string* marker) {
  std::string body = EscapeHtml(text);
  if (okButton)
    body += "<br><input type=button value=\"Ok\" OnClick=\"history.go(-1)\" "
            "style=\"width:75;height:25;z-index:100;font-style:normal;font-size:10pt;text-decoration:none;\">";

  std::string layout = FoldedAndTrimmed(options.HtmlLayout()).empty() ? DefaultHtmlLayout() : options.HtmlLayout();
  for (size_t at = FindText(layout, kHtmlTag); at != std::string::npos; at = FindText(layout, kHtmlTag, at + 1))
    layout.replace(at, kHtmlTag.size(), kHtmlTag);

  size_t title = FindText(layout, "<title>");
  if (title == std::string::npos || FindText(layout, "</title>", title) == std::string::npos)
    layout = "<title>" + EscapeHtml(options.GetText(3)) + "</title>" + layout;

  char id[48];
  std::snprintf(id, sizeof id, "<!-- TarvexLog ID: %08X -->", NewPageMarkerNumber());
  if (marker) *marker = id;
  return StringReplace(layout, kHtmlTag, body, true) + id;
}
