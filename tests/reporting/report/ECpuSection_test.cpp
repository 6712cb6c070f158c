#include <gtest/gtest.h>

#include "reporting/report/EReport.h"
#include "tests/reporting/report/ESectionsTestSupport.h"
#include "tests/reporting/report/FakeSnapshot.h"

namespace {

constexpr uintptr_t kStack = 0x00007FFC12345670;
constexpr uintptr_t kCode = 0x0000555555561234;

TCpuRegisters FullContext() {
  TCpuRegisters r;
  r.Rax = 0x1111111111111111;
  r.Rbx = 0x00000000DEADBEEF;
  r.Rcx = 0xFFFFFFFFFFFFFFFF;
  r.Rdx = 0;
  r.Rsi = 0x0000555555570010;
  r.Rdi = 0x0000000000000001;
  r.Rbp = 0x00007FFC123456B0;
  r.Rsp = kStack;
  r.R8 = 8, r.R9 = 9, r.R10 = 0x10, r.R11 = 0x11, r.R12 = 0x12, r.R13 = 0x13, r.R14 = 0x14, r.R15 = 0x15;
  r.Rip = kCode;
  r.Valid = true;
  r.Full = true;
  return r;
}

// 128 bytes of stack words and 256 bytes of code and data, all bytes from 0 to 255 once.
void FillMemory(TFakeSnapshot& snapshot, size_t stackBytes = 128, size_t codeBytes = 256) {
  std::vector<uint8_t> stack;
  for (size_t i = 0; i < stackBytes / 8; ++i)
    for (int b = 0; b < 8; ++b) stack.push_back(static_cast<uint8_t>(b == 0 ? 0x10 * i + 8 : b == 1 ? 0x12 : 0));
  snapshot.Bytes.Add(kStack, stack);
  std::vector<uint8_t> code;
  for (size_t i = 0; i < codeBytes; ++i) code.push_back(static_cast<uint8_t>(i));
  snapshot.Bytes.Add(kCode, code);
}

TReportException ExceptionAt(std::optional<TCpuRegisters> context) {
  TReportException e;
  e.Address = kCode;
  e.Context = context;
  return e;
}

}  // namespace

TEST(CpuSectionTest, WithContextGolden) {
  TTarvexModuleOptions options;
  TFakeSnapshot snapshot;
  FillMemory(snapshot);
  ExpectGolden("cpu_context.txt", BuildCpuSection(options, ExceptionAt(FullContext()), snapshot));
}

TEST(CpuSectionTest, WithoutContextGolden) {
  TTarvexModuleOptions options;
  TFakeSnapshot snapshot;
  FillMemory(snapshot);
  ExpectGolden("cpu_no_context.txt", BuildCpuSection(options, ExceptionAt(std::nullopt), snapshot));
}

TEST(CpuSectionTest, OnlyTheHeadingWithoutAssemblerAndCpu) {
  TTarvexModuleOptions options;
  options.SetLogFlags(TLogFlags{lfModulesAndProcesses});
  options.SetText(141, "Regs");
  TFakeSnapshot snapshot;
  FillMemory(snapshot);
  EXPECT_EQ(BuildCpuSection(options, ExceptionAt(FullContext()), snapshot), "Regs:\r\n-----\r\n\r\n");
}

// A context captured at a throw knows only the callee-saved registers, RSP and RIP.
TEST(CpuSectionTest, ThrowContextShowsOnlyKnownRegisters) {
  TTarvexModuleOptions options;
  TFakeSnapshot snapshot;
  FillMemory(snapshot);
  TCpuRegisters r = FullContext();
  r.Full = false;
  std::string text = BuildCpuSection(options, ExceptionAt(r), snapshot);
  EXPECT_NE(text.find("RAX: ????????????????   RDI: ????????????????\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("RBX: 00000000DEADBEEF   RSI: ????????????????\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("RCX: ????????????????   RSP: 00007FFC12345670\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("R8:  ????????????????   R12: 0000000000000012\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("00007FFC12345670: 0000000000001208   0000555555561234: 00 01 02"), std::string::npos) << text;
}

// The dump needs all 128 bytes at the stack pointer and all 256 at the exception address.
TEST(CpuSectionTest, DumpOnlyWhenAllOfItIsReadable) {
  struct Case {
    const char* name;
    size_t stackBytes, codeBytes;
    bool dump;
  } cases[] = {
      {"all readable", 128, 256, true},
      {"stack short by one byte", 127, 256, false},
      {"memory short by one byte", 128, 255, false},
  };
  TTarvexModuleOptions options;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TFakeSnapshot snapshot;
    FillMemory(snapshot, c.stackBytes, c.codeBytes);
    std::string text = BuildCpuSection(options, ExceptionAt(FullContext()), snapshot);
    std::string underline = "-----------------------------------------------------------------------------------\r\n";
    ASSERT_NE(text.find(underline), std::string::npos) << text;
    bool hasDump = text.size() > text.find(underline) + underline.size();
    EXPECT_EQ(hasDump, c.dump) << text;
  }
}
