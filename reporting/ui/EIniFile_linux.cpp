// The settings file's place and its locked, atomic rewrite.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "reporting/ui/EIniFile.h"
#include "runtime/FileHandle_linux.h"

namespace {

constexpr int kLockWaitMs = 2000;

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  std::string base = home && home[0] == '/' ? home : "";
  if (base.empty())
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) base = pw->pw_dir;
  return base.empty() ? std::string() : base + "/.config";
}

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/')); }

bool MakeFolders(const std::string& folder) {
  for (size_t at = 1; at <= folder.size(); ++at) {
    if (at != folder.size() && folder[at] != '/') continue;
    const std::string part = folder.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool ReadFile(const std::string& path, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[8192];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) text.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  return n == 0;
}

// An exclusive lock of the lock file, waited for a bounded time: a stuck holder costs the
// write, never the dialog.
class TFileLock {
 public:
  explicit TFileLock(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockWaitMs);
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (std::chrono::steady_clock::now() >= until) {
        ::close(fd_);
        fd_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~TFileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace

std::string TarvexLogIniPath() {
  const std::string home = ConfigHome();
  return home.empty() ? std::string() : home + "/TarvexLog/TarvexLog.ini";
}

TIniData ReadTarvexLogIni() {
  const std::string path = TarvexLogIniPath();
  std::string text;
  if (path.empty() || !ReadFile(path, text)) return TIniData::Parse({});
  return TIniData::Parse(text);
}

bool UpdateTarvexLogIni(const std::function<void(TIniData&)>& change) {
  const std::string path = TarvexLogIniPath();
  if (path.empty() || !MakeFolders(Folder(path))) return false;
  TFileLock lock(path + ".lock");
  if (!lock.Held()) return false;
  std::string text;
  ReadFile(path, text);
  TIniData data = TIniData::Parse(text);
  change(data);
  const std::string fresh = path + "." + std::to_string(::getpid()) + ".new";
  ::unlink(fresh.c_str());  // a leftover of a crashed writer of this pid
  const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, data.Text()) && ::fsync(fd) == 0;
  ::close(fd);
  if (!written || ::rename(fresh.c_str(), path.c_str()) != 0) {
    ::unlink(fresh.c_str());
    return false;
  }
  return true;
}
