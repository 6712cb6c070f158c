#include "reporting/options/EOptionsText.h"

#include <gtest/gtest.h>

#include <sstream>

#include "tests/reporting/TestSupport.h"

namespace {

std::string Stream(const TTarvexModuleOptions& o) {
  std::ostringstream out;
  o.SaveToStream(out);
  return out.str();
}

}  // namespace

TEST(OptionsTextTest, ExportAndImportKeepEveryValue) {
  TTarvexModuleOptions source;
  FillWithNonDefaults(source);
  source.SetSmtpSender(" lead \"quoted\" back\\slash\ttab\r\nline\x01 \xC3\xA9 ");
  source.SetLogFlags(TLogFlags::FromBits(0x81));  // bit 7 has no name
  source.SetText(7, "");
  for (bool comments : {false, true}) {
    SCOPED_TRACE(comments ? "with comments" : "plain");
    TTarvexModuleOptions target;
    ImportOptionsText(target, ExportOptionsText(source, comments));
    EXPECT_EQ(Stream(target), Stream(source));
  }
}

TEST(OptionsTextTest, AMinimalFileChangesOnlyWhatItNames) {
  TTarvexModuleOptions o;
  o.SetSmtpServer("left over");
  ImportOptionsText(o,
                    "\xEF\xBB\xBF; comment\n[Options]\n  DialogKind = 3 \nSendFlags=[sfSendInThread,0]\n"
                    "ShowFields=[0, 47]\nLeakFlags=$1F\nEmailBodyText=\"a;b\"  ; trailing comment\n"
                    "[Filter]\nMatchClass=  EAbort  \nScope=scHandled\n[Texts]\n156=\"Frozen!\"\n");
  TTarvexModuleOptions defaults;
  EXPECT_EQ(o.SmtpServer(), "");
  EXPECT_EQ(o.DialogKind(), dkDetailed);
  EXPECT_EQ(o.SendFlags(), (TSendFlags{sfShowSendProgress, sfSendInThread}));
  EXPECT_EQ(o.ShowFields().to_ullong(), 0x800000000001ull);
  EXPECT_EQ(o.LeakFlags().Bits(), 0x1Fu);
  EXPECT_EQ(o.EmailBodyText(), "a;b");
  ASSERT_EQ(o.ExceptionFilters().Count(), 1u);
  EXPECT_EQ(o.ExceptionFilters()[0].MatchClass, "EAbort");
  EXPECT_EQ(o.ExceptionFilters()[0].Scope, scHandled);
  EXPECT_EQ(o.ExceptionFilters()[0].Handler, hkReporter);
  EXPECT_EQ(o.CustomizedTexts()[156], "Frozen!");
  EXPECT_EQ(o.CustomizedTexts()[155], defaults.CustomizedTexts()[155]);
  EXPECT_EQ(o.UpdateLockCount(), 0);
}

TEST(OptionsTextTest, BadLinesAreNamed) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"[Options]\nNoSuchOption=1\n", "Line 2: Unknown option \"NoSuchOption\""},
      {"[Options]\nSmtpServerPort=70000\n", "Line 2: Invalid value \"70000\" for SmtpServerPort"},
      {"[Options]\nDialogKind=dkNone\nDialogKind=4\n", "Line 3: Invalid value \"4\" for DialogKind"},
      {"[Options]\nLogFlags=[lfNothing]\n", "Line 2: Invalid value \"[lfNothing]\" for LogFlags"},
      {"[Options]\nLogFlags=256\n", "Line 2: Invalid value \"256\" for LogFlags"},
      {"[Options]\nShowFields=[48]\n", "Line 2: Invalid value \"[48]\" for ShowFields"},
      {"[Options]\nWriteLogFile=maybe\n", "Line 2: Invalid value \"maybe\" for WriteLogFile"},
      {"[Texts]\n158=\"x\"\n", "Line 2: No text with index 158"},
      {"[Options]\nSmtpServer=\"open\n", "Line 2: Invalid quoted text \"open"},
      {"SmtpServer=x\n", "Line 1: Expected Name=Value"},
      {"[Other]\n", "Line 1: Unknown section [Other]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TTarvexModuleOptions o;
    try {
      ImportOptionsText(o, c.text);
      ADD_FAILURE() << "no exception";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    EXPECT_EQ(o.UpdateLockCount(), 0);
  }
}

TEST(OptionsTextTest, RecognisesTheReadableForm) {
  TTarvexModuleOptions o;
  EXPECT_TRUE(LooksLikeOptionsText(ExportOptionsText(o, false)));
  EXPECT_FALSE(LooksLikeOptionsText(Stream(o)));
  FillWithNonDefaults(o);
  EXPECT_FALSE(LooksLikeOptionsText(Stream(o)));
}
