// Linux side of the patching toolkit: /proc/self/maps for protections and free address space,
// mprotect around each write, anonymous pages for trampolines, and the dynamic sections of the
// loaded ELF modules for GOT entries.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "reporting/interception/EHookPlatform.h"
#include "reporting/options/EModules.h"

namespace ehook {
namespace {

struct TRegion {
  uintptr_t Start = 0;
  uintptr_t End = 0;
  int Prot = PROT_NONE;
  std::string Name;
};

uintptr_t PageSize() {
  static const uintptr_t size = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

std::string ReadWholeFile(const char* path) {
  std::string text;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return text;
}

// The process's mappings in address order. Read anew each time: patches are rare, and the map
// changes with every library loaded or page mapped.
std::vector<TRegion> MemoryMap() {
  std::vector<TRegion> regions;
  std::string text = ReadWholeFile("/proc/self/maps");
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    unsigned long long start = 0, end = 0;
    char perms[5] = {};
    int consumed = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx %4s %*s %*s %*s%n", &start, &end, perms, &consumed) < 3) continue;
    TRegion r;
    r.Start = static_cast<uintptr_t>(start);
    r.End = static_cast<uintptr_t>(end);
    r.Prot = (perms[0] == 'r' ? PROT_READ : 0) | (perms[1] == 'w' ? PROT_WRITE : 0) |
             (perms[2] == 'x' ? PROT_EXEC : 0);
    if (consumed > 0 && static_cast<size_t>(consumed) < line.size()) {
      size_t n = line.find_first_not_of(' ', static_cast<size_t>(consumed));
      if (n != std::string::npos) r.Name = line.substr(n);
    }
    regions.push_back(std::move(r));
  }
  return regions;
}

const TRegion* RegionAt(const std::vector<TRegion>& regions, uintptr_t address) {
  auto it = std::upper_bound(regions.begin(), regions.end(), address,
                             [](uintptr_t a, const TRegion& r) { return a < r.Start; });
  if (it == regions.begin()) return nullptr;
  --it;
  return address < it->End ? &*it : nullptr;
}

bool Cas16(void* p, uint64_t& lo, uint64_t& hi, uint64_t newLo, uint64_t newHi) {
  bool ok;
  asm volatile("lock cmpxchg16b %1"
               : "=@ccz"(ok), "+m"(*static_cast<volatile unsigned __int128*>(p)), "+a"(lo), "+d"(hi)
               : "b"(newLo), "c"(newHi)
               : "memory");
  return ok;
}

// One atomic store when the bytes fit an aligned 8- or 16-byte block, else a plain copy.
void StoreBytes(uintptr_t address, const uint8_t* bytes, size_t size) {
  const uintptr_t last = address + size - 1;
  if ((address & ~uintptr_t{7}) == (last & ~uintptr_t{7})) {
    auto* word = reinterpret_cast<uint64_t*>(address & ~uintptr_t{7});
    uint64_t old = __atomic_load_n(word, __ATOMIC_SEQ_CST);
    for (;;) {
      uint64_t next = old;
      std::memcpy(reinterpret_cast<uint8_t*>(&next) + (address & 7), bytes, size);
      if (__atomic_compare_exchange_n(word, &old, next, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) return;
    }
  }
  if ((address & ~uintptr_t{15}) == (last & ~uintptr_t{15})) {
    auto* block = reinterpret_cast<uint64_t*>(address & ~uintptr_t{15});
    uint64_t lo = block[0], hi = block[1];
    for (;;) {
      uint64_t next[2] = {lo, hi};
      std::memcpy(reinterpret_cast<uint8_t*>(next) + (address & 15), bytes, size);
      if (Cas16(block, lo, hi, next[0], next[1])) return;
    }
  }
  std::memcpy(reinterpret_cast<void*>(address), bytes, size);
}

// The main executable's dl_iterate_phdr entry comes first; a module is known by its load base
// (the lowest PT_LOAD page), as everywhere in the layer.
struct TModuleImage {
  ElfW(Addr) Bias = 0;
  TModuleHandle Base = 0;
  std::vector<ElfW(Phdr)> Headers;
};

// Copied out of the loader's callback: nothing may throw while the loader's lock is held.
std::vector<TModuleImage> ModuleImages() {
  std::vector<TModuleImage> images;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* out = static_cast<std::vector<TModuleImage>*>(data);
        TModuleImage image;
        image.Bias = info->dlpi_addr;
        image.Base = ModuleLoadBase(info);
        image.Headers.assign(info->dlpi_phdr, info->dlpi_phdr + info->dlpi_phnum);
        out->push_back(std::move(image));
        return 0;
      },
      &images);
  return images;
}

bool InsideSegments(const TModuleImage& image, uintptr_t address, size_t size) {
  for (const auto& h : image.Headers) {
    if (h.p_type != PT_LOAD) continue;
    uintptr_t start = image.Bias + h.p_vaddr;
    if (address >= start && address + size <= start + h.p_memsz) return true;
  }
  return false;
}

bool IsFree(const std::vector<TRegion>& regions, uintptr_t start, uintptr_t end) {
  for (const auto& r : regions)
    if (r.Start < end && start < r.End) return false;
  return true;
}

}  // namespace

size_t ReadableBytes(uintptr_t address, size_t max) {
  auto regions = MemoryMap();
  uintptr_t cur = address;
  const uintptr_t end = address + max;
  while (cur < end) {
    const TRegion* r = RegionAt(regions, cur);
    if (!r || !(r->Prot & PROT_READ)) break;
    cur = std::min(r->End, end);
  }
  return cur - address;
}

bool WriteProtected(uintptr_t address, const void* bytes, size_t size) {
  if (size == 0) return true;
  // One writer at a time: two writers on one page would restore each other's protection.
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);

  struct TChange {
    uintptr_t Start;
    size_t Length;
    int Prot;
  };
  std::vector<TChange> changed;
  auto undo = [&] {
    for (auto it = changed.rbegin(); it != changed.rend(); ++it)
      ::mprotect(reinterpret_cast<void*>(it->Start), it->Length, it->Prot);
  };

  auto regions = MemoryMap();
  const uintptr_t end = address + size;
  for (uintptr_t cur = address; cur < end;) {
    const TRegion* r = RegionAt(regions, cur);
    if (!r) {
      undo();
      return false;
    }
    const uintptr_t segEnd = std::min(r->End, end);
    const int wanted = r->Prot | PROT_READ | PROT_WRITE;
    if (wanted != r->Prot) {
      // Execute access stays: another thread may be running code on the same page.
      uintptr_t start = cur & ~(PageSize() - 1);
      size_t length = ((segEnd + PageSize() - 1) & ~(PageSize() - 1)) - start;
      if (::mprotect(reinterpret_cast<void*>(start), length, wanted) != 0) {
        undo();
        return false;
      }
      changed.push_back({start, length, r->Prot});
    }
    cur = segEnd;
  }
  StoreBytes(address, static_cast<const uint8_t*>(bytes), size);
  undo();
  __builtin___clear_cache(reinterpret_cast<char*>(address), reinterpret_cast<char*>(end));
  return true;
}

uintptr_t AllocateTrampoline(size_t size, uintptr_t low, uintptr_t high) {
  struct TPage {
    uintptr_t Base;
    size_t Used;
  };
  static std::mutex lock;
  static std::vector<TPage>* pages = new std::vector<TPage>;
  std::lock_guard<std::mutex> guard(lock);

  const uintptr_t page = PageSize();
  size = (size + 15) & ~size_t{15};
  if (size > page || low > high) return 0;
  for (auto& p : *pages) {
    uintptr_t at = p.Base + p.Used;
    if (p.Used + size <= page && at >= low && at <= high) {
      p.Used += size;
      return at;
    }
  }

  // A fresh page in a free gap of the window, as close to the window's middle as possible.
  // The gap above the heap is kept clear for the heap to grow, and the one below the stack
  // for the stack.
  constexpr uintptr_t kLowest = 0x10000;
  constexpr uintptr_t kHighest = uintptr_t{0x7ffffffff000};
  constexpr uintptr_t kKeepClear = uintptr_t{1} << 30;
  const uintptr_t first = std::max((low + page - 1) & ~(page - 1), kLowest);
  const uintptr_t last = std::min(high & ~(page - 1), kHighest - page);
  if (first > last) return 0;
  const uintptr_t middle = (low / 2 + high / 2) & ~(page - 1);

  for (int attempt = 0; attempt < 4; ++attempt) {
    auto regions = MemoryMap();
    std::vector<uintptr_t> candidates;
    uintptr_t gapStart = kLowest;
    for (size_t i = 0; i <= regions.size(); ++i) {
      uintptr_t gapEnd = i < regions.size() ? regions[i].Start : kHighest;
      uintptr_t a = gapStart, b = gapEnd;  // [a, b) is free
      if (i > 0 && regions[i - 1].Name == "[heap]") a = a > kHighest - kKeepClear ? b : a + kKeepClear;
      if (i < regions.size() && regions[i].Name == "[stack]") b = b > kKeepClear ? b - kKeepClear : 0;
      if (b > a && b - a >= page) {
        uintptr_t lo = std::max(a, first), hi = std::min(b - page, last);
        if (lo <= hi) candidates.push_back(std::clamp(middle, lo, hi));
      }
      if (i < regions.size()) gapStart = std::max(gapStart, regions[i].End);
    }
    std::sort(candidates.begin(), candidates.end(), [&](uintptr_t x, uintptr_t y) {
      return (x > middle ? x - middle : middle - x) < (y > middle ? y - middle : middle - y);
    });
    for (uintptr_t at : candidates) {
      if (!IsFree(regions, at, at + page)) continue;
      void* p = ::mmap(reinterpret_cast<void*>(at), page, PROT_READ | PROT_EXEC,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
      if (p == MAP_FAILED) continue;  // taken meanwhile
      if (reinterpret_cast<uintptr_t>(p) != at) {  // a kernel that only took the hint
        ::munmap(p, page);
        continue;
      }
      pages->push_back({at, size});
      return at;
    }
  }
  return 0;
}

bool InsideLoadedModule(uintptr_t address, size_t size) {
  for (const auto& image : ModuleImages())
    if (InsideSegments(image, address, size)) return true;
  return false;
}

TModuleHandle ModuleContaining(uintptr_t address) {
  Dl_info info{};
  if (!address || !dladdr(reinterpret_cast<void*>(address), &info)) return 0;
  return reinterpret_cast<TModuleHandle>(info.dli_fbase);
}

uintptr_t FindExport(const std::string& fileName, const std::string& symbol) {
  TModuleHandle module = ModuleHandleOf(fileName);
  if (!module) return 0;
  bool main = module == MainModuleHandle();
  void* handle = main ? dlopen(nullptr, RTLD_LAZY) : dlopen(ModuleFileName(module).c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (!handle) return 0;
  auto address = reinterpret_cast<uintptr_t>(dlsym(handle, symbol.c_str()));
  dlclose(handle);
  // dlsym also searches the module's dependencies; only the module's own definition counts.
  return ModuleContaining(address) == module ? address : 0;
}

uintptr_t GlobalLookup(const std::string& symbol) {
  return reinterpret_cast<uintptr_t>(dlsym(RTLD_DEFAULT, symbol.c_str()));
}

TGotScan FindGotSlots(TModuleHandle module, const std::string& symbol, std::vector<TGotSlot>& slots) {
  auto images = ModuleImages();
  const TModuleImage* image = nullptr;
  for (size_t i = 0; i < images.size() && !image; ++i)
    if (module == 0 ? i == 0 : images[i].Base == module) image = &images[i];
  if (!image) return TGotScan::NotLoaded;

  const ElfW(Dyn)* dynamic = nullptr;
  for (const auto& h : image->Headers)
    if (h.p_type == PT_DYNAMIC) dynamic = reinterpret_cast<const ElfW(Dyn)*>(image->Bias + h.p_vaddr);
  if (!dynamic) return TGotScan::NoDynamicSection;

  // The loader relocates the address entries of the dynamic section in place for most modules
  // but not for all (read-only dynamic sections, the loader itself): an entry that already
  // points into the module is taken as it is.
  auto address = [&](ElfW(Addr) value) -> uintptr_t {
    return InsideSegments(*image, value, 1) ? value : image->Bias + value;
  };
  uintptr_t jmprel = 0, rela = 0, symtab = 0, strtab = 0;
  size_t pltrelsz = 0, relasz = 0, relaent = sizeof(ElfW(Rela)), strsz = 0;
  ElfW(Sxword) pltrel = DT_RELA;
  for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
    switch (d->d_tag) {
      case DT_JMPREL: jmprel = address(d->d_un.d_ptr); break;
      case DT_PLTRELSZ: pltrelsz = d->d_un.d_val; break;
      case DT_PLTREL: pltrel = static_cast<ElfW(Sxword)>(d->d_un.d_val); break;
      case DT_RELA: rela = address(d->d_un.d_ptr); break;
      case DT_RELASZ: relasz = d->d_un.d_val; break;
      case DT_RELAENT: relaent = d->d_un.d_val; break;
      case DT_SYMTAB: symtab = address(d->d_un.d_ptr); break;
      case DT_STRTAB: strtab = address(d->d_un.d_ptr); break;
      case DT_STRSZ: strsz = d->d_un.d_val; break;
      default: break;
    }
  }
  if (!symtab || !strtab || relaent < sizeof(ElfW(Rela))) return TGotScan::Scanned;

  const auto* symbols = reinterpret_cast<const ElfW(Sym)*>(symtab);
  const char* strings = reinterpret_cast<const char*>(strtab);
  auto scan = [&](uintptr_t table, size_t size) {
    if (!table) return;
    for (size_t off = 0; off + sizeof(ElfW(Rela)) <= size; off += relaent) {
      const auto* r = reinterpret_cast<const ElfW(Rela)*>(table + off);
      auto type = ELF64_R_TYPE(r->r_info);
      if (type != R_X86_64_JUMP_SLOT && type != R_X86_64_GLOB_DAT) continue;
      const ElfW(Sym)& sym = symbols[ELF64_R_SYM(r->r_info)];
      if (strsz && sym.st_name >= strsz) continue;
      if (symbol != strings + sym.st_name) continue;
      uintptr_t slot = image->Bias + r->r_offset;
      // Some linkers let the PLT relocations overlap the general ones.
      bool seen = std::any_of(slots.begin(), slots.end(), [&](const TGotSlot& s) { return s.Address == slot; });
      if (!seen) slots.push_back({slot, type == R_X86_64_JUMP_SLOT});
    }
  };
  if (pltrel == DT_RELA) scan(jmprel, pltrelsz);
  scan(rela, relasz);
  return TGotScan::Scanned;
}

}  // namespace ehook
