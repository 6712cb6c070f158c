// The little-endian field codec of the options stream and the stored block.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "runtime/Streams.h"  // the stream error classes
#include "runtime/SysUtils.h"

// Every byte of a stored string is XOR-ed with this constant (the same for all modules).
constexpr uint8_t kStringScrambleKey = 0xA7;

// Appends little-endian fields to a byte buffer.
class TFieldWriter {
 public:
  explicit TFieldWriter(std::string& out) : out_(out) {}
  void U8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void U16(uint16_t v);
  void U32(uint32_t v);
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void U64(uint64_t v);
  void F64(double v);
  void Bytes(std::string_view b) { out_.append(b); }
  // Length (4 bytes) and the scrambled bytes. A text whose first CR LF ends it loses that pair.
  void ScrambledString(std::string_view s);

 private:
  std::string& out_;
};

// Reads little-endian fields; a short read raises EReadError.
class TFieldReader {
 public:
  explicit TFieldReader(std::istream& in) : in_(in) {}
  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  int32_t I32() { return static_cast<int32_t>(U32()); }
  uint64_t U64();
  double F64();
  std::string Bytes(size_t n);
  std::string ScrambledString();

 private:
  void Read(void* p, size_t n);
  std::istream& in_;
};

// The text as stored: without a trailing CR LF when that is its first CR LF.
std::string StoredStringForm(std::string_view s);

// Whole-file access for option files: reading holds a shared lock so that no writer of ours
// changes the file meanwhile, writing an exclusive one. Raise EFOpenError / EFCreateError.
std::string ReadFileBytes(const std::string& fileName);
void WriteFileBytes(const std::string& fileName, std::string_view data);
