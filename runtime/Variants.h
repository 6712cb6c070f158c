// A tagged variant value with the classic variant type codes, and the fixed-point and
// date types the type system knows by name.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "runtime/SysUtils.h"

using TVarType = uint16_t;
enum : TVarType {
  varEmpty = 0x0000,
  varNull = 0x0001,
  varSmallint = 0x0002,
  varInteger = 0x0003,
  varSingle = 0x0004,
  varDouble = 0x0005,
  varCurrency = 0x0006,
  varDate = 0x0007,
  varOleStr = 0x0008,
  varDispatch = 0x0009,
  varError = 0x000A,
  varBoolean = 0x000B,
  varVariant = 0x000C,
  varUnknown = 0x000D,
  varShortInt = 0x0010,
  varByte = 0x0011,
  varWord = 0x0012,
  varLongWord = 0x0013,
  varInt64 = 0x0014,
  varString = 0x0100,
  varTypeMask = 0x0FFF,
  varArray = 0x2000,
  varByRef = 0x4000,
};

// 64-bit fixed point with four decimals.
struct Currency {
  int64_t value = 0;  // the amount times 10000
  static Currency FromDouble(double d);
  double ToDouble() const { return static_cast<double>(value) / 10000.0; }
  friend bool operator==(const Currency&, const Currency&) = default;
};

// A 64-bit integer kept in the floating-point unit.
struct Comp {
  int64_t value = 0;
  friend bool operator==(const Comp&, const Comp&) = default;
};

// Days since 1899-12-30, the fraction being the time of day.
struct TDateTime {
  double value = 0;
  TDateTime() = default;
  constexpr explicit TDateTime(double v) : value(v) {}
  friend bool operator==(const TDateTime&, const TDateTime&) = default;
};

// ShortString: at most 255 8-bit characters.
struct ShortString {
  std::string text;  // kept at 255 characters or fewer by Assign
  void Assign(std::string_view s) { text = std::string(s.substr(0, 255)); }
  friend bool operator==(const ShortString&, const ShortString&) = default;
};

class Variant {
 public:
  Variant() = default;
  static Variant Null() { Variant v; v.type_ = varNull; return v; }
  Variant(int16_t v) : type_(varSmallint), data_(int64_t{v}) {}
  Variant(int32_t v) : type_(varInteger), data_(int64_t{v}) {}
  Variant(int8_t v) : type_(varShortInt), data_(int64_t{v}) {}
  Variant(uint8_t v) : type_(varByte), data_(int64_t{v}) {}
  Variant(uint16_t v) : type_(varWord), data_(int64_t{v}) {}
  Variant(uint32_t v) : type_(varLongWord), data_(int64_t{v}) {}
  Variant(int64_t v) : type_(varInt64), data_(v) {}
  Variant(float v) : type_(varSingle), data_(double{v}) {}
  Variant(double v) : type_(varDouble), data_(v) {}
  Variant(Currency v) : type_(varCurrency), data_(v.ToDouble()) {}
  Variant(TDateTime v) : type_(varDate), data_(v.value) {}
  Variant(bool v) : type_(varBoolean), data_(v) {}
  Variant(const char16_t* s) : type_(varOleStr), data_(std::u16string(s)) {}
  Variant(std::u16string s) : type_(varOleStr), data_(std::move(s)) {}
  Variant(std::string s) : type_(varString), data_(std::move(s)) {}
  Variant(const char* s) : type_(varString), data_(std::string(s)) {}
  // A one-dimensional array whose items are of `elementType` (varVariant: any).
  static Variant Array(std::vector<Variant> items, TVarType elementType = varVariant);
  // The item type of an array (the type code without varArray).
  TVarType ElementType() const { return static_cast<TVarType>(type_ & ~varArray); }
  // Any code, for values that carry no payload (varDispatch, varError, varUnknown...).
  static Variant OfType(TVarType t) { Variant v; v.type_ = t; return v; }

  TVarType VarType() const { return type_; }
  bool IsEmpty() const { return type_ == varEmpty; }
  bool IsNull() const { return type_ == varNull; }
  bool IsArray() const { return (type_ & varArray) != 0; }

  int64_t AsInt64() const;
  double AsDouble() const;
  bool AsBoolean() const;
  std::string AsString() const;   // scalars as text; raises EVariantError for others
  std::u16string AsWideString() const;
  const std::vector<Variant>& Items() const;

  friend bool operator==(const Variant& a, const Variant& b) { return a.type_ == b.type_ && a.data_ == b.data_; }

 private:
  TVarType type_ = varEmpty;
  std::variant<std::monostate, int64_t, double, bool, std::string, std::u16string, std::vector<Variant>> data_;
};

// OleVariant shares the representation; its own type information keeps it apart.
struct OleVariant : Variant {
  using Variant::Variant;
  OleVariant() = default;
  OleVariant(const Variant& v) : Variant(v) {}
};

ZELK_DECLARE_EXCEPTION(EVariantError, Exception);
