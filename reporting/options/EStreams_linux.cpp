#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "reporting/options/EStreams.h"
#include "runtime/FileHandle_linux.h"

namespace {

int LockRetrying(int fd, int op) {
  int rc;
  do rc = ::flock(fd, op);
  while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace

std::string ReadFileBytes(const std::string& fileName) {
  TFileHandle fd(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0 || LockRetrying(fd.get(), LOCK_SH) != 0)
    throw EFOpenError("Cannot open file \"%s\". %s", {fileName, std::strerror(errno)});
  std::string data;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EReadError("Stream read error");
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

void WriteFileBytes(const std::string& fileName, std::string_view data) {
  // Truncate only once the lock is held, so a reader never sees a half-written file.
  TFileHandle fd(::open(fileName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (fd.get() < 0 || LockRetrying(fd.get(), LOCK_EX) != 0 || ::ftruncate(fd.get(), 0) != 0)
    throw EFCreateError("Cannot create file \"%s\". %s", {fileName, std::strerror(errno)});
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw EWriteError("Stream write error");
    done += static_cast<size_t>(n);
  }
}
