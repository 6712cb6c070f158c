// The stored debug block: a compact line table that the build step derives from a binary's
// DWARF and stores with the module's reporting data, so that stripped binaries still resolve
// unit, class, procedure and line (inlined levels included).
//
// Block layout, little-endian:
//   0  magic "TLDI" (4), format version (2), flags (2: bit 0 names enciphered)
//   8  build-id length (1), the build-id
//      when enciphered: salt (16), key-derivation iterations (4), nonce (12), tag (16)
//      payload size (4), compressed size (4), the zlib-compressed payload
// The payload holds, as LEB128 numbers: the name table (lengths, then the name bytes, the
// only part that is enciphered), the source files (a name each), the procedures (class name,
// procedure name, first line) and the unit blocks. A unit block names the unit, its first
// line, its code start (relative to the load bias) and size, and a table of steps; each step
// advances the code offset and either the innermost line (and file) or replaces the inner
// levels of the location chain, starting procedures and inlined calls.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reporting/debuginfo/EDebug.h"

// One level of a location: a procedure and a line in a source file.
struct TStoredFrame {
  std::string SourceName;     // as recorded (may hold a path)
  std::string ClassName;      // empty for a free function
  std::string ProcedureName;  // empty when unknown
  int32_t LineNumber = 0;
  int32_t DeclLine = 0;       // the procedure's first line; 0 when unknown
  bool Inlined = false;       // this level was inlined into the next one
  friend bool operator==(const TStoredFrame&, const TStoredFrame&) = default;
};

// A run of code that resolves to one location chain, up to the next range's start.
struct TStoredRange {
  uint64_t Start = 0;                // relative to the load bias
  std::vector<TStoredFrame> Frames;  // innermost first; empty: nothing known here
  friend bool operator==(const TStoredRange&, const TStoredRange&) = default;
};

struct TStoredUnit {
  std::string Name;
  int32_t FirstLine = 0;
  uint64_t Start = 0;  // relative to the load bias
  uint64_t Size = 0;
  std::vector<TStoredRange> Ranges;  // ascending, inside [Start, Start + Size)
  friend bool operator==(const TStoredUnit&, const TStoredUnit&) = default;
};

struct TStoredDebugTable {
  std::string BuildId;  // raw bytes of the module's NT_GNU_BUILD_ID
  std::vector<TStoredUnit> Units;
  friend bool operator==(const TStoredDebugTable&, const TStoredDebugTable&) = default;
};

// The block for a table; with a password the names are enciphered (AES-256-GCM, the key
// derived by PBKDF2-HMAC-SHA256). Raises Exception when a unit's ranges are out of order or
// outside the unit.
std::string EncodeStoredDebugInfo(const TStoredDebugTable& table, const std::string& password = {});

struct TStoredDebugContents {
  TStoredDebugTable Table;
  bool Enciphered = false;
  bool PasswordValid = false;  // names readable: not enciphered, or opened by the password
};
// The table of a block; none when it is not a valid block. Names that cannot be read show
// as "?"+Base64 of their stored bytes, source and unit names as "?p"+Base64.
std::optional<TStoredDebugContents> DecodeStoredDebugInfo(std::string_view blob, const std::string& password = {});

// Whether the block's names are enciphered (a password is worth asking for).
bool StoredDebugInfoEnciphered(std::string_view blob);

// The source over a stored block.
class TTLDebugInfoStored : public TTLDebugInfoSource {
 public:
  ~TTLDebugInfoStored() override;
  bool InitializeSource() override;
  bool IsSourceValid() const override;
  bool GetLocationInfo(uintptr_t address, std::vector<TTLLocationInfo>& frames) const override;
  const char* SourceKindName() const override { return "stored"; }
  bool NamesReadable() const override { return PasswordValid(); }
  bool NamesEnciphered() const;
  bool PasswordValid() const;  // names readable: not enciphered, or opened by the password

  struct TData;

 private:
  friend std::unique_ptr<TTLDebugInfoSource> MakeStoredDebugSource(const TTarvexModuleInfo&, std::string_view,
                                                                    const std::string&);
  TTLDebugInfoStored(const TTarvexModuleInfo& module, std::unique_ptr<TData> data);
  std::unique_ptr<TData> data_;
};

// The debug source over a module's stored block (`blob` is the stored debug information).
// Returns null when the blob is not a valid block or its recorded build-id differs from the
// module's. Names enciphered under a password show as "?"+Base64 unless `password` opens them.
// The result is a TTLDebugInfoStored.
std::unique_ptr<TTLDebugInfoSource> MakeStoredDebugSource(const TTarvexModuleInfo& module, std::string_view blob,
                                                          const std::string& password);
