#include <gtest/gtest.h>

#include "reporting/debuginfo/EDebug.h"
#include "reporting/debuginfo/EModuleImage.h"
#include "tests/reporting/debuginfo/modules_fixture_tools.h"

using namespace modules_test;

namespace {

struct TLevel {
  const char* ClassName;
  const char* ProcedureName;
  bool Inlined;
};

struct TNamingCase {
  const char* Name;
  TFixtureCase Case;
  std::vector<TLevel> Levels;  // innermost first
};

const TNamingCase kNamingCases[] = {
    {"free function", fcFree, {{"", "FreeFunction", false}}},
    {"function in a namespace", fcNamespaced, {{"", "fx::Namespaced", false}}},
    {"method of a namespaced class", fcMethod, {{"fx::TWidget", "Method", false}}},
    {"lambda in a method", fcLambda, {{"fx::TWidget::WithLambda::{lambda}", "operator()", false}}},
    {"inlined function", fcInlined, {{"", "Inner", true}, {"", "Outer", false}}},
};

std::vector<TTarvexStackEntry> ResolveReturn(uintptr_t returnAddress) {
  return ResolveAddress(returnAddress - 1, 7, false, 1);
}

class ResolveTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { folder_ = TempFolder("resolve"); }
  static void TearDownTestSuite() { fs::remove_all(folder_); }
  static fs::path folder_;
};
fs::path ResolveTest::folder_;

TEST_F(ResolveTest, KnownAddressesGiveUnitClassProcedureLineAndInlineLevels) {
  TLoaded fixture(MODULES_FIXTURE);
  ASSERT_TRUE(fixture.run) << dlerror();
  for (const auto& c : kNamingCases) {
    SCOPED_TRACE(c.Name);
    const TFixtureProbe& probe = fixture.probes[c.Case];
    auto entries = ResolveReturn(probe.Address);
    ASSERT_EQ(entries.size(), c.Levels.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      SCOPED_TRACE("level " + std::to_string(i));
      const auto& e = entries[i];
      EXPECT_EQ(e.EntryKind, kEntryLine);
      EXPECT_EQ(e.UnitName, "modules_fixture.cpp");
      EXPECT_EQ(e.ClassName, c.Levels[i].ClassName);
      EXPECT_EQ(e.ProcedureName, c.Levels[i].ProcedureName);
      EXPECT_EQ(e.Inlined, c.Levels[i].Inlined);
      EXPECT_EQ(e.ThreadID, 7u);
      ASSERT_NE(e.Module, nullptr);
      EXPECT_EQ(e.Module->FileName, fixture.path);
      int line = i == 0 ? probe.Line : probe.OuterLine;
      EXPECT_EQ(e.LineNumber, line);
      if (i == 0) {
        EXPECT_EQ(e.LineOffset, probe.Line - probe.DeclLine);
      }
    }
  }
}

TEST_F(ResolveTest, DeeplyNestedInlinedCallsKeepEveryLevel) {
  TLoaded fixture(MODULES_FIXTURE);
  ASSERT_TRUE(fixture.run) << dlerror();
  auto entries = ResolveReturn(fixture.probes[fcDeepInlined].Address);
  ASSERT_EQ(entries.size(), kDeepNesting + 2u);
  EXPECT_EQ(entries.front().ProcedureName, "Nest<0>");
  EXPECT_EQ(entries.front().LineNumber, fixture.probes[fcDeepInlined].Line);
  EXPECT_EQ(entries[kDeepNesting].ProcedureName, "Nest<" + std::to_string(kDeepNesting) + ">");
  EXPECT_EQ(entries.back().ProcedureName, "DeepOuter");
  EXPECT_FALSE(entries.back().Inlined);
}

TEST_F(ResolveTest, WithoutDwarfTheSymbolTableNamesTheProcedure) {
  fs::path copy = folder_ / "stripped.so";
  ASSERT_TRUE(RunTool({"objcopy", "--strip-debug", MODULES_FIXTURE, copy.string()}));
  TLoaded fixture(copy.string());
  ASSERT_TRUE(fixture.run) << dlerror();
  auto entries = ResolveReturn(fixture.probes[fcMethod].Address);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].EntryKind, kEntryProcedure);
  EXPECT_EQ(entries[0].ProcedureName, "fx::TWidget::Method");
  EXPECT_EQ(entries[0].UnitName, "");
  EXPECT_EQ(entries[0].LineNumber, 0);
  EXPECT_STREQ(entries[0].Module->OtherDebugSource->SourceKindName(), "symtab");
}

// A stripped copy whose DWARF lives in a separate file, found by build-id or debuglink.
struct TSeparateCase {
  const char* Name;
  bool ByBuildId;
  const char* DebugFolder;  // for the debuglink: relative to the copy's folder, or "<root>"
};

TEST_F(ResolveTest, SeparateDebugFileIsFound) {
  const TSeparateCase cases[] = {
      {"by build-id under the debug root", true, ""},
      {"by debuglink beside the module", false, "."},
      {"by debuglink in the .debug folder", false, ".debug"},
      {"by debuglink under the debug root", false, "<root>"},
  };
  std::string saved = DebugFileRoot();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::path case_folder = TempFolder("split");
    fs::path root = case_folder / "root", libs = case_folder / "libs";
    fs::create_directories(root);
    fs::create_directories(libs);
    fs::path module = libs / "split.so";
    fs::path debug_file;
    if (c.ByBuildId) {
      std::string id = FileBuildId(MODULES_FIXTURE);
      ASSERT_FALSE(id.empty());
      std::string hex;
      for (unsigned char b : id) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
      }
      fs::create_directories(root / ".build-id" / hex.substr(0, 2));
      debug_file = root / ".build-id" / hex.substr(0, 2) / (hex.substr(2) + ".debug");
      ASSERT_TRUE(RunTool({"objcopy", "--only-keep-debug", MODULES_FIXTURE, debug_file.string()}));
      ASSERT_TRUE(RunTool({"objcopy", "--strip-debug", MODULES_FIXTURE, module.string()}));
    } else {
      std::string where = c.DebugFolder;
      fs::path folder = where == "<root>" ? root / libs.relative_path() : libs / where;
      fs::create_directories(folder);
      debug_file = folder / "split.debug";
      ASSERT_TRUE(RunTool({"objcopy", "--only-keep-debug", MODULES_FIXTURE, debug_file.string()}));
      // Without a build-id the debuglink is the only way to the debug file.
      ASSERT_TRUE(RunTool({"objcopy", "--strip-debug", "--remove-section", ".note.gnu.build-id",
                       "--add-gnu-debuglink=" + debug_file.string(), MODULES_FIXTURE, module.string()}));
    }
    SetDebugFileRoot(root.string());
    {
      TLoaded fixture(module.string());
      ASSERT_TRUE(fixture.run) << dlerror();
      auto entries = ResolveReturn(fixture.probes[fcMethod].Address);
      ASSERT_FALSE(entries.empty());
      EXPECT_EQ(entries[0].EntryKind, kEntryLine);
      EXPECT_EQ(entries[0].ClassName, "fx::TWidget");
      EXPECT_EQ(entries[0].LineNumber, fixture.probes[fcMethod].Line);
      EXPECT_STREQ(entries[0].Module->OtherDebugSource->SourceKindName(), "dwarf");
    }
    SetDebugFileRoot(saved);
    fs::remove_all(case_folder);
  }
}

TEST_F(ResolveTest, DebuglinkWithWrongCrcIsRefused) {
  fs::path module = folder_ / "badcrc.so", debug_file = folder_ / "badcrc.debug";
  ASSERT_TRUE(RunTool({"objcopy", "--only-keep-debug", MODULES_FIXTURE, debug_file.string()}));
  ASSERT_TRUE(RunTool({"objcopy", "--strip-debug", "--remove-section", ".note.gnu.build-id",
                   "--add-gnu-debuglink=" + debug_file.string(), MODULES_FIXTURE, module.string()}));
  // Another debug file under the linked name.
  ASSERT_TRUE(RunTool({"objcopy", "--only-keep-debug", "--remove-section", ".comment", MODULES_FIXTURE,
                   debug_file.string()}));
  TLoaded fixture(module.string());
  ASSERT_TRUE(fixture.run) << dlerror();
  auto entries = ResolveReturn(fixture.probes[fcMethod].Address);
  EXPECT_EQ(entries[0].EntryKind, kEntryProcedure);
}

TEST(OwnUnits, LayerFramesShowAsModuleOnly) {
  // This function is compiled from one of the layer's own units.
  auto entries = ResolveAddress(reinterpret_cast<uintptr_t>(&ModuleFromHandle) + 4, 1, false, 1);
  ASSERT_FALSE(entries.empty());
  for (const auto& e : entries) {
    EXPECT_EQ(e.EntryKind, kEntryModule);
    EXPECT_EQ(e.UnitName, "");
    EXPECT_EQ(e.ProcedureName, "");
    EXPECT_EQ(e.LineNumber, 0);
  }
  struct {
    const char* Unit;
    bool Own;
  } const units[] = {{"ECore.cpp", true},          {"EResolve.cpp", true},       {"EModules_linux.cpp", true},
                     {"EDebug.h", true},           {"modules_fixture.cpp", false}, {"ecore.cpp", false},
                     {"main.cpp", false},          {"", false}};
  for (const auto& u : units) {
    SCOPED_TRACE(u.Unit);
    EXPECT_EQ(IsOwnReportingUnit(u.Unit), u.Own);
  }
}

TEST(TextForms, StackEntriesAndAddresses) {
  TTarvexModuleInfo module;
  module.ModuleHandle = 0x7f0012340000;
  module.FileName = "/opt/app/libx.so";
  TTarvexStackEntry withLine;
  withLine.Module = &module;
  withLine.Address = 0x7f0012345678;
  withLine.UnitName = "unit.cpp";
  withLine.ClassName = "ns::TFoo";
  withLine.ProcedureName = "Method";
  withLine.LineNumber = 42;
  withLine.LineOffset = 3;
  TTarvexStackEntry moduleOnly;
  moduleOnly.Module = &module;
  moduleOnly.Address = 0x7f00123456ab;
  TTarvexStackEntry unknown;
  unknown.Address = 0x10;

  EXPECT_EQ(StackEntryText(withLine, 0),
            "00 $00007F0012345678 - [00007F0012340000] /opt/app/libx.so - unit.cpp - ns::TFoo - Method - 42[3]\r\n");
  EXPECT_EQ(StackListText({withLine, moduleOnly, unknown}),
            "00 $00007F0012345678 - [00007F0012340000] /opt/app/libx.so - unit.cpp - ns::TFoo - Method - 42[3]\r\n"
            "            01 $00007F00123456AB - [00007F0012340000] /opt/app/libx.so \r\n"
            "            02 $0000000000000010 - [0000000000000000]  \r\n");
}

TEST_F(ResolveTest, AddressTextOfAFixtureAddress) {
  TLoaded fixture(MODULES_FIXTURE);
  ASSERT_TRUE(fixture.run);
  const TFixtureProbe& probe = fixture.probes[fcMethod];
  const TTarvexModuleInfo* module = ModuleFromAddress(probe.Address);
  ASSERT_NE(module, nullptr);
  char expected[512];
  std::snprintf(expected, sizeof expected, "$%016lX - [%016lX] %s - modules_fixture.cpp - fx::TWidget - Method - %d[%d]",
                static_cast<unsigned long>(probe.Address - 1), static_cast<unsigned long>(module->ModuleHandle),
                MODULES_FIXTURE, probe.Line, probe.Line - probe.DeclLine);
  EXPECT_EQ(AddressText(probe.Address - 1), expected);
}

TEST(Names, ParameterListsAndReturnTypesAreCut) {
  struct {
    const char* Demangled;
    const char* Expected;
  } const cases[] = {
      {"FreeFunction(int)", "FreeFunction"},
      {"ns::TFoo::Method(int) const", "ns::TFoo::Method"},
      {"ns::TFoo::operator()(int) const &&", "ns::TFoo::operator()"},
      {"void ns::Tmpl<int, std::pair<int, int> >(int)", "ns::Tmpl<int, std::pair<int, int> >"},
      {"operator new(unsigned long)", "operator new"},
      {"void* operator new[](unsigned long)", "operator new[]"},
      {"(anonymous namespace)::Helper(char const*)", "(anonymous namespace)::Helper"},
      {"fx::TWidget::WithLambda(int)::{lambda(int)#1}::operator()(int) const",
       "fx::TWidget::WithLambda(int)::{lambda(int)#1}::operator()"},
      {"plain_c_name", "plain_c_name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Demangled);
    EXPECT_EQ(WithoutParameters(c.Demangled), c.Expected);
  }
  EXPECT_EQ(DemangledName("_ZN2fx7TWidget6MethodEi"), "fx::TWidget::Method(int)");
  EXPECT_EQ(DemangledName("Probe"), "Probe");
}

}  // namespace
