#include "soap/TypeTrans.h"

#include <gtest/gtest.h>

#include "tests/support/ExpectMessage.h"
#include "tests/support/TestSupport.h"
#include <locale.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "soap/InvokeRegistry.h"

enum class TTestColor : uint8_t { tcRed, tcGreen, tcBlue };
ZELK_DECLARE_ENUM(TTestColor);
ZELK_ENUM_INFO(TTestColor, "TypeTrans_test", "tcRed", "tcGreen", "tcBlue")

namespace {

std::string U8(const WideString& w) { return Utf16ToUtf8(w); }



TEST(TypeTransTest, FormatXmlFloat) {
  struct Case {
    long double value;
    const char* text;
  } cases[] = {
      {0.1, "0.1"},
      {1E-5, "1E-5"},
      {1E15, "1E15"},
      {1E300, "1E300"},
      {100, "100"},
      {-0.25, "-0.25"},
      {0.1f, "0.100000001490116"},
      {1, "1"},
      {0.5, "0.5"},
      {0.0001, "0.0001"},
      {123456789012345.0, "123456789012345"},
      {-2.5E-7, "-2.5E-7"},
      {0.1 + 0.2, "0.3"},
      {1234567890123456789.0, "1.23456789012346E18"},
      {999999999999999.9, "1E15"},
      {12.345678901234567, "12.3456789012346"},
      {0, "0"},
      {-1.5, "-1.5"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(U8(FormatXmlFloat(c.value)), c.text);
  }
}

TEST(TypeTransTest, ParseXmlFloatAccepts) {
  struct Case {
    const char* text;
    long double value;
  } cases[] = {
      {"1.5", 1.5L}, {" 1.5 ", 1.5L}, {"1.5e3", 1500.0L}, {"1.5E+3", 1500.0L}, {".5", 0.5L}, {"5.", 5.0L},
      {"-2.5E-7", -2.5E-7L}, {"+7", 7.0L}, {"0", 0.0L}, {"1E4000", 1E4000L},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseXmlFloat(std::string_view(c.text)), c.value);
  }
  EXPECT_TRUE(std::isnan(ParseXmlFloat(std::string_view("nan"))));
  EXPECT_EQ(ParseXmlFloat(std::string_view("inf")), std::numeric_limits<long double>::infinity());
  EXPECT_EQ(ParseXmlFloat(std::string_view("-Inf")), -std::numeric_limits<long double>::infinity());
  EXPECT_EQ(ParseXmlFloat(WideString(u"0.25")), 0.25L);
}

// Short decimals take a shortcut past strtold; both must give the same bits, on each side of
// the shortcut's limits (19 digits, powers of ten up to 27) and on the usual hard cases.
TEST(TypeTransTest, ParseXmlFloatMatchesStrtold) {
  std::vector<std::string> texts = {
      "34.5", "-0", "-0.0", "0.000", "128.9", "10824.1", "0.1", "0.3", "9007199254740993", "1e27", "1e28",
      "1e-27", "1e-28", "1234567890123456789", "12345678901234567890", "1234567890.123456789",
      "0.0000000000000000000000000001234", "000000000000000000000000001.5", "1.7976931348623157e308",
      "4.9e-324", "2.2250738585072011e-308", "123.456e-5", "99999999999999999999e-20", "18446744073709551615",
      "18446744073709551616", "5e-1", "1.00000000000000000001"};
  // A fixed pseudo-random spread of short decimals as services write them.
  uint64_t x = 88172645463325252ull;
  for (int i = 0; i < 2000; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    const int digits = 1 + static_cast<int>(x % 19), point = static_cast<int>((x >> 8) % (digits + 1));
    std::string t = std::to_string(x >> 5).substr(0, static_cast<size_t>(digits));
    t.insert(std::min(static_cast<size_t>(point), t.size()), ".");
    if ((x >> 20) % 3 == 0) t += "e" + std::to_string(static_cast<int>((x >> 24) % 61) - 30);
    texts.push_back(((x >> 40) & 1) ? "-" + t : t);
  }
  locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
  for (const std::string& t : texts) {
    SCOPED_TRACE(t);
    const long double expected = strtold_l(t.c_str(), nullptr, c);
    const long double got = ParseXmlFloat(std::string_view(t));
    EXPECT_EQ(std::memcmp(&got, &expected, 10), 0) << static_cast<double>(got) << " vs " << static_cast<double>(expected);
  }
  freelocale(c);
}

TEST(TypeTransTest, ParseXmlFloatRefuses) {
  for (const char* text : {"1,5", "1 5", "+INF", "", " ", ".", "e5", "1e", "1E+", "--1", "1.5x", "1E5000", "Infinity"}) {
    SCOPED_TRACE(text);
    ExpectMessage([&] { ParseXmlFloat(std::string_view(text)); },
                  std::string("'") + text + "' is not a valid floating point value");
  }
  // The decimal form alone knows no names.
  EXPECT_THROW(ParseXmlDecimal("NaN"), EConvertError);
}

TEST(TypeTransTest, IntegerParsers) {
  struct Case {
    const char* text;
    std::optional<int64_t> value32;  // none: refused
    std::optional<int64_t> value64;
  };
  const std::nullopt_t kBad = std::nullopt;
  Case cases[] = {
      {"$1F", 31, 31},
      {"0x1F", 31, 31},
      {"0X1f", 31, 31},
      {"x1f", 31, 31},
      {"X1F", 31, 31},
      {"  42", 42, 42},
      {"+42", 42, 42},
      {"-$1F", -31, -31},
      {"-2147483648", INT32_MIN, INT32_MIN},
      {"2147483647", INT32_MAX, INT32_MAX},
      {"2147483648", kBad, 2147483648LL},
      {"$FFFFFFFF", -1, 0xFFFFFFFFLL},
      {"$100000000", kBad, 0x100000000LL},
      {"9223372036854775807", kBad, INT64_MAX},
      {"-9223372036854775808", kBad, INT64_MIN},
      {"9223372036854775808", kBad, kBad},
      {"$FFFFFFFFFFFFFFFF", kBad, -1},
      {"12abc", kBad, kBad},
      {"42 ", kBad, kBad},
      {"", kBad, kBad},
      {"-", kBad, kBad},
      {"0x", kBad, kBad},
      {"$", kBad, kBad},
      {"1.0", kBad, kBad},
      {"\t1", kBad, kBad},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string message = std::string("'") + c.text + "' is not a valid integer value";
    if (!c.value32) ExpectMessage([&] { ParseXmlInt32(std::string_view(c.text)); }, message);
    else EXPECT_EQ(ParseXmlInt32(std::string_view(c.text)), *c.value32);
    if (!c.value64) ExpectMessage([&] { ParseXmlInt64(std::string_view(c.text)); }, message);
    else EXPECT_EQ(ParseXmlInt64(std::string_view(c.text)), *c.value64);
  }
}

TEST(TypeTransTest, ValueToText) {
  TTypeTranslator* t = TypeTranslator();
  int8_t i8 = -1;
  uint8_t u8 = 255;
  int16_t i16 = -32768;
  uint16_t u16 = 65535;
  int32_t i32 = -7;
  uint32_t u32 = 4294967295u;
  int64_t i64 = INT64_MIN;
  uint64_t u64 = UINT64_MAX;
  double d = 0.1;
  float f = 0.1f;
  long double e = 1E-5L;
  Currency cur{12346};
  Comp comp{-5};
  std::string ls = "caf\xC3\xA9";
  WideString ws = u"x y ";
  ShortString ss;
  ss.Assign("short");
  char ch = 'A';
  char16_t wc = u'\u00e9';
  bool b = true;
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<int8_t>(), &i8)), "-1");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<uint8_t>(), &u8)), "255");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<int16_t>(), &i16)), "-32768");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<uint16_t>(), &u16)), "65535");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<int32_t>(), &i32)), "-7");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<uint32_t>(), &u32)), "4294967295");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<int64_t>(), &i64)), "-9223372036854775808");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<uint64_t>(), &u64)), "18446744073709551615");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<double>(), &d)), "0.1");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo_Real(), &d)), "0.1");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<float>(), &f)), "0.100000001490116");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<long double>(), &e)), "1E-5");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<Currency>(), &cur)), "1.2346");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<Comp>(), &comp)), "-5");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<std::string>(), &ls)), "caf\xC3\xA9");
  EXPECT_EQ(t->ValueToText(TypeInfo<WideString>(), &ws), u"x y ");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<ShortString>(), &ss)), "short");
  EXPECT_EQ(U8(t->ValueToText(TypeInfo<char>(), &ch)), "A");
  EXPECT_EQ(t->ValueToText(TypeInfo<char16_t>(), &wc), u"\u00e9");
  // Enumerations, variants, arrays and classes are the converters' own business.
  EXPECT_EQ(t->ValueToText(TypeInfo<bool>(), &b), u"");
}

TEST(TypeTransTest, TextToValueScalars) {
  TTypeTranslator* t = TypeTranslator();
  int8_t i8 = 0;
  t->TextToValue(TypeInfo<int8_t>(), u" -1 ", false, &i8);
  EXPECT_EQ(i8, -1);
  uint16_t u16 = 0;
  t->TextToValue(TypeInfo<uint16_t>(), u"65535", false, &u16);
  EXPECT_EQ(u16, 65535);
  uint8_t u8 = 0;
  t->TextToValue(TypeInfo<uint8_t>(), u"$1FF", false, &u8);  // low bits kept
  EXPECT_EQ(u8, 0xFF);
  uint32_t u32 = 0;
  t->TextToValue(TypeInfo<uint32_t>(), u"4294967295", false, &u32);
  EXPECT_EQ(u32, 4294967295u);
  int32_t i32 = 5;
  t->TextToValue(TypeInfo<int32_t>(), u"", true, &i32);
  EXPECT_EQ(i32, 0);
  EXPECT_THROW(t->TextToValue(TypeInfo<int32_t>(), u"2147483648", false, &i32), EConvertError);
  ExpectMessage([&] { t->TextToValue(TypeInfo<int32_t>(), u"12abc", false, &i32); },
                "'12abc' is not a valid integer value");
  EXPECT_EQ(i32, 0);  // unchanged by the failure
  int64_t i64 = 9;
  t->TextToValue(TypeInfo<int64_t>(), u"", true, &i64);
  EXPECT_EQ(i64, 0);
  t->TextToValue(TypeInfo<int64_t>(), u" 0x10 ", false, &i64);
  EXPECT_EQ(i64, 16);

  double d = 1;
  t->TextToValue(TypeInfo<double>(), u"", true, &d);
  EXPECT_EQ(d, 0.0);
  t->TextToValue(TypeInfo<double>(), u" 1.5e3\n", false, &d);
  EXPECT_EQ(d, 1500.0);
  float f = 0;
  t->TextToValue(TypeInfo<float>(), u"0.1", false, &f);
  EXPECT_EQ(f, 0.1f);
  long double e = 0;
  t->TextToValue(TypeInfo<long double>(), u"0.1", false, &e);
  EXPECT_EQ(e, 0.1L);

  struct CurCase {
    const char16_t* text;
    int64_t stored;
  } currencies[] = {{u"1.23456", 12346}, {u"0.00005", 0}, {u"0.00015", 2}, {u"-1.5", -15000}, {u"922337203685477.5807", 9223372036854775807LL}};
  for (const auto& c : currencies) {
    SCOPED_TRACE(U8(c.text));
    Currency cur;
    t->TextToValue(TypeInfo<Currency>(), c.text, false, &cur);
    EXPECT_EQ(cur.value, c.stored);
  }
  Comp comp;
  t->TextToValue(TypeInfo<Comp>(), u"2.5", false, &comp);
  EXPECT_EQ(comp.value, 2);
  t->TextToValue(TypeInfo<Comp>(), u"3.5", false, &comp);
  EXPECT_EQ(comp.value, 4);
  EXPECT_THROW(t->TextToValue(TypeInfo<Comp>(), u"1E30", false, &comp), EConvertError);
}

TEST(TypeTransTest, TextToValueTextsAndBooleans) {
  TTypeTranslator* t = TypeTranslator();
  std::string ls;
  t->TextToValue(TypeInfo<std::string>(), u" \u00e9 ", false, &ls);
  EXPECT_EQ(ls, " \xC3\xA9 ");  // strings are not trimmed
  WideString ws = u"old";
  t->TextToValue(TypeInfo<WideString>(), u"", true, &ws);  // a nil string reads its (empty) text
  EXPECT_EQ(ws, u"");
  ShortString ss;
  t->TextToValue(TypeInfo<ShortString>(), WideString(300, u'x'), false, &ss);
  EXPECT_EQ(ss.text.size(), 255u);
  t->TextToValue(TypeInfo<ShortString>(), WideString(254, u'x') + u"\u00e9", false, &ss);
  EXPECT_EQ(ss.text.size(), 254u);  // no character is cut in half
  char ch = 'z';
  t->TextToValue(TypeInfo<char>(), u" A", false, &ch);
  EXPECT_EQ(ch, ' ');
  t->TextToValue(TypeInfo<char>(), u"", false, &ch);
  EXPECT_EQ(ch, ' ');
  char16_t wc = u'z';
  t->TextToValue(TypeInfo<char16_t>(), u"\u4e2dx", false, &wc);
  EXPECT_EQ(wc, u'\u4e2d');

  struct BoolCase {
    const char16_t* text;
    bool value;
  } bools[] = {{u"TRUE", true}, {u"1", true}, {u" true ", true}, {u"False", false}, {u"0", false}, {u"", false}};
  for (const auto& c : bools) {
    SCOPED_TRACE(U8(c.text));
    bool b = !c.value;
    t->TextToValue(TypeInfo<bool>(), c.text, false, &b);
    EXPECT_EQ(b, c.value);
  }
  // The wider booleans store true as all bits set.
  uint32_t lb = 0;
  t->TextToValue(TypeInfo_LongBool(), u"true", false, &lb);
  EXPECT_EQ(lb, 0xFFFFFFFFu);
  uint16_t wb = 7;
  t->TextToValue(TypeInfo_WordBool(), u"0", false, &wb);
  EXPECT_EQ(wb, 0);
}

TEST(TypeTransTest, TextToValueEnumerationsByTheirXmlNames) {
  PTypeInfo info = TypeInfo<TTestColor>();
  GetTypeRegistry()->AddType(info, u"urn:test-colors", u"TTestColor");
  GetTypeRegistry()->AddExternalPropertyName(info, "tcGreen", u"green");
  TTypeTranslator* t = TypeTranslator();
  TTestColor c = TTestColor::tcRed;
  t->TextToValue(info, u" green ", false, &c);
  EXPECT_EQ(c, TTestColor::tcGreen);
  t->TextToValue(info, u"tcBlue", false, &c);  // a name without a mapping is the identifier itself
  EXPECT_EQ(c, TTestColor::tcBlue);
  t->TextToValue(info, u"", false, &c);
  EXPECT_EQ(c, TTestColor::tcRed);
}

TEST(TypeTransTest, TextToValueVariantsAndKindsWithoutText) {
  TTypeTranslator* t = TypeTranslator();
  Variant v = Variant(int32_t{5});
  t->TextToValue(TypeInfo<Variant>(), u"x", true, &v);
  EXPECT_TRUE(v.IsNull());
  t->TextToValue(TypeInfo<Variant>(), u"x", false, &v);
  EXPECT_TRUE(v.IsEmpty());

  TTypeInfo record;
  record.Kind = tkRecord;
  record.Name = "TPoint";
  int dummy = 0;
  ExpectMessage([&] { t->TextToValue(&record, u"1", false, &dummy); },
                "Internal error: data type kind Record cannot be converted to and from text");
  ExpectMessage([&] { t->TextToValue(TypeInfo<TByteDynArray>(), u"", false, &dummy); },
                "Internal error: data type kind DynArray cannot be converted to and from text");
  TTypeInfo unknown;
  EXPECT_TRUE(t->TextToValue(&unknown, u"1", false, &dummy));
  EXPECT_EQ(dummy, 0);
}

TEST(TypeTransTest, TextToVariant) {
  TTypeTranslator* t = TypeTranslator();
  Variant v = t->TextToVariant(TypeInfo<int32_t>(), u" 42 ");
  EXPECT_EQ(v.VarType(), varInteger);
  EXPECT_EQ(v.AsInt64(), 42);
  EXPECT_THROW(t->TextToVariant(TypeInfo<uint32_t>(), u"4294967295"), EConvertError);
  v = t->TextToVariant(TypeInfo<uint32_t>(), u"4294967295", TVariantTextForm::Trimming);
  EXPECT_EQ(v.VarType(), varLongWord);
  EXPECT_EQ(v.AsInt64(), 4294967295LL);
  v = t->TextToVariant(TypeInfo<WideString>(), u" a ");
  EXPECT_EQ(v.VarType(), varOleStr);
  EXPECT_EQ(v.AsWideString(), u" a ");
  EXPECT_EQ(t->TextToVariant(TypeInfo<WideString>(), u" a ", TVariantTextForm::Trimming).AsWideString(), u"a");
  EXPECT_EQ(t->TextToVariant(TypeInfo<std::string>(), u" a ", TVariantTextForm::Trimming).AsWideString(), u" a ");
  v = t->TextToVariant(TypeInfo<double>(), u" 0.5 ");
  EXPECT_EQ(v.VarType(), varDouble);
  EXPECT_EQ(v.AsDouble(), 0.5);
  v = t->TextToVariant(TypeInfo<int64_t>(), u"-9");
  EXPECT_EQ(v.VarType(), varInt64);
  EXPECT_EQ(v.AsInt64(), -9);
  v = t->TextToVariant(TypeInfo<TByteDynArray>(), u"AAEC\r\n/w==");
  ASSERT_TRUE(v.IsArray());
  ASSERT_EQ(v.Items().size(), 4u);
  EXPECT_EQ(v.Items()[0].VarType(), varByte);
  EXPECT_EQ(v.ElementType(), varByte);
  EXPECT_EQ(v.Items()[3].AsInt64(), 255);
  EXPECT_TRUE(t->TextToVariant(TypeInfo<Variant>(), u"1").IsEmpty());
  ExpectMessage([&] { t->TextToVariant(TypeInfo<bool>(), u"true"); }, "Type cannot be cast as Variant");
  ExpectMessage([&] { t->TextToVariant(TypeInfo<TIntegerDynArray>(), u""); }, "Type cannot be cast as Variant");
}

TEST(TypeTransTest, NilTexts) {
  TTypeTranslator* t = TypeTranslator();
  EXPECT_EQ(t->NilText(tkInteger), u"0");
  EXPECT_EQ(t->NilText(tkFloat), u"0");
  EXPECT_EQ(t->NilText(tkInt64), u"0");
  EXPECT_EQ(t->NilText(tkWString), u"");
  EXPECT_EQ(t->NilText(tkChar), u"");
  EXPECT_EQ(t->NilText(tkEnumeration), u"");
}

TEST(TypeTransTest, DateTimeInAZoneNineHoursEastOfUtc) {
  ScopedTZ tz("JST-9");
  EXPECT_EQ(SystemTimeZoneBias(), -540);
  TDateTime noon = EncodeDateTime(2010, 8, 2, 12, 0, 0, 0);
  EXPECT_EQ(U8(FormatXmlDateTime(noon)), "2010-08-02T12:00:00.000+09:00");
  EXPECT_EQ(U8(FormatXmlDateTime(noon, false)), "2010-08-02T12:00:00.000Z");
  EXPECT_EQ(U8(FormatXmlDateTime(EncodeDateTime(1999, 12, 31, 23, 59, 59, 999))), "1999-12-31T23:59:59.999+09:00");

  struct Case {
    const char16_t* text;
    bool asUtc;
    TDateTimeParts expected;
  } cases[] = {
      {u"2010-08-02T12:00:00Z", false, {2010, 8, 2, 21, 0, 0, 0}},
      {u"2010-08-02T12:00:00+09:00", false, {2010, 8, 2, 12, 0, 0, 0}},
      {u"2010-08-02T12:00:00+09:00", true, {2010, 8, 2, 3, 0, 0, 0}},
      {u"2010-08-02T12:00:00.750-01:30", true, {2010, 8, 2, 13, 30, 0, 0}},  // the fraction does not count
      {u"2010-08-02", true, {2010, 8, 2, 0, 0, 0, 0}},
      {u"2010-08-02", false, {2010, 8, 2, 9, 0, 0, 0}},
      {u"2010-08-02T20:00:00", false, {2010, 8, 3, 5, 0, 0, 0}},  // no zone counts as UTC
      {u"", false, {1, 1, 1, 9, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(U8(c.text));
    TDateTimeParts p = DecodeDateTime(ParseXmlDateTime(c.text, c.asUtc));
    EXPECT_EQ(p.Year, c.expected.Year);
    EXPECT_EQ(p.Month, c.expected.Month);
    EXPECT_EQ(p.Day, c.expected.Day);
    EXPECT_EQ(p.Hour, c.expected.Hour);
    EXPECT_EQ(p.Minute, c.expected.Minute);
    EXPECT_EQ(p.Second, c.expected.Second);
  }
  // Written and read back in the same zone: the same value, to the second.
  TDateTime v = EncodeDateTime(2024, 2, 29, 6, 7, 8, 0);
  EXPECT_EQ(ParseXmlDateTime(FormatXmlDateTime(v)), v);
}

TEST(TypeTransTest, DateTimeInOtherZones) {
  {
    ScopedTZ tz("UTC0");
    EXPECT_EQ(U8(FormatXmlDateTime(EncodeDateTime(2010, 8, 2, 12, 0, 0, 0))), "2010-08-02T12:00:00.000Z");
  }
  {
    ScopedTZ tz("XST5:30");  // five and a half hours west
    EXPECT_EQ(U8(FormatXmlDateTime(EncodeDateTime(2010, 8, 2, 12, 0, 0, 0))), "2010-08-02T12:00:00.000-05:30");
    TDateTimeParts p = DecodeDateTime(ParseXmlDateTime(u"2010-08-02T12:00:00Z"));
    EXPECT_EQ(p.Hour, 6);
    EXPECT_EQ(p.Minute, 30);
  }
}

TEST(TypeTransTest, DateTimeValues) {
  EXPECT_EQ(EncodeDateTime(1899, 12, 30, 0, 0, 0, 0).value, 0.0);
  EXPECT_EQ(EncodeDateTime(1900, 1, 1, 6, 0, 0, 0).value, 2.25);
  EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6, 0, 0, 0).value, -1.25);
  TDateTimeParts p = DecodeDateTime(TDateTime(-1.25));
  EXPECT_EQ(p.Day, 29);
  EXPECT_EQ(p.Hour, 6);
  p = DecodeDateTime(EncodeDateTime(1, 1, 1, 0, 0, 0, 0));
  EXPECT_EQ(p.Year, 1);
  ExpectMessage([] { EncodeDateTime(2010, 2, 30, 0, 0, 0, 0); }, "''2010-2-30 0:0:0.0'' is not a valid date and time");
  ExpectMessage([] { EncodeTime(24, 0, 0, 0); }, "Invalid argument to time encode");
}

TEST(TypeTransTest, Base64) {
  std::string bytes57(57, '\0');
  for (int i = 0; i < 57; ++i) bytes57[i] = static_cast<char>(i * 7);
  std::string text = Base64Encode(bytes57);
  ASSERT_EQ(text.size(), 78u);
  EXPECT_EQ(text.substr(76), "\r\n");
  EXPECT_EQ(text.find('\r'), 76u);
  EXPECT_EQ(Base64Decode(text), bytes57);
  std::string longer = Base64Encode(bytes57 + "ab");
  EXPECT_EQ(longer.substr(76), "\r\nYWI=");
  // Lines stay 76 characters across the encoder's 510-byte blocks.
  std::string big(1000, 'x');
  std::string encoded = Base64Encode(big);
  for (size_t i = 0; i + 78 <= encoded.size(); i += 78) EXPECT_EQ(encoded.substr(i + 76, 2), "\r\n") << i;
  EXPECT_EQ(Base64Decode(encoded), big);

  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("A"), "QQ==");
  EXPECT_EQ(Base64Encode("AB"), "QUI=");
  EXPECT_EQ(Base64Encode("ABC"), "QUJD");
  EXPECT_EQ(Base64Decode(std::string_view("QQ==")), "A");
  EXPECT_EQ(Base64Decode(std::string_view("QUI=")), "AB");
  EXPECT_EQ(Base64Decode(std::string_view("Q U\r\nJ\tD!")), "ABC");
  EXPECT_EQ(Base64Decode(std::string_view("QQ")), "A");
  EXPECT_EQ(Base64Decode(std::string_view("QQ==QUI=")), "AAB");
  EXPECT_EQ(Base64Decode(WideString(u"QUJD\u00e9")), "ABC");
  EXPECT_EQ(Base64Decode(std::string_view("")), "");
}

TEST(TypeTransTest, TextFormsDoNotFollowTheUserLocale) {
  const char* old = setlocale(LC_ALL, nullptr);
  std::string saved = old ? old : "C";
  if (!setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
  const char* oldLcAll = std::getenv("LC_ALL");
  std::string savedLcAll = oldLcAll ? oldLcAll : "";
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  ReloadFormatSettings();
  EXPECT_EQ(FormatSettings().DecimalSeparator, ",");  // the locale is in force
  {
    ScopedTZ tz("JST-9");
    EXPECT_EQ(U8(FormatXmlFloat(0.1)), "0.1");
    EXPECT_EQ(U8(FormatXmlFloat(-2.5E-7)), "-2.5E-7");
    EXPECT_EQ(U8(FormatXmlFloat(1234567.5)), "1234567.5");
    EXPECT_EQ(ParseXmlFloat(std::string_view("1.5")), 1.5L);
    EXPECT_THROW(ParseXmlFloat(std::string_view("1,5")), EConvertError);
    EXPECT_EQ(U8(FormatXmlDateTime(EncodeDateTime(2010, 8, 2, 12, 0, 0, 0))), "2010-08-02T12:00:00.000+09:00");
    double d = 0;
    TypeTranslator()->TextToValue(TypeInfo<double>(), u"2.75", false, &d);
    EXPECT_EQ(d, 2.75);
  }
  if (oldLcAll) setenv("LC_ALL", savedLcAll.c_str(), 1);
  else unsetenv("LC_ALL");
  setlocale(LC_ALL, saved.c_str());
  ReloadFormatSettings();
}

}  // namespace
