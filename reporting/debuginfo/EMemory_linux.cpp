#include <link.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "reporting/debuginfo/EMemory.h"

namespace {

constexpr size_t kPageSize = 4096;
constexpr size_t kCachedPages = 16;

struct LoaderCounts {
  unsigned long long adds = 0, subs = 0;
};

int ReadCounts(dl_phdr_info* info, size_t size, void* data) {
  auto* counts = static_cast<LoaderCounts*>(data);
  if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
    counts->adds = info->dlpi_adds;
    counts->subs = info->dlpi_subs;
  }
  return 1;  // the counters are the same in every record
}

int CollectCode(dl_phdr_info* info, size_t, void* data) {
  auto* ranges = static_cast<TAddressRanges*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) && ph.p_memsz > 0)
      ranges->emplace_back(info->dlpi_addr + ph.p_vaddr, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
  }
  return 0;
}

}  // namespace

bool IMemoryReader::IsReadable(uintptr_t address, size_t size) {
  uint8_t buf[64];
  while (size > 0) {
    size_t n = std::min(size, sizeof buf);
    if (!Read(address, buf, n)) return false;
    address += n;
    size -= n;
  }
  return true;
}

bool RangesContain(const TAddressRanges& ranges, uintptr_t address) {
  auto it = std::upper_bound(ranges.begin(), ranges.end(), address,
                             [](uintptr_t a, const std::pair<uintptr_t, uintptr_t>& r) { return a < r.first; });
  return it != ranges.begin() && address < std::prev(it)->second;
}

TLiveCodeRanges& TLiveCodeRanges::Instance() {
  static TLiveCodeRanges* instance = new TLiveCodeRanges;  // used until the process ends
  return *instance;
}

std::shared_ptr<const TAddressRanges> TLiveCodeRanges::Current() {
  LoaderCounts counts;
  dl_iterate_phdr(&ReadCounts, &counts);
  std::lock_guard lock(mutex_);
  if (!ranges_ || counts.adds != adds_ || counts.subs != subs_) {
    auto ranges = std::make_shared<TAddressRanges>();
    dl_iterate_phdr(&CollectCode, ranges.get());
    std::sort(ranges->begin(), ranges->end());
    ranges_ = std::move(ranges);
    adds_ = counts.adds;
    subs_ = counts.subs;
  }
  return ranges_;
}

bool TLiveCodeRanges::IsCodeAddress(uintptr_t address) const {
  std::shared_ptr<const TAddressRanges> ranges;
  {
    std::lock_guard lock(mutex_);
    ranges = ranges_;
  }
  return ranges && RangesContain(*ranges, address);
}

void TReadableRegions::Load() {
  regions_.clear();
  FILE* f = std::fopen("/proc/self/maps", "re");
  if (!f) return;
  char line[512];
  while (std::fgets(line, sizeof line, f)) {
    unsigned long long from = 0, to = 0;
    char perms[8] = {};
    if (std::sscanf(line, "%llx-%llx %7s", &from, &to, perms) != 3) continue;
    // A region without read permission is unreadable (guard pages among them).
    if (perms[0] != 'r') continue;
    if (!regions_.empty() && regions_.back().second == from)
      regions_.back().second = to;
    else
      regions_.emplace_back(from, to);
  }
  std::fclose(f);
  loaded_ = true;
}

bool TReadableRegions::IsReadable(uintptr_t address, size_t size) {
  if (size == 0) return true;
  if (address + size < address) return false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!loaded_ || attempt == 1) {
      if (attempt == 1 && !refreshAllowed_) return false;
      Load();
      refreshAllowed_ = false;
    }
    // Merged neighbours make a range spanning several regions one lookup.
    auto it = std::upper_bound(regions_.begin(), regions_.end(), address,
                               [](uintptr_t a, const std::pair<uintptr_t, uintptr_t>& r) { return a < r.first; });
    if (it != regions_.begin() && address + size <= std::prev(it)->second) return true;
  }
  return false;
}

bool ReadOwnMemory(uintptr_t address, void* dst, size_t size) {
  if (size == 0) return true;
  iovec local{dst, size};
  iovec remote{reinterpret_cast<void*>(address), size};
  return ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

TProcessMemoryReader::TProcessMemoryReader(std::shared_ptr<const TAddressRanges> codeRanges)
    : code_(codeRanges ? std::move(codeRanges) : TLiveCodeRanges::Instance().Current()) {}

bool TProcessMemoryReader::ReadCodePage(uintptr_t page, const uint8_t*& bytes) {
  if (!pages_) pages_ = std::make_unique<Page[]>(kCachedPages);
  for (size_t i = 0; i < kCachedPages; ++i)
    if (pages_[i].Valid && pages_[i].Address == page) {
      bytes = pages_[i].Bytes;
      return true;
    }
  Page& p = pages_[nextPage_];
  nextPage_ = (nextPage_ + 1) % kCachedPages;
  p.Valid = ReadOwnMemory(page, p.Bytes, kPageSize);
  p.Address = page;
  bytes = p.Bytes;
  return p.Valid;
}

bool TProcessMemoryReader::Read(uintptr_t address, void* dst, size_t size) {
  if (address + size < address) return false;
  auto* out = static_cast<uint8_t*>(dst);
  // Code of loaded modules does not change while it stays loaded: served from cached pages.
  while (size > 0 && RangesContain(*code_, address)) {
    uintptr_t page = address & ~(kPageSize - 1);
    const uint8_t* bytes = nullptr;
    if (!ReadCodePage(page, bytes)) break;
    size_t n = std::min(size, page + kPageSize - address);
    std::memcpy(out, bytes + (address - page), n);
    out += n;
    address += n;
    size -= n;
  }
  return ReadOwnMemory(address, out, size);
}

bool TProcessMemoryReader::IsReadable(uintptr_t address, size_t size) {
  if (size == 0) return true;
  if (RangesContain(*code_, address) && RangesContain(*code_, address + size - 1)) return true;
  return regions_.IsReadable(address, size);
}

bool TStackCopyReader::Read(uintptr_t address, void* dst, size_t size) {
  if (address + size < address) return false;
  uintptr_t end = copy_.Start + copy_.Size;
  if (copy_.Bytes && address >= copy_.Start && address + size <= end) {
    std::memcpy(dst, copy_.Bytes + (address - copy_.Start), size);
    return true;
  }
  // Partly inside: the copy's part from the copy, the rest from memory.
  if (copy_.Bytes && address < end && address + size > copy_.Start) {
    auto* out = static_cast<uint8_t*>(dst);
    uintptr_t from = std::max(address, copy_.Start), to = std::min(address + size, end);
    if (address < from && !next_.Read(address, out, from - address)) return false;
    std::memcpy(out + (from - address), copy_.Bytes + (from - copy_.Start), to - from);
    return to == address + size || next_.Read(to, out + (to - address), address + size - to);
  }
  return next_.Read(address, dst, size);
}
