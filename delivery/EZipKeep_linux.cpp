// Keeping an archive after a failed delivery: the move into the log's folder that never replaces
// a file, and the pruning of the kept archives there.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "delivery/EZip.h"
#include "delivery/EZipKeep.h"
#include "runtime/FileHandle_linux.h"
#include "reporting/options/EPaths.h"

namespace {

bool CopyData(int in, int out) {
  std::vector<char> buffer(256 * 1024);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return ::fsync(out) == 0;
    if (!WriteAll(out, std::string_view(buffer.data(), static_cast<size_t>(n)))) return false;
  }
}

std::string FolderOf(const std::string& path) {
  const std::string folder = ExtractFilePath(path);
  return folder.empty() ? std::string("./") : folder;
}

// Another file system: the data is copied into a file that has no name yet (or a hidden
// temporary one), and that file is linked under the final name, which fails when the name is
// taken. Readers never see a half-copied archive under the kept name.
bool CopyThenLink(const std::string& source, const std::string& target) {
  TFileHandle in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (in.get() < 0) return false;
  const std::string folder = FolderOf(target);
  {
    TFileHandle out(::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (out.get() >= 0) {
      if (!CopyData(in.get(), out.get())) return false;
      const std::string self = "/proc/self/fd/" + std::to_string(out.get());
      return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
    }
  }
  // No unnamed files there: a hidden temporary name, linked, then dropped.
  std::string temporary = folder + ".tarvex-keep-XXXXXX";
  TFileHandle out(::mkostemp(temporary.data(), O_CLOEXEC));
  if (out.get() < 0) return false;
  bool done = CopyData(in.get(), out.get());
  if (done) {
    done = ::link(temporary.c_str(), target.c_str()) == 0;
    if (!done && errno != EEXIST) {
      // No hard links on that file system: the name is claimed exclusively and filled.
      TFileHandle direct(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
      if (direct.get() >= 0) {
        done = ::lseek(in.get(), 0, SEEK_SET) == 0 && CopyData(in.get(), direct.get());
        if (!done) ::unlink(target.c_str());
      }
    }
  }
  ::unlink(temporary.c_str());
  return done;
}

bool LessWithoutCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return static_cast<unsigned char>(lower(x)) < static_cast<unsigned char>(lower(y));
  });
}

}  // namespace

bool MoveWithoutReplacing(const std::string& source, const std::string& target) {
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EEXIST) return false;
  if (errno == EINVAL || errno == ENOSYS) {
    // The file system cannot rename without replacing: a new link fails on a taken name.
    if (::link(source.c_str(), target.c_str()) == 0) {
      ::unlink(source.c_str());
      return true;
    }
    if (errno == EEXIST) return false;
  } else if (errno != EXDEV) {
    return false;
  }
  if (!CopyThenLink(source, target)) return false;
  ::unlink(source.c_str());
  return true;
}

bool IsKeptArchiveName(const std::string& name) {
  static const std::string kBase = "BugReport", kSeparator = "__", kExtension = ".zip";
  if (name == kBase + kExtension) return true;
  const std::string prefix = kBase + kSeparator;
  return name.size() > prefix.size() + kExtension.size() && name.compare(0, prefix.size(), prefix) == 0 &&
         name.compare(name.size() - kExtension.size(), kExtension.size(), kExtension) == 0;
}

void PruneKeptArchives(const std::string& folder, size_t keep) {
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return;
  const int dirFd = ::dirfd(dir);
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    struct stat st {};
    if (!IsKeptArchiveName(name) || ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode))
      continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end(), LessWithoutCase);
  for (size_t i = 0; i + keep < names.size(); ++i) ::unlinkat(dirFd, names[i].c_str(), 0);
  ::closedir(dir);
}
