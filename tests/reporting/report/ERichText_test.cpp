#include <gtest/gtest.h>

#include "reporting/report/EReport.h"
#include "tests/reporting/report/ESectionsTestSupport.h"

namespace {

const char kHeader[] =
    "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1040{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset0 Lucida Console;}}\r\n"
    "{\\colortbl ;\\red0\\green100\\blue100;\\red0\\green0\\blue0;\\red40\\green40\\blue40;\\red0\\green0\\blue160;"
    "\\red160\\green0\\blue0;\\red80\\green80\\blue80;\\red0\\green100\\blue0;}\r\n"
    "\\f0\\fs16\r\n";

const char kGeneral[] =
    "TarvexLog 6.0.21\r\n"
    "\r\n"
    "Application:\r\n"
    "-------------------------------------------------------\r\n"
    "  1.1 Start Date      : Thu, 10 Dec 2026 13:04:23 +0100\r\n"
    "  1.2 Name/Description: zelk-distance - (Distance client)\r\n"
    "  1.4 Parameters      : --path C:\\temp {braces}\r\n"
    "\r\n"
    "User:\r\n"
    "-------------------------------\r\n"
    "  3.5 Privileges      : CAP_CHOWN                       - ON\r\n"
    " CAP_KILL                        - OFF\r\n";

const char kAssembler[] =
    "; Main.TWorker.Run (Line=12 - Offset=2)\r\n"
    "; --------------------------------------\r\n"
    "0000000000401008  lea rdi, [rip + 0xff1]  ; 'Hello, world.'\r\n"
    "0000000000401014  mov rax, qword ptr [rdi]  ; <-- EXCEPTION\r\n"
    "0000000000401022  rep stosq qword ptr [rdi], rax\r\n"
    "0000000000401024  leave\r\n";

const char kCpu[] =
    "Registers:\r\n"
    "---------------------------------------------\r\n"
    "RAX: 1111111111111111   RDI: 0000000000000001\r\n"
    "R8:  ????????????????   R12: 0000000000000012\r\n"
    "\r\n"
    "Stack:                               Memory Dump:\r\n"
    "----------------------------------   -----------------------------------------------------------------------------------\r\n"
    "00007FFC12345670: 0000000000001208   0000555555561234: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F  ................\r\n"
    "00007FFC12345678: 0000000000001218   0000555555561244: 41 42 43 5C 7B 7D 46 47 48 49 4A 4B 4C 4D 4E 4F  ABC\\{}GHIJKLMNO\r\n";

TRichTextFont Font(int tabStop = 0) {
  TRichTextFont font;
  font.TabStopTwips = tabStop;
  return font;
}

}  // namespace

TEST(RichTextTest, GeneralGolden) { ExpectGolden("general.rtf", GeneralRichText(kGeneral, Font())); }
TEST(RichTextTest, AssemblerGolden) { ExpectGolden("assembler.rtf", AssemblerRichText(kAssembler, Font())); }
TEST(RichTextTest, CpuGolden) { ExpectGolden("cpu.rtf", CpuRichText(kCpu, Font(37 * 7 * 15))); }

TEST(RichTextTest, DocumentFrameAndEscaping) {
  TRichTextFont font;
  font.Name = "DejaVu Sans Mono";
  font.PointSize = 10;
  font.Charset = 204;
  std::string rtf = AssemblerRichText("; a\\b {c}\r\n; d", font);
  EXPECT_EQ(rtf.substr(0, rtf.find("\\fcharset")), std::string(kHeader).substr(0, std::string(kHeader).find("\\fcharset")));
  EXPECT_NE(rtf.find("\\fcharset204 DejaVu Sans Mono;}}\r\n"), std::string::npos) << rtf;
  EXPECT_NE(rtf.find("\\f0\\fs20\r\n\\cf6 ; a\\\\b \\{c\\}\\par\r\n\\cf6 ; d}"), std::string::npos) << rtf;
}

// Without a tab stop the dump heading keeps its blanks; with one, the blanks become a tab.
TEST(RichTextTest, CpuDumpColumnByTabStopOnlyWhenGiven) {
  std::string plain = CpuRichText(kCpu, Font());
  EXPECT_EQ(plain.find("\\tx"), std::string::npos);
  EXPECT_NE(plain.find("\\cf3\\b Stack:                               Memory Dump:\\b0\\par"), std::string::npos);
  std::string tabbed = CpuRichText(kCpu, Font(3885));
  EXPECT_NE(tabbed.find("\\pard\\tx3885\\cf3\\b Stack:\\tab Memory Dump:\\b0\\par"), std::string::npos) << tabbed;
}

TEST(RichTextTest, EmptyTextIsAnEmptyDocument) {
  EXPECT_EQ(GeneralRichText("", Font()), std::string(kHeader) + "}");
  EXPECT_EQ(CpuRichText("", Font()), std::string(kHeader) + "}");
}
