// The leak flags at start: read from the module's file with pread into buffers on the stack,
// because this runs inside the first operator new, before anything may allocate.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "reporting/leaks/ELeaks.h"

namespace {

constexpr uint32_t kMagic = 0x100FAB10, kMagicAlt = 0x000FAB10;

bool ReadAt(int fd, void* buf, size_t n, uint64_t offset) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::pread(fd, static_cast<char*>(buf) + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

bool IsMagic(uint32_t v) { return v == kMagic || v == kMagicAlt; }

// The offset of the ".tldata" section's contents; 0 when there is none.
uint64_t SectionOffset(int fd, uint64_t fileSize) {
  Elf64_Ehdr eh;
  if (!ReadAt(fd, &eh, sizeof eh, 0) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
      eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shstrndx >= eh.e_shnum)
    return 0;
  Elf64_Shdr strings;
  if (!ReadAt(fd, &strings, sizeof strings, eh.e_shoff + uint64_t(eh.e_shstrndx) * sizeof(Elf64_Shdr))) return 0;
  for (unsigned i = 1; i < eh.e_shnum; ++i) {
    Elf64_Shdr sh;
    if (!ReadAt(fd, &sh, sizeof sh, eh.e_shoff + uint64_t(i) * sizeof(Elf64_Shdr))) return 0;
    if (sh.sh_type == SHT_NOBITS || sh.sh_size < 16 || sh.sh_offset > fileSize) continue;
    char name[8];
    if (sh.sh_name >= strings.sh_size || !ReadAt(fd, name, sizeof name, strings.sh_offset + sh.sh_name)) continue;
    if (std::memcmp(name, ".tldata", 8) == 0) return sh.sh_offset;
  }
  return 0;
}

bool HeaderAt(int fd, uint64_t offset, uint8_t* flags, uint8_t* defer) {
  unsigned char h[16];
  if (!ReadAt(fd, h, sizeof h, offset)) return false;
  uint32_t magic;
  uint16_t version;
  std::memcpy(&magic, h, 4);
  std::memcpy(&version, h + 4, 2);
  if (!IsMagic(magic)) return false;
  if (version >= 600 && version <= 602) version = static_cast<uint16_t>(version * 10);
  if (version < 6000) return false;
  *flags = h[14];
  *defer = h[15];
  return true;
}

struct TMainSearch {
  uintptr_t Address;
  bool IsMain;
};

}  // namespace

bool ReadStoredLeakBytes(const char* fileName, uint8_t* leakFlags, uint8_t* deferToMain) {
  const int fd = ::open(fileName, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool found = false;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (uint64_t offset = SectionOffset(fd, size)) found = HeaderAt(fd, offset, leakFlags, deferToMain);
    uint32_t trailer[2];
    if (!found && size >= 24 && ReadAt(fd, trailer, sizeof trailer, size - 8) && IsMagic(trailer[1]) &&
        trailer[0] <= size - 8)
      found = HeaderAt(fd, size - 8 - trailer[0], leakFlags, deferToMain);
  }
  ::close(fd);
  return found;
}

uint8_t StartLeakFlags(const void* codeAddress) {
  // The main program is the loader's first object; is `codeAddress` in it?
  TMainSearch search{reinterpret_cast<uintptr_t>(codeAddress), false};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* s = static_cast<TMainSearch*>(data);
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          const uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
          if (ph.p_type == PT_LOAD && s->Address >= lo && s->Address < lo + ph.p_memsz) s->IsMain = true;
        }
        return 1;  // only the first object
      },
      &search);
  uint8_t flags = 0, defer = 0;
  if (search.IsMain) return ReadStoredLeakBytes("/proc/self/exe", &flags, &defer) ? flags : 0;
  Dl_info info{};
  if (!dladdr(codeAddress, &info) || !info.dli_fname) return 0;
  if (!ReadStoredLeakBytes(info.dli_fname, &flags, &defer)) return 0;
  uint8_t mainFlags = 0, mainDefer = 0;
  if (defer && ReadStoredLeakBytes("/proc/self/exe", &mainFlags, &mainDefer)) return mainFlags;
  return flags;
}
