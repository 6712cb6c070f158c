#include "reporting/options/ECore.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "reporting/options/EModules.h"
#include "reporting/options/EStreams.h"
#include "tests/reporting/TestSupport.h"

namespace {

std::string Stream(const TTarvexModuleOptions& o) {
  std::ostringstream out;
  o.SaveToStream(out);
  return out.str();
}

void Load(TTarvexModuleOptions& o, const std::string& bytes) {
  std::istringstream in(bytes);
  o.LoadFromStream(in);
}

// Every stored string emptied: the stream is then only the fixed-width fields and lengths.
void ClearStrings(TTarvexModuleOptions& o) {
  for (auto setter : {&TTarvexModuleOptions::SetSmtpSender, &TTarvexModuleOptions::SetHtmlLayout,
                      &TTarvexModuleOptions::SetTextsLanguage})
    (o.*setter)("");
  for (int i = 0; i < kCustomizedTextCount; ++i) o.SetText(i, "");
}

std::string Le32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

std::string Scrambled(std::string_view s) {
  std::string out = Le32(static_cast<uint32_t>(s.size()));
  for (char c : s) out.push_back(static_cast<char>(static_cast<uint8_t>(c) ^ kStringScrambleKey));
  return out;
}

class TCountingOptions : public TTarvexModuleOptions {
 public:
  using TTarvexModuleOptions::TTarvexModuleOptions;
  void PublishChanges() override { ++published; }
  int published = 0;
};

}  // namespace

TEST(OptionsTest, DefaultsCarryTheDocumentedValues) {
  TTarvexModuleOptions o;
  EXPECT_TRUE(o.ReportingActive());
  EXPECT_EQ(o.LogFlags(), (TLogFlags{lfModulesAndProcesses, lfAssemblerAndCpu}));
  EXPECT_EQ(o.SendFlags(), (TSendFlags{sfShowSendProgress, sfAttachScreenshot, sfAttachLastHtmlPage}));
  EXPECT_EQ(o.DialogFlags().Bits(), 399u);
  EXPECT_EQ(o.CallStackFlags().Bits(), 15u);
  EXPECT_EQ(o.BehaviourFlags().Bits(), 88u);
  EXPECT_EQ(o.LeakFlags().Bits(), 30u);
  EXPECT_TRUE(o.ShowFields().all());
  EXPECT_EQ(o.DialogKind(), dkClassic);
  EXPECT_EQ(o.TerminateButtonAction(), xaRestart);
  EXPECT_EQ(o.MaxSavedReports(), 32);
  EXPECT_EQ(o.SmtpServerPort(), 25);
  EXPECT_EQ(o.ProxyServerPort(), 8080);
  EXPECT_EQ(o.BuildFlags(), 1);
  EXPECT_EQ(o.TextsLanguage(), "English");
  EXPECT_EQ(o.CustomizedTexts()[146], "These BUG is just closed.\r\nContact the program support to obtain an update.");
  EXPECT_EQ(o.CustomizedTexts()[153], "");
  EXPECT_EQ(o.ExceptionFilters().Count(), 0u);
  EXPECT_EQ(o.HtmlLayout().rfind("<html>\r\n  <head>", 0), 0u);
  EXPECT_NE(o.HtmlLayout().find("size=\"2\">\r\n            <%HTML_TAG%>\r\n          </font>"), std::string::npos);
  EXPECT_EQ(o.OwnerModuleHandle(), 0u);
  EXPECT_EQ(o.UpdateLockCount(), 0);
}

TEST(OptionsTest, MaxSavedReportsZeroReadsBackOne) {
  TTarvexModuleOptions o;
  o.SetMaxSavedReports(0);
  EXPECT_EQ(o.MaxSavedReports(), 1);
  o.SetMaxSavedReports(-5);
  EXPECT_EQ(o.MaxSavedReports(), -5);
}

TEST(OptionsStreamTest, RoundTripKeepsEveryStoredField) {
  TTarvexModuleOptions source;
  FillWithNonDefaults(source);
  TTarvexModuleOptions target;
  Load(target, Stream(source));
  EXPECT_EQ(Stream(target), Stream(source));
  ASSERT_EQ(target.ExceptionFilters().Count(), 2u);
  EXPECT_EQ(target.ExceptionFilters()[1], source.ExceptionFilters()[1]);
  EXPECT_EQ(target.ShowFields(), source.ShowFields());
  EXPECT_EQ(target.LeakFlags(), source.LeakFlags());
  EXPECT_EQ(target.CustomizedTexts(), source.CustomizedTexts());
  // Not part of the stream.
  EXPECT_TRUE(target.ReportingActive());
  EXPECT_EQ(target.ReproduceText(), "");
}

TEST(OptionsStreamTest, EmptyStringsAndNoFiltersTakeOnlyTheirLengths) {
  TTarvexModuleOptions source;
  ClearStrings(source);
  std::string bytes = Stream(source);
  // 63 bytes of fixed-width fields and the filter count, 183 strings of 4 length bytes each.
  EXPECT_EQ(bytes.size(), 63u + 183u * 4u);

  TTarvexModuleOptions target;
  target.ExceptionFilters().Add({});
  Load(target, bytes);
  EXPECT_EQ(target.ExceptionFilters().Count(), 0u);
  EXPECT_EQ(target.SmtpSender(), "");
  EXPECT_EQ(target.TextsLanguage(), "");
  EXPECT_EQ(target.CustomizedTexts()[0], "");
  EXPECT_EQ(Stream(target), bytes);
}

TEST(OptionsStreamTest, FieldsSitAtTheirOffsetsWithTheirWidths) {
  TTarvexModuleOptions o;
  ClearStrings(o);
  o.SetLegacyFlag(true);
  o.SetFiltersEnabled(false);
  o.SetLogFlags(TLogFlags{lfSkipDuplicates, lfAssemblerAndCpu});
  o.SetEmailReportInBody(true);
  o.SetWriteLogFile(false);
  o.SetDetailPage(dpCpu);
  o.SetFreezeDetection(true);
  o.SetFreezeTimeoutSeconds(0x01020304);
  o.SetSmtpSender("abc");
  o.SetSmtpServerPort(0x1234);
  TShowFields fields;
  fields.set(9);
  fields.set(47);
  o.SetShowFields(fields);

  std::string bytes = Stream(o);
  std::string expected = std::string("\x01\x00\x21\x01\x00\x05\x01", 7) + Le32(0x01020304) + Scrambled("abc") +
                         Le32(0) + "\x34\x12";
  EXPECT_EQ(bytes.substr(0, expected.size()), expected);
  // ShowFields follows the e-mail mode: bit i is bit i mod 8 of byte i div 8.
  EXPECT_EQ(bytes.substr(50, 6), std::string("\x00\x02\x00\x00\x00\x80", 6));
}

TEST(OptionsStreamTest, OnlyAnEndingFirstCrLfIsDropped) {
  struct Case {
    const char* text;
    const char* stored;
  } cases[] = {
      {"abc\r\n", "abc"},
      {"a\r\nb\r\n", "a\r\nb\r\n"},
      {"abc\r\n\r\n", "abc\r\n\r\n"},
      {"\r\n", ""},
      {"abc\n", "abc\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    TTarvexModuleOptions o;
    o.SetSmtpSender(c.text);
    std::string bytes = Stream(o);
    EXPECT_EQ(bytes.substr(11, 4 + std::strlen(c.stored)), Scrambled(c.stored));
    TTarvexModuleOptions back;
    Load(back, bytes);
    EXPECT_EQ(back.SmtpSender(), c.stored);
  }
}

TEST(OptionsStreamTest, StoredStringBytesAreScrambled) {
  TTarvexModuleOptions o;
  o.SetSmtpSender("xyz");
  std::string bytes = Stream(o);
  EXPECT_EQ(bytes.substr(11, 4), Le32(3));
  EXPECT_EQ(bytes.substr(15, 3), std::string({'x' ^ '\xA7', 'y' ^ '\xA7', 'z' ^ '\xA7'}));
  EXPECT_EQ(bytes.find("xyz"), std::string::npos);
}

TEST(OptionsStreamTest, DamagedStreamsRaiseAndEndTheUpdate) {
  TTarvexModuleOptions good;
  std::string bytes = Stream(good);
  std::string negativeLength = bytes;
  negativeLength.replace(11, 4, Le32(0x80000000u));
  std::string hugeLength = bytes;
  hugeLength.replace(11, 4, Le32(0x7FFFFFF0u));
  std::string badEnum = bytes;
  badEnum[5] = 6;  // DetailPage has six members
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {{"truncated", bytes.substr(0, bytes.size() - 1)},
               {"negative length", negativeLength},
               {"length beyond the end", hugeLength},
               {"enumeration out of range", badEnum},
               {"empty", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TTarvexModuleOptions o;
    EXPECT_THROW(Load(o, c.bytes), EReadError);
    EXPECT_EQ(o.UpdateLockCount(), 0);
  }
}

TEST(OptionsTest, AssignCopiesDeeplyAndRejectsNil) {
  TTarvexModuleOptions source("source-module");
  FillWithNonDefaults(source);
  source.SetReportingActive(false);
  source.SetReproduceText("steps");
  TTarvexModuleOptions target("target-module");
  target.Assign(&source);
  EXPECT_EQ(Stream(target), Stream(source));
  EXPECT_FALSE(target.ReportingActive());
  EXPECT_EQ(target.ReproduceText(), "steps");
  EXPECT_EQ(target.OwnerModuleName(), "target-module");
  source.ExceptionFilters()[0].MatchClass = "Changed";
  EXPECT_NE(target.ExceptionFilters()[0].MatchClass, "Changed");

  std::string before = Stream(target);
  try {
    target.Assign(nullptr);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Impossible to assign nil as TTarvexModuleOptions.");
  }
  EXPECT_EQ(Stream(target), before);
  target.Assign(&target);
  EXPECT_EQ(Stream(target), before);
}

TEST(OptionsTest, OnlyTheOwnModulesSetPublishesOncePerOperation) {
  TCountingOptions own(MainModuleFileName());
  ASSERT_EQ(own.OwnerModuleHandle(), ReportingModuleHandle());
  own.published = 0;
  own.SetSmtpServer("mail");
  EXPECT_EQ(own.published, 1);
  own.ExceptionFilters().Add({});
  EXPECT_EQ(own.published, 2);
  own.BeginUpdate();
  own.SetSmtpServer("x");
  own.SetText(3, "y");
  EXPECT_EQ(own.published, 2);
  own.EndUpdate();
  EXPECT_EQ(own.published, 3);
  own.SetDefaults();
  EXPECT_EQ(own.published, 4);
  std::string bytes = Stream(own);
  Load(own, bytes);
  EXPECT_EQ(own.published, 5);
  TTarvexModuleOptions other;
  other.Assign(&own);
  own.Assign(&other);
  EXPECT_EQ(own.published, 6);

  TCountingOptions foreign("no-such-module.so");
  foreign.SetSmtpServer("mail");
  EXPECT_EQ(foreign.published, 0);
}

TEST(OptionsFileTest, SaveAndLoadFile) {
  TTempFolder dir;
  std::string name = dir.Path() + "/options.tlo";
  TTarvexModuleOptions source;
  FillWithNonDefaults(source);
  source.SaveToFile(name);
  TTarvexModuleOptions target;
  target.LoadFromFile(name);
  EXPECT_EQ(Stream(target), Stream(source));

  try {
    target.LoadFromFile(dir.Path() + "/missing.tlo");
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot open file \"" + dir.Path() + "/missing.tlo\". No such file or directory");
  }
  EXPECT_THROW(source.SaveToFile(dir.Path() + "/no/such/folder.tlo"), EFCreateError);
}
