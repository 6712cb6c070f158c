// The patching toolkit's records and the x86-64 relocation of a procedure's first instructions.
//
// A code patch overwrites 5 bytes at the procedure's entry (after an endbr64, which stays so
// that indirect calls keep landing on it) with `jmp rel32` to the replacement. The whole
// instructions covering those bytes are copied into a trampoline allocated within +-2 GiB of the
// target, followed by a jump back to the first byte not copied. Every position-dependent field
// of the copy is rewritten: rel32 branches and RIP-relative operands get new displacements;
// rel8 branches that leave the copy (Jcc, jrcxz, loop, jmp short) cannot reach that far, so
// each points at a `jmp rel32` placed after the copy instead. The trampoline's place is chosen so
// that every one of those displacements fits. A replacement too far from the target for a
// rel32 is reached through a 14-byte absolute jump inside the trampoline block.
#include "reporting/interception/EHook.h"

#include <capstone/capstone.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "reporting/interception/EHookPlatform.h"

namespace {

constexpr size_t kJumpSize = 5;       // E9 rel32
constexpr size_t kAbsJumpSize = 14;   // FF 25 00000000, then the 64-bit destination
constexpr size_t kMaxCopy = 64;       // read ahead for decoding
constexpr int64_t kRel32Reach = int64_t{1} << 31;

const char* const kProcNullText = "Cannot hook a null procedure (\"%s\").";
const char* const kHookingText = "Cannot hook the procedure \"%s\".";

struct TCodePatch {
  uintptr_t Target = 0;     // the procedure as patched (after following jmp [rip] stubs)
  uintptr_t PatchedAt = 0;  // where the jump lies: the target, or just after its endbr64
  uintptr_t Trampoline = 0;
  size_t TrampolineSize = 0;
  size_t CopiedSize = 0;       // whole instructions copied from the target
  std::vector<uint8_t> Saved;  // the bytes the jump overwrote
  std::string Name;
};

struct TSaveDLLProc {
  uintptr_t Entry = 0;  // the GOT entry
  uintptr_t Previous = 0;
  uintptr_t New = 0;
  TModuleHandle Module = 0;  // the module whose GOT was changed (0: the main executable)
  std::string ExportingModule;
};

struct THookedMethod {
  uintptr_t VTable = 0;
  size_t Index = 0;
  uintptr_t Previous = 0;
};

struct TPatchLists {
  std::mutex Lock;
  std::vector<TCodePatch> Code;
  std::vector<TSaveDLLProc> Imports;
  std::vector<THookedMethod> Methods;
};

// Never destroyed: patches may be made and undone from static constructors and destructors.
TPatchLists& Lists() {
  static auto* lists = new TPatchLists;
  return *lists;
}

std::string AddressText(uintptr_t address) {
  char text[24];
  std::snprintf(text, sizeof text, "%016" PRIXPTR, address);
  return text;
}

[[noreturn]] void HookingFailed(const std::string& name) { throw EHookingError(kHookingText, {name}); }

size_t ReadBytes(uintptr_t address, uint8_t* out, size_t max) {
  size_t n = ehook::ReadableBytes(address, max);
  if (n) std::memcpy(out, reinterpret_cast<const void*>(address), n);
  return n;
}

bool ReadPointer(uintptr_t address, uintptr_t& value) {
  return ReadBytes(address, reinterpret_cast<uint8_t*>(&value), sizeof value) == sizeof value;
}

bool IsEndbr64(const uint8_t* b, size_t n) {
  return n >= 4 && b[0] == 0xF3 && b[1] == 0x0F && b[2] == 0x1E && b[3] == 0xFA;
}

bool FitsRel32(int64_t value) { return value >= -kRel32Reach && value < kRel32Reach; }

int64_t Distance(uintptr_t to, uintptr_t from) { return static_cast<int64_t>(to - from); }

// A lazy PLT entry before its first call: [endbr64] push imm32; [bnd] jmp rel32.
bool IsLazyPltStub(uintptr_t address) {
  uint8_t b[16];
  size_t n = ReadBytes(address, b, sizeof b);
  size_t i = IsEndbr64(b, n) ? 4 : 0;
  if (i + 5 >= n || b[i] != 0x68) return false;
  i += 5;
  if (b[i] == 0xF2) ++i;
  return i < n && b[i] == 0xE9;
}

// Follows `[endbr64] [bnd] jmp [rip+disp32]` stubs (PLT entries, import thunks) to the code they
// lead to. `followed` tells whether any stub was passed.
uintptr_t FollowIndirectJumps(uintptr_t address, bool& followed) {
  followed = false;
  for (int depth = 0; depth < 8; ++depth) {
    uint8_t b[16];
    size_t n = ReadBytes(address, b, sizeof b);
    size_t i = IsEndbr64(b, n) ? 4 : 0;
    if (i < n && b[i] == 0xF2) ++i;
    if (i + 6 > n || b[i] != 0xFF || b[i + 1] != 0x25) break;
    int32_t disp;
    std::memcpy(&disp, b + i + 2, sizeof disp);
    uintptr_t destination = 0;
    if (!ReadPointer(address + i + 6 + static_cast<int64_t>(disp), destination) || !destination) break;
    address = destination;
    followed = true;
  }
  return address;
}

// One instruction of the copied prologue and what must be rewritten in it.
struct TCopiedInsn {
  enum Kind { kPlain, kRel8, kRel32, kRipRelative };
  Kind Type = kPlain;
  size_t Offset = 0;  // from the start of the copy
  size_t Size = 0;
  size_t Field = 0;   // offset of the displacement field inside the copy
  uintptr_t Destination = 0;  // branch destination or the RIP-relative operand's address
};

bool EndsProcedure(unsigned id) {
  switch (id) {
    case X86_INS_RET: case X86_INS_RETF: case X86_INS_RETFQ: case X86_INS_JMP: case X86_INS_LJMP:
    case X86_INS_UD2: case X86_INS_UD0: case X86_INS_INT3: case X86_INS_HLT:
      return true;
    default:
      return false;
  }
}

// Decodes whole instructions from `code` (copied from `address`) until `need` bytes are covered.
// False when an instruction cannot be decoded or relocated, or when the procedure ends before
// `need` (the jump would overwrite the code after it).
bool DecodePrologue(uintptr_t address, const uint8_t* code, size_t available, size_t need,
                    std::vector<TCopiedInsn>& out, size_t& covered) {
  csh handle;
  if (cs_open(CS_ARCH_X86, CS_MODE_64, &handle) != CS_ERR_OK) return false;
  cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
  cs_insn* insn = cs_malloc(handle);
  const uint8_t* p = code;
  size_t left = available;
  uint64_t pc = address;
  bool ok = true;
  covered = 0;
  while (ok && covered < need) {
    if (!cs_disasm_iter(handle, &p, &left, &pc, insn)) {
      ok = false;
      break;
    }
    TCopiedInsn c;
    c.Offset = covered;
    c.Size = insn->size;
    const cs_x86& x86 = insn->detail->x86;
    const uint8_t op0 = x86.opcode[0], op1 = x86.opcode[1];
    const uintptr_t next = address + covered + insn->size;
    if ((op0 >= 0x70 && op0 <= 0x7F) || (op0 >= 0xE0 && op0 <= 0xE3) || op0 == 0xEB) {
      c.Type = TCopiedInsn::kRel8;
      c.Field = covered + insn->size - 1;
      c.Destination = next + static_cast<int8_t>(code[c.Field]);
    } else if (op0 == 0xE8 || op0 == 0xE9 || (op0 == 0x0F && op1 >= 0x80 && op1 <= 0x8F)) {
      if (x86.prefix[2] == 0x66) ok = false;  // rel16: its meaning differs between vendors
      c.Type = TCopiedInsn::kRel32;
      c.Field = covered + insn->size - 4;
      int32_t rel;
      std::memcpy(&rel, code + c.Field, sizeof rel);
      c.Destination = next + static_cast<int64_t>(rel);
    } else {
      for (uint8_t i = 0; i < x86.op_count; ++i) {
        const cs_x86_op& op = x86.operands[i];
        if (op.type != X86_OP_MEM || op.mem.base != X86_REG_RIP) continue;
        if (x86.encoding.disp_offset == 0 || x86.encoding.disp_size != 4) {
          ok = false;
          break;
        }
        c.Type = TCopiedInsn::kRipRelative;
        c.Field = covered + x86.encoding.disp_offset;
        int32_t disp;
        std::memcpy(&disp, code + c.Field, sizeof disp);
        c.Destination = next + static_cast<int64_t>(disp);
      }
    }
    if (insn->id == X86_INS_XBEGIN) ok = false;  // its abort address is relative too
    covered += insn->size;
    if (EndsProcedure(insn->id) && covered < need) ok = false;
    out.push_back(c);
  }
  cs_free(insn, 1);
  cs_close(&handle);
  return ok;
}

TCodePatch* FindCodePatch(TPatchLists& lists, uintptr_t address) {
  for (auto& p : lists.Code)
    if (p.Target == address || p.Trampoline == address || p.PatchedAt == address) return &p;
  bool followed;
  uintptr_t resolved = FollowIndirectJumps(address, followed);
  if (followed)
    for (auto& p : lists.Code)
      if (p.Target == resolved) return &p;
  return nullptr;
}

void PutJump(uint8_t* at, uintptr_t from, uintptr_t to) {
  at[0] = 0xE9;
  int32_t rel = static_cast<int32_t>(Distance(to, from + kJumpSize));
  std::memcpy(at + 1, &rel, sizeof rel);
}

}  // namespace

void PatchCode(void* address, const void* bytes, size_t size) {
  if (!ehook::WriteProtected(reinterpret_cast<uintptr_t>(address), bytes, size))
    HookingFailed(AddressText(reinterpret_cast<uintptr_t>(address)));
}

void WriteRelativeJump(void* at, const void* target) {
  auto from = reinterpret_cast<uintptr_t>(at);
  if (!FitsRel32(Distance(reinterpret_cast<uintptr_t>(target), from + kJumpSize))) HookingFailed(AddressText(from));
  uint8_t jump[kJumpSize];
  PutJump(jump, from, reinterpret_cast<uintptr_t>(target));
  PatchCode(at, jump, sizeof jump);
}

void* PatchProcedure(void* target, const void* replacement, const std::string& name) {
  if (!target) throw EProcNull(kProcNullText, {name});
  auto& lists = Lists();
  std::lock_guard<std::mutex> guard(lists.Lock);

  bool followed;
  const uintptr_t start = FollowIndirectJumps(reinterpret_cast<uintptr_t>(target), followed);
  if (auto* existing = FindCodePatch(lists, start)) return reinterpret_cast<void*>(existing->Trampoline);
  // A PLT slot not yet bound leads to the loader's stub, not to the procedure.
  if (followed && IsLazyPltStub(start)) HookingFailed(name);

  uint8_t code[kMaxCopy];
  const size_t available = ReadBytes(start, code, sizeof code);
  const size_t skip = IsEndbr64(code, available) ? 4 : 0;
  const uintptr_t patchAt = start + skip;
  std::vector<TCopiedInsn> insns;
  size_t copied = 0;
  if (!DecodePrologue(start, code, available, skip + kJumpSize, insns, copied)) HookingFailed(name);

  // Every address the trampoline must reach with a rel32, and where the trampoline ends up.
  size_t stubs = 0;
  uintptr_t lowest = patchAt, highest = start + copied;
  auto reach = [&](uintptr_t a) {
    lowest = std::min(lowest, a);
    highest = std::max(highest, a);
  };
  auto outside = [&](uintptr_t a) { return a < start || a >= start + copied; };
  for (const auto& c : insns) {
    if (c.Type == TCopiedInsn::kPlain) continue;
    if (c.Type == TCopiedInsn::kRipRelative || outside(c.Destination)) reach(c.Destination);
    if (c.Type == TCopiedInsn::kRel8 && outside(c.Destination)) ++stubs;
  }
  const size_t size = copied + kJumpSize + stubs * kJumpSize + kAbsJumpSize;
  if (static_cast<int64_t>(highest - lowest) >= kRel32Reach) HookingFailed(name);
  constexpr uintptr_t kMargin = 0x10000;
  const uintptr_t low = highest > uintptr_t(kRel32Reach) - kMargin ? highest - uintptr_t(kRel32Reach) + kMargin : 0;
  const uintptr_t high = lowest + uintptr_t(kRel32Reach) - kMargin - size;
  const uintptr_t trampoline = ehook::AllocateTrampoline(size, low, high);
  if (!trampoline) HookingFailed(name);

  std::vector<uint8_t> block(size, 0xCC);
  std::memcpy(block.data(), code, copied);
  size_t stubAt = copied + kJumpSize;
  for (const auto& c : insns) {
    const size_t end = c.Offset + c.Size;
    if (c.Type == TCopiedInsn::kRel8) {
      if (!outside(c.Destination)) continue;
      PutJump(block.data() + stubAt, trampoline + stubAt, c.Destination);
      block[c.Field] = static_cast<uint8_t>(static_cast<int8_t>(stubAt - end));
      stubAt += kJumpSize;
    } else if (c.Type == TCopiedInsn::kRel32 || c.Type == TCopiedInsn::kRipRelative) {
      if (c.Type == TCopiedInsn::kRel32 && !outside(c.Destination)) continue;
      int32_t rel = static_cast<int32_t>(Distance(c.Destination, trampoline + end));
      std::memcpy(block.data() + c.Field, &rel, sizeof rel);
    }
  }
  PutJump(block.data() + copied, trampoline + copied, start + copied);

  uintptr_t destination = reinterpret_cast<uintptr_t>(replacement);
  if (!FitsRel32(Distance(destination, patchAt + kJumpSize))) {
    const uint8_t absJump[6] = {0xFF, 0x25, 0, 0, 0, 0};
    std::memcpy(block.data() + stubAt, absJump, sizeof absJump);
    std::memcpy(block.data() + stubAt + sizeof absJump, &destination, sizeof destination);
    destination = trampoline + stubAt;
  }
  uint8_t jump[kJumpSize];
  PutJump(jump, patchAt, destination);
  if (!ehook::WriteProtected(trampoline, block.data(), block.size()) ||
      !ehook::WriteProtected(patchAt, jump, sizeof jump))
    HookingFailed(name);

  TCodePatch patch;
  patch.Target = start;
  patch.PatchedAt = patchAt;
  patch.Trampoline = trampoline;
  patch.TrampolineSize = size;
  patch.CopiedSize = copied;
  patch.Saved.assign(code + skip, code + skip + kJumpSize);
  patch.Name = name;
  lists.Code.push_back(std::move(patch));
  return reinterpret_cast<void*>(trampoline);
}

void RestoreProcedure(void* address) {
  auto& lists = Lists();
  std::lock_guard<std::mutex> guard(lists.Lock);
  TCodePatch* patch = FindCodePatch(lists, reinterpret_cast<uintptr_t>(address));
  if (!patch) return;
  ehook::WriteProtected(patch->PatchedAt, patch->Saved.data(), patch->Saved.size());
  lists.Code.erase(lists.Code.begin() + (patch - lists.Code.data()));
}

TImportPatchResult PatchImports(const std::string& exportingModule, const std::string& procName,
                                const std::vector<TModuleHandle>& modules, void* replacement,
                                bool record, bool quiet) {
  const std::string fullName = exportingModule + "." + procName;
  const uintptr_t original = ehook::FindExport(exportingModule, procName);
  if (!original) throw EProcNull(kProcNullText, {fullName});
  const TModuleHandle exporter = ehook::ModuleContaining(original);
  const auto newValue = reinterpret_cast<uintptr_t>(replacement);

  TImportPatchResult result;
  result.Original = reinterpret_cast<void*>(original);
  auto& lists = Lists();
  std::lock_guard<std::mutex> guard(lists.Lock);
  for (TModuleHandle module : modules) {
    std::vector<ehook::TGotSlot> slots;
    switch (ehook::FindGotSlots(module, procName, slots)) {
      case ehook::TGotScan::NotLoaded: continue;
      case ehook::TGotScan::NoDynamicSection:
        if (!quiet) HookingFailed(fullName);
        continue;
      case ehook::TGotScan::Scanned: break;
    }
    const TModuleHandle importer = ehook::ModuleContaining(slots.empty() ? 0 : slots.front().Address);
    for (const auto& slot : slots) {
      uintptr_t value = 0;
      if (!ReadPointer(slot.Address, value) || value == newValue) continue;
      // The entry refers to the exporting module's procedure: bound to it (under any symbol
      // version), or a PLT slot still leading to the module's own lazy stub, which the loader
      // would bind to the same procedure.
      bool refers = value == original || (exporter && ehook::ModuleContaining(value) == exporter) ||
                    (slot.JumpSlot && ehook::ModuleContaining(value) == importer && IsLazyPltStub(value) &&
                     ehook::GlobalLookup(procName) == original);
      if (!refers) continue;
      if (!ehook::WriteProtected(slot.Address, &newValue, sizeof newValue)) {
        if (!quiet) HookingFailed(fullName);
        continue;
      }
      result.Changed = true;
      if (record) lists.Imports.push_back({slot.Address, value, newValue, module, exportingModule});
    }
  }
  if (!result.Changed && !quiet) HookingFailed(fullName);
  return result;
}

void* PatchVirtualSlot(void* vtable, size_t index, void* method) {
  const auto table = reinterpret_cast<uintptr_t>(vtable);
  const uintptr_t slot = table + index * sizeof(void*);
  if (!table || !ehook::InsideLoadedModule(slot, sizeof(void*))) HookingFailed(AddressText(table));
  auto& lists = Lists();
  std::lock_guard<std::mutex> guard(lists.Lock);
  uintptr_t current = 0;
  if (!ReadPointer(slot, current)) HookingFailed(AddressText(table));
  auto it = std::find_if(lists.Methods.begin(), lists.Methods.end(),
                         [&](const THookedMethod& m) { return m.VTable == table && m.Index == index; });
  const auto value = reinterpret_cast<uintptr_t>(method);
  if (it != lists.Methods.end() && current == value) return reinterpret_cast<void*>(it->Previous);
  if (!ehook::WriteProtected(slot, &value, sizeof value)) HookingFailed(AddressText(table));
  // Only the first patch of a slot is recorded: the restore goes back to the class's own method.
  if (it == lists.Methods.end()) lists.Methods.push_back({table, index, current});
  return reinterpret_cast<void*>(current);
}

void RestoreVirtualSlot(void* vtable, size_t index) {
  const auto table = reinterpret_cast<uintptr_t>(vtable);
  auto& lists = Lists();
  std::lock_guard<std::mutex> guard(lists.Lock);
  auto it = std::find_if(lists.Methods.begin(), lists.Methods.end(),
                         [&](const THookedMethod& m) { return m.VTable == table && m.Index == index; });
  if (it == lists.Methods.end()) return;
  ehook::WriteProtected(table + index * sizeof(void*), &it->Previous, sizeof it->Previous);
  lists.Methods.erase(it);
}

void RestoreAllPatches() {
  auto& lists = Lists();
  std::lock_guard<std::mutex> guard(lists.Lock);
  for (auto it = lists.Imports.rbegin(); it != lists.Imports.rend(); ++it) {
    // Quietly: an entry of a module unloaded since, or changed by someone else, is left alone.
    uintptr_t value = 0;
    if (ReadPointer(it->Entry, value) && value == it->New)
      ehook::WriteProtected(it->Entry, &it->Previous, sizeof it->Previous);
  }
  lists.Imports.clear();
  for (auto it = lists.Methods.rbegin(); it != lists.Methods.rend(); ++it)
    ehook::WriteProtected(it->VTable + it->Index * sizeof(void*), &it->Previous, sizeof it->Previous);
  lists.Methods.clear();
  for (auto it = lists.Code.rbegin(); it != lists.Code.rend(); ++it)
    ehook::WriteProtected(it->PatchedAt, it->Saved.data(), it->Saved.size());
  lists.Code.clear();
}

size_t CodePatchCount() {
  auto& lists = Lists();
  std::lock_guard<std::mutex> guard(lists.Lock);
  return lists.Code.size();
}

size_t ImportPatchCount() {
  auto& lists = Lists();
  std::lock_guard<std::mutex> guard(lists.Lock);
  return lists.Imports.size();
}

size_t VirtualSlotPatchCount() {
  auto& lists = Lists();
  std::lock_guard<std::mutex> guard(lists.Lock);
  return lists.Methods.size();
}
