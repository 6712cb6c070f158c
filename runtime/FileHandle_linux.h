// An owned POSIX file descriptor, closed when the owner goes; and a write that finishes.
#pragma once

#include <errno.h>
#include <unistd.h>

#include <string_view>
#include <utility>

class TFileHandle {
 public:
  explicit TFileHandle(int fd = -1) : fd_(fd) {}
  ~TFileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFileHandle(TFileHandle&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  TFileHandle& operator=(TFileHandle&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Writes all of `text`, again after a short write or an interruption; false on an error or a
// closed descriptor. Allocates nothing, so it serves crash paths too.
inline bool WriteAll(int fd, std::string_view text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}
