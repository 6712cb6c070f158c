// Reading a tracker's HTML pages: tags, attributes and the values after fixed markers.
#include <strings.h>

#include <cctype>
#include <span>

#include "delivery/EWebTracker.h"

namespace {

bool MatchesAt(std::string_view text, size_t at, std::string_view what) {
  return at + what.size() <= text.size() && strncasecmp(text.data() + at, what.data(), what.size()) == 0;
}

size_t FindNoCase(std::string_view text, std::string_view what, size_t from = 0) {
  if (what.empty()) return from <= text.size() ? from : std::string_view::npos;
  for (size_t i = from; i + what.size() <= text.size(); ++i)
    if (MatchesAt(text, i, what)) return i;
  return std::string_view::npos;
}

bool SameNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string TrimText(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return std::string(s);
}

// Scans from `pos` until one of `markers` outside quotes (inside a tag) or outside a tag; the
// scan starts inside a tag. Returns the marker's offset and its length, npos when none.
size_t ScanToMarker(std::string_view text, size_t pos, std::span<const std::string_view> markers,
                    size_t& markerLength) {
  bool inTag = true;
  char quote = 0;
  for (size_t i = pos; i < text.size(); ++i) {
    char c = text[i];
    if (inTag && quote) {
      if (c == quote) quote = 0;
      continue;
    }
    for (std::string_view m : markers) {
      if (MatchesAt(text, i, m)) {
        markerLength = m.size();
        return i;
      }
    }
    if (inTag) {
      if (c == '"' || c == '\'') quote = c;
      else if (c == '>') inTag = false;
    } else if (c == '<') {
      inTag = true;
    }
  }
  return std::string_view::npos;
}

std::span<const std::string_view> EndMarkers(std::string_view opening) {
  static constexpr std::string_view kInput[] = {">", "/>"};
  static constexpr std::string_view kTextArea[] = {"</textarea>", "/>"};
  static constexpr std::string_view kSelect[] = {"</select>"};
  static constexpr std::string_view kOption[] = {"</option>"};
  if (SameNoCase(opening, "<textarea ")) return kTextArea;
  if (SameNoCase(opening, "<select ")) return kSelect;
  if (SameNoCase(opening, "<option ")) return kOption;
  return kInput;
}

// Blanks on either side of "=" removed.
std::string JoinEquals(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == ' ') {
      size_t j = i;
      while (j < s.size() && s[j] == ' ') ++j;
      if (j < s.size() && s[j] == '=') {
        i = j - 1;
        continue;
      }
      if (!out.empty() && out.back() == '=') continue;
    }
    out += s[i];
  }
  return out;
}

// The first tag of `opening` whose name attribute is `name`.
std::optional<std::string> NamedTag(std::string_view body, std::string_view opening, const std::string& name) {
  size_t pos = 0;
  std::string tag;
  while (NextTagText(body, pos, opening, tag))
    if (SameNoCase(TagAttribute(tag, "name"), name)) return tag;
  return std::nullopt;
}

bool HasWord(std::string_view text, std::string_view word) {
  for (size_t at = FindNoCase(text, word); at != std::string_view::npos; at = FindNoCase(text, word, at + 1)) {
    bool before = at == 0 || !std::isalnum(static_cast<unsigned char>(text[at - 1]));
    size_t end = at + word.size();
    bool after = end >= text.size() || !std::isalnum(static_cast<unsigned char>(text[end]));
    if (before && after) return true;
  }
  return false;
}

}  // namespace

bool NextTagText(std::string_view body, size_t& pos, std::string_view opening, std::string& tagText) {
  size_t start = FindNoCase(body, opening, pos);
  if (start == std::string_view::npos) return false;
  start += opening.size();
  size_t markerLength = 0;
  size_t end = ScanToMarker(body, start, EndMarkers(opening), markerLength);
  if (end == std::string_view::npos) return false;
  tagText = DecodeHtmlEntities(JoinEquals(TrimText(body.substr(start, end - start))));
  pos = end + markerLength;
  return true;
}

std::string TagAttribute(std::string_view tagText, std::string_view attribute) {
  std::string key = std::string(attribute) + "=";
  size_t at = FindNoCase(tagText, key);
  // Only a whole attribute name ("name=", not "username=").
  while (at != std::string_view::npos && at > 0) {
    unsigned char c = static_cast<unsigned char>(tagText[at - 1]);
    if (!std::isalnum(c) && c != '-' && c != '_' && c != ':') break;
    at = FindNoCase(tagText, key, at + 1);
  }
  if (at == std::string_view::npos) return {};
  size_t start = at + key.size();
  size_t markerLength = 0;
  static constexpr std::string_view kValueEnd[] = {" ", ">", "/>"};
  size_t end = ScanToMarker(tagText, start, kValueEnd, markerLength);
  std::string value(tagText.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return value;
}

std::optional<std::string> InputFieldValue(std::string_view body, const std::string& name) {
  size_t pos = 0;
  std::string tag;
  while (NextTagText(body, pos, "<input ", tag)) {
    if (!tag.empty() && tag.back() == '/') tag.pop_back();
    if (!SameNoCase(TagAttribute(tag, "name"), name)) continue;
    std::string value = TagAttribute(tag, "value");
    if (!value.empty()) return value;
  }
  return std::nullopt;
}

std::optional<std::string> TextAreaValue(std::string_view body, const std::string& name) {
  std::optional<std::string> tag = NamedTag(body, "<textarea ", name);
  if (!tag) return std::nullopt;
  size_t gt = tag->find('>');
  return gt == std::string::npos ? std::string() : TrimText(std::string_view(*tag).substr(gt + 1));
}

std::optional<std::string> SelectedOptionValue(std::string_view body, const std::string& name) {
  std::optional<std::string> select = NamedTag(body, "<select ", name);
  if (!select) return std::nullopt;
  size_t pos = 0;
  std::string option;
  while (NextTagText(*select, pos, "<option ", option))
    if (HasWord(option, "selected")) return TagAttribute(option, "value");
  return std::string();
}

std::optional<std::string> OptionValueByText(std::string_view body, const std::string& name, const std::string& text) {
  std::optional<std::string> select = NamedTag(body, "<select ", name);
  if (!select) return std::nullopt;
  size_t pos = 0;
  std::string option;
  while (NextTagText(*select, pos, "<option ", option)) {
    std::string value = TagAttribute(option, "value");
    // The display text: what follows the value attribute, "&..." runs dropped, after ">".
    std::string rest = option;
    size_t at = FindNoCase(rest, "value=");
    if (at != std::string::npos) {
      size_t valueAt = rest.find(value, at + 6);
      rest = valueAt == std::string::npos ? rest.substr(at + 6) : rest.substr(valueAt + value.size());
    }
    std::string cleaned;
    for (size_t i = 0; i < rest.size(); ++i) {
      if (rest[i] == '&') {
        while (i < rest.size() && rest[i] != ' ') ++i;
        if (i < rest.size()) cleaned += ' ';
        continue;
      }
      cleaned += rest[i];
    }
    size_t gt = cleaned.find('>');
    std::string display = TrimText(gt == std::string::npos ? std::string_view(cleaned) : std::string_view(cleaned).substr(gt + 1));
    if (SameNoCase(display, text)) return value;
  }
  return std::string();
}

std::string TextAfterMarker(std::string_view body, std::string_view marker, int n) {
  size_t at = std::string_view::npos;
  for (size_t from = 0; n > 0; --n) {
    at = FindNoCase(body, marker, from);
    if (at == std::string_view::npos) return {};
    from = at + 1;
  }
  size_t start = at + marker.size();
  size_t end = body.find_first_of(" \"&'<>\\", start);
  return std::string(body.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}

std::string QuotedValueAfterMarker(std::string_view body, std::string_view marker) {
  size_t at = FindNoCase(body, marker);
  if (at == std::string_view::npos) return {};
  size_t start = at + marker.size();
  size_t end = body.find('"', start);
  return std::string(body.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}
