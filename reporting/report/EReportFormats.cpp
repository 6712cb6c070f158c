#include "reporting/report/EReportFormats.h"

#include <cmath>
#include <cstdio>

#include "reporting/report/EReport.h"

namespace {

struct TCivilTime {
  int64_t Year;
  int Month, Day, Hour, Minute, Second, WeekDay;  // Month 1..12, WeekDay 0 = Sunday
};

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Proleptic Gregorian calendar from a count of seconds since 1970-01-01 00:00, without the C
// library's zone and locale state.
TCivilTime BreakDown(int64_t seconds) {
  TCivilTime t{};
  int64_t days = FloorDiv(seconds, 86400);
  int64_t rest = seconds - days * 86400;
  t.Hour = static_cast<int>(rest / 3600);
  t.Minute = static_cast<int>(rest % 3600 / 60);
  t.Second = static_cast<int>(rest % 60);
  t.WeekDay = static_cast<int>(((days + 4) % 7 + 7) % 7);
  int64_t z = days + 719468;
  int64_t era = FloorDiv(z, 146097);
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  t.Day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.Month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.Year = yoe + era * 400 + (t.Month <= 2);
  return t;
}

constexpr const char* kWeekDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string Unit(int64_t count, const char* unit) {
  return std::to_string(count) + " " + unit + (count > 1 ? "s" : "");
}

}  // namespace

std::string HexText(uint64_t value, int digits) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(value));
  std::string text = buf;
  if (digits > static_cast<int>(text.size())) text.insert(0, static_cast<size_t>(digits) - text.size(), '0');
  return text;
}

std::string FoldControlCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) < 32) {
      out += ' ';
      while (i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 32) ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string TrimText(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  return std::string(text.substr(b, e - b));
}

std::string FileNameOf(std::string_view path) {
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string FolderOf(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

std::string TimestampText(TReportTime time) {
  TCivilTime t = BreakDown(time.UnixSeconds + time.UtcOffsetSeconds);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02d-%02d %02d:%02d:%02d", static_cast<long long>(t.Year), t.Month, t.Day,
                t.Hour, t.Minute, t.Second);
  return buf;
}

std::string TwoDecimalsText(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", value);
  std::string s = buf;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s == "-0" ? "0" : s;
}

std::string TimeZoneText(int32_t utcOffsetSeconds) {
  // The zone's real offset, half and quarter hours included, to the nearest minute.
  int64_t minutes = std::llround(static_cast<double>(utcOffsetSeconds) / 60.0);
  char sign = minutes < 0 ? '-' : '+';
  minutes = std::llabs(minutes);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%c%02lld%02lld", sign, static_cast<long long>(minutes / 60),
                static_cast<long long>(minutes % 60));
  return buf;
}

std::string ReportDateText(TReportTime time) {
  TCivilTime t = BreakDown(time.UnixSeconds + time.UtcOffsetSeconds);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%s, %d %s %lld %02d:%02d:%02d %s", kWeekDays[t.WeekDay], t.Day, kMonths[t.Month - 1],
                static_cast<long long>(t.Year), t.Hour, t.Minute, t.Second,
                TimeZoneText(time.UtcOffsetSeconds).c_str());
  return buf;
}

std::string DurationText(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  int64_t days = seconds / 86400, hours = seconds % 86400 / 3600, minutes = seconds % 3600 / 60;
  std::string text;
  if (days) text += Unit(days, "day") + ", ";
  if (hours) text += Unit(hours, "hour") + ", ";
  if (minutes) text += Unit(minutes, "minute") + ", ";
  return text + Unit(seconds % 60, "second");
}

std::string ReportIdentifier(const std::string& text) {
  uint16_t crc = 0;
  for (unsigned char c : text) {
    crc ^= static_cast<uint16_t>(c << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return HexText(crc, 4);
}

std::string ReportIdentifierText(const std::string& nameDescription, const std::string& moduleName,
                                 const std::string& type, const TTarvexStackList& callStack) {
  std::string text = nameDescription + moduleName + type;
  if (callStack.empty()) return text;
  // Offsets within procedures, not line numbers: code moving above the procedure changes nothing.
  uint32_t thread = callStack.front().ThreadID;
  for (const TTarvexStackEntry& e : callStack)
    if (e.EntryKind == kEntryLine && e.ThreadID == thread)
      text += e.UnitName + e.ClassName + e.ProcedureName + std::to_string(e.LineOffset);
  return text;
}
