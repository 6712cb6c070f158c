#include "runtime/SysUtils.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "runtime/Strings.h"
#include "runtime/NoDestroy.h"

TVarRec::TVarRec(const std::u16string& s) : kind_(Kind::WideString), s_(Utf16ToUtf8(s)) {}
TVarRec::TVarRec(const char16_t* s) : kind_(Kind::WideString), s_(s ? Utf16ToUtf8(s) : std::string()) {}

namespace {

std::mutex g_settingsLock;
TNoDestroy<TFormatSettings> g_settings;  // Format may run in the leak report at exit
bool g_settingsLoaded = false;

TFormatSettings ReadLocaleSettings() {
  TFormatSettings fs;
  locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return fs;
  const char* dec = nl_langinfo_l(RADIXCHAR, loc);
  const char* thou = nl_langinfo_l(THOUSEP, loc);
  if (dec && *dec) fs.DecimalSeparator = dec;
  // A locale without grouping (C, POSIX) reports an empty separator: no grouping then.
  fs.ThousandSeparator = thou ? thou : "";
  freelocale(loc);
  return fs;
}

// Decimal digits of |value| rounded half away from zero, either to `precision` significant
// digits or, when `decimals` >= 0, additionally to `decimals` places after the point.
struct TDecimal {
  bool negative = false;
  int exponent = 0;    // value = 0.d1d2d3... * 10^exponent
  std::string digits;  // no leading or trailing zeros; empty for zero
};

TDecimal FloatToDecimal(long double value, int precision, int decimals) {
  TDecimal r;
  r.negative = std::signbit(value) && value != 0;
  long double a = std::fabs(value);
  if (a == 0) return r;
  char buf[64];
  // 30 significant digits: far more than an 80-bit value carries, so the half-up decision
  // below is taken on the exact binary value.
  std::snprintf(buf, sizeof buf, "%.29Le", a);
  std::string d;
  const char* p = buf;
  for (; *p && *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9') d += *p;
  int e10 = std::atoi(p + 1);
  r.exponent = e10 + 1;
  int keep = precision;
  if (decimals >= 0) keep = std::min(keep, r.exponent + decimals);
  if (keep < 0) return TDecimal{};  // rounds to zero
  bool roundUp = keep < static_cast<int>(d.size()) && d[keep] >= '5';
  d.resize(std::min<size_t>(keep, d.size()));
  if (roundUp) {
    int i = static_cast<int>(d.size()) - 1;
    while (i >= 0 && d[i] == '9') d[i--] = '0';
    if (i >= 0) {
      ++d[i];
    } else {
      d.insert(d.begin(), '1');
      d.pop_back();
      if (d.empty()) d = "1";
      ++r.exponent;
    }
  }
  while (!d.empty() && d.back() == '0') d.pop_back();
  if (d.empty()) {
    r.exponent = 0;
    r.negative = false;  // rounds to zero: no "-0.00"
  }
  r.digits = d;
  return r;
}

std::string GroupThousands(const std::string& intDigits, const std::string& sep) {
  if (sep.empty()) return intDigits;
  std::string out;
  int n = static_cast<int>(intDigits.size());
  for (int i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out += sep;
    out += intDigits[i];
  }
  return out;
}

std::string FixedText(const TDecimal& d, int decimals, bool grouped, const TFormatSettings& fs) {
  std::string intPart, fracPart;
  if (d.exponent > 0) {
    intPart = d.digits.substr(0, std::min<size_t>(d.exponent, d.digits.size()));
    intPart.append(d.exponent - intPart.size(), '0');
  } else {
    intPart = "0";
  }
  for (int i = 0; i < decimals; ++i) {
    int pos = d.exponent + i;  // index into digits of the i-th decimal
    fracPart += (pos >= 0 && pos < static_cast<int>(d.digits.size())) ? d.digits[pos] : '0';
  }
  std::string s = d.negative ? "-" : "";
  s += grouped ? GroupThousands(intPart, fs.ThousandSeparator) : intPart;
  if (decimals > 0) s += fs.DecimalSeparator + fracPart;
  return s;
}

std::string SpecialText(long double v) {
  if (std::isnan(v)) return "NAN";
  return v < 0 ? "-INF" : "INF";
}

std::string ExponentText(const TDecimal& d, int precision, int minExpDigits, bool plusSign,
                         bool padDigits, const TFormatSettings& fs) {
  std::string digits = d.digits.empty() ? "0" : d.digits;
  if (padDigits) digits.append(std::max(0, precision - static_cast<int>(digits.size())), '0');
  int exp = d.digits.empty() ? 0 : d.exponent - 1;
  std::string s = d.negative ? "-" : "";
  s += digits[0];
  if (digits.size() > 1) s += fs.DecimalSeparator + digits.substr(1);
  s += 'E';
  if (exp < 0) s += '-';
  else if (plusSign) s += '+';
  std::string e = std::to_string(std::abs(exp));
  if (static_cast<int>(e.size()) < minExpDigits) e.insert(0, minExpDigits - e.size(), '0');
  return s + e;
}

std::string GeneralText(long double v, int precision, const TFormatSettings& fs) {
  if (!std::isfinite(v)) return SpecialText(v);
  if (precision > 18) precision = 18;
  TDecimal d = FloatToDecimal(v, precision, -1);
  if (d.digits.empty()) return "0";
  if (d.exponent > precision || d.exponent < -3)
    return ExponentText(d, precision, 0, false, false, fs);
  int decimals = std::max(0, static_cast<int>(d.digits.size()) - d.exponent);
  return FixedText(d, decimals, false, fs);
}

}  // namespace

const TFormatSettings& FormatSettings() {
  std::lock_guard<std::mutex> lock(g_settingsLock);
  if (!g_settingsLoaded) {
    *g_settings = ReadLocaleSettings();
    g_settingsLoaded = true;
  }
  return *g_settings;
}

void ReloadFormatSettings() {
  std::lock_guard<std::mutex> lock(g_settingsLock);
  *g_settings = ReadLocaleSettings();
  g_settingsLoaded = true;
}

void SetFormatSettings(const TFormatSettings& settings) {
  std::lock_guard<std::mutex> lock(g_settingsLock);
  *g_settings = settings;
  g_settingsLoaded = true;
}

std::string FormatNumber(long double value, int decimals, const TFormatSettings& fs) {
  if (!std::isfinite(value)) return SpecialText(value);
  TDecimal d = FloatToDecimal(value, 18, decimals);
  // Beyond 18 integer digits the fixed form would show invented digits.
  if (d.exponent > 18) return GeneralText(value, 18, fs);
  return FixedText(d, decimals, true, fs);
}

std::string Format(std::string_view fmt, std::initializer_list<TVarRec> args) {
  return Format(fmt, args.begin(), args.size());
}

std::string Format(std::string_view fmt, const TVarRec* args, size_t count) {
  auto invalid = [&]() -> EConvertError {
    return EConvertError(
        "Format '" + std::string(fmt) + "' invalid or incompatible with argument");
  };
  const TFormatSettings& fs = FormatSettings();
  std::string out;
  size_t argIndex = 0;
  size_t i = 0;
  auto nextArg = [&]() -> const TVarRec& {
    if (argIndex >= count) throw invalid();
    return args[argIndex++];
  };
  auto readNumber = [&](int& value) -> bool {
    if (i < fmt.size() && fmt[i] == '*') {
      const TVarRec& a = nextArg();
      if (!a.IsInteger()) throw invalid();
      value = static_cast<int>(a.AsInt64());
      ++i;
      return true;
    }
    if (i >= fmt.size() || fmt[i] < '0' || fmt[i] > '9') return false;
    value = 0;
    while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
      value = value * 10 + (fmt[i] - '0');
      if (value > 100000) throw invalid();
      ++i;
    }
    return true;
  };

  while (i < fmt.size()) {
    char c = fmt[i++];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i >= fmt.size()) throw invalid();
    if (fmt[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    int width = -1, precision = -1;
    bool left = false;
    int number = 0;
    bool haveNumber = readNumber(number);
    if (haveNumber && i < fmt.size() && fmt[i] == ':') {
      argIndex = static_cast<size_t>(number);
      ++i;
      haveNumber = false;
    }
    if (!haveNumber) {
      if (i < fmt.size() && fmt[i] == '-') {
        left = true;
        ++i;
      }
      if (readNumber(number)) width = number;
    } else {
      width = number;
    }
    if (i < fmt.size() && fmt[i] == '.') {
      ++i;
      if (!readNumber(precision)) precision = 0;
    }
    if (i >= fmt.size()) throw invalid();
    char type = fmt[i++];
    std::string text;
    switch (type) {
      case 'd': case 'D': case 'u': case 'U': {
        const TVarRec& a = nextArg();
        if (!a.IsInteger()) throw invalid();
        bool neg = false;
        std::string digits;
        if (type == 'u' || type == 'U') {
          uint64_t v = a.kind() == TVarRec::Kind::Int ? static_cast<uint32_t>(a.AsInt64()) : a.AsUInt64();
          digits = std::to_string(v);
        } else if (a.kind() == TVarRec::Kind::UInt64) {
          digits = std::to_string(a.AsUInt64());
        } else {
          int64_t v = a.AsInt64();
          neg = v < 0;
          uint64_t m = neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
          digits = std::to_string(m);
        }
        if (precision > static_cast<int>(digits.size())) digits.insert(0, precision - digits.size(), '0');
        text = (neg ? "-" : "") + digits;
        break;
      }
      case 'x': case 'X': {
        const TVarRec& a = nextArg();
        if (!a.IsInteger()) throw invalid();
        uint64_t v = a.kind() == TVarRec::Kind::Int ? static_cast<uint32_t>(a.AsInt64()) : a.AsUInt64();
        char buf[32];
        std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v));
        text = buf;
        if (precision > static_cast<int>(text.size())) text.insert(0, precision - text.size(), '0');
        break;
      }
      case 'p': case 'P': {
        const TVarRec& a = nextArg();
        uint64_t v;
        if (a.kind() == TVarRec::Kind::Pointer) v = reinterpret_cast<uintptr_t>(a.AsPointer());
        else if (a.IsInteger()) v = a.AsUInt64();
        else throw invalid();
        char buf[32];
        std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(v));
        text = buf;
        break;
      }
      case 's': case 'S': {
        const TVarRec& a = nextArg();
        if (a.kind() == TVarRec::Kind::String || a.kind() == TVarRec::Kind::WideString ||
            a.kind() == TVarRec::Kind::Char) {
          text = a.AsString();
        } else {
          throw invalid();
        }
        if (precision >= 0 && precision < static_cast<int>(text.size())) text = Utf8Truncate(text, precision);
        break;
      }
      case 'n': case 'N': case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': {
        const TVarRec& a = nextArg();
        long double v;
        if (a.kind() == TVarRec::Kind::Extended) v = a.AsExtended();
        else throw invalid();
        char t = static_cast<char>(type | 0x20);
        if (t == 'n') {
          text = FormatNumber(v, precision < 0 ? 2 : std::min(precision, 18), fs);
        } else if (t == 'f') {
          int dec = precision < 0 ? 2 : std::min(precision, 18);
          if (!std::isfinite(v)) {
            text = SpecialText(v);
          } else {
            TDecimal d = FloatToDecimal(v, 18, dec);
            text = d.exponent > 18 ? GeneralText(v, 18, fs) : FixedText(d, dec, false, fs);
          }
        } else if (t == 'e') {
          int prec = precision < 0 ? 15 : std::clamp(precision, 1, 18);
          text = std::isfinite(v) ? ExponentText(FloatToDecimal(v, prec, -1), prec, 3, true, true, fs)
                                  : SpecialText(v);
        } else {
          text = GeneralText(v, precision < 0 ? 15 : std::max(precision, 1), fs);
        }
        break;
      }
      default:
        throw invalid();
    }
    int len = static_cast<int>(Utf8Length(text));
    if (width > len) {
      std::string pad(width - len, ' ');
      text = left ? text + pad : pad + text;
    }
    out += text;
  }
  return out;
}

void Abort() { throw EAbort("Operation aborted"); }
