#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>

#include "reporting/debuginfo/EDebug.h"
#include "reporting/debuginfo/EModuleImage.h"
#include "reporting/options/EModules.h"
#include "tests/reporting/debuginfo/modules_fixture_tools.h"

using namespace modules_test;

namespace {

TModuleHandle HandleOf(const std::string& path) { return ModuleHandleOf(path); }

bool Listed(const TTarvexModuleInfo* record) {
  auto lock = LockModuleList();
  const auto& list = ModuleList();
  return std::any_of(list.begin(), list.end(), [&](const auto& r) { return r.get() == record; });
}

TEST(ModuleList, MainModuleIsAnExecutableWithoutExports) {
  const TTarvexModuleInfo* main = ModuleFromHandle(MainModuleHandle());
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->ModuleKind, 1);
  EXPECT_EQ(main->FileName, MainModuleFileName());
  EXPECT_TRUE(main->ExportedProcs.empty());
  EXPECT_EQ(main->DataVersion, 6020);
  EXPECT_EQ(ModuleFromAddress(reinterpret_cast<uintptr_t>(&HandleOf)), main);
  EXPECT_EQ(ModuleFromHandle(0), nullptr);
  EXPECT_EQ(ModuleFromHandle(0x1000), nullptr);
}

TEST(ModuleList, LoadedObjectIsDescribedAndDisappearsAfterUnloading) {
  fs::path folder = TempFolder("list");
  fs::path copy = folder / "listed.so";
  fs::copy_file(MODULES_FIXTURE, copy);
  auto fixture = std::make_unique<TLoaded>(copy.string());
  ASSERT_TRUE(fixture->run) << dlerror();
  TModuleHandle handle = HandleOf(copy.string());
  ASSERT_NE(handle, 0u);

  const TTarvexModuleInfo* record = ModuleFromHandle(handle);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->ModuleKind, 3);
  EXPECT_EQ(record->FileName, copy.string());
  EXPECT_EQ(record->FileSize, fs::file_size(copy));
  EXPECT_EQ(record->FileVersion, "1.2.3.4");
  EXPECT_EQ(record->FileDescription, "Modules fixture");
  EXPECT_EQ(record->BuildId, FileBuildId(copy.string()));
  EXPECT_FALSE(record->BuildId.empty());
  EXPECT_EQ(ModuleFromAddress(fixture->probes[fcMethod].Address), record);
  EXPECT_TRUE(Listed(record));

  // Exports: the .dynsym functions, demangled, sorted by address, with their sizes.
  const auto& exports = record->ExportedProcs;
  EXPECT_TRUE(std::is_sorted(exports.begin(), exports.end(),
                             [](const auto& a, const auto& b) { return a.Address < b.Address; }));
  for (const char* name : {"FixtureRun", "Probe", "fx::TWidget::Method(int)"}) {
    SCOPED_TRACE(name);
    auto it = std::find_if(exports.begin(), exports.end(), [&](const auto& f) { return f.Name == name; });
    ASSERT_NE(it, exports.end());
    EXPECT_GT(it->CodeLength, 0u);
    EXPECT_EQ(record->ExportAt(it->Address + it->CodeLength - 1), &*it);
  }
  void* run = ::dlsym(fixture->handle, "FixtureRun");
  auto it = std::find_if(exports.begin(), exports.end(), [](const auto& f) { return f.Name == "FixtureRun"; });
  EXPECT_EQ(it->Address, reinterpret_cast<uintptr_t>(run));

  fixture.reset();
  ASSERT_EQ(::dlopen(copy.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "the fixture stayed loaded";
  RefreshModuleList();
  EXPECT_FALSE(Listed(record));
  EXPECT_TRUE(record->Retired);
  EXPECT_EQ(ModuleFromHandle(handle), nullptr);
  fs::remove_all(folder);
}

TEST(ModuleList, RefreshAddsLightRecordsThatFirstUseCompletes) {
  fs::path folder = TempFolder("light");
  fs::path copy = folder / "light.so";
  fs::copy_file(MODULES_FIXTURE, copy);
  TLoaded fixture(copy.string());
  ASSERT_TRUE(fixture.run);
  RefreshModuleList();
  TModuleHandle handle = HandleOf(copy.string());
  const TTarvexModuleInfo* light = nullptr;
  {
    auto lock = LockModuleList();
    for (const auto& r : ModuleList())
      if (r->ModuleHandle == handle) light = r.get();
  }
  ASSERT_NE(light, nullptr);
  EXPECT_EQ(light->ModuleKind, 0);
  EXPECT_TRUE(light->ExportedProcs.empty());
  EXPECT_EQ(light->OtherDebugSource, nullptr);
  const TTarvexModuleInfo* full = ModuleFromHandle(handle);
  EXPECT_EQ(full, light);  // completed in place
  EXPECT_EQ(full->ModuleKind, 3);
  EXPECT_FALSE(full->ExportedProcs.empty());
  ASSERT_NE(full->OtherDebugSource, nullptr);
  EXPECT_STREQ(full->OtherDebugSource->SourceKindName(), "dwarf");
  fs::remove_all(folder);
}

// Puts a new file under the module's name (the loaded mapping keeps the old one).
void Replace(const fs::path& file, const fs::path& with) {
  fs::path fresh = file.string() + ".new";
  fs::copy_file(with, fresh, fs::copy_options::overwrite_existing);
  fs::rename(fresh, file);
}

void SetTime(const fs::path& file, const timespec& time) {
  timespec times[2] = {time, time};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

TEST(ModuleList, DropChangedModulesDropsReplacedFiles) {
  struct TChangeCase {
    const char* Name;
    int Change;  // 0 none, 1 touched, 2 another build-id with the old time and size, 3 removed
    bool Dropped;
  };
  const TChangeCase cases[] = {
      {"unchanged", 0, false},
      {"touched", 1, true},
      {"other build-id, same time and size", 2, true},
      {"removed", 3, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::path folder = TempFolder("drop");
    fs::path copy = folder / "changing.so";
    fs::copy_file(MODULES_FIXTURE, copy);
    TLoaded fixture(copy.string());
    ASSERT_TRUE(fixture.run);
    const TTarvexModuleInfo* record = ModuleFromHandle(HandleOf(copy.string()));
    ASSERT_NE(record, nullptr);
    struct stat before {};
    ASSERT_EQ(::stat(copy.c_str(), &before), 0);
    if (c.Change == 1) {
      timespec later = before.st_mtim;
      later.tv_sec += 10;
      SetTime(copy, later);
    } else if (c.Change == 2) {
      // Same bytes but for one byte of the build-id, same size, the old time stamp.
      fs::path other = folder / "other.so";
      fs::copy_file(copy, other);
      std::string id = FileBuildId(other.string());
      std::fstream f(other, std::ios::in | std::ios::out | std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(f)), {});
      size_t at = bytes.find(id);
      ASSERT_NE(at, std::string::npos);
      f.seekp(static_cast<std::streamoff>(at));
      f.put(static_cast<char>(bytes[at] ^ 0x5A));
      f.close();
      Replace(copy, other);
      SetTime(copy, before.st_mtim);
      ASSERT_NE(FileBuildId(copy.string()), record->BuildId);
    } else if (c.Change == 3) {
      fs::remove(copy);
    }
    DropChangedModules();
    EXPECT_EQ(Listed(record), !c.Dropped);
    EXPECT_EQ(record->Retired, c.Dropped);
    if (c.Dropped && c.Change != 3) {
      // The next use makes a new record from the file as it is now.
      const TTarvexModuleInfo* again = ModuleFromHandle(HandleOf(copy.string()));
      ASSERT_NE(again, nullptr);
      EXPECT_NE(again, record);
    }
    fixture.Close();
    fs::remove_all(folder);
  }
}

}  // namespace
