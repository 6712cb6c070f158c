#include "reporting/options/EOptionsText.h"

#include <charconv>
#include <functional>
#include <limits>
#include <type_traits>

#include "runtime/Strings.h"

namespace {

using O = TTarvexModuleOptions;

[[noreturn]] void BadValue(std::string_view value, std::string_view name) {
  throw EConvertError("Invalid value \"%s\" for %s", {std::string(value), std::string(name)});
}

bool ParseUnsigned(std::string_view s, uint64_t& out) {
  int base = 10;
  if (s.starts_with("$")) s.remove_prefix(1), base = 16;
  else if (s.starts_with("0x") || s.starts_with("0X")) s.remove_prefix(2), base = 16;
  if (s.empty()) return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out, base);
  return ec == std::errc() && p == s.data() + s.size();
}

template <class T>
struct IsSet : std::false_type {};
template <class E>
struct IsSet<TSet<E>> : std::true_type {};

// Bits each set has in the options stream.
template <class T>
constexpr unsigned kStoredBits = 64;
template <>
constexpr unsigned kStoredBits<TLogFlags> = 8;
template <>
constexpr unsigned kStoredBits<TSendFlags> = 16;
template <>
constexpr unsigned kStoredBits<TDialogFlags> = 16;
template <>
constexpr unsigned kStoredBits<TCallStackFlags> = 8;
template <>
constexpr unsigned kStoredBits<TBehaviourFlags> = 16;
template <>
constexpr unsigned kStoredBits<TLeakFlags> = 8;
template <>
constexpr unsigned kStoredBits<TShowFields> = kShowFieldCount;

template <class T>
std::string ToText(const T& v) {
  if constexpr (std::is_same_v<T, bool>) {
    return v ? "True" : "False";
  } else if constexpr (std::is_same_v<T, std::string>) {
    return QuoteText(v);
  } else if constexpr (std::is_enum_v<T>) {
    return GetEnumName(TypeInfo<T>(), static_cast<int64_t>(v));
  } else if constexpr (IsSet<T>::value) {
    std::string out = "[";
    for (unsigned bit = 0; bit < 64; ++bit) {
      if (!((v.Bits() >> bit) & 1u)) continue;
      if (out.size() > 1) out += ", ";
      out += GetEnumName(TypeInfo<typename T::element_type>(), bit);  // a number for unnamed bits
    }
    return out + "]";
  } else if constexpr (std::is_same_v<T, TShowFields>) {
    return Format("$%.12X", {static_cast<unsigned long long>(v.to_ullong())});
  } else {
    return std::to_string(v);
  }
}

template <class T>
T FromText(std::string_view text, std::string_view name) {
  std::string s = Trim(text);
  if constexpr (std::is_same_v<T, bool>) {
    for (const char* t : {"true", "1", "yes", "on"})
      if (SameText(s, t)) return true;
    for (const char* f : {"false", "0", "no", "off"})
      if (SameText(s, f)) return false;
    BadValue(text, name);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return UnquoteText(text);
  } else if constexpr (std::is_enum_v<T>) {
    int64_t v = GetEnumValue(TypeInfo<T>(), s);
    uint64_t n = 0;
    if (v < 0 && ParseUnsigned(s, n) && n <= static_cast<uint64_t>(TypeInfo<T>()->MaxValue))
      v = static_cast<int64_t>(n);
    if (v < 0) BadValue(text, name);
    return static_cast<T>(v);
  } else if constexpr (IsSet<T>::value || std::is_same_v<T, TShowFields>) {
    constexpr unsigned width = kStoredBits<T>;
    uint64_t bits = 0;
    if (s.size() >= 2 && s.front() == '[' && s.back() == ']') {
      std::string inner = s.substr(1, s.size() - 2);
      size_t start = 0;
      while (start <= inner.size()) {
        size_t comma = inner.find(',', start);
        std::string item = Trim(std::string_view(inner).substr(start, comma == std::string::npos ? std::string::npos
                                                                                              : comma - start));
        start = comma == std::string::npos ? inner.size() + 1 : comma + 1;
        if (item.empty()) continue;
        int64_t bit = -1;
        if constexpr (IsSet<T>::value) bit = GetEnumValue(TypeInfo<typename T::element_type>(), item);
        uint64_t n = 0;
        if (bit < 0 && ParseUnsigned(item, n)) bit = static_cast<int64_t>(n);
        if (bit < 0 || bit >= 64) BadValue(text, name);
        bits |= uint64_t{1} << bit;
      }
    } else if (!ParseUnsigned(s, bits)) {
      BadValue(text, name);
    }
    if (width < 64 && (bits >> width) != 0) BadValue(text, name);
    if constexpr (IsSet<T>::value) return T::FromBits(bits);
    else return TShowFields(bits);
  } else {
    static_assert(std::is_integral_v<T>);
    int64_t v = 0;
    const char* b = s.data();
    auto [p, ec] = std::from_chars(b, b + s.size(), v);
    if (ec != std::errc() || p != b + s.size() || s.empty() || v < std::numeric_limits<T>::min() ||
        v > static_cast<int64_t>(std::numeric_limits<T>::max()))
      BadValue(text, name);
    return static_cast<T>(v);
  }
}

struct TOptionField {
  std::string Name;
  std::function<std::string(const O&)> Get;
  std::function<void(O&, std::string_view)> Set;
};

template <class R, class P>
TOptionField MakeField(const char* name, R (O::*get)() const, void (O::*set)(P)) {
  using T = std::remove_cvref_t<R>;
  return {name, [get](const O& o) { return ToText<T>((o.*get)()); },
          [set, name](O& o, std::string_view v) { (o.*set)(FromText<T>(v, name)); }};
}

#define FIELD(Name) MakeField(#Name, &O::Name, &O::Set##Name)

// Stream order, so that a file reads like the stored layout.
const std::vector<TOptionField>& Fields() {
  static const std::vector<TOptionField> fields = {
      FIELD(LegacyFlag), FIELD(FiltersEnabled), FIELD(LogFlags), FIELD(EmailReportInBody), FIELD(WriteLogFile),
      FIELD(DetailPage), FIELD(FreezeDetection), FIELD(FreezeTimeoutSeconds), FIELD(SmtpSender),
      FIELD(SmtpServer), FIELD(SmtpServerPort), FIELD(SmtpAuthUser), FIELD(SmtpAuthPassword),
      FIELD(TerminateButtonAction), FIELD(MaxSavedReports), FIELD(TerminateButtonAfter), FIELD(EmailRecipients),
      FIELD(EmailSubjectText), FIELD(EmailMode), FIELD(ShowFields), FIELD(LogOutputPath), FIELD(WebMode),
      FIELD(WebAddress), FIELD(WebAuthUser), FIELD(WebAuthPassword), FIELD(WebServerPort), FIELD(ExtraFiles),
      FIELD(SendFlags), FIELD(DialogFlags), FIELD(AutoCloseSeconds), FIELD(SupportAddress), FIELD(HtmlLayout),
      FIELD(CallStackFlags), FIELD(BehaviourFlags), FIELD(LeakFlags), FIELD(AutoCrashAction),
      FIELD(AutoCrashCount), FIELD(AutoCrashMinutes), FIELD(BuildFlags), FIELD(DialogKind), FIELD(ProxyAddress),
      FIELD(ProxyAuthUser), FIELD(ProxyAuthPassword), FIELD(ProxyServerPort), FIELD(TrackerAuthUser),
      FIELD(TrackerAuthPassword), FIELD(TrackerAssignee), FIELD(TrackerProjectName), FIELD(TrackerCategoryName),
      FIELD(TrackerTrialCode), FIELD(ZipArchivePassword), FIELD(EmailBodyText), FIELD(TextsLanguage),
  };
  return fields;
}
#undef FIELD

struct TFilterField {
  std::string Name;
  std::function<std::string(const TTarvexExceptionFilter&)> Get;
  std::function<void(TTarvexExceptionFilter&, std::string_view)> Set;
};

template <class T>
TFilterField MakeFilterField(const char* name, T TTarvexExceptionFilter::*member) {
  return {name, [member](const TTarvexExceptionFilter& f) { return ToText<T>(f.*member); },
          [member, name](TTarvexExceptionFilter& f, std::string_view v) { f.*member = FromText<T>(v, name); }};
}

const std::vector<TFilterField>& FilterFields() {
  using F = TTarvexExceptionFilter;
  static const std::vector<TFilterField> fields = {
      MakeFilterField("Enabled", &F::Enabled), MakeFilterField("MatchClass", &F::MatchClass),
      MakeFilterField("ShownMessage", &F::ShownMessage), MakeFilterField("Scope", &F::Scope),
      MakeFilterField("Dialog", &F::Dialog), MakeFilterField("Handler", &F::Handler),
      MakeFilterField("Action", &F::Action),
  };
  return fields;
}

template <class Table>
const auto& FindField(const Table& table, std::string_view name) {
  for (const auto& f : table)
    if (SameText(f.Name, Trim(name))) return f;
  throw EConvertError("Unknown option \"%s\"", {std::string(name)});
}

std::vector<std::string> NamesOf(const auto& table) {
  std::vector<std::string> names;
  for (const auto& f : table) names.push_back(f.Name);
  return names;
}

}  // namespace

const std::vector<std::string>& OptionFieldNames() {
  static const std::vector<std::string> names = NamesOf(Fields());
  return names;
}

const std::vector<std::string>& FilterFieldNames() {
  static const std::vector<std::string> names = NamesOf(FilterFields());
  return names;
}

std::string GetOptionField(const TTarvexModuleOptions& options, std::string_view name) {
  return FindField(Fields(), name).Get(options);
}

void SetOptionField(TTarvexModuleOptions& options, std::string_view name, std::string_view value) {
  FindField(Fields(), name).Set(options, value);
}

std::string GetFilterField(const TTarvexExceptionFilter& filter, std::string_view name) {
  return FindField(FilterFields(), name).Get(filter);
}

void SetFilterField(TTarvexExceptionFilter& filter, std::string_view name, std::string_view value) {
  FindField(FilterFields(), name).Set(filter, value);
}

std::string QuoteText(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20 || u == 0x7F) out += Format("\\x%.2X", {static_cast<unsigned>(u)});
        else out += c;
    }
  }
  return out + "\"";
}

std::string UnquoteText(std::string_view s) {
  if (s.empty() || s.front() != '"') return std::string(s);
  auto bad = [&]() -> EConvertError {
    return EConvertError("Invalid quoted text %s", {std::string(s)});
  };
  std::string out;
  size_t i = 1;
  for (;; ++i) {
    if (i >= s.size()) throw bad();
    char c = s[i];
    if (c == '"') break;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i >= s.size()) throw bad();
    switch (s[i]) {
      case '\\': out += '\\'; break;
      case '"': out += '"'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'x': {
        uint64_t v = 0;
        if (i + 2 >= s.size() || !ParseUnsigned("0x" + std::string(s.substr(i + 1, 2)), v)) throw bad();
        out += static_cast<char>(v);
        i += 2;
        break;
      }
      default: throw bad();
    }
  }
  if (!Trim(s.substr(i + 1)).empty()) throw bad();
  return out;
}

bool LooksLikeOptionsText(std::string_view bytes) {
  size_t i = bytes.find_first_not_of(" \t\r\n");
  if (bytes.starts_with("\xEF\xBB\xBF")) i = bytes.find_first_not_of(" \t\r\n", 3);
  return i != std::string_view::npos && (bytes[i] == '[' || bytes[i] == ';' || bytes[i] == '#');
}

std::string ExportOptionsText(const TTarvexModuleOptions& options, bool withComments) {
  std::string out = "; TarvexLog options\n[Options]\n";
  for (const auto& f : Fields()) {
    out += f.Name + "=" + f.Get(options) + "\n";
    if (withComments && f.Name == "ShowFields") {
      auto captions = ShowFieldCaptions();
      for (size_t i = 0; i < captions.size(); ++i)
        out += Format(";   %2d %-30s %s\n", {static_cast<int>(i), captions[i],
                                              options.ShowFields().test(i) ? "shown" : "hidden"});
    }
  }
  const auto& filters = options.ExceptionFilters();
  for (size_t i = 0; i < filters.Count(); ++i) {
    out += Format("\n[Filter%d]\n", {static_cast<int>(i)});
    for (const auto& f : FilterFields()) out += f.Name + "=" + f.Get(filters[i]) + "\n";
  }
  out += "\n[Texts]\n";
  const auto& texts = options.CustomizedTexts();
  if (withComments) {
    for (const auto& group : CustomizedTextGroups()) {
      out += std::string("; ") + group.Caption + "\n";
      for (const auto& e : group.Entries)
        out += Format("%d=%s  ; %s\n", {e.Index, QuoteText(texts[e.Index]), Trim(e.Caption)});
    }
    out += "; Reserved\n153=" + QuoteText(texts[153]) + "\n";
  } else {
    for (int i = 0; i < kCustomizedTextCount; ++i) out += Format("%d=%s\n", {i, QuoteText(texts[i])});
  }
  return out;
}

void ImportOptionsText(TTarvexModuleOptions& options, std::string_view text) {
  options.BeginUpdate();
  struct TEnd {
    TTarvexModuleOptions& o;
    ~TEnd() { o.EndUpdate(); }
  } end{options};
  options.SetDefaults();
  enum { kNone, kOptions, kFilter, kTexts } section = kNone;
  TTarvexExceptionFilter* filter = nullptr;
  int lineNo = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t eol = text.find('\n', pos);
    std::string_view raw = text.substr(pos, eol == std::string_view::npos ? std::string_view::npos : eol - pos);
    pos = eol == std::string_view::npos ? text.size() + 1 : eol + 1;
    ++lineNo;
    if (lineNo == 1 && raw.starts_with("\xEF\xBB\xBF")) raw.remove_prefix(3);
    std::string line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    try {
      if (line.front() == '[') {
        if (line.back() != ']') throw EConvertError("Invalid section %s", {line});
        std::string name = Trim(std::string_view(line).substr(1, line.size() - 2));
        if (SameText(name, "Options")) section = kOptions;
        else if (SameText(name, "Texts")) section = kTexts;
        else if (SameText(name.substr(0, 6), "Filter")) {
          section = kFilter;
          filter = &options.ExceptionFilters().Add({});
        } else {
          throw EConvertError("Unknown section %s", {line});
        }
        continue;
      }
      size_t eq = line.find('=');
      if (eq == std::string::npos || section == kNone) throw EConvertError("Expected Name=Value");
      std::string name = Trim(std::string_view(line).substr(0, eq));
      std::string value = Trim(std::string_view(line).substr(eq + 1));
      // A comment may follow a quoted value ("text"  ; caption).
      if (!value.empty() && value.front() == '"') {
        bool escaped = false;
        for (size_t i = 1; i < value.size(); ++i) {
          if (escaped) escaped = false;
          else if (value[i] == '\\') escaped = true;
          else if (value[i] == '"') {
            std::string rest = Trim(std::string_view(value).substr(i + 1));
            if (rest.empty() || rest[0] == ';') value.resize(i + 1);
            break;
          }
        }
      }
      if (section == kOptions) {
        SetOptionField(options, name, value);
      } else if (section == kFilter) {
        SetFilterField(*filter, name, value);
      } else {
        int index = FromText<int>(name, "a text index");
        if (index < 0 || index >= kCustomizedTextCount) throw EConvertError("No text with index %d", {index});
        options.SetText(index, UnquoteText(value));
      }
    } catch (const EConvertError& e) {
      throw EConvertError("Line %d: %s", {lineNo, e.Message()});
    }
  }
}
