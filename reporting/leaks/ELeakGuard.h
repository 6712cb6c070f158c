// Guard bytes around a tracked block: a front guard of at least 16 bytes (the alignment the
// caller asked for, so the caller's pointer keeps it) and, behind the caller's bytes, everything
// up to the end of what the allocator actually handed out (at least 8 bytes are asked for).
// Writes past the end or before the start then change a guard byte the release can check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr unsigned char kLeakGuardByte = 0xFD;
constexpr size_t kLeakBackGuardMin = 8;
constexpr unsigned kLeakFrontShiftMin = 4;  // 16 bytes

inline void FillLeakGuards(unsigned char* raw, size_t front, size_t size, size_t usable) {
  std::memset(raw, kLeakGuardByte, front);
  std::memset(raw + front + size, kLeakGuardByte, usable - front - size);
}

// True when every guard byte is intact. Compared a word at a time: a release checks every block.
inline bool LeakGuardsIntact(const unsigned char* raw, size_t front, size_t size, size_t usable) {
  constexpr uint64_t kWord = 0x0101010101010101ull * kLeakGuardByte;
  uint64_t differ = 0;
  // The front guard is a power of two of at least 16 bytes.
  for (size_t i = 0; i < front; i += sizeof(uint64_t)) {
    uint64_t w;
    std::memcpy(&w, raw + i, sizeof w);
    differ |= w ^ kWord;
  }
  size_t i = front + size;
  for (; i + sizeof(uint64_t) <= usable; i += sizeof(uint64_t)) {
    uint64_t w;
    std::memcpy(&w, raw + i, sizeof w);
    differ |= w ^ kWord;
  }
  for (; i < usable; ++i) differ |= raw[i] ^ kLeakGuardByte;
  return differ == 0;
}
