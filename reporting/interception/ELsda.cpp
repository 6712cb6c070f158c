#include "reporting/interception/ELsda.h"

#include <cstring>

namespace {

template <typename T>
T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// A corrupt table must not send the walk round in circles.
constexpr int kMaxActionRecords = 4096;

}  // namespace

const uint8_t* ReadUleb128(const uint8_t* p, uint64_t* value) {
  uint64_t result = 0;
  unsigned shift = 0;
  uint8_t byte;
  do {
    byte = *p++;
    if (shift < 64) result |= static_cast<uint64_t>(byte & 0x7f) << shift;
    shift += 7;
  } while (byte & 0x80);
  *value = result;
  return p;
}

const uint8_t* ReadSleb128(const uint8_t* p, int64_t* value) {
  uint64_t result = 0;
  unsigned shift = 0;
  uint8_t byte;
  do {
    byte = *p++;
    if (shift < 64) result |= static_cast<uint64_t>(byte & 0x7f) << shift;
    shift += 7;
  } while (byte & 0x80);
  if (shift < 64 && (byte & 0x40)) result |= ~uint64_t{0} << shift;
  *value = static_cast<int64_t>(result);
  return p;
}

size_t EncodedPointerSize(uint8_t encoding) {
  if (encoding == kEhPeOmit) return 0;
  switch (encoding & 0x0f) {
    case kEhPeAbsptr: return sizeof(void*);
    case kEhPeUdata2: case kEhPeSdata2: return 2;
    case kEhPeUdata4: case kEhPeSdata4: return 4;
    case kEhPeUdata8: case kEhPeSdata8: return 8;
    default: return 0;
  }
}

const uint8_t* ReadEncodedPointer(const uint8_t* p, uint8_t encoding, const TEhBases& bases, uintptr_t* value) {
  *value = 0;
  if (encoding == kEhPeOmit) return p;
  const uint8_t* field = p;
  uintptr_t result;
  if ((encoding & 0x70) == kEhPeAligned) {
    // Aligned data is a plain pointer at the next pointer boundary.
    uintptr_t at = (reinterpret_cast<uintptr_t>(p) + sizeof(void*) - 1) & ~(uintptr_t{sizeof(void*)} - 1);
    p = reinterpret_cast<const uint8_t*>(at);
    result = Load<uintptr_t>(p);
    p += sizeof(void*);
  } else {
    switch (encoding & 0x0f) {
      case kEhPeAbsptr: result = Load<uintptr_t>(p); p += sizeof(uintptr_t); break;
      case kEhPeUleb128: { uint64_t v; p = ReadUleb128(p, &v); result = v; break; }
      case kEhPeSleb128: { int64_t v; p = ReadSleb128(p, &v); result = static_cast<uintptr_t>(v); break; }
      case kEhPeUdata2: result = Load<uint16_t>(p); p += 2; break;
      case kEhPeUdata4: result = Load<uint32_t>(p); p += 4; break;
      case kEhPeUdata8: result = Load<uint64_t>(p); p += 8; break;
      case kEhPeSdata2: result = static_cast<uintptr_t>(static_cast<intptr_t>(Load<int16_t>(p))); p += 2; break;
      case kEhPeSdata4: result = static_cast<uintptr_t>(static_cast<intptr_t>(Load<int32_t>(p))); p += 4; break;
      case kEhPeSdata8: result = static_cast<uintptr_t>(Load<int64_t>(p)); p += 8; break;
      default: return nullptr;
    }
    if (result != 0) {
      switch (encoding & 0x70) {
        case kEhPeAbsptr: break;
        case kEhPePcrel: result += reinterpret_cast<uintptr_t>(field); break;
        case kEhPeTextrel: result += bases.TextBase; break;
        case kEhPeDatarel: result += bases.DataBase; break;
        case kEhPeFuncrel: result += bases.FunctionStart; break;
        default: return nullptr;
      }
    }
  }
  if (result != 0 && (encoding & kEhPeIndirect)) result = Load<uintptr_t>(reinterpret_cast<const uint8_t*>(result));
  *value = result;
  return p;
}

bool ParseFde(const uint8_t* fde, const TEhBases& bases, TFdeInfo* info) {
  *info = TFdeInfo{};
  const uint8_t* p = fde;
  uint32_t length = Load<uint32_t>(p);
  p += 4;
  if (length == 0) return false;
  if (length == 0xffffffffu) p += 8;  // 64-bit DWARF: the CIE pointer stays 4 bytes in .eh_frame
  const uint8_t* ciePointerField = p;
  uint32_t cieDelta = Load<uint32_t>(p);
  p += 4;
  if (cieDelta == 0) return false;

  // The CIE.
  const uint8_t* q = ciePointerField - cieDelta;
  uint32_t cieLength = Load<uint32_t>(q);
  q += 4;
  if (cieLength == 0xffffffffu) q += 8;
  if (Load<uint32_t>(q) != 0) return false;
  q += 4;
  uint8_t version = *q++;
  const char* augmentation = reinterpret_cast<const char*>(q);
  q += std::strlen(augmentation) + 1;
  if (augmentation[0] == 'e' && augmentation[1] == 'h') {
    q += sizeof(void*);  // the old eh data pointer
    augmentation += 2;
  }
  uint64_t u;
  int64_t s;
  q = ReadUleb128(q, &u);  // code alignment
  q = ReadSleb128(q, &s);  // data alignment
  if (version == 1)
    ++q;  // return address column
  else
    q = ReadUleb128(q, &u);

  uint8_t fdeEncoding = kEhPeAbsptr;
  uint8_t lsdaEncoding = kEhPeOmit;
  const bool hasAugmentationData = augmentation[0] == 'z';
  if (hasAugmentationData) {
    q = ReadUleb128(q, &u);
    for (const char* a = augmentation + 1; *a; ++a) {
      if (*a == 'P') {
        uint8_t encoding = *q++;
        q = ReadEncodedPointer(q, encoding, bases, &info->Personality);
        if (!q) return false;
      } else if (*a == 'L') {
        lsdaEncoding = *q++;
      } else if (*a == 'R') {
        fdeEncoding = *q++;
      } else if (*a == 'S') {
        info->SignalFrame = true;
      } else {
        break;  // letters after an unknown one cannot be read; 'z' tells where the data ends
      }
    }
  } else if (augmentation[0] != '\0') {
    return false;
  }

  // The FDE: the function's range, then its own augmentation data (the LSDA pointer).
  p = ReadEncodedPointer(p, fdeEncoding, bases, &info->FunctionStart);
  if (!p) return false;
  p = ReadEncodedPointer(p, fdeEncoding & 0x0f, bases, &info->FunctionSize);
  if (!p) return false;
  if (hasAugmentationData) {
    p = ReadUleb128(p, &u);
    if (lsdaEncoding != kEhPeOmit && u != 0) {
      TEhBases own = bases;
      own.FunctionStart = info->FunctionStart;
      if (!ReadEncodedPointer(p, lsdaEncoding, own, &info->Lsda)) return false;
    }
  }
  return true;
}

namespace {

struct TLsdaHeader {
  uintptr_t Start = 0;    // the function's start: call sites are relative to it
  uintptr_t LPStart = 0;  // landing pads are relative to it
  const uint8_t* TType = nullptr;
  uint8_t TTypeEncoding = kEhPeOmit;
  uint8_t CallSiteEncoding = kEhPeOmit;
  const uint8_t* CallSites = nullptr;
  const uint8_t* ActionTable = nullptr;
  TEhBases Bases;
};

const uint8_t* ParseLsdaHeader(const uint8_t* p, const TEhBases& bases, TLsdaHeader* h) {
  h->Bases = bases;
  h->Start = bases.FunctionStart;
  uint8_t lpStartEncoding = *p++;
  if (lpStartEncoding != kEhPeOmit) {
    p = ReadEncodedPointer(p, lpStartEncoding, bases, &h->LPStart);
    if (!p) return nullptr;
  } else {
    h->LPStart = h->Start;
  }
  h->TTypeEncoding = *p++;
  uint64_t offset;
  if (h->TTypeEncoding != kEhPeOmit) {
    p = ReadUleb128(p, &offset);
    h->TType = p + offset;
  }
  h->CallSiteEncoding = *p++;
  p = ReadUleb128(p, &offset);
  h->ActionTable = p + offset;
  h->CallSites = p;
  return p;
}

// The type of handler `index` (1-based, counted backwards from TType). Null for catch (...).
bool TypeEntry(const TLsdaHeader& h, uint64_t index, const std::type_info** type) {
  size_t size = EncodedPointerSize(h.TTypeEncoding);
  if (!h.TType || size == 0) return false;
  uintptr_t value;
  if (!ReadEncodedPointer(h.TType - index * size, h.TTypeEncoding, h.Bases, &value)) return false;
  *type = reinterpret_cast<const std::type_info*>(value);
  return true;
}

// The personality's match: a thrown pointer is matched by its value, anything else by the
// object's address. __do_catch writes only to the local copy.
bool Matches(const std::type_info* catchType, const std::type_info* throwType, void* thrownObject) {
  void* adjusted = thrownObject;
  if (throwType->__is_pointer_p()) adjusted = thrownObject ? *static_cast<void**>(thrownObject) : nullptr;
  return catchType->__do_catch(throwType, &adjusted, 1);
}

enum TSpecResult { srAllowed, srNotAllowed, srUnreadable };

TSpecResult CheckThrowList(const TLsdaHeader& h, int64_t filter, const std::type_info* type, void* thrownObject) {
  if (!h.TType) return srUnreadable;
  const uint8_t* e = h.TType - filter - 1;
  for (int guard = 0; guard < kMaxActionRecords; ++guard) {
    uint64_t index;
    e = ReadUleb128(e, &index);
    if (index == 0) return srNotAllowed;
    if (!type) return srAllowed;  // a foreign exception passes every non-empty list
    const std::type_info* allowed;
    if (!TypeEntry(h, index, &allowed)) return srUnreadable;
    if (allowed && Matches(allowed, type, thrownObject)) return srAllowed;
  }
  return srUnreadable;
}

}  // namespace

TFrameVerdict ClassifyGxxFrame(const uint8_t* lsda, uintptr_t ip, const TEhBases& bases, const std::type_info* type,
                               void* thrownObject) {
  TFrameVerdict verdict;
  if (!lsda) return verdict;
  TLsdaHeader h;
  const uint8_t* p = ParseLsdaHeader(lsda, bases, &h);
  if (!p) return {faUnreadable, 0};

  // The call-site table is sorted by start; an ip that falls in no entry ends in terminate.
  uintptr_t landingPad = 0;
  const uint8_t* actionRecord = nullptr;
  bool found = false;
  while (p < h.ActionTable) {
    uintptr_t start, length, pad;
    uint64_t action;
    p = ReadEncodedPointer(p, h.CallSiteEncoding, h.Bases, &start);
    if (p) p = ReadEncodedPointer(p, h.CallSiteEncoding, h.Bases, &length);
    if (p) p = ReadEncodedPointer(p, h.CallSiteEncoding, h.Bases, &pad);
    if (!p) return {faUnreadable, 0};
    p = ReadUleb128(p, &action);
    if (ip < h.Start + start) break;
    if (ip < h.Start + start + length) {
      if (pad) landingPad = h.LPStart + pad;
      if (action) actionRecord = h.ActionTable + action - 1;
      found = true;
      break;
    }
  }
  if (!found) return {faTerminate, 0};
  if (landingPad == 0) return {faNothing, 0};
  if (!actionRecord) return {faCleanup, landingPad};

  // Without a handler, the frame only matters for phase 2: a landing pad runs when some record
  // is a cleanup (filter 0).
  bool sawCleanup = false;
  for (int guard = 0; guard < kMaxActionRecords; ++guard) {
    int64_t filter, displacement;
    const uint8_t* next = ReadSleb128(actionRecord, &filter);
    ReadSleb128(next, &displacement);
    if (filter > 0) {
      const std::type_info* catchType;
      if (!TypeEntry(h, static_cast<uint64_t>(filter), &catchType)) return {faUnreadable, landingPad};
      if (!catchType) return {faCatchAll, landingPad};
      if (type && Matches(catchType, type, thrownObject)) return {faCatchTyped, landingPad};
    } else if (filter < 0) {
      TSpecResult r = CheckThrowList(h, filter, type, thrownObject);
      if (r == srUnreadable) return {faUnreadable, landingPad};
      if (r == srNotAllowed) return {faUnexpected, landingPad};
    } else {
      sawCleanup = true;
    }
    if (displacement == 0) return sawCleanup ? TFrameVerdict{faCleanup, landingPad} : TFrameVerdict{};
    actionRecord = next + displacement;
  }
  return {faUnreadable, landingPad};
}
