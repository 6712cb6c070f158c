#include "app/DistanceReport.h"

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace {

std::vector<std::string> Report(const GetDistReturn& r) {
  std::vector<std::string> lines;
  WriteReport(r, [&](const std::string& l) { lines.push_back(l); });
  return lines;
}

WayPoint* Point(const char16_t* name, double lat, double lon, bool seca) {
  auto* w = new WayPoint;
  w->name_ = name;
  w->lat = lat;
  w->lon = lon;
  w->seca = seca;
  return w;
}

std::unique_ptr<GetDistReturn> Sample() {
  auto r = std::make_unique<GetDistReturn>();
  r->retCode = -1;
  r->retMessage = u"";
  r->dayLimit = 100;
  r->todayUsed = 3;
  r->totalDistance = 11012.5;
  r->totalDistanceSECA = 612;
  auto* s1 = new Section;
  s1->fromPort = u"Busan";
  s1->toPort = u"London";
  s1->distance = 10700;
  s1->distanceSECA = 300;
  s1->waypoints.push_back(Point(u"Suez", 29.95, 32.55, false));
  s1->waypoints.push_back(Point(u"Dover Str\u00e4it", 51.0, -1.25, true));
  auto* s2 = new Section;
  s2->fromPort = u"London";
  s2->toPort = u"Mobile";
  s2->distance = 312.5;
  s2->distanceSECA = -0.004;
  r->sections.push_back(s1);
  r->sections.push_back(s2);
  return r;
}

class ReportTest : public ::testing::Test {
 protected:
  void TearDown() override { ReloadFormatSettings(); }
  bool UseLocale(const char* name) {
    if (!LocaleAvailable(name)) return false;
    env_ = std::make_unique<ScopedEnv>("LC_ALL", name);
    ReloadFormatSettings();
    return true;
  }
  std::unique_ptr<ScopedEnv> env_;
};

TEST_F(ReportTest, EnglishLines) {
  if (!UseLocale("en_US.UTF-8")) GTEST_SKIP() << "en_US.UTF-8 not installed";
  EXPECT_EQ(Report(*Sample()), (std::vector<std::string>{
                                   "Return Code : -1",
                                   "Return Message : ",
                                   "Day Limit : 100",
                                   "Day Used : 3",
                                   "Total Distance 11,012.50",
                                   "Total DistanceSECA 612.00",
                                   "    >Busan -> London [10,700.00] [300.00]",
                                   "        >>Suez, [29.95, 32.55] [False]",
                                   "        >>Dover Str\u00e4it, [51.00, -1.25] [True]",
                                   "    >London -> Mobile [312.50] [0.00]",
                               }));
}

TEST_F(ReportTest, GroupingFollowsTheLocale) {
  if (!UseLocale("de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 not installed";
  std::vector<std::string> lines = Report(*Sample());
  EXPECT_EQ(lines[4], "Total Distance 11.012,50");
  EXPECT_EQ(lines[6], "    >Busan -> London [10.700,00] [300,00]");
}

TEST_F(ReportTest, EmptySectionsGiveSixLinesAndEntriesMayBeAbsent) {
  GetDistReturn empty;
  EXPECT_EQ(Report(empty).size(), 6u);
  GetDistReturn holes;
  holes.sections.push_back(nullptr);
  auto* s = new Section;
  s->waypoints.push_back(nullptr);
  holes.sections.push_back(s);
  EXPECT_EQ(Report(holes).size(), 7u);
}

TEST(PiracyCodeTest, ItemIndexToCode) {
  const std::pair<int, const char16_t*> rows[] = {{0, u"001"}, {1, u"002"}, {2, u"003"}, {3, u"004"},
                                                  {4, u"005"}, {-1, u""},   {5, u""}};
  for (const auto& [index, code] : rows) {
    SCOPED_TRACE(index);
    EXPECT_EQ(PiracyCodeFor(index), code);
  }
}

}  // namespace
