// Reading memory the layer does not own (stack words, code bytes, pointers) without ever
// faulting, and knowing which addresses are code of a loaded module. The stack scan and the
// unwinder see memory only through these interfaces, so they can be tested on crafted bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "reporting/interception/EContext.h"

class IMemoryReader {
 public:
  virtual ~IMemoryReader() = default;
  // Copies `size` bytes at `address`; false when any of them is not readable (dst is then
  // unspecified).
  virtual bool Read(uintptr_t address, void* dst, size_t size) = 0;
  virtual bool IsReadable(uintptr_t address, size_t size);
};

// Whether an address lies in an executable segment of a loaded module.
class ICodeRanges {
 public:
  virtual ~ICodeRanges() = default;
  virtual bool IsCodeAddress(uintptr_t address) const = 0;
};

// Sorted, non-overlapping address ranges [first, second).
using TAddressRanges = std::vector<std::pair<uintptr_t, uintptr_t>>;
bool RangesContain(const TAddressRanges& ranges, uintptr_t address);

// The executable PT_LOAD segments of every loaded object, taken from the loader. Current()
// rebuilds the table only when the loader's count of loads and unloads has changed.
class TLiveCodeRanges final : public ICodeRanges {
 public:
  static TLiveCodeRanges& Instance();
  // A snapshot that stays valid while it is held.
  std::shared_ptr<const TAddressRanges> Current();
  bool IsCodeAddress(uintptr_t address) const override;  // on the last snapshot

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const TAddressRanges> ranges_;
  unsigned long long adds_ = ~0ull, subs_ = ~0ull;
};

// The readable regions of /proc/self/maps (read permission, not a guard area): re-read when a
// lookup misses, at most once per `Refresh` generation so that truly unreadable addresses do
// not re-read the file on every test.
class TReadableRegions {
 public:
  bool IsReadable(uintptr_t address, size_t size);
  void AllowRefresh() { refreshAllowed_ = true; }

 private:
  void Load();
  TAddressRanges regions_;
  bool loaded_ = false;
  bool refreshAllowed_ = true;
};

// Our own process's memory through process_vm_readv, which fails instead of faulting. Pages
// of module code are cached per reader (a reader lives for one stack), since the scan reads
// the same call sites and stubs over and over.
class TProcessMemoryReader final : public IMemoryReader {
 public:
  explicit TProcessMemoryReader(std::shared_ptr<const TAddressRanges> codeRanges = nullptr);
  bool Read(uintptr_t address, void* dst, size_t size) override;
  bool IsReadable(uintptr_t address, size_t size) override;

 private:
  bool ReadCodePage(uintptr_t page, const uint8_t*& bytes);
  struct Page {
    uintptr_t Address = 0;
    bool Valid = false;
    uint8_t Bytes[4096];
  };
  std::shared_ptr<const TAddressRanges> code_;
  std::unique_ptr<Page[]> pages_;
  size_t nextPage_ = 0;
  TReadableRegions regions_;
};

// Plain process_vm_readv on our own process.
bool ReadOwnMemory(uintptr_t address, void* dst, size_t size);

// A stack copy in front of another reader: addresses inside the copy come from the copy, all
// others from `next`.
class TStackCopyReader final : public IMemoryReader {
 public:
  TStackCopyReader(const TStackCopyView& copy, IMemoryReader& next) : copy_(copy), next_(next) {}
  bool Read(uintptr_t address, void* dst, size_t size) override;

 private:
  TStackCopyView copy_;
  IMemoryReader& next_;
};
