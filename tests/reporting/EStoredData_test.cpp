#include "reporting/options/EStoredData.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "reporting/options/EStreams.h"
#include "tests/reporting/TestSupport.h"

namespace {

TStoredBlock SampleBlock(const std::string& subject) {
  TTarvexModuleOptions o;
  o.SetEmailSubjectText(subject);
  std::ostringstream out;
  o.SaveToStream(out);
  TStoredBlock b;
  b.CompileTime = UnixTimeToDayCount(1700000000);
  b.LeakFlags = 30;
  b.DeferToMainModule = 1;
  b.Options = out.str();
  b.Symbols = {{0, 0x1234}, {10, 0xFFFFFFFF0ull}};
  b.DebugInfo = std::string("\x00\x01" "debug", 7);
  return b;
}

std::string SubjectOf(const TStoredBlock& b) {
  TTarvexModuleOptions o;
  std::istringstream in(b.Options);
  o.LoadFromStream(in);
  return o.EmailSubjectText();
}

std::string ReadAll(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(StoredBlockTest, EncodeDecodeAndHeaderOffsets) {
  TStoredBlock b = SampleBlock("subject");
  std::string bytes = EncodeStoredBlock(b);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x10\xAB\x0F\x10", 4));
  EXPECT_EQ(bytes.substr(4, 2), std::string("\x84\x17", 2));  // 6020
  EXPECT_EQ(bytes[14], 30);                                   // read by the leak tracker before the options
  EXPECT_EQ(bytes[15], 1);
  auto back = DecodeStoredBlock(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Version, 6020);
  EXPECT_EQ(back->CompileTime, b.CompileTime);
  EXPECT_EQ(DayCountToUnixTime(back->CompileTime), 1700000000);
  EXPECT_EQ(back->Options, b.Options);
  EXPECT_EQ(back->Symbols, b.Symbols);
  EXPECT_EQ(back->DebugInfo, b.DebugInfo);
}

TEST(StoredBlockTest, UnusableBlocksAreRejected) {
  std::string good = EncodeStoredBlock(SampleBlock("subject"));
  auto with = [&](size_t at, std::string_view bytes) {
    std::string b = good;
    b.replace(at, bytes.size(), bytes);
    return b;
  };
  struct Case {
    const char* name;
    std::string bytes;
    bool usable;
  } cases[] = {
      {"other magic number", with(0, std::string("\x10\xAB\x0F\x11", 4)), false},
      {"second magic number", with(0, std::string("\x10\xAB\x0F\x00", 4)), true},
      {"version 6021", with(4, "\x85\x17"), false},
      {"version 5999", with(4, "\x6F\x17"), false},
      {"stored version 602", with(4, "\x5A\x02"), true},
      {"stored version 603", with(4, "\x5B\x02"), false},
      {"damaged compressed data", with(44, "\xFF\xFF\xFF\xFF"), false},
      {"options size too small", with(24, std::string("\x01\x00\x00\x00", 4)), false},
      {"parts beyond the end", good.substr(0, good.size() - 1), false},
      {"header only", good.substr(0, 40), false},
      {"empty", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DecodeStoredBlock(c.bytes).has_value(), c.usable);
  }
  EXPECT_EQ(DecodeStoredBlock(with(4, "\x5A\x02"))->Version, 6020);  // 602 means 6002
}

TEST(StoredBlockTest, SectionAndAppendedForms) {
  TTempFolder dir;
  std::string file = dir.Path() + "/probe";
  std::filesystem::copy_file(TARVEX_PROBE, file);
  WriteStoredBlockSection(file, SampleBlock("in section"));
  TStoredLocation where;
  auto block = ReadStoredBlock(file, &where);
  ASSERT_TRUE(block);
  EXPECT_EQ(where.Place, TStoredPlace::Section);
  EXPECT_EQ(SubjectOf(*block), "in section");

  // An appended block counts only when the section has none.
  WriteStoredBlockAppended(file, SampleBlock("appended"));
  EXPECT_EQ(SubjectOf(*ReadStoredBlock(file)), "in section");
  std::string bytes = ReadAll(file);
  std::fstream(file, std::ios::in | std::ios::out | std::ios::binary).seekp(static_cast<std::streamoff>(where.Offset))
      .write("XXXX", 4);
  block = ReadStoredBlock(file, &where);
  ASSERT_TRUE(block);
  EXPECT_EQ(where.Place, TStoredPlace::Appended);
  EXPECT_EQ(SubjectOf(*block), "appended");

  // Appending again replaces the earlier block; writing the section removes it.
  WriteStoredBlockAppended(file, SampleBlock("appended 2"));
  EXPECT_EQ(SubjectOf(*ReadStoredBlock(file)), "appended 2");
  auto withBlock = std::filesystem::file_size(file);
  EXPECT_TRUE(RemoveAppendedBlock(file));
  EXPECT_FALSE(ReadStoredBlock(file));
  WriteStoredBlockAppended(file, SampleBlock("appended 2"));
  EXPECT_EQ(std::filesystem::file_size(file), withBlock);
  WriteStoredBlockSection(file, SampleBlock("section again"));
  EXPECT_EQ(SubjectOf(*ReadStoredBlock(file, &where)), "section again");
  EXPECT_EQ(where.Place, TStoredPlace::Section);
  EXPECT_FALSE(RemoveAppendedBlock(file));

  std::ofstream(dir.Path() + "/plain") << "no block here";
  EXPECT_FALSE(ReadStoredBlock(dir.Path() + "/plain"));
  EXPECT_FALSE(ReadStoredBlock(dir.Path() + "/missing"));
  EXPECT_THROW(WriteStoredBlockSection(dir.Path() + "/plain", SampleBlock("x")), Exception);
  EXPECT_THROW(WriteStoredBlockSection(file, SampleBlock("x"), dir.Path() + "/no-objcopy"), Exception);
}
