// The stored debug block: its format on crafted tables, and on the fixture program the proof
// that a stripped copy resolves every address exactly as the DWARF of a plain -g copy does.
#include "reporting/debuginfo/EDebugStored.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "reporting/debuginfo/EDebugStoredBuild_linux.h"
#include "reporting/debuginfo/EDwarfNames_linux.h"
#include "reporting/options/EStoredData.h"
#include "tests/reporting/TestSupport.h"

namespace {

// ---- crafted tables ----

TStoredFrame F(std::string file, std::string cls, std::string proc, int32_t line, int32_t decl, bool inlined = false) {
  return {std::move(file), std::move(cls), std::move(proc), line, decl, inlined};
}

TStoredDebugTable Sample() {
  TStoredDebugTable t;
  t.BuildId = std::string("\x01\x02\xAB\x00\xFF", 5);
  TStoredUnit u{"src/shapes.cpp", 10, 0x1000, 0x100, {}};
  u.Ranges = {
      {0x1000, {F("src/shapes.cpp", "geo::TShape", "Area", 10, 9)}},
      {0x1004, {F("src/shapes.cpp", "geo::TShape", "Area", 12, 9)}},
      {0x1010, {F("include/math.h", "", "geo::Square", 3, 2, true), F("src/shapes.cpp", "geo::TShape", "Area", 13, 9)}},
      {0x1018, {}},
      {0x1020, {F("src/shapes.cpp", "", "Free", 40, 0)}},
  };
  t.Units.push_back(u);
  return t;
}

TTarvexModuleInfo ModuleWith(const std::string& buildId, uintptr_t bias = 0) {
  TTarvexModuleInfo m;
  m.BuildId = buildId;
  m.LoadBias = bias;
  return m;
}

std::string Base64(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  out.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                                 reinterpret_cast<const unsigned char*>(bytes.data()),
                                                 static_cast<int>(bytes.size()))));
  return out;
}

std::string Base64Decode(std::string_view text) {
  std::string out(3 * text.size() / 4 + 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return "<invalid>";
  out.resize(static_cast<size_t>(n) - std::count(text.begin(), text.end(), '='));
  return out;
}

std::string Describe(const std::vector<TTLLocationInfo>& frames) {
  std::ostringstream s;
  for (const auto& f : frames)
    s << "[" << f.UnitName << "|" << f.SourceName << "|" << f.ClassName << "|" << f.ProcedureName << "|"
      << f.LineNumber << "+" << f.LineOffset << (f.Inlined ? "|inlined" : "") << "]";
  return s.str();
}

TEST(StoredDebugInfo, RoundTripKeepsEveryRange) {
  struct Case {
    const char* name;
    TStoredDebugTable table;
  };
  std::vector<Case> cases;
  cases.push_back({"sample with an inlined call and a gap", Sample()});
  {
    TStoredDebugTable t;
    TStoredUnit u{"a.cpp", 50, 0x400, 0x40, {}};
    for (int32_t line : {50, 47, 20, 21, 3, 60}) {
      uint64_t at = u.Ranges.empty() ? 0x400 : u.Ranges.back().Start + 3;
      u.Ranges.push_back({at, {F("a.cpp", "", "Down", line, 1)}});
    }
    t.Units.push_back(u);
    cases.push_back({"negative line steps", t});
  }
  {
    TStoredDebugTable t;
    TStoredUnit u{"big.cpp", 1, 0x10, 0x7FFFFFFFF0ull, {}};
    u.Ranges = {{0x10, {F("big.cpp", "", "f", 1, 1)}},
                {0x11, {F("big.cpp", "", "f", 200000, 1)}},
                {0x123456, {F("big.cpp", "", "f", 2, 1)}},
                {0x7FFFFFFF00ull, {F("big.cpp", "", "f", -7, 1)}}};
    t.Units.push_back(u);
    cases.push_back({"large gaps in lines and addresses", t});
  }
  {
    TStoredDebugTable t;
    t.Units.push_back({"empty.cpp", 0, 0x2000, 0, {}});
    t.Units.push_back({"nothing.cpp", 0, 0x3000, 0x10, {{0x3000, {}}}});
    t.Units.push_back({"", 0, 0x1000, 0x10, {}});
    cases.push_back({"empty units, in any order", t});
  }
  {
    TStoredDebugTable t;
    TStoredUnit u{"c.cpp", 5, 0x100, 0x100, {}};
    u.Ranges = {{0x100, {F("c.cpp", "ns::TClass", "Method", 5, 4)}},
                {0x110, {F("c.cpp", "ns::TClass", "Method", 9, 8)}},  // an overload
                {0x120, {F("c.cpp", "ns::TClass", "Other", 12, 11)}},
                {0x130, {F("c.cpp", "ns::TClass", "Other", 12, 11)}},  // repeated as it is
                {0x140, {F("c.cpp", "ns::TOther", "Method", 20, 19)}}};
    t.Units.push_back(u);
    cases.push_back({"class continuation and overloads", t});
  }
  {
    TStoredDebugTable t;
    TStoredUnit u{"d.cpp", 1, 0, 0x100, {}};
    auto outer = F("d.cpp", "", "Outer", 30, 25);
    auto mid = F("m.h", "", "Mid", 7, 5, true);
    u.Ranges = {{0x00, {outer}},
                {0x08, {F("i.h", "", "Inner", 2, 1, true), mid, outer}},
                {0x09, {F("j.h", "", "Inner", 3, 1, true), mid, outer}},  // innermost file changes
                {0x0A, {F("j.h", "", "Inner", 3, 1, false), mid, outer}},  // only the flag changes
                {0x0C, {mid, outer}},
                {0x0D, {F("m.h", "", "Mid", 8, 5, true), F("d.cpp", "", "Outer", 31, 25)}},
                {0x20, {F("d.cpp", "", "Outer", 32, 25)}}};
    t.Units.push_back(u);
    cases.push_back({"inline levels entered and left", t});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* password : {"", "pw"}) {
      SCOPED_TRACE(password);
      std::string blob = EncodeStoredDebugInfo(c.table, password);
      auto back = DecodeStoredDebugInfo(blob, password);
      ASSERT_TRUE(back);
      EXPECT_EQ(back->Enciphered, *password != 0);
      EXPECT_TRUE(back->PasswordValid);
      EXPECT_TRUE(back->Table == c.table);
    }
  }
}

TEST(StoredDebugInfo, EncodingRejectsRangesOutOfOrderOrOutsideTheUnit) {
  for (uint64_t bad : {0x0FFFull, 0x1100ull}) {
    TStoredDebugTable t = Sample();
    t.Units[0].Ranges.push_back({bad, {}});
    EXPECT_THROW(EncodeStoredDebugInfo(t), Exception) << bad;
  }
}

TEST(StoredDebugInfo, LookupTakesTheLastRangeAtOrBeforeTheAddress) {
  const uintptr_t bias = 0x7F0000000000;
  TTarvexModuleInfo module = ModuleWith(Sample().BuildId, bias);
  auto source = MakeStoredDebugSource(module, EncodeStoredDebugInfo(Sample()), "");
  ASSERT_TRUE(source);
  EXPECT_TRUE(source->IsSourceValid());
  EXPECT_STREQ(source->SourceKindName(), "stored");
  struct Case {
    uint64_t offset;
    bool found;
    std::string frames;
  } cases[] = {
      {0x0FFF, false, ""},
      {0x1000, true, "[shapes.cpp|src/shapes.cpp|geo::TShape|Area|10+1]"},
      {0x1003, true, "[shapes.cpp|src/shapes.cpp|geo::TShape|Area|10+1]"},
      {0x1004, true, "[shapes.cpp|src/shapes.cpp|geo::TShape|Area|12+3]"},
      {0x1017, true,
       "[math.h|include/math.h||geo::Square|3+1|inlined][shapes.cpp|src/shapes.cpp|geo::TShape|Area|13+4]"},
      {0x1018, false, ""},
      {0x10FF, true, "[shapes.cpp|src/shapes.cpp||Free|40+0]"},
      {0x1100, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    std::vector<TTLLocationInfo> frames;
    EXPECT_EQ(source->GetLocationInfo(bias + c.offset, frames), c.found);
    EXPECT_EQ(Describe(frames), c.frames);
    for (const auto& f : frames) {
      EXPECT_EQ(f.Address, bias + c.offset);
      EXPECT_EQ(f.Source, source.get());
    }
  }
}

TEST(StoredDebugInfo, ABlockOfAnotherBuildOrDamagedIsNotUsed) {
  std::string blob = EncodeStoredDebugInfo(Sample());
  EXPECT_FALSE(MakeStoredDebugSource(ModuleWith("\x01\x02\xAB\x00\xFE"), blob, ""));
  EXPECT_FALSE(MakeStoredDebugSource(ModuleWith(""), blob, ""));
  EXPECT_TRUE(MakeStoredDebugSource(ModuleWith(Sample().BuildId), blob, ""));

  // Every cut of the block, and a changed byte anywhere in it, is refused or read safely.
  for (size_t n = 0; n < blob.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_FALSE(DecodeStoredDebugInfo(blob.substr(0, n)));
    std::string changed = blob;
    changed[n] = static_cast<char>(changed[n] ^ 0x5A);
    DecodeStoredDebugInfo(changed);
  }
}

TEST(StoredDebugInfo, EncipheredNamesShowAsBase64UnlessThePasswordOpensThem) {
  TStoredDebugTable table = Sample();
  std::string blob = EncodeStoredDebugInfo(table, "open sesame");
  EXPECT_TRUE(StoredDebugInfoEnciphered(blob));
  EXPECT_FALSE(StoredDebugInfoEnciphered(EncodeStoredDebugInfo(table)));
  TTarvexModuleInfo module = ModuleWith(table.BuildId);
  const uintptr_t inlined = 0x1010;

  auto open = MakeStoredDebugSource(module, blob, "open sesame");
  ASSERT_TRUE(open);
  auto& opened = dynamic_cast<TTLDebugInfoStored&>(*open);
  EXPECT_TRUE(opened.NamesEnciphered());
  EXPECT_TRUE(opened.PasswordValid());
  EXPECT_TRUE(open->NamesReadable());
  std::vector<TTLLocationInfo> frames;
  ASSERT_TRUE(open->GetLocationInfo(inlined, frames));
  EXPECT_EQ(Describe(frames),
            "[math.h|include/math.h||geo::Square|3+1|inlined][shapes.cpp|src/shapes.cpp|geo::TShape|Area|13+4]");

  for (const char* password : {"", "open sesame!"}) {
    SCOPED_TRACE(password);
    auto closed = MakeStoredDebugSource(module, blob, password);
    ASSERT_TRUE(closed);
    EXPECT_FALSE(dynamic_cast<TTLDebugInfoStored&>(*closed).PasswordValid());
    EXPECT_FALSE(closed->NamesReadable());
    std::vector<TTLLocationInfo> hidden;
    ASSERT_TRUE(closed->GetLocationInfo(inlined, hidden));
    ASSERT_EQ(hidden.size(), 2u);
    struct Name {
      std::string shown, clear, prefix;
    } names[] = {{hidden[0].UnitName, "include/math.h", "?p"},
                 {hidden[0].SourceName, "include/math.h", "?p"},
                 {hidden[0].ProcedureName, "geo::Square", "?"},
                 {hidden[1].ClassName, "geo::TShape", "?"},
                 {hidden[1].ProcedureName, "Area", "?"}};
    for (const auto& n : names) {
      SCOPED_TRACE(n.clear);
      ASSERT_EQ(n.shown.substr(0, n.prefix.size()), n.prefix);
      std::string stored = Base64Decode(n.shown.substr(n.prefix.size()));
      EXPECT_EQ(stored.size(), n.clear.size());
      EXPECT_NE(stored, n.clear);
      EXPECT_EQ(n.shown, n.prefix + Base64(stored));
    }
    EXPECT_EQ(hidden[0].ClassName, "");  // an empty name stays empty
    EXPECT_EQ(hidden[0].LineNumber, 3);  // lines are never enciphered
    EXPECT_EQ(hidden[1].LineOffset, 4);

    auto contents = DecodeStoredDebugInfo(blob, password);
    ASSERT_TRUE(contents);
    EXPECT_FALSE(contents->PasswordValid);
    EXPECT_EQ(contents->Table.Units[0].Name, hidden[1].SourceName);
  }
}

// ---- the fixture program ----

struct TBinary {
  std::string Path;
  std::string BuildId;
};

// The frames the DWARF of a file gives, straight through libdw.
class TDwarfReference {
 public:
  explicit TDwarfReference(const std::string& file) : fd_(::open(file.c_str(), O_RDONLY | O_CLOEXEC)) {
    dwarf_ = dwarf_begin(fd_, DWARF_C_READ);
  }
  ~TDwarfReference() {
    if (dwarf_) dwarf_end(dwarf_);
    ::close(fd_);
  }
  bool Valid() const { return dwarf_ != nullptr; }
  bool At(uint64_t address, std::vector<TTLLocationInfo>& frames) const {
    frames.clear();
    Dwarf_Die cu;
    if (!dwarf_addrdie(dwarf_, address, &cu)) return false;
    bool found = DwarfFramesAt(&cu, address, frames);
    for (auto& f : frames) f.Address = address;
    return found;
  }
  // Every code range of every compilation unit.
  std::vector<std::pair<uint64_t, uint64_t>> CodeRanges() const {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    Dwarf_CU* cu = nullptr;
    Dwarf_Half version;
    uint8_t type;
    Dwarf_Die cuDie, sub;
    while (dwarf_get_units(dwarf_, cu, &cu, &version, &type, &cuDie, &sub) == 0) {
      Dwarf_Addr base, start, end;
      for (ptrdiff_t off = 0; (off = dwarf_ranges(&cuDie, off, &base, &start, &end)) > 0;) out.emplace_back(start, end);
    }
    return out;
  }

 private:
  int fd_;
  Dwarf* dwarf_ = nullptr;
};

bool SameFrames(const std::vector<TTLLocationInfo>& a, const std::vector<TTLLocationInfo>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const TTLLocationInfo& x, const TTLLocationInfo& y) {
    return x.Address == y.Address && x.UnitName == y.UnitName && x.SourceName == y.SourceName &&
           x.ClassName == y.ClassName && x.ProcedureName == y.ProcedureName && x.LineNumber == y.LineNumber &&
           x.LineOffset == y.LineOffset && x.Inlined == y.Inlined;
  });
}

class StoredFixture : public testing::Test {
 protected:
  TTempFolder dir;

  // The stripped program, alone in a folder: its separate debug file stays behind.
  std::string StrippedCopy() {
    std::string copy = dir.Path() + "/stored_fixture_stripped";
    std::filesystem::copy_file(STORED_FIXTURE_STRIPPED, copy);
    return copy;
  }
  static std::string BlobOf(const std::string& file) {
    auto block = ReadStoredBlock(file);
    return block ? block->DebugInfo : std::string();
  }
  // Stored source, module record and the addresses the program printed about itself.
  struct TLoaded {
    std::unique_ptr<TTarvexModuleInfo> Module = std::make_unique<TTarvexModuleInfo>();
    std::unique_ptr<TTLDebugInfoSource> Source;
  };
  static TLoaded Load(const std::string& file, const std::string& password = "") {
    TLoaded l;
    l.Module->FileName = file;
    l.Module->BuildId = ReadElfBuildId(file);
    l.Source = MakeStoredDebugSource(*l.Module, BlobOf(file), password);
    return l;
  }
  static std::map<std::string, uint64_t> PrintedAddresses(const std::string& program) {
    TRunResult run = RunProgram(program, {});
    EXPECT_EQ(run.ExitCode, 0) << run.Output;
    std::map<std::string, uint64_t> out;
    std::istringstream in(run.Output);
    std::string name, value;
    while (in >> name >> value)
      if (name != "result") out[name] = std::stoull(value, nullptr, 16);
    return out;
  }
};

TEST_F(StoredFixture, StrippingMovesTheDwarfAwayAndKeepsTheBlock) {
  std::string stripped = StrippedCopy();
  EXPECT_EQ(DwarfSectionsSize(stripped), 0u);
  EXPECT_GT(DwarfSectionsSize(std::string(STORED_FIXTURE_STRIPPED) + ".debug"), 0u);
  EXPECT_GT(DwarfSectionsSize(STORED_FIXTURE_PLAIN), 0u);
  EXPECT_EQ(FindStoredBlock(stripped).Place, TStoredPlace::Section);
  EXPECT_FALSE(BlobOf(stripped).empty());
  EXPECT_TRUE(BlobOf(STORED_FIXTURE_PLAIN).empty());
  // One link of the same objects: the copies carry the same code.
  EXPECT_EQ(ReadElfBuildId(stripped), ReadElfBuildId(STORED_FIXTURE_PLAIN));
  EXPECT_FALSE(ReadElfBuildId(stripped).empty());
  EXPECT_EQ(PrintedAddresses(stripped), PrintedAddresses(STORED_FIXTURE_PLAIN));
}

TEST_F(StoredFixture, StoredBlocksResolveEveryAddressAsTheDwarfDoes) {
  TDwarfReference dwarf(STORED_FIXTURE_PLAIN);
  ASSERT_TRUE(dwarf.Valid());
  TLoaded stripped = Load(StrippedCopy());
  TLoaded info = Load(STORED_FIXTURE_INFO);
  TLoaded secret = Load(STORED_FIXTURE_SECRET, "fixture secret");
  ASSERT_TRUE(stripped.Source && info.Source && secret.Source);
  // The live DWARF source over the plain copy.
  TLoaded live;
  live.Module->FileName = STORED_FIXTURE_PLAIN;
  live.Module->BuildId = ReadElfBuildId(STORED_FIXTURE_PLAIN);
  live.Source = MakeDwarfDebugSource(*live.Module);
  ASSERT_TRUE(live.Source);

  // Every byte of the units' code, and addresses outside it (the ends of ranges, padding
  // between functions, the file header), where the live source may still name the unit
  // before (it looks units up by the nearest start) while the block knows nothing. Nor does
  // the block hold the symbol-table names that the live source adds for code without a
  // DWARF procedure (the sanitizers' module constructors).
  std::vector<std::pair<uint64_t, bool>> addresses{{0, false}, {1, false}, {0x40, false}};
  auto ranges = dwarf.CodeRanges();
  for (auto [start, end] : ranges) {
    for (uint64_t a = start; a < end; ++a) addresses.emplace_back(a, true);
    bool inside = std::any_of(ranges.begin(), ranges.end(), [end](auto r) { return r.first <= end && end < r.second; });
    addresses.emplace_back(end, inside);
  }
  size_t inlinedSeen = 0, lambdaSeen = 0, methodSeen = 0, compared = 0;
  std::vector<TTLLocationInfo> expected, got;
  for (auto [a, inUnit] : addresses) {
    bool found = dwarf.At(a, expected);
    for (const TLoaded* l : {&live, &stripped, &info, &secret}) {
      if (l == &live && (!inUnit || (!expected.empty() && expected.front().ProcedureName.empty()))) continue;
      bool stored = l->Source->GetLocationInfo(a, got);
      for (auto& f : got) f.Source = nullptr;
      if (found != stored || !SameFrames(expected, got)) {
        std::ostringstream all;
        for (const TLoaded* m : {&live, &stripped, &info, &secret}) {
          bool r = m->Source->GetLocationInfo(a, got);
          all << "\n " << m->Source->SourceKindName() << " " << m->Module->FileName << ": " << r << " " << Describe(got);
        }
        ADD_FAILURE() << std::hex << "at " << a << std::dec << "\n libdw: " << found << " " << Describe(expected)
                      << all.str();
        return;
      }
    }
    ++compared;
    if (expected.size() > 1 && expected[0].Inlined && expected[0].ProcedureName == "fixture::Square") ++inlinedSeen;
    if (!expected.empty() && expected.back().ClassName == "WithLambda::{lambda}") ++lambdaSeen;
    if (!expected.empty() && expected.back().ClassName == "fixture::TShape") ++methodSeen;
  }
  EXPECT_GT(compared, 100u);
  EXPECT_GT(inlinedSeen, 0u);
  EXPECT_GT(lambdaSeen, 0u);
  EXPECT_GT(methodSeen, 0u);
}

TEST_F(StoredFixture, PrintedFunctionsResolveToTheirNames) {
  std::string program = StrippedCopy();
  TLoaded stripped = Load(program);
  ASSERT_TRUE(stripped.Source);
  struct Case {
    const char* printed;
    const char* className;
    const char* procedure;
  } cases[] = {
      {"FreeFunction", "", "FreeFunction"},
      {"WithLambda", "", "WithLambda"},
      {"TShape::Area", "fixture::TShape", "Area"},
      {"main", "", "main"},
  };
  auto printed = PrintedAddresses(program);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.printed);
    ASSERT_TRUE(printed.count(c.printed));
    std::vector<TTLLocationInfo> frames;
    ASSERT_TRUE(stripped.Source->GetLocationInfo(printed[c.printed], frames));
    EXPECT_EQ(frames.back().UnitName, "stored_fixture.cpp");
    EXPECT_EQ(frames.back().ClassName, c.className);
    EXPECT_EQ(frames.back().ProcedureName, c.procedure);
    EXPECT_FALSE(frames.back().Inlined);
    EXPECT_GT(frames.back().LineNumber, 0);
  }
}

TEST_F(StoredFixture, EncipheredFixtureNeedsItsPassword) {
  std::string blob = BlobOf(STORED_FIXTURE_SECRET);
  EXPECT_TRUE(StoredDebugInfoEnciphered(blob));
  TLoaded info = Load(STORED_FIXTURE_INFO);
  TLoaded closed = Load(STORED_FIXTURE_SECRET, "wrong");
  ASSERT_TRUE(closed.Source && info.Source);
  EXPECT_FALSE(dynamic_cast<TTLDebugInfoStored&>(*closed.Source).PasswordValid());
  auto printed = PrintedAddresses(STORED_FIXTURE_SECRET);
  std::vector<TTLLocationInfo> clear, hidden;
  ASSERT_TRUE(info.Source->GetLocationInfo(printed["TShape::Area"], clear));
  ASSERT_TRUE(closed.Source->GetLocationInfo(printed["TShape::Area"], hidden));
  ASSERT_EQ(hidden.size(), clear.size());
  EXPECT_EQ(hidden.back().ClassName, "?" + Base64(Base64Decode(hidden.back().ClassName.substr(1))));
  EXPECT_EQ(Base64Decode(hidden.back().ClassName.substr(1)).size(), clear.back().ClassName.size());
  EXPECT_EQ(hidden.back().UnitName.substr(0, 2), "?p");
  EXPECT_EQ(hidden.back().LineNumber, clear.back().LineNumber);
}

}  // namespace
