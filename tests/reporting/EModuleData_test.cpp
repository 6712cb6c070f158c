#include "reporting/options/EModuleData.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "reporting/options/EModules.h"
#include "tests/reporting/TestSupport.h"

namespace {

// The own set lives for the whole test program; restore what a test changes.
class OwnOptionsTest : public testing::Test {
 protected:
  void SetUp() override {
    LoadAllModulesOptions();
    own = &CurrentTarvexLogOptions();
    SetFreezeWatchHooks({[this] { ++starts; }, [this] { ++stops; }});
  }
  void TearDown() override {
    SetFreezeWatchHooks({});
    own->SetReportingActive(true);
    own->SetFreezeDetection(false);
  }
  TTarvexModuleOptionsEx* own = nullptr;
  int starts = 0;
  int stops = 0;
};

}  // namespace

TEST_F(OwnOptionsTest, TheProgramsEmbeddedOptionsAreItsOwnSet) {
  EXPECT_EQ(own->EmailSubjectText(), "Test program subject");
  EXPECT_EQ(own->OwnerModuleName(), MainModuleFileName());
  EXPECT_EQ(own->OwnerModuleHandle(), ReportingModuleHandle());
  TTarvexModuleData* data = FindModuleData(ReportingModuleHandle());
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->Block.Version, 6020);
  EXPECT_GT(data->Block.CompileTime, 0);
  // A second start-up pass keeps the records.
  LoadAllModulesOptions();
  EXPECT_EQ(&CurrentTarvexLogOptions(), own);
}

TEST_F(OwnOptionsTest, FreezeWatchFollowsTheOwnSet) {
  own->SetFreezeDetection(true);
  EXPECT_EQ(starts, 1);
  own->SetFreezeDetection(true);
  EXPECT_EQ(starts, 1);
  own->SetReportingActive(false);
  EXPECT_EQ(stops, 1);
  own->SetReportingActive(true);
  EXPECT_EQ(starts, 2);
  own->SetFreezeDetection(false);
  EXPECT_EQ(stops, 2);

  TTarvexModuleOptionsEx other(MainModuleFileName());
  other.SetFreezeDetection(true);
  other.SetReportingActive(false);
  EXPECT_EQ(starts, 2);
  EXPECT_EQ(stops, 2);
}

TEST(ModuleDataTest, ModulesWithoutUsableDataGetNoRecord) {
  TTempFolder dir;
  std::string copy = dir.Path() + "/probe";
  std::filesystem::copy_file(TARVEX_PROBE, copy);
  EXPECT_NE(LoadModuleData(1, copy), nullptr);
  TStoredLocation where = FindStoredBlock(copy);
  ASSERT_EQ(where.Place, TStoredPlace::Section);
  {
    std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(where.Offset + 44));
    f.write("\xFF\xFF\xFF\xFF", 4);
  }
  EXPECT_EQ(LoadModuleData(1, copy), nullptr);
  EXPECT_EQ(LoadModuleData(1, dir.Path() + "/missing"), nullptr);
  EXPECT_EQ(FindModuleData(1), nullptr);
}
