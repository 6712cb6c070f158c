// The stored reporting data of a module: a block written by the build step into the binary
// (as the non-allocated ELF section ".tldata", or appended to the file) that carries the
// module's options and, for the call-stack code, a symbol directory and debug information.
//
// Block layout, little-endian:
//   0  magic (4)            0x100FAB10 (written) or 0x000FAB10
//   4  format version (2)   6020; 600..602 stand for 6000..6002
//   6  compilation time (8) day count since 1899-12-30 as a double, UTC; 0 when unknown
//  14  leak flags (1)       copy of the options' LeakFlags, read before the options are
//  15  defer to main (1)    leak tracking follows the main module's block
//  16  header size (4)      offset of the data that follows (40)
//  20  compressed options size (4), 24 options size (4)
//  28  symbol count (4), 32 debug information size (4), 36 reserved (4)
//  then the zlib-compressed options stream, the symbols (id 4, reserved 4, offset from the
//  module's load base 8, each), the debug information.
// A block appended to a file is followed by its length (4) and the magic again (4), so the
// file's last four bytes identify it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr uint32_t kStoredDataMagic = 0x100FAB10;
constexpr uint32_t kStoredDataMagicAlt = 0x000FAB10;
constexpr uint16_t kStoredDataVersion = 6020;
constexpr const char* kStoredDataSection = ".tldata";

struct TStoredSymbol {
  uint32_t Id = 0;
  uint64_t Offset = 0;  // from the module's load base
  friend bool operator==(const TStoredSymbol&, const TStoredSymbol&) = default;
};

struct TStoredBlock {
  uint16_t Version = kStoredDataVersion;
  double CompileTime = 0;
  uint8_t LeakFlags = 0;
  uint8_t DeferToMainModule = 0;
  std::string Options;  // the options stream, uncompressed
  std::vector<TStoredSymbol> Symbols;
  std::string DebugInfo;
};

std::string EncodeStoredBlock(const TStoredBlock& block);
// None for a block without a magic number, of a version outside 6000..6020, or whose parts
// do not fit or do not decompress.
std::optional<TStoredBlock> DecodeStoredBlock(std::string_view bytes);

// Day count of a Unix time, and back.
double UnixTimeToDayCount(int64_t unixSeconds);
int64_t DayCountToUnixTime(double dayCount);

enum class TStoredPlace { None, Section, Appended };
struct TStoredLocation {
  TStoredPlace Place = TStoredPlace::None;
  uint64_t Offset = 0;  // of the block in the file
  uint64_t Size = 0;
};

// Where a file keeps its block: the ".tldata" section when it starts with a magic number,
// else a block appended to the file. Never throws.
TStoredLocation FindStoredBlock(const std::string& fileName);
// The file's block, decoded; none when there is none or it is unusable. Never throws.
std::optional<TStoredBlock> ReadStoredBlock(const std::string& fileName, TStoredLocation* where = nullptr);

// Writes the block into an ELF file as its ".tldata" section (replacing one that is there)
// by running `objcopy`; any appended block is removed first. Raises Exception on failure.
void WriteStoredBlockSection(const std::string& fileName, const TStoredBlock& block,
                             const std::string& objcopy = "objcopy");
// Removes the ".tldata" section, if there is one, by running `objcopy`.
void RemoveStoredBlockSection(const std::string& fileName, const std::string& objcopy = "objcopy");
// Appends the block to the file, replacing an appended block that is there.
void WriteStoredBlockAppended(const std::string& fileName, const TStoredBlock& block);
// Removes an appended block; true when there was one.
bool RemoveAppendedBlock(const std::string& fileName);
// True when the file is an ELF object (what the section form needs).
bool IsElfFile(const std::string& fileName);
