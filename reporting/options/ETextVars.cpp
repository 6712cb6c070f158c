#include "reporting/options/ETextVars.h"

#include <locale.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>

#include "runtime/Strings.h"

extern char** environ;

namespace {

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Environment names are case-sensitive here, but option texts may have been written for a
// case-blind system: an exact match wins, otherwise the first variable equal without case.
std::optional<std::string> EnvironmentValue(const std::string& name) {
  if (const char* v = std::getenv(name.c_str())) return std::string(v);
  if (name.empty()) return std::nullopt;
  for (char** e = environ; e && *e; ++e) {
    std::string_view entry(*e);
    size_t eq = entry.find('=');
    if (eq != std::string_view::npos && SameText(entry.substr(0, eq), name))
      return std::string(entry.substr(eq + 1));
  }
  return std::nullopt;
}

std::mutex& ReportVariablesLock() {
  static std::mutex lock;
  return lock;
}

// Never destroyed: a delivery in the background may still clear it while the program ends.
TReportVariables& ReportVariablesTable() {
  static auto* table = new TReportVariables;
  return *table;
}

std::optional<std::string> ReportVariableValue(const std::string& name) {
  std::lock_guard<std::mutex> guard(ReportVariablesLock());
  const TReportVariables& table = ReportVariablesTable();
  for (const auto& [key, value] : table)
    if (key == name) return value;
  for (const auto& [key, value] : table)
    if (SameText(key, name)) return value;
  return std::nullopt;
}

std::string FormatNow(const char* pattern) {
  time_t now = std::time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  // The user's locale from the environment, not the C library's current one.
  locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (!loc) loc = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
  char buf[128];
  size_t n = strftime_l(buf, sizeof buf, pattern, &tm, loc);
  if (loc) freelocale(loc);
  return std::string(buf, n);
}

std::string VariableValue(const std::string& name) {
  if (auto v = ReportVariableValue(name)) return *v;
  if (auto v = EnvironmentValue(name)) return *v;
  if (SameText(name, "date")) return CurrentShortDate();
  if (SameText(name, "time")) return CurrentLongTime();
  if (SameText(name, "cd")) {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
  }
  return {};
}

}  // namespace

void SetReportVariables(TReportVariables variables) {
  std::lock_guard<std::mutex> guard(ReportVariablesLock());
  ReportVariablesTable().swap(variables);
}

void ClearReportVariables() { SetReportVariables({}); }

std::string CurrentShortDate() { return FormatNow("%x"); }
std::string CurrentLongTime() { return FormatNow("%X"); }

std::string ExpandTextVariables(std::string_view text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '%') {
      out.push_back(text[i++]);
      continue;
    }
    size_t end = i + 1;
    while (end < text.size() && IsNameChar(text[end])) ++end;
    if (end < text.size() && text[end] == '%') {
      out += VariableValue(std::string(text.substr(i + 1, end - i - 1)));
      i = end + 1;
    } else {
      out.append(text.substr(i, end - i));
      i = end;
    }
  }
  return out;
}
