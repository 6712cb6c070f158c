// The assembler section: the code around the exception address, disassembled with Capstone
// (x86-64, Intel syntax), with the procedure and line it belongs to as headings and the
// symbols and strings that operands point at as comments.
//
// x86 code cannot be decoded backwards, so the start before the exception address is found
// by decoding forward from successive bytes until one start lands exactly on the address.
// The listing ends with the procedure: after a return (Capstone's return group) at or after
// the address, so what follows, usually another function or padding, is not shown.
#include <capstone/capstone.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "reporting/report/EReport.h"

namespace {

constexpr uintptr_t kBytesAround = 70;
constexpr size_t kMaxInstructionLength = 15;
constexpr int kInstructionsAround = 10;
constexpr size_t kStringCommentLength = 32;

std::string Hex16(uint64_t value) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(value));
  return buf;
}

std::string WithoutExtension(const std::string& unit) {
  size_t dot = unit.rfind('.');
  return dot == std::string::npos || dot == 0 ? unit : unit.substr(0, dot);
}

bool IsSymbolKind(const TTarvexStackEntry& entry) {
  return entry.EntryKind >= kEntryProcedure && entry.EntryKind <= kEntryLine;
}

// Unit without extension, class and procedure joined by "." (empty parts left out).
std::string QualifiedName(const TTarvexStackEntry& entry) {
  std::string out;
  for (const std::string& part : {WithoutExtension(entry.UnitName), entry.ClassName, entry.ProcedureName}) {
    if (part.empty()) continue;
    if (!out.empty()) out += '.';
    out += part;
  }
  return out;
}

// The symbol text of an address, empty when it is not resolved to a procedure.
std::string SymbolText(const IReportSnapshot& snapshot, uintptr_t address) {
  TTarvexStackEntry entry = snapshot.Resolve(address);
  if (!IsSymbolKind(entry)) return {};
  std::string out = QualifiedName(entry);
  if (entry.LineOffset > 1) out += " (Line=" + std::to_string(entry.LineNumber) + ")";
  return out;
}

// "'text'" for readable memory at the address: up to 32 characters, "..." when no
// terminating zero is met within them. Empty when nothing there is readable.
std::string StringText(IMemoryReader& memory, uintptr_t address) {
  std::string text;
  bool terminated = false;
  for (size_t i = 0; i < kStringCommentLength; ++i) {
    uint8_t c;
    if (!memory.Read(address + i, &c, 1)) {
      if (i == 0) return {};
      break;
    }
    if (c == 0) {
      terminated = true;
      break;
    }
    // Bytes outside printable ASCII become "." too, so arbitrary data never puts broken
    // multi-byte sequences into the report.
    text += (c < 32 || c > 126) ? '.' : static_cast<char>(c);
  }
  return "'" + text + "'" + (terminated ? "" : "...");
}

struct TAsmLine {
  std::string Text;     // address and instruction, or a heading line
  std::string Comment;  // from ";" on, for instruction lines
  bool Heading = false;
  bool HeadingStart = false;  // first line of a heading block
  bool AtException = false;
};

class TCapstone {
 public:
  TCapstone() {
    if (cs_open(CS_ARCH_X86, CS_MODE_64, &handle_) != CS_ERR_OK) {
      handle_ = 0;
      return;
    }
    cs_option(handle_, CS_OPT_SYNTAX, CS_OPT_SYNTAX_INTEL);
    cs_option(handle_, CS_OPT_DETAIL, CS_OPT_ON);
    insn_ = cs_malloc(handle_);
  }
  ~TCapstone() {
    if (insn_) cs_free(insn_, 1);
    if (handle_) cs_close(&handle_);
  }
  TCapstone(const TCapstone&) = delete;
  TCapstone& operator=(const TCapstone&) = delete;

  bool Valid() const { return handle_ && insn_; }
  // Decodes one instruction of `code` (which starts at `address`); null when invalid.
  const cs_insn* Decode(const uint8_t* code, size_t size, uintptr_t address) {
    uint64_t at = address;
    return cs_disasm_iter(handle_, &code, &size, &at, insn_) ? insn_ : nullptr;
  }
  bool InGroup(const cs_insn* insn, cs_group_type group) const { return cs_insn_group(handle_, insn, group); }

 private:
  csh handle_ = 0;
  cs_insn* insn_ = nullptr;
};

// The comment on an instruction's operands: the symbol that a call or jump leads to, or the
// symbol or string that an immediate or RIP-relative operand points at.
std::string OperandComment(TCapstone& cs, const cs_insn* insn, const IReportSnapshot& snapshot) {
  const bool branch = cs.InGroup(insn, CS_GRP_JUMP) || cs.InGroup(insn, CS_GRP_CALL);
  const cs_x86& x86 = insn->detail->x86;
  for (uint8_t i = 0; i < x86.op_count; ++i) {
    const cs_x86_op& op = x86.operands[i];
    uintptr_t target = 0;
    if (op.type == X86_OP_IMM) {
      target = static_cast<uintptr_t>(op.imm);
    } else if (op.type == X86_OP_MEM && op.mem.base == X86_REG_RIP && op.mem.index == X86_REG_INVALID) {
      target = static_cast<uintptr_t>(insn->address + insn->size + op.mem.disp);
      // A call or jump through a pointer (the PLT's GOT slot, a function pointer) leads
      // where the pointer points.
      if (branch) {
        uint64_t pointer;
        if (!snapshot.Memory().Read(target, &pointer, sizeof pointer)) continue;
        target = static_cast<uintptr_t>(pointer);
      }
    } else {
      continue;
    }
    std::string text = SymbolText(snapshot, target);
    if (text.empty() && !branch) text = StringText(snapshot.Memory(), target);
    if (!text.empty()) return "; " + text;
  }
  return {};
}

// The largest n <= limit such that [address, address + n) is readable.
size_t ReadableLength(IMemoryReader& memory, uintptr_t address, size_t limit) {
  size_t good = 0, bad = limit + 1;
  while (bad - good > 1) {
    size_t mid = good + (bad - good) / 2;
    if (memory.IsReadable(address, mid))
      good = mid;
    else
      bad = mid;
  }
  return good;
}

std::vector<TAsmLine> DisassembleAround(const IReportSnapshot& snapshot, uintptr_t address) {
  IMemoryReader& memory = snapshot.Memory();
  TCapstone cs;
  if (!cs.Valid() || address == 0) return {};

  // The bytes from the first readable one at most 70 before the address up to 70 after it
  // (plus room for the last instruction).
  uintptr_t first = address - std::min<uintptr_t>(kBytesAround, address);
  while (first < address && !memory.IsReadable(first, address - first + 1)) ++first;
  const size_t after = ReadableLength(memory, address, kBytesAround + kMaxInstructionLength);
  if (after == 0) return {};
  std::vector<uint8_t> bytes(address - first + after);
  if (!memory.Read(first, bytes.data(), bytes.size())) return {};
  const uintptr_t end = address + kBytesAround;

  auto decodeAt = [&](uintptr_t at) -> const cs_insn* {
    if (at < first || at >= first + bytes.size()) return nullptr;
    return cs.Decode(bytes.data() + (at - first), bytes.size() - (at - first), at);
  };

  // Instruction starts before the address, from the first start byte that leads to it.
  std::vector<uintptr_t> before;
  for (uintptr_t start = first; start < address; ++start) {
    before.clear();
    uintptr_t at = start;
    while (at < address) {
      const cs_insn* insn = decodeAt(at);
      if (!insn) break;
      before.push_back(at);
      at += insn->size;
    }
    if (at == address) break;
    before.clear();
  }
  if (before.size() > static_cast<size_t>(kInstructionsAround))
    before.erase(before.begin(), before.end() - kInstructionsAround);

  std::vector<TAsmLine> lines;
  std::string lastSymbol, lastLine;
  int following = 0;
  for (uintptr_t at = before.empty() ? address : before.front(); at < end;) {
    const cs_insn* insn = decodeAt(at);
    if (!insn) break;
    const uint16_t size = insn->size;
    const bool isReturn = cs.InGroup(insn, CS_GRP_RET);
    TAsmLine line;
    line.Text = Hex16(at) + "  " + insn->mnemonic;
    if (insn->op_str[0]) line.Text += std::string(" ") + insn->op_str;
    line.Comment = OperandComment(cs, insn, snapshot);
    if (at == address) {
      line.AtException = true;
      line.Comment += line.Comment.empty() ? "; <-- EXCEPTION" : " <-- EXCEPTION";
    }

    TTarvexStackEntry entry = snapshot.Resolve(at);
    if (IsSymbolKind(entry)) {
      std::string symbol = QualifiedName(entry) + " ";
      std::string lineText = entry.EntryKind == kEntryLine ? "Line=" + std::to_string(entry.LineNumber) +
                                                                 " - Offset=" + std::to_string(entry.LineOffset)
                                                           : std::string();
      if (symbol != lastSymbol || lineText != lastLine) {
        std::string heading = symbol;
        if (lineText != lastLine && !lineText.empty()) heading += "(" + lineText + ")";
        TAsmLine separator{";", {}, true, true, false};
        TAsmLine title{"; " + heading, {}, true, lines.empty(), false};
        if (!lines.empty()) lines.push_back(separator);
        lines.push_back(title);
        lines.push_back({"; " + std::string(heading.size(), '-'), {}, true, false, false});
        lastSymbol = symbol;
        lastLine = lineText;
      }
    }
    lines.push_back(std::move(line));
    if (at > address) ++following;
    at += size;
    if ((at > address && isReturn) || following >= kInstructionsAround) break;
  }

  // Only the procedure (and line) of the exception: drop what precedes its last heading.
  auto exceptionLine = std::find_if(lines.begin(), lines.end(), [](const TAsmLine& l) { return l.AtException; });
  if (exceptionLine == lines.end()) return lines;
  auto headingStart = std::find_if(std::make_reverse_iterator(exceptionLine), lines.rend(),
                                   [](const TAsmLine& l) { return l.HeadingStart; });
  if (headingStart != lines.rend()) lines.erase(lines.begin(), std::prev(headingStart.base()));
  if (!lines.empty() && lines.front().Text == ";") lines.erase(lines.begin());
  return lines;
}

}  // namespace

TAssemblerSection BuildAssemblerSection(const TTarvexModuleOptions& options, const TReportException& exception,
                                        const IReportSnapshot& snapshot) {
  TAssemblerSection section;
  const std::string title = options.GetText(14);
  size_t width = title.size() + 1;
  if (options.LogFlags().Contains(lfAssemblerAndCpu)) {
    std::vector<TAsmLine> lines = DisassembleAround(snapshot, exception.Address);
    size_t column = 0;
    for (const TAsmLine& line : lines)
      if (!line.Heading) column = std::max(column, line.Text.size() + 2);
    for (const TAsmLine& line : lines) {
      std::string text = line.Text;
      if (!line.Comment.empty()) text += std::string(column - text.size(), ' ') + line.Comment;
      width = std::max(width, text.size());
      section.Part += text + "\r\n";
    }
  }
  section.Header = title + ":\r\n" + std::string(width, '-');
  return section;
}
