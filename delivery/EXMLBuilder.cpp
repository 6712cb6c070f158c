#include "delivery/EXMLBuilder.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "delivery/ELogManager.h"

// ---- The element builder ------------------------------------------------------------------------

TXMLItem* TXMLItems::Add(TXMLItem* parent, const std::string& name) {
  items_.push_back(std::make_unique<TXMLItem>(name, parent));
  return items_.back().get();
}

void TXMLItem::AddAttribute(const std::string& name, const std::string& value) {
  attributes_ += ' ';
  attributes_ += name;
  attributes_ += "=\"";
  attributes_ += XmlEscape(value);
  attributes_ += '"';
}

std::string TXMLItem::GetXML(const std::string& indent) const {
  std::string out;
  Write(out, indent);
  return out;
}

void TXMLItem::Write(std::string& out, const std::string& indent) const {
  out += indent;
  out += '<';
  out += name_;
  out += attributes_;
  if (InnerText.empty() && children_.Count() == 0) {
    out += "/>\r\n";
    return;
  }
  out += '>';
  out += InnerText;
  if (children_.Count() > 0) {
    out += "\r\n";
    const std::string inner = indent + "  ";
    for (size_t i = 0; i < children_.Count(); ++i) children_[i].Write(out, inner);
    out += indent;
  }
  out += "</";
  out += name_;
  out += ">\r\n";
}

namespace {

// The length of the valid UTF-8 sequence at `i` and its code point; 0 when it is not one.
size_t DecodeUtf8(const std::string& s, size_t i, uint32_t& cp) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned b0 = at(i);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  size_t len;
  unsigned lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const unsigned b = at(i + k);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  return len;
}

void AppendReference(std::string& out, uint32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "&#%03u;", static_cast<unsigned>(cp));
  out += buf;
}

}  // namespace

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (size_t i = 0; i < text.size();) {
    uint32_t cp;
    size_t len = DecodeUtf8(text, i, cp);
    if (len == 0) {
      // Not UTF-8: the byte as the character of the same number, as the report's old code page
      // would have meant it.
      cp = static_cast<unsigned char>(text[i]);
      len = 1;
    }
    i += len;
    if ((cp < 32 && cp != 9 && cp != 10 && cp != 13) || cp == 0xFFFE || cp == 0xFFFF) {
      out += "&#65533;";  // XML cannot hold these, not even as references
    } else if (cp < 32 || cp >= 127 || cp == '"' || cp == '&' || cp == '\'' || cp == '<' || cp == '>') {
      AppendReference(out, cp);
    } else {
      out += static_cast<char>(cp);
    }
  }
  return out;
}

// ---- The export of one report -------------------------------------------------------------------

namespace {

using TLines = std::vector<std::string>;

TLines SplitLines(const std::string& entry) {
  TLines lines;
  size_t pos = 0;
  while (pos <= entry.size()) {
    size_t nl = entry.find("\r\n", pos);
    if (nl == std::string::npos) {
      lines.push_back(entry.substr(pos));
      break;
    }
    lines.push_back(entry.substr(pos, nl - pos));
    pos = nl + 2;
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// Fixed columns of a line that may be shorter than they are.
std::string Cut(const std::string& line, size_t pos, size_t len) {
  return pos < line.size() ? line.substr(pos, len) : std::string();
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }
bool EndsWith(const std::string& s, char c) { return !s.empty() && s.back() == c; }

// The three markers that find a report's parts.
bool TableBegins(const TLines& l, size_t i) {
  return i + 1 < l.size() && EndsWith(l[i], '-') && StartsWith(l[i + 1], "|");
}
bool TableEnds(const TLines& l, size_t i) { return EndsWith(l[i], '-') && (i + 1 == l.size() || l[i + 1].empty()); }
bool SectionHeader(const TLines& l, size_t i) {
  return i + 1 < l.size() && EndsWith(l[i], ':') && StartsWith(l[i + 1], "-");
}

bool FieldLine(const std::string& line) { return line.size() > 3 && line[0] == ' ' && line[1] == ' ' && line[3] != ' '; }

std::vector<std::string> Cells(const std::string& row) {
  std::vector<std::string> cells;
  size_t pos = row.empty() || row[0] != '|' ? 0 : 1;
  while (pos < row.size()) {
    size_t bar = row.find('|', pos);
    if (bar == std::string::npos) {
      std::string rest = Trim(row.substr(pos));
      if (!rest.empty()) cells.push_back(rest);
      break;
    }
    cells.push_back(Trim(row.substr(pos, bar - pos)));
    pos = bar + 1;
  }
  return cells;
}

// "6.0.21" against 6.0.
bool VersionAtLeast(const std::string& version, int major, int minor) {
  char* end = nullptr;
  long ma = std::strtol(version.c_str(), &end, 10);
  long mi = *end == '.' ? std::strtol(end + 1, nullptr, 10) : 0;
  return ma > major || (ma == major && mi >= minor);
}

// The end of the table that begins at `top` (its bottom border), or the last line.
size_t TableBottom(const TLines& l, size_t top) {
  for (size_t i = top + 1; i < l.size(); ++i)
    if (TableEnds(l, i)) return i;
  return l.size() - 1;
}

// The rows of a table: from its fourth line to the one before its bottom border.
std::vector<std::vector<std::string>> TableRows(const TLines& l, size_t top) {
  std::vector<std::vector<std::string>> rows;
  const size_t bottom = TableBottom(l, top);
  for (size_t i = top + 3; i < bottom; ++i)
    if (!StartsWith(l[i], "|-")) rows.push_back(Cells(l[i]));
  return rows;
}

void ExportGeneral(TXMLItem& general, const TLines& l, size_t end) {
  TXMLItem* group = nullptr;
  std::string label;
  bool haveLabel = false;
  for (size_t i = 2; i < end;) {
    const std::string& line = l[i];
    if (line.empty()) {
      group = nullptr;
      haveLabel = false;
      ++i;
    } else if (!FieldLine(line) && EndsWith(line, ':') && line[0] != ' ') {
      group = nullptr;
      label = line.substr(0, line.size() - 1);
      haveLabel = true;
      i += (i + 1 < end && StartsWith(l[i + 1], "-")) ? 2 : 1;
    } else if (FieldLine(line)) {
      const size_t idEnd = std::min(line.find(' ', 2), line.size());
      const std::string id = line.substr(2, idEnd - 2);
      const size_t colon = line.find(": ", idEnd);
      std::string name = Trim(colon == std::string::npos ? line.substr(idEnd) : line.substr(idEnd, colon - idEnd));
      std::string raw = colon == std::string::npos ? std::string() : line.substr(colon + 2);
      size_t j = i + 1;
      for (; j < end && !l[j].empty() && !FieldLine(l[j]); ++j) raw += "\r\n" + l[j];
      if (!group) {
        group = general.AddChild("Group");
        group->AddAttribute("ID", id.substr(0, id.find('.')));
        if (haveLabel) group->AddAttribute("Label", label);
      }
      TXMLItem* item = group->AddChild("Line");
      item->AddAttribute("ID", id);
      item->AddAttribute("Label", name);
      item->AddAttribute("Value", LogText::DecodeValue(raw));
      i = j;
    } else {
      ++i;
    }
  }
}

void ThreadAttributes(TXMLItem& thread, const std::string& heading) {
  const size_t colon = heading.find(':');
  std::string rest = colon == std::string::npos ? std::string() : heading.substr(colon + 1);
  std::vector<std::string> parts;
  for (size_t pos = 0;;) {
    size_t sep = rest.find("; ", pos);
    parts.push_back(Trim(rest.substr(pos, sep == std::string::npos ? std::string::npos : sep - pos)));
    if (sep == std::string::npos) break;
    pos = sep + 2;
  }
  const auto valueOf = [&](size_t k) {
    if (k >= parts.size()) return std::string();
    size_t eq = parts[k].find('=');
    return eq == std::string::npos ? std::string() : parts[k].substr(eq + 1);
  };
  thread.AddAttribute("ID", valueOf(0));
  thread.AddAttribute("Priority", valueOf(1));
  thread.AddAttribute("Class", valueOf(2));
  // ID, priority, class, then "[Main]" for the main thread.
  thread.AddAttribute("MainThread", parts.size() >= 4 ? "True" : "False");
}

void ExportCallStack(TXMLItem& callStack, const TLines& l, size_t top, bool threadRows) {
  TXMLItem* current = nullptr;
  bool newTop = false;
  for (const auto& cells : TableRows(l, top)) {
    if (cells.size() < 6) {
      if (!threadRows) continue;
      const std::string heading = cells.empty() ? std::string() : cells[0];
      if (heading.empty()) {
        newTop = true;
        continue;
      }
      if (!current) {
        current = callStack.AddChild("ExceptionThread");
      } else if (newTop) {
        current = callStack.AddChild("RunningThread");
      } else {
        current = current->AddChild("CallingThread");
      }
      newTop = false;
      ThreadAttributes(*current, heading);
      continue;
    }
    if (!current) current = callStack.AddChild("ExceptionThread");
    TXMLItem* line = current->AddChild("Line");
    std::string procedure = cells[4];
    if (!procedure.empty() && procedure[0] == '@') procedure[0] = '_';
    const std::string& lineCell = cells[5];
    const size_t bracket = lineCell.find('[');
    std::string offset;
    if (bracket != std::string::npos) {
      size_t close = lineCell.find(']', bracket);
      offset = lineCell.substr(bracket + 1, close == std::string::npos ? std::string::npos : close - bracket - 1);
    }
    line->AddAttribute("Address", cells[0]);
    line->AddAttribute("Module", cells[1]);
    line->AddAttribute("Unit", cells[2]);
    line->AddAttribute("Class", cells[3]);
    line->AddAttribute("Procedure", procedure);
    line->AddAttribute("Number", lineCell.substr(0, bracket));
    line->AddAttribute("Offset", offset);
  }
}

void ExportTable(TXMLItem& parent, const TLines& l, size_t header, const char* element,
                 const std::vector<const char*>& columns) {
  if (!TableBegins(l, header + 1)) return;
  for (const auto& cells : TableRows(l, header + 1)) {
    TXMLItem* row = parent.AddChild(element);
    if (std::string(element) == "Module") {
      // Handle, name, description, version, size, then the path or the date and the path.
      static const char* const kNames[] = {"Handle", "Name", "Description", "Version", "Size"};
      for (size_t k = 0; k < 5; ++k) row->AddAttribute(kNames[k], k < cells.size() ? cells[k] : std::string());
      if (cells.size() >= 7) row->AddAttribute("Modified", cells[5]);
      row->AddAttribute("Path", cells.size() >= 6 ? cells.back() : std::string());
      continue;
    }
    for (size_t k = 0; k < columns.size(); ++k) row->AddAttribute(columns[k], k < cells.size() ? cells[k] : std::string());
  }
}

void ExportAssembler(TXMLItem& assembler, const TLines& l, size_t header) {
  for (size_t i = header + 2; i < l.size() && !l[i].empty(); ++i) {
    const std::string& text = l[i];
    TXMLItem* line = assembler.AddChild("Line");
    if (text[0] == ';') {
      line->AddAttribute("Comment", Trim(text.substr(1)));
      continue;
    }
    size_t digits = 0;
    while (digits < text.size() && std::isxdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    const size_t semicolon = text.find(';', digits);
    line->AddAttribute("Address", text.substr(0, digits));
    const size_t from = digits + 2;
    std::string command = semicolon == std::string::npos ? Cut(text, from, std::string::npos)
                          : semicolon > from             ? text.substr(from, semicolon - from)
                                                         : std::string();
    line->AddAttribute("Command", Trim(command));
    line->AddAttribute("Comment", semicolon == std::string::npos ? std::string() : Trim(text.substr(semicolon + 1)));
  }
}

// "RAX: 0000000000000001   RDI: ..." lines, then the stack and memory-dump lines.
void ExportCpu(TXMLItem& cpu, const TLines& l, size_t header) {
  size_t i = header + 2;
  std::vector<std::pair<std::string, std::string>> first, second;
  for (; i < l.size() && !l[i].empty(); ++i) {
    const std::string& line = l[i];
    size_t pos = 0;
    for (int column = 0; column < 2 && pos < line.size(); ++column) {
      while (pos < line.size() && line[pos] == ' ') ++pos;
      size_t colon = line.find(':', pos);
      if (colon == std::string::npos) break;
      std::string name = line.substr(pos, colon - pos);
      size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') ++v;
      size_t ve = std::min(line.find(' ', v), line.size());
      (column == 0 ? first : second).emplace_back(name, line.substr(v, ve - v));
      pos = ve;
    }
  }
  TXMLItem* registers = cpu.AddChild("Registers");
  for (const auto* list : {&first, &second})
    for (const auto& [name, value] : *list)
      if (value.find_first_not_of('?') != std::string::npos) registers->AddAttribute(name, value);
  // The dump: a caption line, its underline, then one line per stack word and 16 bytes.
  i += 3;
  if (i > l.size()) return;
  TXMLItem* stack = cpu.AddChild("Stack");
  TXMLItem* dump = cpu.AddChild("MemoryDump");
  for (; i < l.size() && !l[i].empty(); ++i) {
    const std::string& line = l[i];
    TXMLItem* s = stack->AddChild("Line");
    s->AddAttribute("Address", Cut(line, 0, 16));
    s->AddAttribute("Value", Cut(line, 18, 16));
    TXMLItem* d = dump->AddChild("Line");
    d->AddAttribute("Address", Cut(line, 37, 16));
    d->AddAttribute("Bytes", Cut(line, 55, 47));
    d->AddAttribute("Chars", Cut(line, 104, 16));
  }
}

void ExportEntry(TXMLItem& log, const std::string& entry, const std::string& version) {
  const TLines l = SplitLines(entry);
  TXMLItem* general = log.AddChild("General");
  TXMLItem* callStack = log.AddChild("CallStack");
  TXMLItem* modules = log.AddChild("Modules");
  TXMLItem* processes = log.AddChild("Processes");
  TXMLItem* assembler = log.AddChild("Assembler");
  TXMLItem* cpu = log.AddChild("CPU");
  TXMLItem* reproduce = log.AddChild("HoToReproduce");

  size_t top = 0;
  while (top < l.size() && !TableBegins(l, top)) ++top;
  if (top >= l.size()) return;
  // The general part ends before the call stack's title line.
  size_t generalEnd = top > 0 ? top - 1 : 0;
  while (generalEnd > 0 && Trim(l[generalEnd - 1]).empty()) --generalEnd;
  ExportGeneral(*general, l, generalEnd);

  const bool v5 = VersionAtLeast(version, 5, 0), v6 = VersionAtLeast(version, 6, 0);
  ExportCallStack(*callStack, l, top, v5);

  const size_t bottom = TableBottom(l, top);
  std::vector<size_t> headers;
  for (size_t i = bottom + 1; i < l.size(); ++i)
    if (SectionHeader(l, i)) headers.push_back(i);
  if (headers.size() > 0) ExportTable(*modules, l, headers[0], "Module", {});
  if (v6 && headers.size() > 1)
    ExportTable(*processes, l, headers[1], "Process",
                {"ID", "Name", "Description", "Version", "Memory", "Priority", "Threads", "Path"});
  if (v6 && headers.size() > 2) ExportAssembler(*assembler, l, headers[2]);
  // The CPU part is the section whose block names the first register.
  for (size_t k = v6 ? 3 : 0; k < headers.size(); ++k) {
    const size_t h = headers[k];
    if (h + 2 < l.size() && (StartsWith(l[h + 2], "RAX:") || StartsWith(l[h + 2], "EAX:"))) {
      ExportCpu(*cpu, l, h);
      break;
    }
  }
  if (!v5) {
    // Older reports: the reproduce text under the third header after the third table.
    size_t tables = 0, i = 0;
    for (; i < l.size() && tables < 3; ++i)
      if (TableBegins(l, i)) {
        ++tables;
        i = TableBottom(l, i);
      }
    size_t seen = 0;
    for (; i < l.size(); ++i)
      if (SectionHeader(l, i) && ++seen == 3) break;
    std::string text;
    for (size_t j = i + 2; j < l.size() && !l[j].empty(); ++j) text += (text.empty() ? "" : "\r\n") + l[j];
    if (!text.empty()) reproduce->AddAttribute("Text", text);
  }
}

}  // namespace

std::string LogEntriesToXML(const std::vector<std::string>& entries, const std::string& password) {
  // Encoded names need the debug-information encoding, which this build does not have: they are
  // exported as they are stored, whatever the password.
  (void)password;
  std::string out = "<Doc>\r\n";
  for (const std::string& entry : entries) {
    const std::string first = entry.substr(0, entry.find("\r\n"));
    const std::string version = first.size() > 10 ? Trim(first.substr(10)) : std::string();
    TXMLItem log("Log");
    log.AddAttribute("Version", version);
    ExportEntry(log, entry, version);
    out += log.GetXML("  ");
  }
  out += "</Doc>\r\n";
  return out;
}
