#include "runtime/TypInfo.h"

#include <cstring>
#include <mutex>
#include <limits>

const char* TypeKindName(TTypeKind kind) {
  static const char* const names[] = {"Unknown", "Integer", "Char",    "Enumeration", "Float",  "String",
                                      "Set",     "Class",   "Method",  "WChar",       "LString", "WString",
                                      "Variant", "Array",   "Record",  "Interface",   "Int64",  "DynArray"};
  return kind <= tkDynArray ? names[kind] : "Unknown";
}

bool TTypeInfo::IsBooleanEnum() const {
  return Kind == tkEnumeration && (BaseType == TypeInfo<bool>() || MinValue < 0);
}

namespace {

template <class T>
TTypeInfo Ordinal(TTypeKind kind, const char* name, TOrdType ot) {
  TTypeInfo ti;
  ti.Kind = kind;
  ti.Name = name;
  ti.UnitName = "System";
  ti.Size = sizeof(T);
  ti.Ops = MakeValueOps<T>();
  ti.OrdType = ot;
  ti.MinValue = static_cast<int64_t>(std::numeric_limits<T>::min());
  ti.MaxValue = static_cast<int64_t>(std::numeric_limits<T>::max());
  return ti;
}

template <class T>
TTypeInfo Simple(TTypeKind kind, const char* name) {
  TTypeInfo ti;
  ti.Kind = kind;
  ti.Name = name;
  ti.UnitName = "System";
  ti.Size = sizeof(T);
  ti.Ops = MakeValueOps<T>();
  return ti;
}

template <class T>
TTypeInfo Float(const char* name, TFloatType ft) {
  TTypeInfo ti = Simple<T>(tkFloat, name);
  ti.FloatType = ft;
  return ti;
}

TTypeInfo Boolean(const char* name, size_t size, TOrdType ot, PTypeInfo base) {
  TTypeInfo ti;
  ti.Kind = tkEnumeration;
  ti.Name = name;
  ti.UnitName = "System";
  ti.Size = size;
  ti.OrdType = ot;
  ti.MinValue = 0;
  ti.MaxValue = 1;
  ti.EnumNames = {"False", "True"};
  ti.BaseType = base;
  switch (size) {
    case 1: ti.Ops = MakeValueOps<uint8_t>(); break;
    case 2: ti.Ops = MakeValueOps<uint16_t>(); break;
    default: ti.Ops = MakeValueOps<uint32_t>(); break;
  }
  return ti;
}

// The wider booleans store true as all bits set, so their lowest value is -1.
TTypeInfo WideBoolean(const char* name, size_t size, TOrdType ot) {
  TTypeInfo ti = Boolean(name, size, ot, nullptr);
  ti.MinValue = -1;
  ti.MaxValue = 0;
  return ti;
}

}  // namespace

#define BUILTIN(T, expr)                            \
  const TTypeInfo& TypeInfoTrait<T>::Get() {        \
    static const TTypeInfo ti = expr;               \
    return ti;                                      \
  }

const TTypeInfo& TypeInfoTrait<bool>::Get() {
  static const TTypeInfo ti = [] {
    TTypeInfo t = Boolean("Boolean", 1, otUByte, nullptr);
    t.Ops = MakeValueOps<bool>();
    return t;
  }();
  // The base type of Boolean is Boolean itself.
  static const bool fixed = (const_cast<TTypeInfo&>(ti).BaseType = &ti, true);
  (void)fixed;
  return ti;
}
BUILTIN(int8_t, (Ordinal<int8_t>(tkInteger, "ShortInt", otSByte)))
BUILTIN(uint8_t, (Ordinal<uint8_t>(tkInteger, "Byte", otUByte)))
BUILTIN(int16_t, (Ordinal<int16_t>(tkInteger, "SmallInt", otSWord)))
BUILTIN(uint16_t, (Ordinal<uint16_t>(tkInteger, "Word", otUWord)))
BUILTIN(int32_t, (Ordinal<int32_t>(tkInteger, "Integer", otSLong)))
BUILTIN(uint32_t, (Ordinal<uint32_t>(tkInteger, "Cardinal", otULong)))
BUILTIN(int64_t, (Ordinal<int64_t>(tkInt64, "Int64", otSLong)))
BUILTIN(uint64_t, ([] {
          TTypeInfo t = Ordinal<int64_t>(tkInt64, "UInt64", otULong);
          t.MinValue = 0;
          return t;
        }()))
BUILTIN(char, (Ordinal<unsigned char>(tkChar, "Char", otUByte)))
BUILTIN(char16_t, (Ordinal<char16_t>(tkWChar, "WideChar", otUWord)))
BUILTIN(float, (Float<float>("Single", ftSingle)))
BUILTIN(double, (Float<double>("Double", ftDouble)))
BUILTIN(long double, (Float<long double>("Extended", ftExtended)))
BUILTIN(Currency, (Float<Currency>("Currency", ftCurr)))
BUILTIN(Comp, (Float<Comp>("Comp", ftComp)))
BUILTIN(TDateTime, (Float<TDateTime>("TDateTime", ftDouble)))
BUILTIN(std::string, (Simple<std::string>(tkLString, "string")))
BUILTIN(std::u16string, (Simple<std::u16string>(tkWString, "WideString")))
BUILTIN(ShortString, (Simple<ShortString>(tkString, "ShortString")))
BUILTIN(Variant, (Simple<Variant>(tkVariant, "Variant")))
BUILTIN(OleVariant, (Simple<OleVariant>(tkVariant, "OleVariant")))
#undef BUILTIN

PTypeInfo TypeInfo_Real() {
  static const TTypeInfo ti = Float<double>("Real", ftDouble);
  return &ti;
}
PTypeInfo TypeInfo_ByteBool() {
  static const TTypeInfo ti = WideBoolean("ByteBool", 1, otSByte);
  return &ti;
}
PTypeInfo TypeInfo_WordBool() {
  static const TTypeInfo ti = WideBoolean("WordBool", 2, otSWord);
  return &ti;
}
PTypeInfo TypeInfo_LongBool() {
  static const TTypeInfo ti = WideBoolean("LongBool", 4, otSLong);
  return &ti;
}

int64_t GetOrdValue(PTypeInfo info, const void* p) {
  if (info->Kind == tkInt64) {
    int64_t v;
    std::memcpy(&v, p, 8);
    return v;
  }
  if (info->Kind == tkSet) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return static_cast<int64_t>(v);
  }
  switch (info->OrdType) {
    case otSByte: return *static_cast<const int8_t*>(p);
    case otUByte: return *static_cast<const uint8_t*>(p);
    case otSWord: { int16_t v; std::memcpy(&v, p, 2); return v; }
    case otUWord: { uint16_t v; std::memcpy(&v, p, 2); return v; }
    case otSLong: { int32_t v; std::memcpy(&v, p, 4); return v; }
    case otULong: { uint32_t v; std::memcpy(&v, p, 4); return v; }
  }
  return 0;
}

void SetOrdValue(PTypeInfo info, void* p, int64_t value) {
  if (info->Kind == tkInt64 || info->Kind == tkSet) {
    std::memcpy(p, &value, 8);
    return;
  }
  if (info == TypeInfo<bool>()) {
    *static_cast<bool*>(p) = value != 0;
    return;
  }
  switch (info->OrdType) {
    case otSByte: case otUByte: { uint8_t v = static_cast<uint8_t>(value); std::memcpy(p, &v, 1); break; }
    case otSWord: case otUWord: { uint16_t v = static_cast<uint16_t>(value); std::memcpy(p, &v, 2); break; }
    case otSLong: case otULong: { uint32_t v = static_cast<uint32_t>(value); std::memcpy(p, &v, 4); break; }
  }
}

std::string GetEnumName(PTypeInfo info, int64_t value) {
  if (info->IsBooleanEnum()) return value != 0 ? "True" : "False";
  if (info->Kind == tkEnumeration && info->BaseType && info->BaseType != info) info = info->BaseType;
  if (info->Kind != tkEnumeration || value < 0 || value >= static_cast<int64_t>(info->EnumNames.size()))
    return std::to_string(value);
  return info->EnumNames[static_cast<size_t>(value)];
}

int64_t GetEnumValue(PTypeInfo info, std::string_view name) {
  if (info->Kind == tkEnumeration && info->BaseType && info->BaseType != info) info = info->BaseType;
  for (size_t i = 0; i < info->EnumNames.size(); ++i)
    if (SameText(info->EnumNames[i], name)) return static_cast<int64_t>(i);
  return -1;
}

TTypeInfo MakeEnumInfo(const char* name, const char* unit, size_t size, std::vector<std::string> names,
                       PTypeInfo base) {
  TTypeInfo ti;
  ti.Kind = tkEnumeration;
  ti.Name = name;
  ti.UnitName = unit;
  ti.Size = size;
  ti.OrdType = size == 1 ? otUByte : size == 2 ? otUWord : otULong;
  switch (size) {
    case 1: ti.Ops = MakeValueOps<uint8_t>(); break;
    case 2: ti.Ops = MakeValueOps<uint16_t>(); break;
    default: ti.Ops = MakeValueOps<uint32_t>(); break;
  }
  ti.MinValue = 0;
  ti.MaxValue = static_cast<int64_t>(names.size()) - 1;
  ti.EnumNames = std::move(names);
  ti.BaseType = base;  // null: the record itself, fixed below by the caller's static
  return ti;
}

TTypeInfo MakeInterfaceInfo(const char* name, const char* unit, const TGUID& guid, PTypeInfo parent,
                            bool hasMethodInfo, std::vector<TIntfMethodInfo> methods) {
  auto* data = new TIntfTypeData{guid, parent, hasMethodInfo, std::move(methods)};  // lives for the process
  TTypeInfo ti;
  ti.Kind = tkInterface;
  ti.Name = name;
  ti.UnitName = unit;
  ti.Size = sizeof(void*);
  ti.Intf = data;
  return ti;
}

const TTypeInfo& IInterface::StaticTypeInfo() {
  static const TTypeInfo ti = MakeInterfaceInfo("IInterface", "System", IInterface::IID, nullptr, false, {});
  return ti;
}

void TPropInfo::Read(const TObject* obj, void* value) const {
  if (Access == paField) PropType->Ops.Copy(value, Address(const_cast<TObject*>(obj)));
  else Getter(obj, value);
}

void TPropInfo::Write(TObject* obj, const void* value) const {
  if (Access == paField) PropType->Ops.Copy(Address(obj), value);
  else Setter(obj, value);
}

bool TClassInfo::InheritsFrom(TClass other) const {
  for (TClass c = this; c; c = c->Parent)
    if (c == other) return true;
  return false;
}

const TPropInfo* TClassInfo::FindProperty(std::string_view name) const {
  for (const auto& p : Properties)
    if (SameText(p.Name, name)) return &p;
  return nullptr;
}

namespace {
std::recursive_mutex g_classInfoLock;
}

void FinishClassInfo(TClassInfo& ci) {
  std::lock_guard<std::recursive_mutex> lock(g_classInfoLock);
  if (ci.State.load() != 0) return;  // finished, or being finished further up this thread
  ci.State.store(1);
  ci.TypeInfo.Kind = tkClass;
  ci.TypeInfo.Name = ci.Name;
  ci.TypeInfo.UnitName = ci.UnitName;
  ci.TypeInfo.Size = sizeof(void*);
  ci.TypeInfo.Ops = MakeValueOps<TObject*>();
  ci.TypeInfo.ClassType = &ci;
  for (TPropInfo& p : ci.Properties)
    if (!p.PropType && p.PropTypeFn) p.PropType = p.PropTypeFn();
  ci.State.store(2, std::memory_order_release);
}

const TClassInfo& TObject::StaticClass() {
  static TClassInfo info = [] {
    TClassInfo ci;
    ci.Name = "TObject";
    ci.UnitName = "System";
    ci.Create = []() -> TObject* { return new TObject(); };
    return ci;
  }();
  if (info.State.load(std::memory_order_acquire) != 2) FinishClassInfo(info);
  return info;
}
