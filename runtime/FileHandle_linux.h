// An owned POSIX file descriptor, closed when the owner goes.
#pragma once

#include <unistd.h>

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
