// The log's file: the lock between processes, loading, setting a damaged file aside, and the
// atomic save.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "delivery/ELogManager.h"
#include "runtime/FileHandle_linux.h"
#include "runtime/NoDestroy.h"

namespace {

std::atomic<int> g_lockTimeoutMs{5000};
std::mutex g_hookMutex;
TNoDestroy<std::function<void()>> g_beforeReplace;  // the leak report at exit saves the log

class TFd {
 public:
  explicit TFd(int fd = -1) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

[[noreturn]] void Fail(const char* fmt, const std::string& name) {
  const int saved = errno;
  throw ELogFileError(fmt, {name, std::string(saved ? std::strerror(saved) : "")});
}

std::string FolderOf(const std::string& fileName) {
  size_t slash = fileName.rfind('/');
  return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : fileName.substr(0, slash);
}

void SyncFolder(const std::string& fileName) {
  TFd dir(::open(FolderOf(fileName).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
}

// Waits for the lock at most the configured time.
bool Lock(int fd, bool exclusive) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_lockTimeoutMs.load());
  while (true) {
    if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// "<log>.damaged-YYYYMMDD-HHMMSS[-N]", never over an existing file.
std::string SetAside(const std::string& fileName) {
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  for (int n = 0; n < 1000; ++n) {
    std::string name = fileName + ".damaged-" + stamp + (n ? "-" + std::to_string(n) : std::string());
    if (::renameat2(AT_FDCWD, fileName.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0) {
      SyncFolder(fileName);
      return name;
    }
    if (errno != EEXIST) break;
  }
  Fail("Cannot set the damaged log file \"%s\" aside: %s.", fileName);
}

}  // namespace

void SetLogLockTimeoutMilliseconds(int milliseconds) { g_lockTimeoutMs.store(milliseconds); }

void SetLogBeforeReplaceHook(std::function<void()> hook) {
  std::lock_guard lock(g_hookMutex);
  *g_beforeReplace = std::move(hook);
}

TLogFile::TLogFile(const std::string& fileName, bool readOnly) : fileName_(fileName), readOnly_(readOnly) {
  if (!fileName_.empty()) OpenAndLoad();
}

TLogFile::~TLogFile() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

void TLogFile::OpenAndLoad() {
  // The lock file beside the log; where the folder is not ours, the log itself (it is then
  // rewritten in place, so its inode stays the one that is locked).
  const std::string lockName = fileName_ + ".lock";
  int fd = ::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) fd = ::open(lockName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fd = ::open(fileName_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT) return;  // no log and no place for one: it starts empty
      Fail("Cannot open the log file \"%s\": %s.", fileName_);
    }
    lockIsLog_ = true;
  }
  lockFd_ = fd;
  if (!Lock(lockFd_, !readOnly_)) Fail("The log file \"%s\" is locked by another process: %s.", fileName_);

  TFd file(::open(fileName_.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    if (errno == ENOENT) return;
    Fail("Cannot open the log file \"%s\": %s.", fileName_);
  }
  struct stat st {};
  if (::fstat(file.get(), &st) != 0) Fail("Cannot open the log file \"%s\": %s.", fileName_);
  bool damaged = st.st_size > kMaxLogFileSize;
  std::string text;
  if (!damaged) {
    text.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::read(file.get(), text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) Fail("Cannot read the log file \"%s\": %s.", fileName_);
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    text.resize(done);
    damaged = std::memchr(text.data(), 0, text.size()) != nullptr;
  }
  if (!damaged) {
    LoadText(text);
    damaged = entries_.empty() &&
              std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) > ' '; });
    text.clear();
    text.shrink_to_fit();  // a large log is held once, as entries
  }
  if (damaged) {
    entries_.clear();
    // A reader only ignores it; a writer keeps it under another name and starts anew.
    if (!readOnly_) setAside_ = SetAside(fileName_);
  }
}

void TLogFile::Save() {
  if (fileName_.empty()) throw ELogFileError("The log has no file.");
  if (readOnly_) throw ELogFileError(Format("The log file \"%s\" was opened read-only.", {fileName_}));
  struct stat st {};
  const bool exists = ::stat(fileName_.c_str(), &st) == 0;
  const std::string temporary = fileName_ + ".new";
  // Under the exclusive lock nobody else writes this file: one found here is a killed
  // writer's remains.
  ::unlink(temporary.c_str());
  TFd fd(lockIsLog_ ? -1 : ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : 0666));
  if (fd.get() >= 0) {
    if (exists) {
      if (::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
        // Another owner's log cannot be given away; ours keeps its mode at least.
      }
      ::fchmod(fd.get(), st.st_mode & 07777);
    }
    if (!WriteEntries(fd.get()) || ::fsync(fd.get()) != 0) {
      const int saved = errno;
      ::unlink(temporary.c_str());
      errno = saved;
      Fail("Cannot write the log file \"%s\": %s.", fileName_);
    }
    ::close(fd.release());
    {
      std::lock_guard lock(g_hookMutex);
      if (*g_beforeReplace) (*g_beforeReplace)();
    }
    if (::rename(temporary.c_str(), fileName_.c_str()) != 0) {
      const int saved = errno;
      ::unlink(temporary.c_str());
      errno = saved;
      Fail("Cannot replace the log file \"%s\": %s.", fileName_);
    }
    SyncFolder(fileName_);
    return;
  }
  if (!exists || (!lockIsLog_ && errno != EACCES && errno != EPERM && errno != EROFS))
    Fail("Cannot create the log file \"%s\": %s.", fileName_);
  // Only the file is writable, not its folder: rewrite it in place, under the lock.
  TFd in(::open(fileName_.c_str(), O_WRONLY | O_CLOEXEC));
  if (in.get() < 0 || !WriteEntries(in.get()) || ::ftruncate(in.get(), static_cast<off_t>(TextSize())) != 0 ||
      ::fsync(in.get()) != 0)
    Fail("Cannot write the log file \"%s\": %s.", fileName_);
}

size_t TLogFile::TextSize() const {
  size_t size = 0;
  for (const std::string& e : entries_) size += e.size() + 2;
  return FinalBreakDropped() ? size - 2 : size;
}

bool TLogFile::WriteEntries(int fd) const {
  for (size_t i = 0; i < entries_.size(); ++i) {
    const bool last = i + 1 == entries_.size();
    if (!WriteAll(fd, entries_[i]) || (!(last && FinalBreakDropped()) && !WriteAll(fd, "\r\n"))) return false;
  }
  return true;
}

void TLogFile::SaveToXML(const std::string& fileName) const {
  TFd fd(::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0 || !WriteAll(fd.get(), GetXML())) Fail("Cannot write the XML file \"%s\": %s.", fileName);
}
