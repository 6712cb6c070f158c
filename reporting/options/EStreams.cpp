#include "reporting/options/EStreams.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <istream>

static_assert(std::endian::native == std::endian::little, "the stored formats are little-endian");

void TFieldWriter::U16(uint16_t v) { out_.append(reinterpret_cast<const char*>(&v), 2); }
void TFieldWriter::U32(uint32_t v) { out_.append(reinterpret_cast<const char*>(&v), 4); }
void TFieldWriter::U64(uint64_t v) { out_.append(reinterpret_cast<const char*>(&v), 8); }
void TFieldWriter::F64(double v) { U64(std::bit_cast<uint64_t>(v)); }

std::string StoredStringForm(std::string_view s) {
  size_t crlf = s.find("\r\n");
  if (crlf != std::string_view::npos && crlf + 2 == s.size()) s.remove_suffix(2);
  return std::string(s);
}

void TFieldWriter::ScrambledString(std::string_view s) {
  std::string stored = StoredStringForm(s);
  I32(static_cast<int32_t>(stored.size()));
  for (char& c : stored) c = static_cast<char>(static_cast<uint8_t>(c) ^ kStringScrambleKey);
  out_.append(stored);
}

void TFieldReader::Read(void* p, size_t n) {
  if (n == 0) return;
  in_.read(static_cast<char*>(p), static_cast<std::streamsize>(n));
  if (static_cast<size_t>(in_.gcount()) != n) throw EReadError("Stream read error");
}

uint8_t TFieldReader::U8() {
  uint8_t v;
  Read(&v, 1);
  return v;
}
uint16_t TFieldReader::U16() {
  uint16_t v;
  Read(&v, 2);
  return v;
}
uint32_t TFieldReader::U32() {
  uint32_t v;
  Read(&v, 4);
  return v;
}
uint64_t TFieldReader::U64() {
  uint64_t v;
  Read(&v, 8);
  return v;
}
double TFieldReader::F64() { return std::bit_cast<double>(U64()); }

std::string TFieldReader::Bytes(size_t n) {
  // Grow in steps so that a damaged length cannot demand a huge buffer before the short read
  // shows the damage.
  constexpr size_t kStep = 64 * 1024;
  std::string out;
  while (out.size() < n) {
    size_t chunk = std::min(kStep, n - out.size());
    size_t at = out.size();
    out.resize(at + chunk);
    Read(out.data() + at, chunk);
  }
  return out;
}

std::string TFieldReader::ScrambledString() {
  int32_t n = I32();
  if (n < 0) throw EReadError("Stream read error");
  std::string s = Bytes(static_cast<size_t>(n));
  for (char& c : s) c = static_cast<char>(static_cast<uint8_t>(c) ^ kStringScrambleKey);
  return s;
}
