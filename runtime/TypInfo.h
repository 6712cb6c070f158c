// Run-time type information: one TTypeInfo record per native type that the SOAP runtime
// maps, declared next to the type with the macros at the end of this file. Records are
// created on first use and live until process end; their addresses identify the types.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "runtime/Interfaces.h"
#include "runtime/NoDestroy.h"
#include "runtime/Sets.h"
#include "runtime/Strings.h"
#include "runtime/Variants.h"

enum TTypeKind : uint8_t {
  tkUnknown, tkInteger, tkChar, tkEnumeration, tkFloat, tkString, tkSet, tkClass, tkMethod,
  tkWChar, tkLString, tkWString, tkVariant, tkArray, tkRecord, tkInterface, tkInt64, tkDynArray
};
// "Unknown", "Integer", ... "DynArray": the names that error messages show.
const char* TypeKindName(TTypeKind kind);

enum TOrdType : uint8_t { otSByte, otUByte, otSWord, otUWord, otSLong, otULong };
enum TFloatType : uint8_t { ftSingle, ftDouble, ftExtended, ftComp, ftCurr };

// Calling conventions of interface methods.
enum TCallConv : uint8_t { ccReg, ccCdecl, ccPascal, ccStdCall, ccSafeCall };

// Parameter flags, as bit values.
enum TParamFlag : uint8_t { pfVar = 1, pfConst = 2, pfArray = 4, pfAddress = 8, pfReference = 16, pfOut = 32 };
using TParamFlags = uint8_t;

// Member flags carried by a published property's index (bit values).
enum TMemberFlag : uint32_t {
  mfOptional = 1, mfUnbounded = 2, mfUnqualified = 8, mfAttribute = 16, mfText = 32
};
constexpr int32_t kNoPropIndex = INT32_MIN;  // a property without index

class TObject;
struct TClassInfo;
struct TTypeInfo;
using TClass = const TClassInfo*;
using PTypeInfo = const TTypeInfo*;

// How to make, destroy and copy a value of the type in raw storage.
struct TValueOps {
  void (*Construct)(void* p) = nullptr;
  void (*Destroy)(void* p) = nullptr;
  void (*Copy)(void* dst, const void* src) = nullptr;
};

// Element access of a dynamic array value.
struct TDynArrayOps {
  size_t (*Length)(const void* arr) = nullptr;
  void (*SetLength)(void* arr, size_t n) = nullptr;
  void* (*Item)(void* arr, size_t i) = nullptr;
};

struct TIntfParamInfo {
  TParamFlags Flags = 0;
  std::string Name;
  PTypeInfo Type = nullptr;
};

struct TIntfMethodInfo {
  std::string Name;
  TCallConv CallConv = ccStdCall;
  std::vector<TIntfParamInfo> Params;
  PTypeInfo Result = nullptr;  // null for a procedure
};

struct TIntfTypeData {
  TGUID Guid;
  PTypeInfo Parent = nullptr;
  // False for an interface declared without method metadata.
  bool HasMethodInfo = true;
  // The interface's own methods, in slot order (ancestors' not included).
  std::vector<TIntfMethodInfo> Methods;
};

struct TTypeInfo {
  TTypeKind Kind = tkUnknown;
  std::string Name;
  std::string UnitName;
  size_t Size = 0;
  TValueOps Ops;

  // tkInteger, tkChar, tkWChar, tkEnumeration, tkSet (its storage)
  TOrdType OrdType = otSLong;
  int64_t MinValue = 0;
  int64_t MaxValue = 0;
  // tkFloat
  TFloatType FloatType = ftDouble;
  // tkEnumeration: identifiers by ordinal, and the base type (itself unless a subrange).
  std::vector<std::string> EnumNames;
  PTypeInfo BaseType = nullptr;
  // tkSet: the element type
  PTypeInfo CompType = nullptr;
  // tkClass
  TClass ClassType = nullptr;
  // tkDynArray
  PTypeInfo ElType = nullptr;
  TDynArrayOps DynArray;
  // tkInterface
  const TIntfTypeData* Intf = nullptr;

  bool IsBooleanEnum() const;
};

// Ordinal values read from and written to storage of an ordinal type.
int64_t GetOrdValue(PTypeInfo info, const void* p);
void SetOrdValue(PTypeInfo info, void* p, int64_t value);
// Enumeration identifiers; GetEnumValue compares without regard to case, -1 when unknown.
std::string GetEnumName(PTypeInfo info, int64_t value);
int64_t GetEnumValue(PTypeInfo info, std::string_view name);

// ---- published properties and classes ----

enum TPropAccess : uint8_t { paField, paMethod };

struct TPropInfo {
  std::string Name;
  PTypeInfo PropType = nullptr;
  // Where PropType comes from; looked up once the class record is in place, so that a class
  // may have members of its own type.
  PTypeInfo (*PropTypeFn)() = nullptr;
  TPropAccess Access = paField;
  // paField: the address of the property's field in an instance.
  void* (*Address)(TObject* obj) = nullptr;
  // paMethod: read into / write from a value of PropType.
  void (*Getter)(const TObject* obj, void* value) = nullptr;
  void (*Setter)(TObject* obj, const void* value) = nullptr;
  int32_t Index = kNoPropIndex;  // member flags when set
  // Stored: a constant, or a function of the instance when StoredFn is set.
  bool Stored = true;
  bool (*StoredFn)(const TObject* obj) = nullptr;

  uint32_t MemberFlags() const { return Index == kNoPropIndex ? 0 : static_cast<uint32_t>(Index); }
  bool IsStored(const TObject* obj) const { return StoredFn ? StoredFn(obj) : Stored; }
  // Copies the property's value into `value` (storage of PropType, constructed).
  void Read(const TObject* obj, void* value) const;
  void Write(TObject* obj, const void* value) const;
};

struct TClassInfo {
  std::string Name;
  std::string UnitName;
  TClass Parent = nullptr;
  // The virtual constructor; null for abstract classes.
  TObject* (*Create)() = nullptr;
  // All published properties, inherited ones first, each group in declaration order.
  std::vector<TPropInfo> Properties;
  TTypeInfo TypeInfo;  // Kind tkClass, ClassType = this
  // 0 new, 1 being finished, 2 finished. Copyable so that records can be built by value.
  struct TState : std::atomic<int> {
    TState() : std::atomic<int>(0) {}
    TState(const TState& o) : std::atomic<int>(o.load()) {}
  } State;

  bool InheritsFrom(TClass other) const;
  const TPropInfo* FindProperty(std::string_view name) const;  // case-insensitive
};

// The root of the class hierarchy that carries type information.
class TObject {
 public:
  virtual ~TObject() = default;
  static const TClassInfo& StaticClass();
  virtual const TClassInfo& ClassType() const { return StaticClass(); }
  const std::string& ClassName() const { return ClassType().Name; }
  bool InheritsFrom(TClass cls) const { return ClassType().InheritsFrom(cls); }
};

// ---- mapping native types to their records ----

template <class T, class Enable = void>
struct TypeInfoTrait;  // specialised per type

template <class T>
PTypeInfo TypeInfo() {
  return &TypeInfoTrait<T>::Get();
}

// Classes: a pointer to an instance is the class-kind value.
template <class T>
struct TypeInfoTrait<T*, std::enable_if_t<std::is_base_of_v<TObject, T>>> {
  static const TTypeInfo& Get() { return T::StaticClass().TypeInfo; }
};
// Interface references: the interface's record.
template <class T>
class TIntfPtr;
template <class T>
struct TypeInfoTrait<TIntfPtr<T>> {
  static const TTypeInfo& Get() { return T::StaticTypeInfo(); }
};
// Types that carry their own record (dynamic arrays, interfaces).
template <class T>
struct TypeInfoTrait<T, std::void_t<decltype(&T::StaticTypeInfo)>> {
  static const TTypeInfo& Get() { return T::StaticTypeInfo(); }
};

#define ZELK_BUILTIN_TYPEINFO(T) \
  template <>                    \
  struct TypeInfoTrait<T> {      \
    static const TTypeInfo& Get(); \
  }
ZELK_BUILTIN_TYPEINFO(bool);
ZELK_BUILTIN_TYPEINFO(int8_t);
ZELK_BUILTIN_TYPEINFO(uint8_t);
ZELK_BUILTIN_TYPEINFO(int16_t);
ZELK_BUILTIN_TYPEINFO(uint16_t);
ZELK_BUILTIN_TYPEINFO(int32_t);
ZELK_BUILTIN_TYPEINFO(uint32_t);
ZELK_BUILTIN_TYPEINFO(int64_t);
ZELK_BUILTIN_TYPEINFO(uint64_t);
ZELK_BUILTIN_TYPEINFO(char);
ZELK_BUILTIN_TYPEINFO(char16_t);
ZELK_BUILTIN_TYPEINFO(float);
ZELK_BUILTIN_TYPEINFO(double);
ZELK_BUILTIN_TYPEINFO(long double);
ZELK_BUILTIN_TYPEINFO(Currency);
ZELK_BUILTIN_TYPEINFO(Comp);
ZELK_BUILTIN_TYPEINFO(TDateTime);
ZELK_BUILTIN_TYPEINFO(std::string);
ZELK_BUILTIN_TYPEINFO(std::u16string);
ZELK_BUILTIN_TYPEINFO(ShortString);
ZELK_BUILTIN_TYPEINFO(Variant);
ZELK_BUILTIN_TYPEINFO(OleVariant);
#undef ZELK_BUILTIN_TYPEINFO

// Types with no C++ type of their own: a second 64-bit float named "Real", and the 8-, 16-
// and 32-bit boolean types.
PTypeInfo TypeInfo_Real();
PTypeInfo TypeInfo_ByteBool();
PTypeInfo TypeInfo_WordBool();
PTypeInfo TypeInfo_LongBool();

// A bool in a dynamic array keeps its own byte (std::vector<bool> packs bits, which the
// element access by address cannot serve).
struct BoolCell {
  bool value = false;
  BoolCell() = default;
  BoolCell(bool v) : value(v) {}
  operator bool() const { return value; }
};
template <>
struct TypeInfoTrait<BoolCell> {
  static const TTypeInfo& Get() { return TypeInfoTrait<bool>::Get(); }
};
template <class T>
using DynArrayStorage = std::vector<std::conditional_t<std::is_same_v<T, bool>, BoolCell, T>>;

// ---- builders used by the declaration macros ----

template <class T>
TValueOps MakeValueOps() {
  TValueOps ops;
  ops.Construct = [](void* p) { new (p) T(); };
  ops.Destroy = [](void* p) { static_cast<T*>(p)->~T(); };
  ops.Copy = [](void* d, const void* s) { *static_cast<T*>(d) = *static_cast<const T*>(s); };
  return ops;
}

template <class A>
TTypeInfo MakeDynArrayInfo(const char* name, const char* unit) {
  TTypeInfo ti;
  ti.Kind = tkDynArray;
  ti.Name = name;
  ti.UnitName = unit;
  ti.Size = sizeof(A);
  ti.Ops = MakeValueOps<A>();
  ti.ElType = TypeInfo<typename A::value_type>();
  ti.DynArray.Length = [](const void* a) { return static_cast<const A*>(a)->size(); };
  ti.DynArray.SetLength = [](void* a, size_t n) { static_cast<A*>(a)->resize(n); };
  ti.DynArray.Item = [](void* a, size_t i) -> void* { return &(*static_cast<A*>(a))[i]; };
  return ti;
}

TTypeInfo MakeEnumInfo(const char* name, const char* unit, size_t size, std::vector<std::string> names,
                       PTypeInfo base);

template <class T>
TTypeInfo MakeSetInfo(const char* name, const char* unit) {
  TTypeInfo ti;
  ti.Kind = tkSet;
  ti.Name = name;
  ti.UnitName = unit;
  ti.Size = sizeof(T);
  ti.Ops = MakeValueOps<T>();
  ti.CompType = TypeInfo<typename T::element_type>();
  return ti;
}

template <class T>
TClassInfo MakeClassInfo(const char* name, const char* unit, TClass parent, std::vector<TPropInfo> own) {
  TClassInfo ci;
  ci.Name = name;
  ci.UnitName = unit;
  ci.Parent = parent;
  if constexpr (std::is_default_constructible_v<T> && !std::is_abstract_v<T>)
    ci.Create = []() -> TObject* { return new T(); };
  if (parent) ci.Properties = parent->Properties;
  for (auto& p : own) ci.Properties.push_back(std::move(p));
  return ci;
}
// Fixes the self-references of a class record once it sits at its final address and looks up
// its property types; a re-entry while that runs (a member of the class's own type) returns.
void FinishClassInfo(TClassInfo& ci);

template <auto Member>
struct FieldAccess;
template <class C, class F, F C::*Member>
struct FieldAccess<Member> {
  using Class = C;
  using Field = F;
  static void* Address(TObject* obj) { return &(static_cast<C*>(obj)->*Member); }
};

template <auto Member>
TPropInfo MakeFieldProperty(const char* name, int32_t index = kNoPropIndex) {
  using FA = FieldAccess<Member>;
  TPropInfo p;
  p.Name = name;
  p.PropTypeFn = &TypeInfo<typename FA::Field>;
  p.Access = paField;
  p.Address = &FA::Address;
  p.Index = index;
  return p;
}

// ---- declaration macros ----

// Inside a class body: ties the class to its record.
#define ZELK_CLASS(Name, Parent)                                         \
 public:                                                                 \
  using inherited = Parent;                                              \
  static const TClassInfo& StaticClass();                                \
  const TClassInfo& ClassType() const override { return StaticClass(); }

// In the unit's .cpp: the record with the published properties, e.g.
//   ZELK_CLASS_INFO(WayPoint, "ZelkDistance1", ZELK_PROP(lat), ZELK_PROP(lon))
#define ZELK_CLASS_INFO(Name, Unit, ...)                                               \
  const TClassInfo& Name::StaticClass() {                                              \
    using Self [[maybe_unused]] = Name;                                                \
    static TClassInfo info(MakeClassInfo<Name>(#Name, Unit, &Name::inherited::StaticClass(), \
                                               std::vector<TPropInfo>{__VA_ARGS__}));        \
    if (info.State.load(std::memory_order_acquire) != 2) FinishClassInfo(info);          \
    return info;                                                                         \
  }

#define ZELK_PROP(field) MakeFieldProperty<&Self::field>(#field)
#define ZELK_PROP_INDEX(field, index) MakeFieldProperty<&Self::field>(#field, index)

// A dynamic array type with its own record: a std::vector under its own name.
#define ZELK_DYNARRAY(Name, Elem)                              \
  struct Name : DynArrayStorage<Elem> {                        \
    using DynArrayStorage<Elem>::DynArrayStorage;              \
    static const TTypeInfo& StaticTypeInfo();                  \
  }
#define ZELK_DYNARRAY_INFO(Name, Unit)                                         \
  const TTypeInfo& Name::StaticTypeInfo() {                                    \
    static const TTypeInfo ti = MakeDynArrayInfo<Name>(#Name, Unit);           \
    return ti;                                                                 \
  }

// An enumeration (at namespace scope, in a header) and its identifiers (in the .cpp). Enumeration
// and set records are never destroyed: the options read them again in the leak report at exit.
//   ZELK_DECLARE_ENUM(TColor);  ZELK_ENUM_INFO(TColor, "Unit", "clRed", "clGreen")
#define ZELK_DECLARE_ENUM(Name)      \
  template <>                        \
  struct TypeInfoTrait<Name> {       \
    static const TTypeInfo& Get();   \
  }
#define ZELK_ENUM_INFO(Name, Unit, ...)                                                   \
  const TTypeInfo& TypeInfoTrait<Name>::Get() {                                           \
    static TNoDestroy<TTypeInfo> ti(MakeEnumInfo(#Name, Unit, sizeof(Name), {__VA_ARGS__}, nullptr)); \
    static const bool based = (ti->BaseType = &*ti, true);                                \
    (void)based;                                                                          \
    return *ti;                                                                           \
  }

// A set of an enumeration declared with ZELK_DECLARE_ENUM.
#define ZELK_DECLARE_SET(Name)       \
  template <>                        \
  struct TypeInfoTrait<Name> {       \
    static const TTypeInfo& Get();   \
  }
#define ZELK_SET_INFO(Name, Unit)                                         \
  const TTypeInfo& TypeInfoTrait<Name>::Get() {                           \
    static const TNoDestroy<TTypeInfo> ti(MakeSetInfo<Name>(#Name, Unit)); \
    return *ti;                                                           \
  }

// Interfaces: ZELK_INTERFACE inside the body; ZELK_INTERFACE_INFO with the method table in
// the .cpp, e.g.
//   ZELK_INTERFACE_INFO(ZelkDistance, IInvokable, "ZelkDistance1",
//     ZELK_METHOD("getDistance", ccStdCall, TypeInfo<GetDistReturn*>(),
//                 ZELK_PARAM(pfConst, "pinCode", WideString), ...))
#define ZELK_INTERFACE(Name, Guid)                     \
 public:                                               \
  static constexpr TGUID IID = MakeGUID(Guid);         \
  static const TTypeInfo& StaticTypeInfo();

TTypeInfo MakeInterfaceInfo(const char* name, const char* unit, const TGUID& guid, PTypeInfo parent,
                            bool hasMethodInfo, std::vector<TIntfMethodInfo> methods);

#define ZELK_INTERFACE_INFO(Name, Parent, Unit, ...)                                             \
  const TTypeInfo& Name::StaticTypeInfo() {                                                      \
    static const TTypeInfo ti = MakeInterfaceInfo(#Name, Unit, Name::IID, &Parent::StaticTypeInfo(), \
                                                  true, std::vector<TIntfMethodInfo>{__VA_ARGS__}); \
    return ti;                                                                                   \
  }
#define ZELK_METHOD(Name, CallConv, Result, ...) \
  TIntfMethodInfo { Name, CallConv, std::vector<TIntfParamInfo>{__VA_ARGS__}, Result }
#define ZELK_PARAM(Flags, Name, Type) \
  TIntfParamInfo { Flags, Name, TypeInfo<Type>() }
