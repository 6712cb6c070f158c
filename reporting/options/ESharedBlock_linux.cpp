#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <new>
#include <set>
#include <sstream>

#include "reporting/options/ESharedBlock.h"
#include "runtime/SysUtils.h"

namespace {

// POSIX shared memory outlives the process, unlike a Windows file mapping, so this copy of
// the layer removes what it created when it is unloaded. The list itself is never destroyed:
// a publication may still come from another object's destructor, and is then refused.
struct TPublished {
  std::mutex mutex;
  std::set<std::string> names;
  bool closed = false;
};

TPublished& Published() {
  // Kept in the module's own storage, so that unloading the module leaves nothing behind.
  alignas(TPublished) static unsigned char storage[sizeof(TPublished)];
  static TPublished* published = new (storage) TPublished;
  return *published;
}

struct TCleaner {
  ~TCleaner() {
    TPublished& p = Published();
    std::lock_guard lock(p.mutex);
    for (const auto& name : p.names) ::shm_unlink(name.c_str());
    p.names.clear();
    p.closed = true;
  }
} cleaner;

// Wall-clock time at which this process started, from its start in clock ticks after boot.
timespec ProcessStartTime() {
  static const timespec start = [] {
    timespec result{0, 0};
    std::ifstream stat("/proc/self/stat");
    std::string line;
    if (!std::getline(stat, line)) return result;
    // Fields after the command name, which may hold blanks and parentheses.
    size_t close = line.rfind(')');
    if (close == std::string::npos) return result;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    unsigned long long startTicks = 0;
    for (int i = 3; i <= 22 && rest >> field; ++i)
      if (i == 22) startTicks = std::stoull(field);
    timespec boot{}, real{};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    clock_gettime(CLOCK_REALTIME, &real);
    double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    double startReal = static_cast<double>(real.tv_sec) + real.tv_nsec / 1e9 -
                       (static_cast<double>(boot.tv_sec) + boot.tv_nsec / 1e9) + startTicks / ticks;
    result.tv_sec = static_cast<time_t>(startReal);
    return result;
  }();
  return start;
}

}  // namespace

std::string SharedBlockName(TModuleHandle handle) {
  return Format("/%.8X%.16X", {static_cast<unsigned>(::getpid()), static_cast<unsigned long long>(handle)});
}

bool WriteSharedBlock(TModuleHandle handle, std::string_view data) {
  if (data.size() > UINT32_MAX - 4) return false;
  std::string name = SharedBlockName(handle);
  TPublished& published = Published();
  std::unique_lock lock(published.mutex);
  if (published.closed) return false;
  ::shm_unlink(name.c_str());
  // Exclusive creation: an object of that name that could not be removed is someone else's.
  int fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  published.names.insert(name);
  lock.unlock();
  uint32_t length = static_cast<uint32_t>(data.size());
  bool ok = ::ftruncate(fd, static_cast<off_t>(data.size() + 4)) == 0;
  if (ok) {
    void* p = ::mmap(nullptr, data.size() + 4, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ok = p != MAP_FAILED;
    if (ok) {
      std::memcpy(p, &length, 4);
      std::memcpy(static_cast<char*>(p) + 4, data.data(), data.size());
      ::munmap(p, data.size() + 4);
    }
  }
  ::close(fd);
  if (!ok) RemoveSharedBlock(handle);
  return ok;
}

std::optional<std::string> ReadSharedBlock(TModuleHandle handle) {
  std::string name = SharedBlockName(handle);
  int fd = ::shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> result;
  struct stat st {};
  // A block older than this process was left by a dead one that had the same id.
  if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && st.st_size >= 4 &&
      st.st_mtim.tv_sec + 1 >= ProcessStartTime().tv_sec) {
    size_t size = static_cast<size_t>(st.st_size);
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (p != MAP_FAILED) {
      uint32_t length;
      std::memcpy(&length, p, 4);
      if (length <= size - 4) result.emplace(static_cast<const char*>(p) + 4, length);
      ::munmap(p, size);
    }
  }
  ::close(fd);
  return result;
}

void RemoveSharedBlock(TModuleHandle handle) {
  std::string name = SharedBlockName(handle);
  TPublished& published = Published();
  std::lock_guard lock(published.mutex);
  ::shm_unlink(name.c_str());
  published.names.erase(name);
}
