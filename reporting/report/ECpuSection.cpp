// The CPU section: registers of the exception's context, the words at its stack pointer and
// the bytes at the exception address.
//
// The layout is the 32-bit one widened for x86-64: every value has 16 digits, the four
// designed register lines carry the R names (RAX/RDI, RBX/RSI, RCX/RSP, RDX/RIP) and R8 to
// R15 follow in the same two columns (R8/R12, R9/R13, R10/R14, R11/R15), so that each column
// reads downward in register order. Stack words are 8 bytes.
#include <cstdio>
#include <string>

#include "reporting/report/EReport.h"

namespace {

constexpr int kDumpLines = 16;
constexpr size_t kStackBytes = kDumpLines * sizeof(uint64_t);
constexpr size_t kMemoryBytes = kDumpLines * 16;
constexpr const char* kUnknownValue = "????????????????";

std::string Hex16(uint64_t value) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(value));
  return buf;
}

// One register line: two "NAME: VALUE" cells, names padded so that the values line up.
std::string RegisterLine(const char* name1, const std::string& value1, const char* name2, const std::string& value2) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%-4s %s   %-4s %s\r\n", (std::string(name1) + ":").c_str(), value1.c_str(),
                (std::string(name2) + ":").c_str(), value2.c_str());
  return buf;
}

std::string DumpText(IMemoryReader& memory, uintptr_t stackPointer, uintptr_t address) {
  uint64_t words[kDumpLines];
  uint8_t bytes[kMemoryBytes];
  if (!memory.Read(stackPointer, words, sizeof words) || !memory.Read(address, bytes, sizeof bytes)) return {};
  std::string out;
  for (int line = 0; line < kDumpLines; ++line) {
    out += Hex16(stackPointer + line * sizeof(uint64_t)) + ": " + Hex16(words[line]) + "   " +
           Hex16(address + line * 16) + ": ";
    const uint8_t* row = bytes + line * 16;
    char hex[4];
    for (int i = 0; i < 16; ++i) {
      std::snprintf(hex, sizeof hex, "%02X ", row[i]);
      out += hex;
    }
    out += ' ';
    for (int i = 0; i < 16; ++i) out += (row[i] < 32 || row[i] > 126) ? '.' : static_cast<char>(row[i]);
    out += "\r\n";
  }
  return out;
}

}  // namespace

std::string BuildCpuSection(const TTarvexModuleOptions& options, const TReportException& exception,
                            const IReportSnapshot& snapshot) {
  const std::string title = options.GetText(141);
  if (!options.LogFlags().Contains(lfAssemblerAndCpu))
    return title + ":\r\n" + std::string(title.size() + 1, '-') + "\r\n\r\n";

  const TCpuRegisters* context = exception.Context && exception.Context->Valid ? &*exception.Context : nullptr;
  // At a throw only the callee-saved registers, the stack and the instruction pointer are
  // known; the others would show whatever the capture left there.
  auto value = [&](uint64_t TCpuRegisters::*reg, bool calleeSaved) {
    if (!context || (!context->Full && !calleeSaved)) return std::string(kUnknownValue);
    return Hex16(context->*reg);
  };
  using R = TCpuRegisters;
  std::string registers =
      RegisterLine("RAX", value(&R::Rax, false), "RDI", value(&R::Rdi, false)) +
      RegisterLine("RBX", value(&R::Rbx, true), "RSI", value(&R::Rsi, false)) +
      RegisterLine("RCX", value(&R::Rcx, false), "RSP", value(&R::Rsp, true)) +
      RegisterLine("RDX", value(&R::Rdx, false), "RIP", value(&R::Rip, true)) +
      RegisterLine("R8", value(&R::R8, false), "R12", value(&R::R12, true)) +
      RegisterLine("R9", value(&R::R9, false), "R13", value(&R::R13, true)) +
      RegisterLine("R10", value(&R::R10, false), "R14", value(&R::R14, true)) +
      RegisterLine("R11", value(&R::R11, false), "R15", value(&R::R15, true));
  // The underline is as wide as a register line.
  const size_t lineWidth = registers.find("\r\n");

  // The stack column: address, ": ", word and three blanks.
  const size_t stackColumn = 16 + 2 + 16 + 3;
  std::string stackCaption = options.GetText(142) + ":";
  if (stackCaption.size() < stackColumn) stackCaption.resize(stackColumn, ' ');

  std::string out = title + ":\r\n" + std::string(lineWidth, '-') + "\r\n" + registers + "\r\n";
  out += stackCaption + options.GetText(143) + ":\r\n";
  out += std::string(stackColumn - 3, '-') + "   " + std::string(16 + 2 + 16 * 3 + 1 + 16, '-') + "\r\n";
  if (context) out += DumpText(snapshot.Memory(), context->Rsp, exception.Address);
  return out;
}
