#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "reporting/options/EStoredData.h"
#include "reporting/options/EStreams.h"
#include "runtime/FileHandle_linux.h"

extern char** environ;

namespace {

// Debug information may make blocks large, but not this large.
constexpr uint64_t kMaxBlockSize = uint64_t{1} << 30;

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

bool IsMagic(uint32_t v) { return v == kStoredDataMagic || v == kStoredDataMagicAlt; }

bool StartsWithMagic(int fd, uint64_t offset) {
  uint32_t magic = 0;
  return ReadAt(fd, &magic, 4, offset) && IsMagic(magic);
}

TStoredLocation FindSection(int fd, uint64_t fileSize) {
  static const bool initialised = elf_version(EV_CURRENT) != EV_NONE;
  TStoredLocation none;
  if (!initialised) return none;
  Elf* elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
  if (!elf) return none;
  TStoredLocation found;
  size_t strIndex = 0;
  if (elf_kind(elf) == ELF_K_ELF && elf_getshdrstrndx(elf, &strIndex) == 0) {
    for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
      GElf_Shdr shdr;
      if (!gelf_getshdr(scn, &shdr)) continue;
      const char* name = elf_strptr(elf, strIndex, shdr.sh_name);
      if (!name || std::strcmp(name, kStoredDataSection) != 0 || shdr.sh_type == SHT_NOBITS) continue;
      if (shdr.sh_offset > fileSize || shdr.sh_size > fileSize - shdr.sh_offset) break;
      found = {TStoredPlace::Section, shdr.sh_offset, shdr.sh_size};
      break;
    }
  }
  elf_end(elf);
  return found;
}

TStoredLocation FindAppended(int fd, uint64_t fileSize) {
  uint32_t trailer[2];
  if (fileSize < 8 || !ReadAt(fd, trailer, 8, fileSize - 8) || !IsMagic(trailer[1])) return {};
  uint64_t length = trailer[0];
  if (length > fileSize - 8) return {};
  return {TStoredPlace::Appended, fileSize - 8 - length, length};
}

void CheckedWrite(int fd, std::string_view data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw EWriteError("Stream write error");
    done += static_cast<size_t>(n);
  }
}

std::string TempFolder() {
  const char* t = std::getenv("TMPDIR");
  return t && *t ? t : "/tmp";
}

}  // namespace

bool IsElfFile(const std::string& fileName) {
  TFileHandle fd(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
  char ident[4];
  return fd.get() >= 0 && ReadAt(fd.get(), ident, 4, 0) && std::memcmp(ident, ELFMAG, SELFMAG) == 0;
}

TStoredLocation FindStoredBlock(const std::string& fileName) {
  TFileHandle fd(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  uint64_t size = static_cast<uint64_t>(st.st_size);
  TStoredLocation section = FindSection(fd.get(), size);
  if (section.Place == TStoredPlace::Section && StartsWithMagic(fd.get(), section.Offset)) return section;
  TStoredLocation appended = FindAppended(fd.get(), size);
  if (appended.Place == TStoredPlace::Appended && StartsWithMagic(fd.get(), appended.Offset)) return appended;
  return {};
}

std::optional<TStoredBlock> ReadStoredBlock(const std::string& fileName, TStoredLocation* where) {
  TStoredLocation loc = FindStoredBlock(fileName);
  if (where) *where = loc;
  if (loc.Place == TStoredPlace::None || loc.Size > kMaxBlockSize) return std::nullopt;
  TFileHandle fd(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
  std::string bytes(loc.Size, '\0');
  if (fd.get() < 0 || !ReadAt(fd.get(), bytes.data(), bytes.size(), loc.Offset)) return std::nullopt;
  return DecodeStoredBlock(bytes);
}

bool RemoveAppendedBlock(const std::string& fileName) {
  TFileHandle fd(::open(fileName.c_str(), O_RDWR | O_CLOEXEC));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return false;
  TStoredLocation loc = FindAppended(fd.get(), static_cast<uint64_t>(st.st_size));
  if (loc.Place != TStoredPlace::Appended || !StartsWithMagic(fd.get(), loc.Offset)) return false;
  return ::ftruncate(fd.get(), static_cast<off_t>(loc.Offset)) == 0;
}

void WriteStoredBlockAppended(const std::string& fileName, const TStoredBlock& block) {
  RemoveAppendedBlock(fileName);
  std::string data = EncodeStoredBlock(block);
  std::string trailer;
  TFieldWriter w(trailer);
  w.U32(static_cast<uint32_t>(data.size()));
  w.U32(kStoredDataMagic);
  TFileHandle fd(::open(fileName.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  if (fd.get() < 0) throw EFOpenError("Cannot open file \"%s\". %s", {fileName, std::strerror(errno)});
  CheckedWrite(fd.get(), data + trailer);
}

namespace {

void RunObjcopy(const std::string& objcopy, const std::vector<std::string>& args, const std::string& fileName) {
  std::vector<const char*> argv{objcopy.c_str()};
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(fileName.c_str());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, objcopy.c_str(), nullptr, nullptr, const_cast<char* const*>(argv.data()), environ);
  if (rc != 0) throw Exception("Cannot run \"%s\": %s", {objcopy, std::strerror(rc)});
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw Exception("\"%s\" could not change the section %s of \"%s\"", {objcopy, kStoredDataSection, fileName});
}

}  // namespace

void WriteStoredBlockSection(const std::string& fileName, const TStoredBlock& block, const std::string& objcopy) {
  if (!IsElfFile(fileName)) throw Exception("\"%s\" is not an ELF file", {fileName});
  RemoveAppendedBlock(fileName);

  std::string temp = TempFolder() + "/tldata-XXXXXX";
  int tfd = ::mkstemp(temp.data());
  if (tfd < 0) throw EFCreateError("Cannot create file \"%s\". %s", {temp, std::strerror(errno)});
  struct TRemove {
    std::string name;
    ~TRemove() { ::unlink(name.c_str()); }
  } removeTemp{temp};
  {
    TFileHandle guard(tfd);
    CheckedWrite(tfd, EncodeStoredBlock(block));
  }
  RunObjcopy(objcopy,
             {std::string("--remove-section=") + kStoredDataSection, "--add-section",
              std::string(kStoredDataSection) + "=" + temp},
             fileName);
}

void RemoveStoredBlockSection(const std::string& fileName, const std::string& objcopy) {
  bool hasSection = false;
  {
    TFileHandle fd(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    hasSection = fd.get() >= 0 && ::fstat(fd.get(), &st) == 0 &&
                 FindSection(fd.get(), static_cast<uint64_t>(st.st_size)).Place == TStoredPlace::Section;
  }
  if (hasSection) RunObjcopy(objcopy, {std::string("--remove-section=") + kStoredDataSection}, fileName);
}
