// The DWARF exception tables as the Itanium unwinder and the C++ personality read them: encoded
// pointers, a CIE's augmentation with its FDE, and one frame's verdict from its LSDA. Pure reads
// of bytes that the unwinder reads anyway a moment later: no allocation, no lock, no syscall.
#pragma once

#include <cstddef>
#include <cstdint>
#include <typeinfo>

// DW_EH_PE_*: the low nibble is the format, bits 4..6 the base, bit 7 indirection.
enum : uint8_t {
  kEhPeAbsptr = 0x00, kEhPeUleb128 = 0x01, kEhPeUdata2 = 0x02, kEhPeUdata4 = 0x03, kEhPeUdata8 = 0x04,
  kEhPeSleb128 = 0x09, kEhPeSdata2 = 0x0a, kEhPeSdata4 = 0x0b, kEhPeSdata8 = 0x0c,
  kEhPePcrel = 0x10, kEhPeTextrel = 0x20, kEhPeDatarel = 0x30, kEhPeFuncrel = 0x40, kEhPeAligned = 0x50,
  kEhPeIndirect = 0x80, kEhPeOmit = 0xff,
};

// What textrel, datarel and funcrel values are relative to: the unwinder's bases of the module
// and function that hold the frame (`_Unwind_Find_FDE` fills them).
struct TEhBases {
  uintptr_t TextBase = 0;
  uintptr_t DataBase = 0;
  uintptr_t FunctionStart = 0;
};

const uint8_t* ReadUleb128(const uint8_t* p, uint64_t* value);
const uint8_t* ReadSleb128(const uint8_t* p, int64_t* value);

// Reads one pointer in `encoding` at p and returns the byte after it; nullptr for a format the
// tables do not define. Like the unwinder, a stored 0 stays 0 (no base added, no indirection):
// that is how a catch-all's empty type entry reads under pc-relative encodings. kEhPeOmit reads
// nothing and gives 0.
const uint8_t* ReadEncodedPointer(const uint8_t* p, uint8_t encoding, const TEhBases& bases, uintptr_t* value);

// Bytes of a fixed-size format; 0 for the LEB128 formats and omit.
size_t EncodedPointerSize(uint8_t encoding);

struct TFdeInfo {
  uintptr_t FunctionStart = 0;
  uintptr_t FunctionSize = 0;
  uintptr_t Personality = 0;  // 0 when the CIE names none
  uintptr_t Lsda = 0;         // 0 when the FDE carries none
  bool SignalFrame = false;   // 'S': the caller's address is the interrupted pc itself
};

// Parses an .eh_frame FDE and its CIE ('z', 'P' with any encoding including indirect, 'L', 'R',
// 'S'; an unknown letter ends the augmentation, its data skipped through 'z'). False for a CIE, a
// terminator, or a CIE whose augmentation cannot be read.
bool ParseFde(const uint8_t* fde, const TEhBases& bases, TFdeInfo* info);

// What one __gxx_personality_v0 frame does with an exception in the search phase.
enum TFrameAction : uint8_t {
  faNothing,      // no landing pad for the call site, or no record that applies
  faCleanup,      // destructors only: the search goes on
  faCatchAll,     // catch (...)
  faCatchTyped,   // a handler whose type matches
  faTerminate,    // the call site is missing from the table (noexcept; a throwing cleanup)
  faUnexpected,   // a throw() list that does not allow the type
  faUnreadable,   // the table cannot be read
};

struct TFrameVerdict {
  TFrameAction Action = faNothing;
  uintptr_t LandingPad = 0;
};

// The verdict of the personality for the frame whose LSDA is `lsda`, at `ip` (the return
// address minus 1, or the pc itself in a frame interrupted by a signal). `type` may be null (a
// foreign exception: only catch (...) and empty throw() lists react). Typed handlers match
// through type_info::__do_catch on a local copy of the adjusted pointer, so the thrown object is
// only read (a pointer's value; a virtual base offset through its vtable).
TFrameVerdict ClassifyGxxFrame(const uint8_t* lsda, uintptr_t ip, const TEhBases& bases, const std::type_info* type,
                               void* thrownObject);
