// A small reader of .eh_frame: the FDE of an address through the loader's object table and the
// binary-search table of .eh_frame_hdr, then the CIE's and the FDE's call-frame instructions up
// to the address, reduced to a TCfaRule. Only the registers a return-address walk needs are
// tracked (the CFA, rbp, rsp and the return-address column); everything runs on the stack.
#include <dlfcn.h>

#include <cstring>

#include "reporting/debuginfo/ECfaRule.h"

extern "C" const void* _Unwind_Find_FDE(void* pc, void* bases);  // libgcc; bases: struct dwarf_eh_bases

namespace {

// DWARF register numbers of x86-64.
constexpr uint64_t kDwRbp = 6;
constexpr uint64_t kDwRsp = 7;

// Pointer encodings.
enum : uint8_t {
  kPeAbsptr = 0x00,
  kPeUleb128 = 0x01,
  kPeUdata2 = 0x02,
  kPeUdata4 = 0x03,
  kPeUdata8 = 0x04,
  kPeSleb128 = 0x09,
  kPeSdata2 = 0x0a,
  kPeSdata4 = 0x0b,
  kPeSdata8 = 0x0c,
  kPePcrel = 0x10,
  kPeDatarel = 0x30,
  kPeIndirect = 0x80,
  kPeOmit = 0xff,
};

// Bounded byte reader over call-frame data; a read past the end marks it bad.
struct TReader {
  const uint8_t* P;
  const uint8_t* End;
  bool Bad = false;

  bool Has(size_t n) {
    if (Bad || static_cast<size_t>(End - P) < n) Bad = true;
    return !Bad;
  }
  template <class T>
  T Fixed() {
    T value{};
    if (!Has(sizeof(T))) return value;
    std::memcpy(&value, P, sizeof(T));
    P += sizeof(T);
    return value;
  }
  uint8_t U8() { return Fixed<uint8_t>(); }
  uint64_t Uleb() {
    uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
      if (!Has(1)) return 0;
      uint8_t byte = *P++;
      if (shift < 64) value |= uint64_t(byte & 0x7f) << shift;
      if (!(byte & 0x80)) return value;
    }
  }
  int64_t Sleb() {
    int64_t value = 0;
    unsigned shift = 0;
    uint8_t byte = 0;
    do {
      if (!Has(1)) return 0;
      byte = *P++;
      if (shift < 64) value |= int64_t(uint64_t(byte & 0x7f) << shift);
      shift += 7;
    } while (byte & 0x80);
    if (shift < 64 && (byte & 0x40)) value |= -(int64_t(1) << shift);
    return value;
  }
  void Skip(uint64_t n) {
    if (Has(n)) P += n;
  }
  // An encoded pointer; an application other than pc- or data-relative, or an indirect one,
  // marks the reader bad (never needed for the values read here).
  uintptr_t Pointer(uint8_t encoding, uintptr_t dataBase) {
    if (encoding == kPeOmit) return 0;
    const uintptr_t fieldAddress = reinterpret_cast<uintptr_t>(P);
    uintptr_t value = 0;
    switch (encoding & 0x0f) {
      case kPeAbsptr: value = Fixed<uint64_t>(); break;
      case kPeUleb128: value = Uleb(); break;
      case kPeUdata2: value = Fixed<uint16_t>(); break;
      case kPeUdata4: value = Fixed<uint32_t>(); break;
      case kPeUdata8: value = Fixed<uint64_t>(); break;
      case kPeSleb128: value = uintptr_t(Sleb()); break;
      case kPeSdata2: value = uintptr_t(int64_t(Fixed<int16_t>())); break;
      case kPeSdata4: value = uintptr_t(int64_t(Fixed<int32_t>())); break;
      case kPeSdata8: value = uintptr_t(Fixed<int64_t>()); break;
      default: Bad = true; return 0;
    }
    if (value == 0 && (encoding & 0x70) != 0) return 0;  // a relative 0 means "none"
    switch (encoding & 0x70) {
      case 0: break;
      case kPePcrel: value += fieldAddress; break;
      case kPeDatarel:
        if (!dataBase) Bad = true;
        value += dataBase;
        break;
      default: Bad = true; return 0;
    }
    if (encoding & kPeIndirect) Bad = true;
    return value;
  }
  // Skips an encoded pointer without applying it (a personality may be indirect).
  void SkipPointer(uint8_t encoding) {
    if (encoding == kPeOmit) return;
    switch (encoding & 0x0f) {
      case kPeAbsptr: case kPeUdata8: case kPeSdata8: Skip(8); break;
      case kPeUdata4: case kPeSdata4: Skip(4); break;
      case kPeUdata2: case kPeSdata2: Skip(2); break;
      case kPeUleb128: Uleb(); break;
      case kPeSleb128: Sleb(); break;
      default: Bad = true;
    }
  }
};

// One entry of .eh_frame: a CIE or an FDE, its body after the length (and the CIE id field).
struct TEntry {
  const uint8_t* Start = nullptr;   // the length field
  const uint8_t* IdField = nullptr;
  const uint8_t* Body = nullptr;    // after the id
  const uint8_t* End = nullptr;
  uint32_t Id = 0;
};

bool ReadEntry(const uint8_t* start, TEntry* entry) {
  TReader r{start, start + 12};
  uint64_t length = r.Fixed<uint32_t>();
  if (length == 0xffffffffu) length = r.Fixed<uint64_t>();
  if (r.Bad || length < 4) return false;
  entry->Start = start;
  entry->IdField = r.P;
  entry->End = r.P + length;
  entry->Id = r.Fixed<uint32_t>();
  entry->Body = r.P;
  return !r.Bad;
}

struct TCie {
  uint64_t CodeAlign = 1;
  int64_t DataAlign = -8;
  uint64_t RaColumn = 16;
  uint8_t FdeEncoding = kPeAbsptr;
  bool HasAugmentationData = false;
  bool SignalFrame = false;
  const uint8_t* Instructions = nullptr;
  const uint8_t* End = nullptr;
};

bool ParseCie(const TEntry& entry, TCie* cie) {
  TReader r{entry.Body, entry.End};
  uint8_t version = r.U8();
  if (version != 1 && version != 3 && version != 4) return false;
  const char* augmentation = reinterpret_cast<const char*>(r.P);
  size_t augLength = strnlen(augmentation, static_cast<size_t>(entry.End - r.P));
  r.Skip(augLength + 1);
  if (version == 4) {
    if (r.U8() != 8) return false;  // address size
    r.U8();                         // segment selector size
  }
  cie->CodeAlign = r.Uleb();
  cie->DataAlign = r.Sleb();
  cie->RaColumn = version == 1 ? r.U8() : r.Uleb();
  const uint8_t* augEnd = nullptr;
  for (size_t i = 0; i < augLength && !r.Bad; ++i) {
    switch (augmentation[i]) {
      case 'z': {
        if (i != 0) return false;
        uint64_t size = r.Uleb();
        augEnd = r.P + size;
        cie->HasAugmentationData = true;
        break;
      }
      case 'R': cie->FdeEncoding = r.U8(); break;
      case 'L': r.U8(); break;
      case 'P': {
        uint8_t encoding = r.U8();
        r.SkipPointer(encoding);
        break;
      }
      case 'S': cie->SignalFrame = true; break;
      default:
        // An unknown letter after 'z' can be skipped with its data; before, nothing can be read.
        if (!augEnd) return false;
        i = augLength;
        break;
    }
  }
  if (augEnd) r.P = augEnd;
  if (r.Bad || r.P > entry.End) return false;
  cie->Instructions = r.P;
  cie->End = entry.End;
  return true;
}

// How the caller's value of a register is found.
enum TRegHow : uint8_t { rhSame, rhUndefined, rhOffset, rhOther };

struct TRegRule {
  TRegHow How = rhSame;
  int64_t Offset = 0;
};

struct TRow {
  uint64_t CfaReg = kDwRsp;
  int64_t CfaOffset = 8;
  bool CfaExpression = false;
  TRegRule Rbp, Rsp, Ra;
};

constexpr size_t kMaxRememberedRows = 16;

class TCfaProgram {
 public:
  TCfaProgram(const TCie& cie, uintptr_t dataBase) : cie_(cie), dataBase_(dataBase) {}

  // Runs instructions while the location is at most `address`; false on malformed or unknown ones.
  bool Run(const uint8_t* p, const uint8_t* end, uintptr_t location, uintptr_t address) {
    TReader r{p, end};
    uintptr_t loc = location;
    while (r.P < r.End && loc <= address) {
      uint8_t op = r.U8();
      uint8_t low = op & 0x3f;
      switch (op & 0xc0) {
        case 0x40: loc += low * cie_.CodeAlign; continue;
        case 0x80: SetOffset(low, int64_t(r.Uleb()) * cie_.DataAlign); continue;
        case 0xc0: Restore(low); continue;
        default: break;
      }
      switch (op) {
        case 0x00: break;                                         // nop
        case 0x01: loc = r.Pointer(cie_.FdeEncoding, dataBase_); break;  // set_loc
        case 0x02: loc += r.U8() * cie_.CodeAlign; break;
        case 0x03: loc += r.Fixed<uint16_t>() * cie_.CodeAlign; break;
        case 0x04: loc += r.Fixed<uint32_t>() * cie_.CodeAlign; break;
        case 0x05: {  // offset_extended
          uint64_t reg = r.Uleb();
          SetOffset(reg, int64_t(r.Uleb()) * cie_.DataAlign);
          break;
        }
        case 0x06: Restore(r.Uleb()); break;                    // restore_extended
        case 0x07: Set(r.Uleb(), {rhUndefined, 0}); break;      // undefined
        case 0x08: Set(r.Uleb(), {rhSame, 0}); break;           // same_value
        case 0x09: {                                            // register
          uint64_t reg = r.Uleb();
          r.Uleb();
          Set(reg, {rhOther, 0});
          break;
        }
        case 0x0a:  // remember_state
          if (depth_ == kMaxRememberedRows) return false;
          stack_[depth_++] = row_;
          break;
        case 0x0b:  // restore_state
          if (depth_ == 0) return false;
          row_ = stack_[--depth_];
          break;
        case 0x0c:  // def_cfa
          row_.CfaReg = r.Uleb();
          row_.CfaOffset = int64_t(r.Uleb());
          row_.CfaExpression = false;
          break;
        case 0x0d:  // def_cfa_register
          row_.CfaReg = r.Uleb();
          row_.CfaExpression = false;
          break;
        case 0x0e: row_.CfaOffset = int64_t(r.Uleb()); break;  // def_cfa_offset
        case 0x0f:                                             // def_cfa_expression
          row_.CfaExpression = true;
          r.Skip(r.Uleb());
          break;
        case 0x10:    // expression
        case 0x16: {  // val_expression
          uint64_t reg = r.Uleb();
          r.Skip(r.Uleb());
          Set(reg, {rhOther, 0});
          break;
        }
        case 0x11: {  // offset_extended_sf
          uint64_t reg = r.Uleb();
          SetOffset(reg, r.Sleb() * cie_.DataAlign);
          break;
        }
        case 0x12:  // def_cfa_sf
          row_.CfaReg = r.Uleb();
          row_.CfaOffset = r.Sleb() * cie_.DataAlign;
          row_.CfaExpression = false;
          break;
        case 0x13: row_.CfaOffset = r.Sleb() * cie_.DataAlign; break;  // def_cfa_offset_sf
        case 0x14:    // val_offset
        case 0x15: {  // val_offset_sf
          uint64_t reg = r.Uleb();
          if (op == 0x14) r.Uleb(); else r.Sleb();
          Set(reg, {rhOther, 0});
          break;
        }
        case 0x2e: r.Uleb(); break;  // GNU_args_size
        case 0x2f: {                 // GNU_negative_offset_extended
          uint64_t reg = r.Uleb();
          SetOffset(reg, -int64_t(r.Uleb()) * cie_.DataAlign);
          break;
        }
        default: return false;
      }
      if (r.Bad) return false;
    }
    return !r.Bad;
  }

  void MarkInitial() { initial_ = row_; }
  const TRow& Row() const { return row_; }

 private:
  TRegRule* Slot(uint64_t reg) {
    if (reg == kDwRbp) return &row_.Rbp;
    if (reg == kDwRsp) return &row_.Rsp;
    if (reg == cie_.RaColumn) return &row_.Ra;
    return nullptr;  // a register the walk never needs
  }
  void Set(uint64_t reg, TRegRule rule) {
    if (TRegRule* slot = Slot(reg)) *slot = rule;
  }
  void SetOffset(uint64_t reg, int64_t offset) { Set(reg, {rhOffset, offset}); }
  void Restore(uint64_t reg) {
    if (reg == kDwRbp) row_.Rbp = initial_.Rbp;
    else if (reg == kDwRsp) row_.Rsp = initial_.Rsp;
    else if (reg == cie_.RaColumn) row_.Ra = initial_.Ra;
  }

  const TCie& cie_;
  uintptr_t dataBase_;
  TRow row_;
  TRow initial_;
  TRow stack_[kMaxRememberedRows];
  size_t depth_ = 0;
};

TCfaRule Complex() { return TCfaRule{}; }

TCfaRule Reduce(const TRow& row) {
  TCfaRule rule;
  if (row.Ra.How == rhUndefined) {
    rule.Kind = crOutermost;
    return rule;
  }
  if (row.CfaExpression || (row.CfaReg != kDwRsp && row.CfaReg != kDwRbp)) return Complex();
  if (row.CfaOffset < INT32_MIN || row.CfaOffset > INT32_MAX) return Complex();
  if (row.Ra.How != rhOffset || row.Ra.Offset != -8) return Complex();
  // The caller's rsp is the CFA unless the program says otherwise.
  if (row.Rsp.How != rhSame) return Complex();
  rule.CfaOnRbp = row.CfaReg == kDwRbp;
  rule.CfaOffset = static_cast<int32_t>(row.CfaOffset);
  switch (row.Rbp.How) {
    case rhSame:
    case rhUndefined:  // the unwinder keeps the callee's value too
      break;
    case rhOffset:
      if (row.Rbp.Offset < INT32_MIN / 256 || row.Rbp.Offset > INT32_MAX / 256 || (row.Rbp.Offset & 7)) return Complex();
      rule.RbpSaved = true;
      rule.RbpOffset = static_cast<int32_t>(row.Rbp.Offset);
      break;
    default: return Complex();
  }
  rule.Kind = crSimple;
  return rule;
}

// The FDE covering `address` in an object's .eh_frame_hdr, or nullptr. `usable` is cleared when
// the header has no table this reader can search.
const uint8_t* SearchHeader(const uint8_t* hdr, uintptr_t address, bool* usable) {
  *usable = false;
  if (!hdr || hdr[0] != 1) return nullptr;
  const uint8_t framePtrEncoding = hdr[1], countEncoding = hdr[2], tableEncoding = hdr[3];
  const uintptr_t base = reinterpret_cast<uintptr_t>(hdr);
  TReader r{hdr + 4, hdr + 4 + 16};
  r.SkipPointer(framePtrEncoding);
  uint64_t count = r.Pointer(countEncoding, base);
  if (r.Bad || countEncoding == kPeOmit || tableEncoding != (kPeDatarel | kPeSdata4)) return nullptr;
  *usable = true;
  struct TPair {
    int32_t Location;
    int32_t Fde;
  };
  const auto* table = reinterpret_cast<const TPair*>(r.P);
  const int64_t target = int64_t(address - base);
  if (count == 0 || target < table[0].Location) return nullptr;
  size_t lo = 0, hi = count;  // the last entry with Location <= target
  while (hi - lo > 1) {
    size_t mid = lo + (hi - lo) / 2;
    if (table[mid].Location <= target) lo = mid;
    else hi = mid;
  }
  return reinterpret_cast<const uint8_t*>(base + int64_t(table[lo].Fde));
}

// x86-64 Linux signal return: mov $15, %rax; syscall. The unwinder recognises it without an FDE.
bool IsSigreturn(uintptr_t pc, const dl_find_object& object) {
  static constexpr uint8_t kCode[] = {0x48, 0xc7, 0xc0, 0x0f, 0x00, 0x00, 0x00, 0x0f, 0x05};
  const auto start = reinterpret_cast<uintptr_t>(object.dlfo_map_start);
  const auto end = reinterpret_cast<uintptr_t>(object.dlfo_map_end);
  if (pc < start || pc > end || end - pc < sizeof(kCode)) return false;
  return std::memcmp(reinterpret_cast<const void*>(pc), kCode, sizeof(kCode)) == 0;
}

// libgcc's struct dwarf_eh_bases.
struct TEhBases {
  void* TextBase;
  void* DataBase;
  void* Function;
};

}  // namespace

bool ReduceFde(const uint8_t* fde, uintptr_t address, uintptr_t dataBase, TCfaRule* rule) {
  TEntry entry;
  if (!ReadEntry(fde, &entry)) {
    *rule = Complex();
    return true;
  }
  if (entry.Id == 0) return false;  // a CIE
  TEntry cieEntry;
  TCie cie;
  if (!ReadEntry(entry.IdField - entry.Id, &cieEntry) || cieEntry.Id != 0 || !ParseCie(cieEntry, &cie)) {
    *rule = Complex();
    return true;
  }
  TReader r{entry.Body, entry.End};
  uintptr_t begin = r.Pointer(cie.FdeEncoding, dataBase);
  uintptr_t range = r.Pointer(cie.FdeEncoding & 0x0f, dataBase);
  if (r.Bad) {
    *rule = Complex();
    return true;
  }
  if (address < begin || address - begin >= range) return false;
  if (cie.HasAugmentationData) r.Skip(r.Uleb());
  if (r.Bad || cie.SignalFrame) {
    *rule = Complex();
    return true;
  }
  TCfaProgram program(cie, dataBase);
  if (!program.Run(cie.Instructions, cie.End, 0, UINTPTR_MAX)) {
    *rule = Complex();
    return true;
  }
  program.MarkInitial();
  *rule = program.Run(r.P, entry.End, begin, address) ? Reduce(program.Row()) : Complex();
  return true;
}

TCfaRule ComputeCfaRule(uintptr_t address) {
  TCfaRule rule;
  dl_find_object object;
  const uint8_t* fde = nullptr;
  TEhBases bases{};
  if (_dl_find_object(reinterpret_cast<void*>(address), &object) == 0) {
    bool usable = false;
    fde = SearchHeader(static_cast<const uint8_t*>(object.dlfo_eh_frame), address, &usable);
    uintptr_t dataBase = 0;
    if (!usable) {
      fde = static_cast<const uint8_t*>(_Unwind_Find_FDE(reinterpret_cast<void*>(address), &bases));
      dataBase = reinterpret_cast<uintptr_t>(bases.DataBase);
    }
    if (fde && ReduceFde(fde, address, dataBase, &rule)) return rule;
    // Inside a loaded object but in no FDE: the signal return the unwinder knows by its code,
    // else the end of the stack.
    rule = {};
    rule.Kind = IsSigreturn(address + 1, object) || IsSigreturn(address, object) ? crComplex : crOutermost;
    return rule;
  }
  // Code registered at run time (a JIT) is known only to libgcc.
  fde = static_cast<const uint8_t*>(_Unwind_Find_FDE(reinterpret_cast<void*>(address), &bases));
  if (fde && ReduceFde(fde, address, reinterpret_cast<uintptr_t>(bases.DataBase), &rule)) return rule;
  rule = {};
  rule.Kind = crOutermost;
  return rule;
}
