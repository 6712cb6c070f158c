// Rich-text renderings of report parts for the detailed dialog. The output is RTF restricted
// to what the dialog helper reads: the font and colour tables, \cfN colours, \b bold, \par
// paragraphs and one \txN tab stop. Text bytes pass through unchanged (UTF-8).
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "reporting/report/EReport.h"

namespace {

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\\' || c == '{' || c == '}') out += '\\';
    out += c;
  }
  return out;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  if (text.empty()) return lines;
  size_t start = 0;
  for (;;) {
    size_t end = text.find("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
}

// The document around rendered lines; each line ends a paragraph except the last.
std::string Document(const std::vector<std::string>& lines, const TRichTextFont& font) {
  char head[512];
  std::snprintf(head, sizeof head,
                "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1040{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset%d %s;}}\r\n"
                "{\\colortbl ;\\red0\\green100\\blue100;\\red0\\green0\\blue0;\\red40\\green40\\blue40;"
                "\\red0\\green0\\blue160;\\red160\\green0\\blue0;\\red80\\green80\\blue80;\\red0\\green100\\blue0;}\r\n"
                "\\f0\\fs%d\r\n",
                font.Charset, font.Name.c_str(), font.PointSize * 2);
  std::string out = head;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out += "\\par\r\n";
    out += lines[i];
  }
  return out + "}";
}

std::string TrimRight(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return std::string(s);
}

// Colour indices of the table above.
constexpr const char* kBlack = "\\cf2 ";
constexpr const char* kDarkGrey = "\\cf3 ";
constexpr const char* kDarkBlue = "\\cf4 ";
constexpr const char* kDarkRed = "\\cf5 ";
constexpr const char* kGrey = "\\cf6 ";
constexpr const char* kDarkGreen = "\\cf7 ";

std::string GeneralLine(std::string_view line, bool first) {
  if (first) return "\\cf1\\b " + Escape(line) + "\\b0";
  size_t colon = line.find(':');
  if (!line.empty() && line[0] != ' ' && colon == line.size() - 1) return "\\cf3\\b " + Escape(line) + "\\b0";
  if (!line.empty() && line[0] == '-') return kDarkGrey + Escape(line);
  if (line.find(": ") != std::string_view::npos) {
    // "  1.2 Name   : value": the field number dark red, the name black, the value dark blue.
    size_t number = line.find_first_not_of(' ');
    size_t numberEnd = line.find(' ', number);
    if (numberEnd == std::string_view::npos || numberEnd > colon) numberEnd = number;
    return kDarkRed + Escape(line.substr(0, numberEnd)) + kBlack +
           Escape(line.substr(numberEnd, colon + 1 - numberEnd)) + kDarkBlue + Escape(line.substr(colon + 1));
  }
  return Escape(line);
}

bool IsPrefix(std::string_view word) {
  for (const char* p : {"rep", "repe", "repz", "repne", "repnz", "lock", "bnd", "notrack", "xacquire", "xrelease"})
    if (word == p) return true;
  return false;
}

std::string AssemblerLine(std::string_view line) {
  if (line.empty()) return {};
  size_t semicolon = line.find(';');
  std::string_view comment = semicolon == std::string_view::npos ? std::string_view() : line.substr(semicolon);
  std::string_view code = line.substr(0, semicolon == std::string_view::npos ? line.size() : semicolon);
  std::string out;
  if (!code.empty()) {
    // "ADDRESS  mnemonic operands"; prefixes such as "rep" belong to the mnemonic.
    size_t addressEnd = code.find(' ');
    if (addressEnd == std::string_view::npos) addressEnd = code.size();
    size_t mnemonic = code.find_first_not_of(' ', addressEnd);
    if (mnemonic == std::string_view::npos) mnemonic = code.size();
    size_t mnemonicEnd = mnemonic;
    for (;;) {
      size_t wordEnd = code.find(' ', mnemonicEnd);
      if (wordEnd == std::string_view::npos) wordEnd = code.size();
      std::string_view word = code.substr(mnemonicEnd, wordEnd - mnemonicEnd);
      mnemonicEnd = wordEnd;
      if (!IsPrefix(word) || wordEnd == code.size()) break;
      ++mnemonicEnd;
    }
    std::string_view operands = code.substr(mnemonicEnd);
    out = kDarkRed + Escape(code.substr(0, mnemonic)) + "\\cf4\\b " +
          Escape(code.substr(mnemonic, mnemonicEnd - mnemonic));
    if (operands.find_first_not_of(' ') == std::string_view::npos)
      out += "\\b0" + Escape(operands);
    else
      out += std::string("\\b0") + kDarkGreen + Escape(operands);
  }
  if (!comment.empty()) out += kGrey + Escape(comment);
  return out;
}

// "RAX: 0000000000000000   RDI: ...": names black, values dark blue.
std::string RegisterLine(std::string_view line) {
  std::string out;
  size_t start = 0;
  while (start < line.size()) {
    size_t end = line.find("   ", start);
    if (end == std::string_view::npos) end = line.size();
    std::string_view cell = line.substr(start, end - start);
    size_t colon = cell.find(':');
    if (colon == std::string_view::npos)
      out += Escape(cell);
    else
      out += kBlack + Escape(cell.substr(0, colon + 1)) + kDarkBlue + Escape(cell.substr(colon + 1));
    if (end < line.size()) out += "   ";
    start = end + 3;
  }
  return out;
}

// "STACKADDR: WORD   MEMADDR: HH .. HH  CHARS": addresses and word dark blue, the bytes
// black, the characters dark red.
std::string DumpLine(std::string_view line) {
  size_t gap = line.find("   ");
  size_t colon = gap == std::string_view::npos ? gap : line.find(": ", gap);
  size_t chars = colon == std::string_view::npos ? colon : colon + 2 + 16 * 3 + 1;
  if (chars == std::string_view::npos || chars > line.size()) return kBlack + Escape(line);
  return kDarkBlue + Escape(line.substr(0, colon + 1)) + kBlack + Escape(line.substr(colon + 1, chars - colon - 1)) +
         kDarkRed + Escape(line.substr(chars));
}

}  // namespace

std::string GeneralRichText(const std::string& generalPart, const TRichTextFont& font) {
  std::vector<std::string> out;
  for (std::string_view line : SplitLines(generalPart)) out.push_back(GeneralLine(line, out.empty()));
  return Document(out, font);
}

std::string AssemblerRichText(const std::string& assembler, const TRichTextFont& font) {
  std::vector<std::string> out;
  for (std::string_view line : SplitLines(assembler)) out.push_back(AssemblerLine(line));
  return Document(out, font);
}

std::string CpuRichText(const std::string& cpu, const TRichTextFont& font) {
  std::vector<std::string_view> lines = SplitLines(cpu);
  std::vector<std::string> out;
  // Title, underline, register lines up to the first empty line, then the dump's heading,
  // its underline and the dump lines.
  size_t i = 0;
  for (; i < lines.size() && i < 2; ++i)
    out.push_back(i == 0 ? "\\cf3\\b " + Escape(lines[i]) + "\\b0" : kDarkGrey + Escape(lines[i]));
  for (; i < lines.size() && !lines[i].empty(); ++i) out.push_back(RegisterLine(lines[i]));
  for (; i < lines.size() && lines[i].empty(); ++i) out.emplace_back();
  if (i + 1 < lines.size()) {
    std::string_view heading = lines[i], underline = lines[i + 1];
    // The dump column starts where the underline's second run of dashes does.
    size_t column = underline.find_first_not_of('-');
    column = column == std::string_view::npos ? column : underline.find('-', column);
    if (font.TabStopTwips > 0 && column != std::string_view::npos && column <= heading.size()) {
      out.push_back("\\pard\\tx" + std::to_string(font.TabStopTwips) + "\\cf3\\b " +
                    Escape(TrimRight(heading.substr(0, column))) + "\\tab " + Escape(heading.substr(column)) + "\\b0");
      out.push_back(kDarkGrey + Escape(TrimRight(underline.substr(0, column))) + "\\tab " +
                    Escape(underline.substr(column)));
    } else {
      out.push_back("\\cf3\\b " + Escape(heading) + "\\b0");
      out.push_back(kDarkGrey + Escape(underline));
    }
    i += 2;
  }
  for (; i < lines.size(); ++i) out.push_back(lines[i].empty() ? std::string() : DumpLine(lines[i]));
  return Document(out, font);
}
