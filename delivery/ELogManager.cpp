#include "delivery/ELogManager.h"

#include <algorithm>
#include <cstring>

#include "delivery/EXMLBuilder.h"
#include "reporting/report/ELogItem.h"

namespace {

constexpr char kBreak[] = "\r\n";
constexpr char kEntryEnd[] = "\r\n\r\n\r\n";

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string WithoutFinalBreaks(std::string s) {
  while (s.size() >= 2 && s.compare(s.size() - 2, 2, kBreak) == 0) s.resize(s.size() - 2);
  return s;
}

}  // namespace

namespace LogText {

std::string NormalizeLineBreaks(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 64);
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      out += kBreak;
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += kBreak;
    } else {
      out += c;
    }
  }
  return out;
}

bool HasTable(const std::string& text) { return text.find("-\r\n|") != std::string::npos; }

std::vector<std::string> SplitEntries(const std::string& text) {
  // Entries are kept in one form, the report without its own final line breaks followed by
  // exactly three: runs of more line breaks between entries (a report that ends in one) then
  // neither shift the next entry's first line nor grow with every save.
  // A log written by this code has CR LF only: then no normalised copy is needed.
  bool normal = true;
  for (size_t i = 0; i < text.size() && normal; ++i)
    if (text[i] == '\r' ? i + 1 >= text.size() || text[i + 1] != '\n' : text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
      normal = false;
  std::string copy;
  if (!normal) copy = NormalizeLineBreaks(text);
  const std::string& t = normal ? text : copy;
  std::vector<std::string> entries;
  size_t pos = 0;
  while (pos < t.size()) {
    size_t cut = t.find("\r\n\r\n\r\n\r\n", pos);
    size_t end = cut == std::string::npos ? t.size() : cut;
    size_t b = pos;
    while (b + 1 < end && t[b] == '\r' && t[b + 1] == '\n') b += 2;
    std::string piece = WithoutFinalBreaks(t.substr(b, end - b));
    if (HasTable(piece)) entries.push_back(piece + kEntryEnd);
    if (cut == std::string::npos) break;
    pos = cut;
    while (pos + 1 < t.size() && t[pos] == '\r' && t[pos + 1] == '\n') pos += 2;
  }
  return entries;
}

bool FindFieldValue(const std::string& entry, const std::string& id, size_t& start, size_t& end, size_t& column) {
  const std::string key = "\r\n  " + id + " ";
  size_t p = entry.find(key);
  if (id.empty() || p == std::string::npos) return false;
  const size_t lineStart = p + 2;
  size_t lineEnd = entry.find(kBreak, lineStart);
  if (lineEnd == std::string::npos) lineEnd = entry.size();
  size_t colon = entry.find(": ", p + key.size());
  if (colon == std::string::npos || colon >= lineEnd) return false;
  start = colon + 2;
  column = start - lineStart;
  // The value runs on over lines that are neither empty nor the next field ("  H.I ...").
  size_t e = lineEnd;
  while (e < entry.size()) {
    size_t next = e + 2;
    size_t nextEnd = entry.find(kBreak, next);
    if (nextEnd == std::string::npos) nextEnd = entry.size();
    const size_t len = nextEnd - next;
    if (len == 0) break;
    if (len > 3 && entry[next] == ' ' && entry[next + 1] == ' ' && entry[next + 3] != ' ') break;
    e = nextEnd;
  }
  end = e;
  return true;
}

std::string EncodeValue(const std::string& value, size_t column) {
  std::vector<std::string> lines = EncodeLogItemValue(value);
  std::string out = lines[0];
  // Continuation lines carry one blank of their own; the rest puts them under the value.
  const std::string indent(column > 0 ? column - 1 : 0, ' ');
  for (size_t n = 1; n < lines.size(); ++n) out += kBreak + indent + lines[n];
  return out;
}

std::string DecodeValue(const std::string& raw) {
  if (raw.find('\n') == std::string::npos && raw.find('\r') == std::string::npos) return Trim(raw);
  // Only a value of several lines was encoded; a one-line value stands as written.
  std::string out;
  size_t pos = 0;
  bool first = true;
  while (true) {
    size_t nl = raw.find(kBreak, pos);
    std::string line = raw.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    if (!first) line.erase(0, std::min(line.find_first_not_of(' '), line.size()));
    if (line == ".") line.clear();
    for (size_t p = line.find(":_"); p != std::string::npos; p = line.find(":_", p + 2)) line[p + 1] = ' ';
    if (!first) out += kBreak;
    out += line;
    first = false;
    if (nl == std::string::npos) break;
    pos = nl + 2;
  }
  return Trim(out);
}

}  // namespace LogText

void TLogFile::LoadText(const std::string& text) { entries_ = LogText::SplitEntries(text); }

void TLogFile::Add(const std::string& reportText, int maxCount) {
  if (maxCount > 0 && Count() >= maxCount)
    entries_.erase(entries_.begin(), entries_.begin() + (Count() - maxCount + 1));
  entries_.push_back(WithoutFinalBreaks(LogText::NormalizeLineBreaks(reportText)) + kEntryEnd);
}

std::string TLogFile::GetEntry(int index) const {
  return index >= 0 && index < Count() ? entries_[static_cast<size_t>(index)] : std::string();
}

std::string TLogFile::GetAllText() const {
  size_t size = 0;
  for (const std::string& e : entries_) size += e.size() + 2;
  std::string text;
  text.reserve(size);
  for (const std::string& e : entries_) {
    text += e;
    text += kBreak;
  }
  if (FinalBreakDropped()) text.resize(text.size() - 2);
  return text;
}

bool TLogFile::FinalBreakDropped() const {
  // The whole text would end in five line breaks: the last is not written.
  const std::string& last = entries_.empty() ? std::string() : entries_.back();
  return last.size() >= 8 && last.compare(last.size() - 8, 8, "\r\n\r\n\r\n\r\n") == 0;
}

std::string TLogFile::GetField(const std::string& id, int index) const {
  if (index < 0 || index >= Count()) return {};
  const std::string& entry = entries_[static_cast<size_t>(index)];
  size_t start, end, column;
  if (!LogText::FindFieldValue(entry, id, start, end, column)) return {};
  return LogText::DecodeValue(entry.substr(start, end - start));
}

void TLogFile::SetField(const std::string& id, const std::string& value, int index, const std::string& name) {
  if (index < 0 || index >= Count()) return;
  std::string& entry = entries_[static_cast<size_t>(index)];
  size_t start, end, column;
  if (LogText::FindFieldValue(entry, id, start, end, column)) {
    entry.replace(start, end - start, LogText::EncodeValue(value, column));
    return;
  }
  // A new field after the last field of its section, aligned with it.
  const size_t dot = id.find('.');
  if (dot == std::string::npos || dot == 0) return;
  const std::string prefix = "\r\n  " + id.substr(0, dot + 1);
  size_t lastLine = std::string::npos;
  for (size_t p = entry.find(prefix); p != std::string::npos; p = entry.find(prefix, p + 2)) {
    size_t q = p + prefix.size();
    size_t digits = q;
    while (digits < entry.size() && entry[digits] >= '0' && entry[digits] <= '9') ++digits;
    if (digits > q && digits < entry.size() && entry[digits] == ' ') lastLine = p;
  }
  if (lastLine == std::string::npos) return;  // no such section: nothing to extend
  const size_t idEnd = entry.find(' ', lastLine + prefix.size());
  const std::string lastId = entry.substr(lastLine + 4, idEnd - (lastLine + 4));
  if (!LogText::FindFieldValue(entry, lastId, start, end, column)) return;
  std::string line = "  " + id + " " + name;
  const size_t width = column - 2;  // the id-and-name part of the last field, blanks included
  if (line.size() < width) line.append(width - line.size(), ' ');
  line += ": ";
  line += LogText::EncodeValue(value, line.size());
  entry.insert(end, kBreak + line);
}

int TLogFile::FindEntry(const std::vector<std::string>& ids, const std::vector<std::string>& values) const {
  int found = -1;
  const size_t pairs = std::min(ids.size(), values.size());
  for (size_t i = 0; i < entries_.size(); ++i) {
    const std::string& entry = entries_[i];
    for (size_t k = 0; k < pairs; ++k) {
      size_t start, end, column;
      if (!LogText::FindFieldValue(entry, ids[k], start, end, column)) continue;
      if (entry.compare(start, end - start, LogText::EncodeValue(values[k], column)) == 0) {
        found = static_cast<int>(i);
        break;
      }
    }
  }
  return found;
}

std::string TLogFile::GetVersion(int index) const {
  std::string entry = GetEntry(index);
  std::string first = entry.substr(0, entry.find(kBreak));
  return first.size() > 10 ? Trim(first.substr(10)) : std::string();
}

std::string TLogFile::GetXML() const { return LogEntriesToXML(entries_, Password); }
