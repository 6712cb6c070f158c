#include "reporting/ui/EJumpToSource.h"

#include <cstring>

#include "reporting/debuginfo/EDebug.h"

namespace {

constexpr size_t kNameBytes = 90;

// At most `room` bytes of `text`, never ending inside a UTF-8 sequence.
std::string_view CutUtf8(std::string_view text, size_t room) {
  if (text.size() <= room) return text;
  size_t end = room;
  // Back up over continuation bytes to the lead byte of the cut character, then drop it.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

void PutName(TJumpRecord& record, size_t offset, std::string_view name) {
  const std::string_view cut = CutUtf8(name.substr(0, name.find('\0')), kNameBytes - 1);
  std::memcpy(record.data() + offset, cut.data(), cut.size());
}

void PutLe32(TJumpRecord& record, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) record[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint32_t Le32(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{static_cast<unsigned char>(bytes[offset + i])} << (8 * i);
  return value;
}

}  // namespace

TJumpRecord BuildJumpRecord(const TJumpRequest& r) {
  TJumpRecord record{};
  PutName(record, 90, r.UnitName);
  PutName(record, 180, r.ClassName);
  PutName(record, 270, r.ProcedureName);
  PutLe32(record, 360, static_cast<uint32_t>(r.LineNumber));
  PutLe32(record, 364, static_cast<uint32_t>(r.LineOffset));
  PutLe32(record, 368, r.ModuleId1);
  PutLe32(record, 372, r.ModuleId2);
  return record;
}

TJumpRequest JumpRequestFor(const TTarvexStackEntry& entry) {
  TJumpRequest r;
  r.UnitName = entry.UnitName;
  r.ClassName = entry.ClassName;
  r.ProcedureName = entry.ProcedureName;
  r.LineNumber = entry.LineNumber;
  r.LineOffset = entry.LineOffset;  // the row's line cell always carries the offset in brackets
  if (entry.Module && entry.Module->BuildId.size() >= 8) {
    r.ModuleId1 = Le32(entry.Module->BuildId, 0);
    r.ModuleId2 = Le32(entry.Module->BuildId, 4);
  }
  return r;
}

std::string JumpSocketName(pid_t parent) { return "\\\\.\\mailslot\\TarvexLog" + std::to_string(parent); }
