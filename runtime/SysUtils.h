// Base exception classes, printf-style formatting and the number format settings.
#pragma once

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>

// One argument of Format. Implicit constructors let callers write Format("%s (%d)", {text, code}).
class TVarRec {
 public:
  enum class Kind { Int, Int64, UInt64, Extended, String, WideString, Pointer, Char };

  TVarRec(int v) : kind_(Kind::Int), i_(v) {}
  TVarRec(unsigned v) : kind_(Kind::Int64), i_(v) {}
  TVarRec(long v) : kind_(Kind::Int64), i_(v) {}
  TVarRec(long long v) : kind_(Kind::Int64), i_(v) {}
  TVarRec(unsigned long v) : kind_(Kind::UInt64), u_(v) {}
  TVarRec(unsigned long long v) : kind_(Kind::UInt64), u_(v) {}
  TVarRec(double v) : kind_(Kind::Extended), f_(v) {}
  TVarRec(long double v) : kind_(Kind::Extended), f_(v) {}
  TVarRec(char c) : kind_(Kind::Char), s_(1, c) {}
  TVarRec(const char* s) : kind_(Kind::String), s_(s ? s : "") {}
  TVarRec(std::string_view s) : kind_(Kind::String), s_(s) {}
  TVarRec(const std::string& s) : kind_(Kind::String), s_(s) {}
  TVarRec(const std::u16string& s);
  TVarRec(const char16_t* s);
  TVarRec(const void* p) : kind_(Kind::Pointer), p_(p) {}

  Kind kind() const { return kind_; }
  bool IsInteger() const { return kind_ == Kind::Int || kind_ == Kind::Int64 || kind_ == Kind::UInt64; }
  int64_t AsInt64() const { return kind_ == Kind::UInt64 ? static_cast<int64_t>(u_) : i_; }
  uint64_t AsUInt64() const { return kind_ == Kind::UInt64 ? u_ : static_cast<uint64_t>(i_); }
  long double AsExtended() const { return f_; }
  const std::string& AsString() const { return s_; }
  const void* AsPointer() const { return p_; }

 private:
  Kind kind_;
  int64_t i_ = 0;
  uint64_t u_ = 0;
  long double f_ = 0;
  std::string s_;
  const void* p_ = nullptr;
};

// Decimal and thousands separators taken from the user's LC_NUMERIC locale (the environment,
// not the C library's current locale, so Qt's or a test's setlocale calls do not matter).
struct TFormatSettings {
  std::string DecimalSeparator = ".";
  std::string ThousandSeparator = ",";
};
const TFormatSettings& FormatSettings();
// Re-reads the locale environment; for programs and tests that change LANG/LC_* at run time.
void ReloadFormatSettings();
void SetFormatSettings(const TFormatSettings& settings);

// printf-style formatting: %d %u %x %s %p %n %f %e %g %m %c and %%, each with optional
// "index:", "-", width and ".precision" (either may be "*"). Raises EConvertError
// "Format '%s' invalid or incompatible with argument" on a bad pattern or argument.
std::string Format(std::string_view fmt, std::initializer_list<TVarRec> args);
std::string Format(std::string_view fmt, const TVarRec* args, size_t count);

// Fixed notation with `decimals` places, thousands grouped: the %n rendering.
std::string FormatNumber(long double value, int decimals, const TFormatSettings& fs);

// Root of the system's exception classes: a message and a help context.
class Exception : public std::exception {
 public:
  Exception() = default;
  explicit Exception(std::string message, int helpContext = 0)
      : message_(std::move(message)), helpContext_(helpContext) {}
  Exception(std::string_view fmt, std::initializer_list<TVarRec> args)
      : message_(Format(fmt, args)) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }
  void SetMessage(std::string m) { message_ = std::move(m); }
  int HelpContext() const { return helpContext_; }
  void SetHelpContext(int h) { helpContext_ = h; }

 private:
  std::string message_;
  int helpContext_ = 0;
};

// Declares an exception class that adds nothing but its name.
#define ZELK_DECLARE_EXCEPTION(Name, Base) \
  class Name : public Base {               \
   public:                                 \
    using Base::Base;                      \
  }

// The silent exception: unwinds without being reported.
ZELK_DECLARE_EXCEPTION(EAbort, Exception);
ZELK_DECLARE_EXCEPTION(EConvertError, Exception);

// Faults the operating system reports (fatal signals). The reporting layer describes a signal
// with these classes; they are never thrown.
ZELK_DECLARE_EXCEPTION(EExternal, Exception);
ZELK_DECLARE_EXCEPTION(EAccessViolation, EExternal);
ZELK_DECLARE_EXCEPTION(EStackOverflow, EExternal);
ZELK_DECLARE_EXCEPTION(EIntError, EExternal);
ZELK_DECLARE_EXCEPTION(EDivByZero, EIntError);
ZELK_DECLARE_EXCEPTION(EIntOverflow, EIntError);
ZELK_DECLARE_EXCEPTION(EMathError, EExternal);
ZELK_DECLARE_EXCEPTION(EZeroDivide, EMathError);
ZELK_DECLARE_EXCEPTION(EOverflow, EMathError);
ZELK_DECLARE_EXCEPTION(EUnderflow, EMathError);
ZELK_DECLARE_EXCEPTION(EInvalidOp, EMathError);
ZELK_DECLARE_EXCEPTION(EPrivilege, EExternal);
ZELK_DECLARE_EXCEPTION(EIllegalInstruction, EExternal);
ZELK_DECLARE_EXCEPTION(EAbnormalTermination, EExternal);
ZELK_DECLARE_EXCEPTION(EIntfCastError, Exception);
// Reported by the freeze watch when the main thread stops answering; never thrown.
ZELK_DECLARE_EXCEPTION(EFrozenApplication, Exception);

[[noreturn]] void Abort();
