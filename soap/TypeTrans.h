// XML Schema text forms of scalar values: the type translator that converts between a typed
// value in memory and its XML text, the integer, floating-point and date-time routines the
// message converters share, and Base64.
//
// Every text form here is independent of the user's locale: numbers use '.' and no grouping
// whatever LC_NUMERIC says.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/Strings.h"
#include "runtime/SysUtils.h"
#include "runtime/TypInfo.h"
#include "runtime/Variants.h"

ZELK_DECLARE_EXCEPTION(ETypeTransException, Exception);
// Raised by the response decoder for a boolean property whose text is none of the four
// boolean spellings (with an empty name).
ZELK_DECLARE_EXCEPTION(EPropertyConvertError, Exception);

// Messages of the scalar conversions ("%s" is the offending text unless stated).
inline constexpr const char* SInvalidInteger = "'%s' is not a valid integer value";
inline constexpr const char* SInvalidFloat = "'%s' is not a valid floating point value";
inline constexpr const char* SInvalidDateTime = "''%s'' is not a valid date and time";
inline constexpr const char* STimeEncodeError = "Invalid argument to time encode";
inline constexpr const char* SUnexpectedDataType =
    "Internal error: data type kind %s cannot be converted to and from text";  // the kind's name
inline constexpr const char* SVariantCastNotSupported = "Type cannot be cast as Variant";
inline constexpr const char* SInvalidPropertyElement = "Invalid property element: %s";

// Leading and trailing characters up to and including the space removed.
WideString TrimXml(const WideString& text);
std::string TrimXml(std::string_view text);

// Optional leading spaces, an optional sign, then decimal digits, or hexadecimal digits after
// "$", "x", "X", "0x" or "0X"; nothing after. Decimal values must fit the signed range, a
// hexadecimal one may use all the bits. Else EConvertError SInvalidInteger.
int32_t ParseXmlInt32(std::string_view text);
int32_t ParseXmlInt32(const WideString& text);
int64_t ParseXmlInt64(std::string_view text);
int64_t ParseXmlInt64(const WideString& text);

// "NaN", "INF", "-INF"; otherwise 15 significant digits of the value widened to 80 bits, in
// fixed notation for decimal exponents -3 to 15 and as d.dddE<n> beyond ("0.1", "1E-5",
// "1E15"; a single 0.1 gives "0.100000001490116").
WideString FormatXmlFloat(long double value);
// "NaN", "INF", "-INF" in any case; else optional spaces, sign, digits with an optional '.',
// an optional exponent, optional spaces. Computed in 80 bits; EConvertError SInvalidFloat for
// anything else or an overflow.
long double ParseXmlFloat(std::string_view text);
long double ParseXmlFloat(const WideString& text);
// The decimal form alone, without the NaN and infinity names (duration seconds).
long double ParseXmlDecimal(std::string_view text);

// Minutes such that UTC = local time + bias, from the process's time zone (TZ) now.
int SystemTimeZoneBias();

// ---- date-time values (days since 1899-12-30, the fraction being the time of day) ----

struct TDateTimeParts {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, MilliSecond = 0;
};
// To the nearest millisecond.
TDateTimeParts DecodeDateTime(TDateTime value);
// EConvertError SInvalidDateTime ("Y-M-D H:N:S.Z") for an impossible date or time.
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int milliSecond);
// EConvertError STimeEncodeError unless hour < 24, minute < 60, second < 60, ms < 1000.
TDateTime EncodeTime(int hour, int minute, int second, int milliSecond);

// "yyyy-mm-ddThh:nn:ss.zzz" and the local offset ("+09:00"; "Z" when the bias is 0 or no
// offset is asked for).
WideString FormatXmlDateTime(TDateTime value, bool applyLocalBias = true);
// The text read as an XML date-time and converted to local time (or UTC). Date-time text
// errors propagate; empty text is 0001-01-01T00:00:00.
TDateTime ParseXmlDateTime(const WideString& text, bool asUtc = false);

// RFC 2045 Base64: CR LF after every 76 characters of output; decoding skips every character
// outside the alphabet and stops a group of four at '='.
std::string Base64Encode(std::string_view bytes);
std::string Base64Decode(std::string_view text);
std::string Base64Decode(const WideString& text);

// How TextToVariant treats text: the decoder's form for variant array items and variant
// properties trims wide strings and reads the unsigned 32-bit integer through the 64-bit parser.
enum class TVariantTextForm { Plain, Trimming };

// Converts between values described by their type information and XML text. One instance
// for the process (TypeTranslator()); it holds no mutable state.
class TTypeTranslator {
 public:
  TTypeTranslator();

  // The text of the value at `value`; empty for kinds the converters write themselves
  // (enumerations, classes, arrays, variants...).
  WideString ValueToText(PTypeInfo info, const void* value) const;
  // Writes the value read from `text` to `dest` (a constructed value of the type); `isNil`
  // says the element was nil. Failures raise and leave `dest` as it was. Returns true.
  bool TextToValue(PTypeInfo info, const WideString& text, bool isNil, void* dest) const;
  Variant TextToVariant(PTypeInfo info, const WideString& text,
                        TVariantTextForm form = TVariantTextForm::Plain) const;
  // The text used for a nil element: "0" for Integer, Float and Int64, empty otherwise.
  const WideString& NilText(TTypeKind kind) const;

 private:
  WideString nilTexts_[tkDynArray + 1];
};

TTypeTranslator* TypeTranslator();
