#include "runtime/TypInfo.h"

#include <gtest/gtest.h>

namespace {
enum TShade : uint8_t { shLight, shDark };
}
ZELK_DECLARE_ENUM(TShade);
ZELK_ENUM_INFO(TShade, "Paint", "shLight", "shDark")

namespace {
ZELK_DYNARRAY(TShadeArray, TShade);
ZELK_DYNARRAY_INFO(TShadeArray, "Paint")
ZELK_DYNARRAY(TFlagArray, bool);
ZELK_DYNARRAY_INFO(TFlagArray, "Paint")

class TBase : public TObject {
  ZELK_CLASS(TBase, TObject)
 public:
  int32_t id = 0;
};
class TDerived : public TBase {
  ZELK_CLASS(TDerived, TBase)
 public:
  std::u16string label;
  double weight = 0;
  TShadeArray shades;
};
// A list node: a class with a member of its own type.
class TNode : public TObject {
  ZELK_CLASS(TNode, TObject)
 public:
  TNode* next = nullptr;
  int32_t value = 0;
};
}  // namespace
ZELK_CLASS_INFO(TNode, "Paint", ZELK_PROP(next), ZELK_PROP(value))
ZELK_CLASS_INFO(TBase, "Paint", ZELK_PROP(id))
ZELK_CLASS_INFO(TDerived, "Paint", ZELK_PROP(label), ZELK_PROP_INDEX(weight, mfOptional | mfAttribute),
                ZELK_PROP(shades))

TEST(TypInfoTest, KindsAndNames) {
  struct Row {
    PTypeInfo info;
    TTypeKind kind;
    const char* name;
  };
  const Row rows[] = {
      {TypeInfo<int32_t>(), tkInteger, "Integer"},   {TypeInfo<uint8_t>(), tkInteger, "Byte"},
      {TypeInfo<int64_t>(), tkInt64, "Int64"},       {TypeInfo<double>(), tkFloat, "Double"},
      {TypeInfo<long double>(), tkFloat, "Extended"}, {TypeInfo<std::string>(), tkLString, "string"},
      {TypeInfo<std::u16string>(), tkWString, "WideString"}, {TypeInfo<bool>(), tkEnumeration, "Boolean"},
      {TypeInfo<Variant>(), tkVariant, "Variant"},   {TypeInfo<TShade>(), tkEnumeration, "TShade"},
      {TypeInfo<TShadeArray>(), tkDynArray, "TShadeArray"}, {TypeInfo<TDerived*>(), tkClass, "TDerived"},
      {TypeInfo_Real(), tkFloat, "Real"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(r.info->Kind, r.kind);
    EXPECT_EQ(r.info->Name, r.name);
  }
  EXPECT_STREQ(TypeKindName(tkDynArray), "DynArray");
  EXPECT_STREQ(TypeKindName(tkLString), "LString");
  EXPECT_NE(TypeInfo_Real(), TypeInfo<double>());
}

TEST(TypInfoTest, EnumerationsAndBooleans) {
  PTypeInfo shade = TypeInfo<TShade>();
  EXPECT_EQ(shade->BaseType, shade);
  EXPECT_EQ(shade->UnitName, "Paint");
  EXPECT_EQ(GetEnumName(shade, 1), "shDark");
  EXPECT_EQ(GetEnumValue(shade, "SHLIGHT"), 0);
  EXPECT_EQ(GetEnumValue(shade, "nope"), -1);
  EXPECT_TRUE(TypeInfo<bool>()->IsBooleanEnum());
  EXPECT_TRUE(TypeInfo_LongBool()->IsBooleanEnum());
  EXPECT_FALSE(shade->IsBooleanEnum());
  uint32_t cell = 0;
  SetOrdValue(TypeInfo_LongBool(), &cell, -1);
  EXPECT_EQ(cell, 0xFFFFFFFFu);
  EXPECT_EQ(GetOrdValue(TypeInfo_LongBool(), &cell), -1);
}

TEST(TypInfoTest, ClassPropertiesInheritedFirst) {
  const TClassInfo& ci = TDerived::StaticClass();
  EXPECT_EQ(ci.Parent, &TBase::StaticClass());
  ASSERT_EQ(ci.Properties.size(), 4u);
  EXPECT_EQ(ci.Properties[0].Name, "id");
  EXPECT_EQ(ci.Properties[1].Name, "label");
  EXPECT_EQ(ci.Properties[2].MemberFlags(), mfOptional | mfAttribute);
  EXPECT_EQ(ci.Properties[3].PropType, TypeInfo<TShadeArray>());
  EXPECT_EQ(ci.TypeInfo.ClassType, &ci);

  std::unique_ptr<TObject> obj(ci.Create());
  EXPECT_EQ(&obj->ClassType(), &ci);
  EXPECT_TRUE(obj->InheritsFrom(&TBase::StaticClass()));
  auto* d = static_cast<TDerived*>(obj.get());
  double w = 2.5;
  ci.Properties[2].Write(d, &w);
  EXPECT_EQ(d->weight, 2.5);
  *static_cast<int32_t*>(ci.FindProperty("ID")->Address(d)) = 7;
  EXPECT_EQ(d->id, 7);
}

TEST(TypInfoTest, DynamicArrayAccess) {
  PTypeInfo ti = TypeInfo<TFlagArray>();
  EXPECT_EQ(ti->ElType, TypeInfo<bool>());
  TFlagArray flags;
  ti->DynArray.SetLength(&flags, 3);
  *static_cast<bool*>(ti->DynArray.Item(&flags, 2)) = true;
  EXPECT_EQ(ti->DynArray.Length(&flags), 3u);
  EXPECT_TRUE(flags[2]);
  EXPECT_FALSE(flags[0]);
}

TEST(TypInfoTest, ClassWithAMemberOfItsOwnType) {
  const TClassInfo& ci = TNode::StaticClass();
  ASSERT_EQ(ci.Properties.size(), 2u);
  EXPECT_EQ(ci.Properties[0].PropType, &ci.TypeInfo);
  EXPECT_EQ(ci.Properties[0].PropType->ClassType, &ci);
  EXPECT_EQ(ci.Properties[1].PropType, TypeInfo<int32_t>());
}
