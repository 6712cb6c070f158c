#include "reporting/ui/EIniFile.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

constexpr size_t kValueBuffer = 2048;

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The key of a "Key=Value" line, empty for other lines.
std::string_view KeyOf(std::string_view line) {
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return {};
  std::string_view key = Trim(line.substr(0, eq));
  return key.empty() || key.front() == ';' || key.front() == '#' ? std::string_view() : key;
}

}  // namespace

TIniData TIniData::Parse(std::string_view text) {
  TIniData data;
  data.sections_.push_back({});
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end + 1;
    std::string_view trimmed = Trim(line);
    if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
      data.sections_.push_back({std::string(Trim(trimmed.substr(1, trimmed.size() - 2))), {}});
      continue;
    }
    data.sections_.back().Lines.emplace_back(line);
  }
  return data;
}

std::string TIniData::Text() const {
  std::string out;
  for (const TSection& s : sections_) {
    if (&s != &sections_.front()) out += "[" + s.Name + "]\n";
    for (const std::string& line : s.Lines) out += line + "\n";
  }
  return out;
}

const TIniData::TSection* TIniData::FindSection(std::string_view name) const {
  for (size_t i = 1; i < sections_.size(); ++i)
    if (SameName(sections_[i].Name, name)) return &sections_[i];
  return nullptr;
}

TIniData::TSection* TIniData::FindSection(std::string_view name) {
  return const_cast<TSection*>(static_cast<const TIniData*>(this)->FindSection(name));
}

std::optional<std::string> TIniData::Value(std::string_view section, std::string_view key) const {
  const TSection* s = FindSection(section);
  if (!s) return std::nullopt;
  for (const std::string& line : s->Lines)
    if (SameName(KeyOf(line), key)) {
      std::string_view value = Trim(std::string_view(line).substr(line.find('=') + 1));
      return std::string(value.substr(0, kValueBuffer - 1));
    }
  return std::nullopt;
}

std::string TIniData::String(std::string_view section, std::string_view key, const std::string& fallback) const {
  return Value(section, key).value_or(fallback);
}

int32_t TIniData::Int(std::string_view section, std::string_view key, int32_t fallback, int32_t low,
                      int32_t high) const {
  const std::optional<std::string> text = Value(section, key);
  if (!text || text->empty()) return fallback;
  int64_t value = 0;
  const char* first = text->data();
  const char* last = first + text->size();
  if (*first == '+' && last - first > 1 && first[1] != '-') ++first;
  const auto [end, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || end != last || value < low || value > high) return fallback;
  return static_cast<int32_t>(value);
}

void TIniData::Set(std::string_view section, std::string_view key, std::string_view value) {
  if (sections_.empty()) sections_.push_back({});
  TSection* s = FindSection(section);
  if (!s) {
    sections_.push_back({std::string(section), {}});
    s = &sections_.back();
  }
  // A line break in a value would start a line of its own.
  std::string clean(value);
  std::replace_if(clean.begin(), clean.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  const std::string line = std::string(key) + "=" + clean;
  for (std::string& existing : s->Lines)
    if (SameName(KeyOf(existing), key)) {
      existing = line;
      return;
    }
  // New keys go after the section's last key, before trailing blank lines.
  auto at = s->Lines.end();
  while (at != s->Lines.begin() && Trim(*(at - 1)).empty()) --at;
  s->Lines.insert(at, line);
}
