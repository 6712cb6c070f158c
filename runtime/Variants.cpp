#include "runtime/Variants.h"

#include <cmath>

#include "runtime/Strings.h"

Currency Currency::FromDouble(double d) {
  return Currency{static_cast<int64_t>(std::llround(d * 10000.0))};
}

Variant Variant::Array(std::vector<Variant> items, TVarType elementType) {
  Variant v;
  v.type_ = static_cast<TVarType>(varArray | (elementType & varTypeMask));
  v.data_ = std::move(items);
  return v;
}

namespace {
[[noreturn]] void BadCast(TVarType from, const char* to) {
  throw EVariantError(Format("Could not convert variant of type (%s) into type (%s)",
                             {Format("%d", {int(from)}), std::string(to)}));
}
}  // namespace

int64_t Variant::AsInt64() const {
  if (auto* i = std::get_if<int64_t>(&data_)) return *i;
  if (auto* d = std::get_if<double>(&data_)) return static_cast<int64_t>(std::llround(*d));
  if (auto* b = std::get_if<bool>(&data_)) return *b ? -1 : 0;
  BadCast(type_, "Int64");
}

double Variant::AsDouble() const {
  if (auto* i = std::get_if<int64_t>(&data_)) return static_cast<double>(*i);
  if (auto* d = std::get_if<double>(&data_)) return *d;
  if (auto* b = std::get_if<bool>(&data_)) return *b ? -1 : 0;
  BadCast(type_, "Double");
}

bool Variant::AsBoolean() const {
  if (auto* b = std::get_if<bool>(&data_)) return *b;
  if (auto* i = std::get_if<int64_t>(&data_)) return *i != 0;
  if (auto* d = std::get_if<double>(&data_)) return *d != 0;
  BadCast(type_, "Boolean");
}

std::string Variant::AsString() const {
  if (type_ == varEmpty || type_ == varNull) return {};
  if (auto* s = std::get_if<std::string>(&data_)) return *s;
  if (auto* w = std::get_if<std::u16string>(&data_)) return Utf16ToUtf8(*w);
  if (auto* b = std::get_if<bool>(&data_)) return *b ? "True" : "False";
  if (auto* i = std::get_if<int64_t>(&data_)) return std::to_string(*i);
  if (auto* d = std::get_if<double>(&data_)) return Format("%g", {*d});
  BadCast(type_, "String");
}

std::u16string Variant::AsWideString() const {
  if (auto* w = std::get_if<std::u16string>(&data_)) return *w;
  return Utf8ToUtf16(AsString());
}

const std::vector<Variant>& Variant::Items() const {
  if (auto* a = std::get_if<std::vector<Variant>>(&data_)) return *a;
  BadCast(type_, "Array");
}
