#include "binding/ZelkDistance1.h"

#include <gtest/gtest.h>

namespace {

int g_destroyed = 0;

class CountedWayPoint : public WayPoint {
 public:
  ~CountedWayPoint() override { ++g_destroyed; }
};
class CountedSection : public Section {
 public:
  ~CountedSection() override { ++g_destroyed; }
};
class CountedReturn : public GetDistReturn {
 public:
  ~CountedReturn() override { ++g_destroyed; }
};

class ZelkDistanceContractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitializeZelkDistance1();
    g_destroyed = 0;
  }
};

TEST_F(ZelkDistanceContractTest, RegisteringTwiceAddsNothing) {
  size_t interfaces = GetInvokableRegistry()->Count();
  size_t types = GetTypeRegistry()->Entries().size();
  InitializeZelkDistance1();
  RegisterZelkDistance();  // the whole sequence again, past the once-guard
  EXPECT_EQ(GetInvokableRegistry()->Count(), interfaces);
  EXPECT_EQ(GetTypeRegistry()->Entries().size(), types);
  EXPECT_EQ(GetTypeRegistry()->Entries()[types - 1].Name, u"GetDistReturn");
}

TEST_F(ZelkDistanceContractTest, InterfaceRegistration) {
  auto* inv = GetInvokableRegistry();
  EXPECT_EQ(inv->FindInterfaceByGuid(ZelkDistance::IID), TypeInfo<ZelkDistance>());
  EXPECT_EQ(GUIDToString(ZelkDistance::IID), "{ADDF0FF5-F8F6-6A64-F372-077F58D917BF}");
  EXPECT_EQ(inv->GetSoapAction(TypeInfo<ZelkDistance>(), u"getDistance", 3), "");
  EXPECT_EQ(inv->GetInvokeOptions(ZelkDistance::IID), kHasDefaultAction | kHasNamespace);
  EXPECT_EQ(inv->GetNamespaceOfGuid(ZelkDistance::IID), "http://ws.zelk.example");
  InvRegIntfEntry e;
  ASSERT_TRUE(inv->GetInterfaceEntry(TypeInfo<ZelkDistance>(), e));
  EXPECT_EQ(e.WSDLEncoding, u"UTF-8");
  EXPECT_EQ(e.UnitName, "ZelkDistance1");

  const TIntfTypeData* intf = TypeInfo<ZelkDistance>()->Intf;
  ASSERT_EQ(intf->Methods.size(), 1u);
  const TIntfMethodInfo& m = intf->Methods[0];
  EXPECT_EQ(m.Name, "getDistance");
  ASSERT_EQ(m.Params.size(), 4u);
  EXPECT_EQ(m.Params[2].Name, "portNames");
  EXPECT_EQ(m.Params[2].Type, TypeInfo<ArrayOf_xsd_string>());
  EXPECT_EQ(m.Params[3].Flags, 0);
  EXPECT_EQ(m.Result, TypeInfo<GetDistReturn*>());
}

TEST_F(ZelkDistanceContractTest, TypesAndTheirXmlNames) {
  auto* r = GetTypeRegistry();
  const WideString& ns = SZelkDistanceNamespace;
  EXPECT_EQ(r->TypeInfoOfXmlType(ns, u"GetDistReturn"), TypeInfo<GetDistReturn*>());
  EXPECT_EQ(r->TypeInfoOfXmlType(u"http://other.example", u"GetDistReturn"), nullptr);
  EXPECT_EQ(r->TypeInfoOfXmlType(ns, u"ArrayOfSection"), TypeInfo<ArrayOfSection>());
  EXPECT_EQ(r->XmlNameOfType(TypeInfo<ArrayOf_xsd_string>()).Name, u"ArrayOf_xsd_string");
  EXPECT_EQ(r->ExternalPropertyName(TypeInfo<WayPoint*>(), "name_"), u"name");
  EXPECT_EQ(r->InternalPropertyName(TypeInfo<WayPoint*>(), u"name"), "name_");
  EXPECT_EQ(r->ExternalPropertyName(TypeInfo<Section*>(), "fromPort"), u"fromPort");

  std::vector<std::string> props;
  for (const auto& p : GetDistReturn::StaticClass().Properties) props.push_back(p.Name);
  EXPECT_EQ(props, (std::vector<std::string>{"dayLimit", "retCode", "retMessage", "sections", "todayUsed",
                                             "totalDistance", "totalDistanceSECA"}));
  EXPECT_EQ(TypeInfo<ArrayOfWayPoint>()->ElType, TypeInfo<WayPoint*>());
}

TEST_F(ZelkDistanceContractTest, ResultOwnsSectionsAndWayPoints) {
  auto* result = new CountedReturn;
  for (int s = 0; s < 2; ++s) {
    auto* section = new CountedSection;
    for (int w = 0; w < 3; ++w) section->waypoints.push_back(new CountedWayPoint);
    section->waypoints.push_back(nullptr);  // an empty slot is skipped
    result->sections.push_back(section);
  }
  delete result;
  EXPECT_EQ(g_destroyed, 9);

  g_destroyed = 0;
  delete new CountedReturn;
  EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ZelkDistanceContractTest, SharedEntriesAreDestroyedOnce) {
  // What a decoder makes of an answer that names one section twice and shares way points.
  auto* result = new CountedReturn;
  auto* shared = new CountedWayPoint;
  auto* a = new CountedSection;
  a->waypoints = {shared, shared, new CountedWayPoint};
  auto* b = new CountedSection;
  b->waypoints = {shared};
  result->sections = {a, b, a};
  delete result;
  EXPECT_EQ(g_destroyed, 5);  // two way points, two sections, the result
}

}  // namespace
