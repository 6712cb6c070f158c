#include "reporting/options/EStoredData.h"

#include <zlib.h>

#include <cmath>
#include <cstring>
#include <sstream>

#include "reporting/options/EStreams.h"

namespace {

constexpr uint32_t kHeaderSize = 40;
constexpr size_t kSymbolSize = 16;
// A damaged size field must not make us allocate without bound.
constexpr uint32_t kMaxOptionsSize = 64u << 20;

uint32_t Le32(std::string_view b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

}  // namespace

double UnixTimeToDayCount(int64_t unixSeconds) { return 25569.0 + static_cast<double>(unixSeconds) / 86400.0; }
int64_t DayCountToUnixTime(double dayCount) { return std::llround((dayCount - 25569.0) * 86400.0); }

std::string EncodeStoredBlock(const TStoredBlock& block) {
  uLongf bound = compressBound(static_cast<uLong>(block.Options.size()));
  std::string compressed(bound, '\0');
  if (compress2(reinterpret_cast<Bytef*>(compressed.data()), &bound,
                reinterpret_cast<const Bytef*>(block.Options.data()), static_cast<uLong>(block.Options.size()),
                9) != Z_OK)
    throw Exception("Cannot compress the options stream");
  compressed.resize(bound);

  std::string out;
  TFieldWriter w(out);
  w.U32(kStoredDataMagic);
  w.U16(block.Version);
  w.F64(block.CompileTime);
  w.U8(block.LeakFlags);
  w.U8(block.DeferToMainModule);
  w.U32(kHeaderSize);
  w.U32(static_cast<uint32_t>(compressed.size()));
  w.U32(static_cast<uint32_t>(block.Options.size()));
  w.U32(static_cast<uint32_t>(block.Symbols.size()));
  w.U32(static_cast<uint32_t>(block.DebugInfo.size()));
  w.U32(0);
  w.Bytes(compressed);
  for (const auto& s : block.Symbols) {
    w.U32(s.Id);
    w.U32(0);
    w.U64(s.Offset);
  }
  w.Bytes(block.DebugInfo);
  return out;
}

std::optional<TStoredBlock> DecodeStoredBlock(std::string_view bytes) {
  if (bytes.size() < kHeaderSize) return std::nullopt;
  uint32_t magic = Le32(bytes, 0);
  if (magic != kStoredDataMagic && magic != kStoredDataMagicAlt) return std::nullopt;
  try {
    std::istringstream in{std::string(bytes)};
    TFieldReader r(in);
    TStoredBlock block;
    r.U32();
    block.Version = r.U16();
    if (block.Version >= 600 && block.Version <= 602) block.Version = static_cast<uint16_t>(block.Version * 10);
    if (block.Version < 6000 || block.Version > kStoredDataVersion) return std::nullopt;
    block.CompileTime = r.F64();
    block.LeakFlags = r.U8();
    block.DeferToMainModule = r.U8();
    uint32_t headerSize = r.U32();
    uint32_t compressedSize = r.U32();
    uint32_t optionsSize = r.U32();
    uint32_t symbolCount = r.U32();
    uint32_t debugSize = r.U32();
    uint64_t total = uint64_t{headerSize} + compressedSize + uint64_t{symbolCount} * kSymbolSize + debugSize;
    if (headerSize < kHeaderSize || total > bytes.size() || optionsSize > kMaxOptionsSize) return std::nullopt;

    std::string_view compressed = bytes.substr(headerSize, compressedSize);
    block.Options.resize(optionsSize);
    uLongf outSize = optionsSize;
    if (uncompress(reinterpret_cast<Bytef*>(block.Options.data()), &outSize,
                   reinterpret_cast<const Bytef*>(compressed.data()), static_cast<uLong>(compressed.size())) != Z_OK ||
        outSize != optionsSize)
      return std::nullopt;

    size_t at = headerSize + compressedSize;
    for (uint32_t i = 0; i < symbolCount; ++i, at += kSymbolSize) {
      TStoredSymbol s;
      s.Id = Le32(bytes, at);
      std::memcpy(&s.Offset, bytes.data() + at + 8, 8);
      block.Symbols.push_back(s);
    }
    block.DebugInfo = std::string(bytes.substr(at, debugSize));
    return block;
  } catch (const EReadError&) {
    return std::nullopt;
  }
}
