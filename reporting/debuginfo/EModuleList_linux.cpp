// The loader's and the file's view of a module: dl_iterate_phdr for what is mapped, libelf
// for what the file holds.
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "reporting/debuginfo/EModuleImage.h"
#include "reporting/options/EModules.h"

namespace {

constexpr uint32_t kGnuBuildId = 3;  // NT_GNU_BUILD_ID

uintptr_t PageStart(uintptr_t address) {
  static const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  return address & ~(page - 1);
}

// Walks notes in [data, data + size): calls `found(type, name, desc, descSize)`.
template <typename F>
void WalkNotes(const unsigned char* data, size_t size, F found) {
  size_t pos = 0;
  auto align4 = [](size_t n) { return (n + 3) & ~size_t{3}; };
  while (pos + 12 <= size) {
    uint32_t nameSize, descSize, type;
    std::memcpy(&nameSize, data + pos, 4);
    std::memcpy(&descSize, data + pos + 4, 4);
    std::memcpy(&type, data + pos + 8, 4);
    size_t namePos = pos + 12, descPos = namePos + align4(nameSize);
    if (descPos > size || descSize > size - descPos) return;
    std::string name(reinterpret_cast<const char*>(data + namePos), nameSize ? nameSize - 1 : 0);
    found(type, name, data + descPos, descSize);
    pos = descPos + align4(descSize);
  }
}

TModuleImage ImageOf(const dl_phdr_info* info, bool main) {
  TModuleImage image;
  image.Main = main;
  image.LoadBias = info->dlpi_addr;
  image.FileName = main ? MainModuleFileName() : std::string(info->dlpi_name ? info->dlpi_name : "");
  uintptr_t lowest = UINTPTR_MAX;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (ph.p_type == PT_LOAD) {
      lowest = std::min(lowest, start);
      image.LoadRanges.emplace_back(start, start + ph.p_memsz);
      if (ph.p_flags & PF_X) image.CodeRanges.emplace_back(start, start + ph.p_memsz);
    } else if (ph.p_type == PT_NOTE && image.BuildId.empty()) {
      WalkNotes(reinterpret_cast<const unsigned char*>(start), ph.p_memsz,
                [&](uint32_t type, const std::string& name, const unsigned char* desc, size_t n) {
                  if (type == kGnuBuildId && name == "GNU" && image.BuildId.empty())
                    image.BuildId.assign(reinterpret_cast<const char*>(desc), n);
                });
    }
  }
  image.Handle = lowest == UINTPTR_MAX ? 0 : PageStart(lowest);
  return image;
}

struct TWalk {
  bool first = true;
  std::vector<TModuleImage>* all = nullptr;
  TModuleHandle handle = 0;
  uintptr_t address = 0;
  TModuleImage* found = nullptr;
  bool hit = false;
};

int Visit(dl_phdr_info* info, size_t, void* data) {
  auto* walk = static_cast<TWalk*>(data);
  bool main = walk->first;  // the loader reports the executable first
  walk->first = false;
  const char* name = info->dlpi_name;
  // The vDSO and similar objects have no file.
  if (!main && (!name || name[0] != '/')) return 0;
  if (walk->all) {
    walk->all->push_back(ImageOf(info, main));
    return 0;
  }
  TModuleImage image = ImageOf(info, main);
  bool match = walk->handle ? image.Handle == walk->handle
                            : std::any_of(image.LoadRanges.begin(), image.LoadRanges.end(), [&](const auto& r) {
                                return walk->address >= r.first && walk->address < r.second;
                              });
  if (!match) return 0;
  *walk->found = std::move(image);
  walk->hit = true;
  return 1;
}

void InitElf() {
  static const bool done = [] { return elf_version(EV_CURRENT) != EV_NONE; }();
  (void)done;
}

struct TElfFile {
  int fd = -1;
  Elf* elf = nullptr;
  explicit TElfFile(const std::string& name) {
    InitElf();
    fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
  }
  ~TElfFile() {
    if (elf) elf_end(elf);
    if (fd >= 0) ::close(fd);
  }
  TElfFile(const TElfFile&) = delete;
  TElfFile& operator=(const TElfFile&) = delete;
};

void ReadNotes(Elf* elf, TModuleFileInfo& info) {
  size_t shstrndx = 0;
  if (elf_getshdrstrndx(elf, &shstrndx) != 0) return;
  for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
    GElf_Shdr shdr;
    if (!gelf_getshdr(scn, &shdr) || shdr.sh_type != SHT_NOTE) continue;
    const char* secName = elf_strptr(elf, shstrndx, shdr.sh_name);
    Elf_Data* data = elf_rawdata(scn, nullptr);
    if (!data || !data->d_buf) continue;
    bool version = secName && std::strcmp(secName, kVersionNoteSection) == 0;
    WalkNotes(static_cast<const unsigned char*>(data->d_buf), data->d_size,
              [&](uint32_t type, const std::string& name, const unsigned char* desc, size_t n) {
                if (type == kGnuBuildId && name == "GNU" && info.BuildId.empty())
                  info.BuildId.assign(reinterpret_cast<const char*>(desc), n);
                if (version && type == kVersionNoteType && name == "Tarvex" && n >= 8) {
                  uint16_t v[4];
                  std::memcpy(v, desc, sizeof v);
                  if (v[0] || v[1] || v[2] || v[3])
                    info.FileVersion = std::to_string(v[0]) + "." + std::to_string(v[1]) + "." +
                                       std::to_string(v[2]) + "." + std::to_string(v[3]);
                  const char* text = reinterpret_cast<const char*>(desc + 8);
                  info.FileDescription.assign(text, strnlen(text, n - 8));
                }
              });
  }
}

void ReadExports(Elf* elf, uintptr_t loadBias, TTarvexFunctionsList& exports) {
  for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
    GElf_Shdr shdr;
    if (!gelf_getshdr(scn, &shdr) || shdr.sh_type != SHT_DYNSYM || shdr.sh_entsize == 0) continue;
    Elf_Data* data = elf_getdata(scn, nullptr);
    if (!data) continue;
    size_t count = shdr.sh_size / shdr.sh_entsize;
    for (size_t i = 0; i < count; ++i) {
      GElf_Sym sym;
      if (!gelf_getsym(data, static_cast<int>(i), &sym)) continue;
      int type = GELF_ST_TYPE(sym.st_info), bind = GELF_ST_BIND(sym.st_info);
      if ((type != STT_FUNC && type != STT_GNU_IFUNC) || sym.st_shndx == SHN_UNDEF || sym.st_value == 0) continue;
      if (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE) continue;
      if (GELF_ST_VISIBILITY(sym.st_other) != STV_DEFAULT && GELF_ST_VISIBILITY(sym.st_other) != STV_PROTECTED) continue;
      const char* name = elf_strptr(elf, shdr.sh_link, sym.st_name);
      if (!name || !*name) continue;
      exports.push_back({DemangledName(name), loadBias + sym.st_value, sym.st_size});
    }
  }
  std::sort(exports.begin(), exports.end(), [](const auto& a, const auto& b) {
    return a.Address != b.Address ? a.Address < b.Address : a.Name < b.Name;
  });
}

int FirstCounts(dl_phdr_info* info, size_t size, void* data) {
  auto* generation = static_cast<uint64_t*>(data);
  if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs)
    *generation = (static_cast<uint64_t>(info->dlpi_adds) << 32) ^ info->dlpi_subs;
  return 1;
}

}  // namespace

uint64_t LoaderGeneration() {
  uint64_t generation = 0;
  dl_iterate_phdr(&FirstCounts, &generation);
  return generation;
}

std::vector<TModuleImage> LoadedModuleImages() {
  std::vector<TModuleImage> all;
  TWalk walk;
  walk.all = &all;
  dl_iterate_phdr(&Visit, &walk);
  return all;
}

bool ModuleImageOf(TModuleHandle handle, TModuleImage& image) {
  if (!handle) return false;
  TWalk walk;
  walk.handle = handle;
  walk.found = &image;
  dl_iterate_phdr(&Visit, &walk);
  return walk.hit;
}

bool ModuleImageAt(uintptr_t address, TModuleImage& image) {
  if (!address) return false;
  TWalk walk;
  walk.address = address;
  walk.found = &image;
  dl_iterate_phdr(&Visit, &walk);
  return walk.hit;
}

TModuleFileFacts StatModuleFile(const std::string& fileName) {
  TModuleFileFacts facts;
  struct stat st{};
  if (fileName.empty() || ::stat(fileName.c_str(), &st) != 0) return facts;
  facts.Exists = true;
  facts.Size = static_cast<uint64_t>(st.st_size);
  facts.LastModified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return facts;
}

TModuleFileInfo ReadModuleFile(const std::string& fileName, uintptr_t loadBias, bool exports) {
  TModuleFileInfo info;
  try {
    TElfFile file(fileName);
    if (!file.elf || elf_kind(file.elf) != ELF_K_ELF) return info;
    ReadNotes(file.elf, info);
    if (exports) ReadExports(file.elf, loadBias, info.Exports);
  } catch (...) {
    info = {};
  }
  return info;
}

std::string FileBuildId(const std::string& fileName) {
  TElfFile file(fileName);
  if (!file.elf || elf_kind(file.elf) != ELF_K_ELF) return {};
  TModuleFileInfo info;
  ReadNotes(file.elf, info);
  return info.BuildId;
}
