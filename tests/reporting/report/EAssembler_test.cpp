#include <gtest/gtest.h>

#include <algorithm>

#include "reporting/report/EReport.h"
#include "tests/reporting/report/ESectionsTestSupport.h"
#include "tests/reporting/report/FakeSnapshot.h"

namespace {

std::vector<uint8_t> Repeat(uint8_t byte, size_t count) { return std::vector<uint8_t>(count, byte); }

TReportException ExceptionAt(uintptr_t address) {
  TReportException e;
  e.Address = address;
  return e;
}

std::vector<std::string> Lines(const std::string& part) {
  std::vector<std::string> lines;
  size_t start = 0, end;
  while ((end = part.find("\r\n", start)) != std::string::npos) {
    lines.push_back(part.substr(start, end - start));
    start = end + 2;
  }
  EXPECT_EQ(start, part.size()) << "the part ends with a line break";
  return lines;
}

size_t InstructionCount(const std::string& part) {
  auto lines = Lines(part);
  return std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return !l.empty() && l[0] != ';'; });
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TFakeFunction Function(uintptr_t start, uintptr_t end, const char* unit, const char* className, const char* procedure,
                       int32_t firstLine, std::vector<std::pair<uintptr_t, int32_t>> lines) {
  return {start, end, unit, className, procedure, firstLine, std::move(lines)};
}

// The end of a procedure and its padding from 0x400FC0 on, then TWorker::Run of Main.cpp at
// 0x401000 over three source lines; its operands point at a string, a procedure and a
// pointer slot.
const std::vector<uint8_t> kBeforeRun = {
    0x48, 0xB8, 0x11, 0x22, 0x48, 0xB8, 0x33, 0x44, 0x55, 0x66,  // movabs rax, 0x66554433b8482211
    0x48, 0x89, 0xC7,                                            // mov rdi, rax
    0xC3,                                                        // ret
};
const std::vector<uint8_t> kRun = {
    0x55,                                      // push rbp
    0x48, 0x89, 0xE5,                          // mov rbp, rsp
    0x48, 0x83, 0xEC, 0x10,                    // sub rsp, 0x10
    0x48, 0x8D, 0x3D, 0xF1, 0x0F, 0x00, 0x00,  // lea rdi, [rip + 0xff1] -> 0x402000
    0xE8, 0xEC, 0x00, 0x00, 0x00,              // call 0x401100
    0x48, 0x8B, 0x07,                          // mov rax, qword ptr [rdi]  <- exception
    0xFF, 0x15, 0xE3, 0x1F, 0x00, 0x00,        // call qword ptr [rip + 0x1fe3] -> [0x403000]
    0xBF, 0x10, 0x20, 0x40, 0x00,              // mov edi, 0x402010
    0x31, 0xC0,                                // xor eax, eax
    0xC9,                                      // leave
    0xC3,                                      // ret
};

void AddWorkerCode(TFakeSnapshot& s, std::vector<uint8_t> prefix = {}) {
  std::vector<uint8_t> code = kBeforeRun + Repeat(0xCC, 0x401000 - 0x400FCE) + kRun + Repeat(0xCC, 0x30);
  s.Bytes.Add(0x400FC0 - prefix.size(), prefix + code);
}

void AddWorker(TFakeSnapshot& s) {
  AddWorkerCode(s);
  std::string hello = "Hello, world\n";
  s.Bytes.Add(0x402000, std::vector<uint8_t>(hello.c_str(), hello.c_str() + hello.size() + 1));
  s.Bytes.Add(0x402010, std::vector<uint8_t>(40, 'A'));
  s.Bytes.Add(0x403000, {0x00, 0x12, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00});  // -> 0x401200
  s.Functions = {
      Function(0x400FC0, 0x400FCE, "Main.cpp", "", "Prepare", 4, {{0, 5}}),
      Function(0x401000, 0x401026, "Main.cpp", "TWorker", "Run", 10, {{0, 10}, {8, 12}, {0x22, 13}}),
      Function(0x401100, 0x401180, "Helpers.cpp", "", "Format", 40, {}),
      Function(0x401200, 0x401280, "Helpers.cpp", "", "Log", 72, {{0, 77}}),
  };
}

}  // namespace

TEST(AssemblerSectionTest, ProcedureAroundTheExceptionGolden) {
  TTarvexModuleOptions options;
  TFakeSnapshot snapshot;
  AddWorker(snapshot);
  TAssemblerSection section = BuildAssemblerSection(options, ExceptionAt(0x401014), snapshot);
  ExpectGolden("assembler.txt", section.Header + "\r\n" + section.Part);
}

// Without headings (no symbols) the ten instructions before the address stay.
TEST(AssemblerSectionTest, TenInstructionsBeforeAndAfter) {
  TTarvexModuleOptions options;
  TFakeSnapshot snapshot;
  snapshot.Bytes.Add(0x500000, Repeat(0x90, 200));
  std::string part = BuildAssemblerSection(options, ExceptionAt(0x500050), snapshot).Part;
  auto lines = Lines(part);
  ASSERT_EQ(lines.size(), 21u) << part;
  EXPECT_EQ(lines.front(), "0000000000500046  nop");
  EXPECT_EQ(lines[10], "0000000000500050  nop  ; <-- EXCEPTION");
  EXPECT_EQ(lines.back(), "000000000050005A  nop");
}

// x86 is decoded forward only: the listing starts at the first byte from which decoding lands
// exactly on the exception address, not at the first readable byte.
TEST(AssemblerSectionTest, BoundarySearchSkipsStartsThatMissTheAddress) {
  TTarvexModuleOptions options;
  TFakeSnapshot snapshot;
  // From 0x400FBF "call" swallows the movabs prefix and decoding jumps over 0x400FCA.
  AddWorkerCode(snapshot, {0xE8});
  auto lines = Lines(BuildAssemblerSection(options, ExceptionAt(0x400FCA), snapshot).Part);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "0000000000400FC0  movabs rax, 0x66554433b8482211");
  EXPECT_EQ(lines[1], "0000000000400FCA  mov rdi, rax                    ; <-- EXCEPTION");
}

// The procedure ends at an instruction of the return group at or after the exception address.
TEST(AssemblerSectionTest, ReturnGroupEndsTheListing) {
  struct Case {
    const char* name;
    std::vector<uint8_t> code;  // the exception is at its first byte
    size_t instructions;
  } cases[] = {
      {"ret after", {0x90, 0xC3}, 2},
      {"ret imm16 after", {0x90, 0xC2, 0x08, 0x00}, 2},
      {"far ret after", {0x90, 0xCB}, 2},
      {"ret at the address", {0xC3}, 1},
      {"jmp is no end", {0xEB, 0x00, 0x90}, 11},
      {"iret is no procedure's end", {0x48, 0xCF}, 11},
  };
  TTarvexModuleOptions options;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TFakeSnapshot snapshot;
    snapshot.Bytes.Add(0x500000, c.code + Repeat(0x90, 40));
    std::string part = BuildAssemblerSection(options, ExceptionAt(0x500000), snapshot).Part;
    EXPECT_EQ(InstructionCount(part), c.instructions) << part;
  }
}

TEST(AssemblerSectionTest, OperandComments) {
  struct Case {
    const char* name;
    std::vector<uint8_t> target;  // bytes at 0x600100, empty: nothing readable there
    bool symbol;                  // 0x600100 lies in a procedure
    const char* comment;
  } cases[] = {
      {"terminated string", {'a', 'b', 'c', 0}, false, "'abc'"},
      {"control characters as dots", {'a', '\t', 'b', '\n', 0}, false, "'a.b.'"},
      {"bytes above ASCII as dots", {'x', 0xC3, 0xA9, 0x7F, 0}, false, "'x...'"},
      {"empty string", {0}, false, "''"},
      {"longer than 32 characters", std::vector<uint8_t>(40, 'z'), false,
       "'zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz'..."},
      {"unterminated at the end of readable memory", {'x', 'y', 'z'}, false, "'xyz'..."},
      {"nothing readable", {}, false, ""},
      {"a procedure rather than a string", {'a', 0}, true, "Unit.TClass.Proc (Line=9)"},
  };
  struct Form {
    const char* name;
    std::vector<uint8_t> code;
    const char* text;
  } forms[] = {
      {"rip-relative", {0x48, 0x8D, 0x35, 0xF9, 0x00, 0x00, 0x00}, "0000000000600000  lea rsi, [rip + 0xf9]"},
      {"immediate", {0xBF, 0x00, 0x01, 0x60, 0x00}, "0000000000600000  mov edi, 0x600100"},
  };
  TTarvexModuleOptions options;
  for (const Form& f : forms) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(f.name) + ": " + c.name);
      TFakeSnapshot snapshot;
      snapshot.Bytes.Add(0x600000, f.code);
      if (!c.target.empty()) snapshot.Bytes.Add(0x600100, c.target);
      if (c.symbol) snapshot.Functions = {Function(0x600100, 0x600101, "Unit.pas", "TClass", "Proc", 5, {{0, 9}})};
      auto lines = Lines(BuildAssemblerSection(options, ExceptionAt(0x600000), snapshot).Part);
      ASSERT_FALSE(lines.empty());
      std::string comment = *c.comment ? std::string("; ") + c.comment + " <-- EXCEPTION" : "; <-- EXCEPTION";
      EXPECT_EQ(lines[0], std::string(f.text) + "  " + comment);
    }
  }
}

TEST(AssemblerSectionTest, HeaderAlone) {
  struct Case {
    const char* name;
    bool assemblerAndCpu;
    uintptr_t address;
  } cases[] = {
      {"without lfAssemblerAndCpu", false, 0x401014},
      {"exception address not readable", true, 0x700000},
      {"no exception address", true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTarvexModuleOptions options;
    if (!c.assemblerAndCpu) options.SetLogFlags(TLogFlags{lfModulesAndProcesses});
    options.SetText(14, "Asm");
    TFakeSnapshot snapshot;
    AddWorker(snapshot);
    TAssemblerSection section = BuildAssemblerSection(options, ExceptionAt(c.address), snapshot);
    EXPECT_EQ(section.Header, "Asm:\r\n----");
    EXPECT_EQ(section.Part, "");
  }
}

namespace {

// Unsigned, so that a sanitizer build adds no overflow check to it.
__attribute__((noinline)) unsigned Next(unsigned x) {
  asm volatile("" : "+r"(x));  // keeps the function and its return
  return x + 1;
}

}  // namespace

// Code as the compiler emits it (with endbr64, frame set-up or sanitizer builds alike) decodes
// into a listing that reaches the function's return.
TEST(AssemblerSectionTest, CompiledFunctionEndsAtItsReturn) {
  auto entry = reinterpret_cast<uintptr_t>(&Next);
  std::vector<uint8_t> bytes(160);
  TProcessMemoryReader own;
  ASSERT_TRUE(own.Read(entry - 80, bytes.data(), bytes.size()));
  TFakeSnapshot snapshot;
  snapshot.Bytes.Add(entry - 80, bytes);
  TTarvexModuleOptions options;
  auto lines = Lines(BuildAssemblerSection(options, ExceptionAt(entry), snapshot).Part);
  auto at = std::find_if(lines.begin(), lines.end(),
                         [](const std::string& l) { return l.find("<-- EXCEPTION") != std::string::npos; });
  ASSERT_NE(at, lines.end());
  char address[17];
  std::snprintf(address, sizeof address, "%016llX", static_cast<unsigned long long>(entry));
  EXPECT_EQ(at->substr(0, 16), address);
  ASSERT_LT(lines.end() - at, 11);
  EXPECT_EQ(lines.back().substr(18, 3), "ret") << lines.back();
  EXPECT_EQ(Next(2), 3u);
}
