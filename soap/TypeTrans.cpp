#include "soap/TypeTrans.h"

#include <locale.h>

#include <cerrno>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "soap/InvokeRegistry.h"
#include "soap/XSBuiltIns.h"

// ---- text helpers ----

WideString TrimXml(const WideString& text) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] <= u' ') ++b;
  while (e > b && text[e - 1] <= u' ') --e;
  return text.substr(b, e - b);
}

std::string TrimXml(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  return std::string(text.substr(b, e - b));
}

// ---- integers ----

namespace {

[[noreturn]] void BadInteger(std::string_view text) {
  throw EConvertError(Format(SInvalidInteger, {std::string(text)}));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of `text` in `bits` bits (32 or 64), as the two parsers share it.
int64_t ParseInteger(std::string_view text, int bits) {
  size_t i = 0, n = text.size();
  while (i < n && text[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  bool hex = false;
  if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= n) BadInteger(text);
  uint64_t v = 0;
  if (hex) {
    const uint64_t limit = bits == 32 ? 0xFFFFFFFFull : ~0ull;
    for (; i < n; ++i) {
      int d = HexDigit(text[i]);
      if (d < 0 || v > (limit >> 4)) BadInteger(text);
      v = (v << 4) | static_cast<uint64_t>(d);
    }
    if (bits == 32) {
      uint32_t u = static_cast<uint32_t>(v);
      if (negative) u = 0u - u;
      return static_cast<int32_t>(u);
    }
    return static_cast<int64_t>(negative ? 0ull - v : v);
  }
  // Decimal: the magnitude may reach 2^(bits-1) for a negative value.
  const uint64_t limit = (uint64_t{1} << (bits - 1)) - (negative ? 0 : 1);
  for (; i < n; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') BadInteger(text);
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (limit - d) / 10) BadInteger(text);
    v = v * 10 + d;
  }
  return negative ? static_cast<int64_t>(0ull - v) : static_cast<int64_t>(v);
}

}  // namespace

int32_t ParseXmlInt32(std::string_view text) { return static_cast<int32_t>(ParseInteger(text, 32)); }
int32_t ParseXmlInt32(const WideString& text) { return ParseXmlInt32(Utf16ToUtf8(text)); }
int64_t ParseXmlInt64(std::string_view text) { return ParseInteger(text, 64); }
int64_t ParseXmlInt64(const WideString& text) { return ParseXmlInt64(Utf16ToUtf8(text)); }

// ---- floating point ----

WideString FormatXmlFloat(long double value) {
  if (std::isnan(value)) return u"NaN";
  if (std::isinf(value)) return value > 0 ? u"INF" : u"-INF";
  if (value == 0) return u"0";
  // The exact decimal digits, taken from the printed form whatever the radix character of
  // the current C locale; then rounded half away from zero to 15 significant digits.
  char buf[80];
  std::snprintf(buf, sizeof buf, "%.40Le", std::fabs(value));
  std::string digits;
  const char* p = buf;
  for (; *p && *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9') digits += *p;
  int exponent = std::atoi(p + 1) + 1;  // value = 0.d1d2... * 10^exponent
  bool roundUp = digits.size() > 15 && digits[15] >= '5';
  digits.resize(15);
  if (roundUp) {
    int i = 14;
    while (i >= 0 && digits[i] == '9') digits[i--] = '0';
    if (i >= 0) {
      ++digits[i];
    } else {
      digits.insert(digits.begin(), '1');
      digits.pop_back();
      ++exponent;
    }
  }
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  std::string s = value < 0 ? "-" : "";
  if (exponent >= -3 && exponent <= 15) {
    if (exponent > 0) {
      std::string intPart = digits.substr(0, std::min<size_t>(exponent, digits.size()));
      intPart.append(static_cast<size_t>(exponent) - intPart.size(), '0');
      s += intPart;
      if (digits.size() > static_cast<size_t>(exponent)) {
        s += '.';
        s.append(digits, static_cast<size_t>(exponent));
      }
    } else {
      s += "0." + std::string(static_cast<size_t>(-exponent), '0') + digits;
    }
  } else {
    s += digits[0];
    // Appended piece by piece: GCC 12 sees a false overlap in "." + substr at -O3.
    if (digits.size() > 1) {
      s += '.';
      s.append(digits, 1);
    }
    s += 'E';
    s += std::to_string(exponent - 1);
  }
  return Utf8ToUtf16(s);
}

namespace {

locale_t CLocale() {
  static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return c;
}

// The '.'-separated decimal form; false when the text is not one or overflows.
bool TryParseDecimal(std::string_view text, long double& out) {
  size_t i = 0, n = text.size();
  while (i < n && text[i] == ' ') ++i;
  const size_t begin = i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Up to 19 significant digits and a power of ten up to 27 are exact in a long double, so one
  // multiplication or division rounds once, as strtold would; anything else goes to strtold.
  uint64_t m = 0;
  int significant = 0, fraction = 0;
  bool fast = true;
  auto digit = [&](char c) {
    if (m == 0 && c == '0') return;
    if (++significant > 19) fast = false;
    else m = m * 10 + static_cast<uint64_t>(c - '0');
  };
  size_t mantissa = 0;
  while (i < n && text[i] >= '0' && text[i] <= '9') digit(text[i++]), ++mantissa;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && text[i] >= '0' && text[i] <= '9') digit(text[i++]), ++mantissa, ++fraction;
  }
  if (mantissa == 0) return false;
  int exponent = 0;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) expNegative = text[i++] == '-';
    size_t expDigits = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') {
      if (exponent < 100000) exponent = exponent * 10 + (text[i] - '0');
      ++i, ++expDigits;
    }
    if (expDigits == 0) return false;
    if (expNegative) exponent = -exponent;
  }
  const size_t end = i;
  while (i < n && text[i] == ' ') ++i;
  if (i != n) return false;
  if (fast && m == 0) {
    out = negative ? -0.0L : 0.0L;
    return true;
  }
  static constexpr long double kPow10[] = {1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,  1e8L,  1e9L,
                                           1e10L, 1e11L, 1e12L, 1e13L, 1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L,
                                           1e20L, 1e21L, 1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L};
  const int scale = exponent - fraction;
  if (fast && scale >= -27 && scale <= 27) {
    long double v = static_cast<long double>(m);
    v = scale >= 0 ? v * kPow10[scale] : v / kPow10[-scale];
    out = negative ? -v : v;
    return true;
  }
  errno = 0;
  long double v = strtold_l(std::string(text.substr(begin, end - begin)).c_str(), nullptr, CLocale());
  if (std::isinf(v)) return false;  // overflow
  out = v;
  return true;
}

}  // namespace

long double ParseXmlFloat(std::string_view text) {
  // Numbers are the usual case: the names are compared only for text that may be one.
  if (text.size() >= 3 && text.size() <= 4 && !(text[0] >= '0' && text[0] <= '9')) {
    if (SameText(text, "NaN")) return std::numeric_limits<long double>::quiet_NaN();
    if (SameText(text, "INF")) return std::numeric_limits<long double>::infinity();
    if (SameText(text, "-INF")) return -std::numeric_limits<long double>::infinity();
  }
  long double v;
  if (!TryParseDecimal(text, v)) throw EConvertError(Format(SInvalidFloat, {std::string(text)}));
  return v;
}

long double ParseXmlFloat(const WideString& text) { return ParseXmlFloat(Utf16ToUtf8(text)); }

long double ParseXmlDecimal(std::string_view text) {
  long double v;
  if (!TryParseDecimal(text, v)) throw EConvertError(Format(SInvalidFloat, {std::string(text)}));
  return v;
}

// ---- date and time ----

int SystemTimeZoneBias() {
  tzset();  // TZ may have changed since the last call
  time_t now = time(nullptr);
  struct tm local {};
  if (!localtime_r(&now, &local)) return 0;
  return static_cast<int>(-local.tm_gmtoff / 60);
}

namespace {

constexpr int64_t kMSecsPerDay = 86400000;
constexpr int kDateDelta = 693594;  // days from 0001-01-01 to 1899-12-30

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : days[m - 1];
}

bool TryEncodeDate(int y, int m, int d, double& out) {
  if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return false;
  int64_t days = d;
  for (int i = 1; i < m; ++i) days += DaysInMonth(y, i);
  int64_t py = y - 1;
  days += py * 365 + py / 4 - py / 100 + py / 400;
  out = static_cast<double>(days - kDateDelta);
  return true;
}

bool TryEncodeTime(int h, int n, int s, int ms, double& out) {
  if (h < 0 || h >= 24 || n < 0 || n >= 60 || s < 0 || s >= 60 || ms < 0 || ms >= 1000) return false;
  out = static_cast<double>((h * 3600000LL + n * 60000LL + s * 1000LL + ms)) / kMSecsPerDay;
  return true;
}

void DecodeDays(int64_t dayNumber, int& y, int& m, int& d) {
  // dayNumber counts from 0001-01-01 = 1.
  int64_t t = dayNumber - 1;
  int64_t y400 = t / 146097;
  t %= 146097;
  int64_t y100 = t / 36524;
  if (y100 == 4) y100 = 3;
  t -= y100 * 36524;
  int64_t y4 = t / 1461;
  t %= 1461;
  int64_t y1 = t / 365;
  if (y1 == 4) y1 = 3;
  t -= y1 * 365;
  y = static_cast<int>(y400 * 400 + y100 * 100 + y4 * 4 + y1 + 1);
  m = 1;
  while (t >= DaysInMonth(y, m)) t -= DaysInMonth(y, m++);
  d = static_cast<int>(t + 1);
}

}  // namespace

TDateTimeParts DecodeDateTime(TDateTime value) {
  TDateTimeParts r;
  int64_t ms = std::llround(static_cast<long double>(value.value) * kMSecsPerDay);
  int64_t day = ms / kMSecsPerDay;  // toward zero; the time of day is the magnitude's remainder
  int64_t time = (ms < 0 ? -ms : ms) % kMSecsPerDay;
  int64_t dayNumber = kDateDelta + day;
  if (dayNumber >= 1) DecodeDays(dayNumber, r.Year, r.Month, r.Day);
  r.Hour = static_cast<int>(time / 3600000);
  r.Minute = static_cast<int>(time / 60000 % 60);
  r.Second = static_cast<int>(time / 1000 % 60);
  r.MilliSecond = static_cast<int>(time % 1000);
  return r;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int milliSecond) {
  double date, time;
  if (!TryEncodeDate(year, month, day, date) || !TryEncodeTime(hour, minute, second, milliSecond, time))
    throw EConvertError(Format(SInvalidDateTime, {Format("%d-%d-%d %d:%d:%d.%d", {year, month, day, hour, minute,
                                                                                   second, milliSecond})}));
  return TDateTime(date >= 0 ? date + time : date - time);
}

TDateTime EncodeTime(int hour, int minute, int second, int milliSecond) {
  double time;
  if (!TryEncodeTime(hour, minute, second, milliSecond, time)) throw EConvertError(STimeEncodeError);
  return TDateTime(time);
}

WideString FormatXmlDateTime(TDateTime value, bool applyLocalBias) {
  TDateTimeParts p = DecodeDateTime(value);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4d-%.2d-%.2dT%.2d:%.2d:%.2d.%.3d", p.Year, p.Month, p.Day, p.Hour, p.Minute,
                p.Second, p.MilliSecond);
  std::string s = buf;
  int bias = SystemTimeZoneBias();
  if (applyLocalBias && bias != 0) {
    int magnitude = bias < 0 ? -bias : bias;
    std::snprintf(buf, sizeof buf, "%s%.2d:%.2d", bias > 0 ? "-" : "+", magnitude / 60, magnitude % 60);
    s += buf;
  } else {
    s += "Z";
  }
  return Utf8ToUtf16(s);
}

TDateTime ParseXmlDateTime(const WideString& text, bool asUtc) {
  TXSDateTime dt;
  dt.FromXmlText(text);
  return asUtc ? dt.ToUtcDateTime() : dt.ToLocalDateTime();
}

// ---- Base64 ----

namespace {
const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 4 / 3 + bytes.size() / 57 * 2 + 8);
  int column = 0;  // counted over the whole output, so lines are 76 characters throughout
  for (size_t i = 0; i < bytes.size(); i += 3) {
    size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t b = static_cast<uint8_t>(bytes[i]) << 16;
    if (n > 1) b |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (n > 2) b |= static_cast<uint8_t>(bytes[i + 2]);
    out += kBase64[(b >> 18) & 63];
    out += kBase64[(b >> 12) & 63];
    out += n > 1 ? kBase64[(b >> 6) & 63] : '=';
    out += n > 2 ? kBase64[b & 63] : '=';
    column += 4;
    if (column > 75) {
      out += "\r\n";
      column = 0;
    }
  }
  return out;
}

std::string Base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 3 / 4);
  char group[4];
  int count = 0;
  auto flush = [&](int chars) {
    // `chars` characters before the '=' or the end: 2 give one byte, 3 two, 4 three.
    uint32_t b = 0;
    for (int k = 0; k < 4; ++k) b = (b << 6) | static_cast<uint32_t>(k < chars ? Base64Value(group[k]) : 0);
    if (chars >= 2) out += static_cast<char>((b >> 16) & 0xFF);
    if (chars >= 3) out += static_cast<char>((b >> 8) & 0xFF);
    if (chars >= 4) out += static_cast<char>(b & 0xFF);
  };
  int padAt = -1;
  for (char c : text) {
    if (c != '=' && Base64Value(c) < 0) continue;
    if (c == '=' && padAt < 0) padAt = count;
    group[count++] = c;
    if (count == 4) {
      flush(padAt < 0 ? 4 : padAt);
      count = 0;
      padAt = -1;
    }
  }
  if (count > 0) flush(padAt < 0 ? count : padAt);
  return out;
}

std::string Base64Decode(const WideString& text) {
  std::string ascii;
  ascii.reserve(text.size());
  for (char16_t c : text) ascii += c < 128 ? static_cast<char>(c) : ' ';
  return Base64Decode(std::string_view(ascii));
}

// ---- the type translator ----

namespace {

WideString OrdText(PTypeInfo info, const void* value) {
  int64_t v = GetOrdValue(info, value);
  return Utf8ToUtf16(std::to_string(v));
}

bool IsByteArray(PTypeInfo info) {
  return info->Kind == tkDynArray && info->ElType &&
         (info->ElType == TypeInfo<uint8_t>() || info->ElType->Name == "Byte");
}

bool IsDateTime(PTypeInfo info) { return info == TypeInfo<TDateTime>(); }

// Round half to even, as the floating-point unit does by default.
int64_t RoundEven(long double v, std::string_view text) {
  if (!(v >= -9223372036854775808.0L && v < 9223372036854775808.0L))
    throw EConvertError(Format(SInvalidFloat, {std::string(text)}));
  return static_cast<int64_t>(std::nearbyintl(v));
}

// The longest prefix of at most 255 bytes that ends on a character boundary.
std::string ShortStringText(const std::string& s) {
  if (s.size() <= 255) return s;
  size_t n = 255;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

}  // namespace

TTypeTranslator::TTypeTranslator() {
  nilTexts_[tkInteger] = u"0";
  nilTexts_[tkFloat] = u"0";
  nilTexts_[tkInt64] = u"0";
}

const WideString& TTypeTranslator::NilText(TTypeKind kind) const {
  static const WideString empty;
  return kind <= tkDynArray ? nilTexts_[kind] : empty;
}

WideString TTypeTranslator::ValueToText(PTypeInfo info, const void* value) const {
  switch (info->Kind) {
    case tkInteger: return OrdText(info, value);
    case tkChar: return Utf8ToUtf16(std::string(1, *static_cast<const char*>(value)));
    case tkWChar: return WideString(1, *static_cast<const char16_t*>(value));
    case tkFloat:
      if (IsDateTime(info)) return FormatXmlDateTime(*static_cast<const TDateTime*>(value), true);
      switch (info->FloatType) {
        case ftSingle: return FormatXmlFloat(*static_cast<const float*>(value));
        case ftDouble: return FormatXmlFloat(*static_cast<const double*>(value));
        case ftExtended: return FormatXmlFloat(*static_cast<const long double*>(value));
        case ftComp: return FormatXmlFloat(static_cast<long double>(static_cast<const Comp*>(value)->value));
        case ftCurr:
          return FormatXmlFloat(static_cast<long double>(static_cast<const Currency*>(value)->value) / 10000.0L);
      }
      return {};
    case tkString: return Utf8ToUtf16(static_cast<const ShortString*>(value)->text);
    case tkLString: return Utf8ToUtf16(*static_cast<const std::string*>(value));
    case tkWString: return *static_cast<const WideString*>(value);
    case tkInt64: {
      int64_t v = GetOrdValue(info, value);
      if (info->OrdType == otULong && info->MinValue == 0) return Utf8ToUtf16(std::to_string(static_cast<uint64_t>(v)));
      return Utf8ToUtf16(std::to_string(v));
    }
    default: return {};
  }
}

bool TTypeTranslator::TextToValue(PTypeInfo info, const WideString& text, bool isNil, void* dest) const {
  switch (info->Kind) {
    case tkVariant:
      *static_cast<Variant*>(dest) = isNil ? Variant::Null() : TextToVariant(info, text, TVariantTextForm::Plain);
      break;
    case tkInteger: {
      std::string s = isNil ? std::string("0") : TrimXml(Utf16ToUtf8(text));
      int64_t v = info->OrdType == otULong ? ParseXmlInt64(s) : ParseXmlInt32(s);
      SetOrdValue(info, dest, v);
      break;
    }
    case tkChar:
      if (!text.empty()) *static_cast<char*>(dest) = static_cast<char>(text[0] & 0xFF);
      break;
    case tkWChar:
      if (!text.empty()) *static_cast<char16_t*>(dest) = text[0];
      break;
    case tkEnumeration: {
      if (text.empty()) {
        SetOrdValue(info, dest, 0);
        break;
      }
      std::string s = isNil ? std::string() : TrimXml(Utf16ToUtf8(text));
      if (info->IsBooleanEnum()) {
        // A text that is no boolean spelling stores the lookup's "not found": all bits set.
        int64_t v = -1;
        if (SameText(s, "true") || s == "1") v = info == TypeInfo<bool>() ? 1 : -1;
        else if (SameText(s, "false") || s == "0") v = 0;
        SetOrdValue(info, dest, v);
        break;
      }
      std::string ident = GetTypeRegistry()->InternalPropertyName(info, Utf8ToUtf16(s));
      uint8_t ordinal = static_cast<uint8_t>(GetEnumValue(info, ident));
      std::memcpy(dest, &ordinal, 1);
      break;
    }
    case tkFloat: {
      std::string s = TrimXml(Utf16ToUtf8(text));
      if (IsDateTime(info)) {
        // A nil date-time is the zero date-time.
        *static_cast<TDateTime*>(dest) = isNil ? TDateTime(0) : ParseXmlDateTime(Utf8ToUtf16(s), false);
        break;
      }
      long double v = isNil ? 0.0L : ParseXmlFloat(s);
      switch (info->FloatType) {
        case ftSingle: *static_cast<float*>(dest) = static_cast<float>(v); break;
        case ftDouble: *static_cast<double*>(dest) = static_cast<double>(v); break;
        case ftExtended: *static_cast<long double*>(dest) = v; break;
        case ftComp: static_cast<Comp*>(dest)->value = RoundEven(v, s); break;
        case ftCurr: static_cast<Currency*>(dest)->value = RoundEven(v * 10000.0L, s); break;
      }
      break;
    }
    case tkString: static_cast<ShortString*>(dest)->Assign(ShortStringText(Utf16ToUtf8(text))); break;
    case tkLString: *static_cast<std::string*>(dest) = Utf16ToUtf8(text); break;
    case tkWString: *static_cast<WideString*>(dest) = text; break;
    case tkInt64: {
      int64_t v = ParseXmlInt64(isNil ? std::string("0") : TrimXml(Utf16ToUtf8(text)));
      std::memcpy(dest, &v, 8);
      break;
    }
    case tkSet: case tkMethod: case tkArray: case tkRecord: case tkInterface: case tkDynArray:
      throw ETypeTransException(Format(SUnexpectedDataType, {TypeKindName(info->Kind)}));
    default: break;  // Unknown, Class: nothing to do
  }
  return true;
}

Variant TTypeTranslator::TextToVariant(PTypeInfo info, const WideString& text, TVariantTextForm form) const {
  bool trimming = form == TVariantTextForm::Trimming;
  switch (info->Kind) {
    case tkInteger: {
      std::string s = TrimXml(Utf16ToUtf8(text));
      if (trimming && info->OrdType == otULong) return Variant(static_cast<uint32_t>(ParseXmlInt64(s)));
      return Variant(ParseXmlInt32(s));
    }
    case tkChar: case tkString: case tkLString: return Variant(text);
    case tkWChar: case tkWString: return Variant(trimming ? TrimXml(text) : text);
    case tkFloat: return Variant(static_cast<double>(ParseXmlFloat(TrimXml(Utf16ToUtf8(text)))));
    case tkInt64: return Variant(ParseXmlInt64(TrimXml(Utf16ToUtf8(text))));
    case tkDynArray:
      if (IsByteArray(info)) {
        std::string bytes = Base64Decode(text);
        std::vector<Variant> items;
        items.reserve(bytes.size());
        for (char b : bytes) items.emplace_back(static_cast<uint8_t>(b));
        return Variant::Array(std::move(items), varByte);
      }
      throw ETypeTransException(SVariantCastNotSupported);
    case tkEnumeration: case tkSet: case tkMethod: case tkArray: case tkRecord: case tkInterface:
      throw ETypeTransException(SVariantCastNotSupported);
    default: return Variant();  // Unknown, Class, Variant: unassigned
  }
}

TTypeTranslator* TypeTranslator() {
  static TTypeTranslator translator;
  return &translator;
}
