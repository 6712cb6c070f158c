#include "runtime/Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int64_t TStream::Size() {
  int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return size;
}

void TStream::SetSize(int64_t) { throw EStreamError("Stream size cannot be changed"); }

void TStream::ReadBuffer(void* buffer, size_t count) {
  auto* p = static_cast<char*>(buffer);
  while (count > 0) {
    size_t n = Read(p, count);
    if (n == 0) throw EReadError("Stream read error");
    p += n;
    count -= n;
  }
}

void TStream::WriteBuffer(const void* buffer, size_t count) {
  auto* p = static_cast<const char*>(buffer);
  while (count > 0) {
    size_t n = Write(p, count);
    if (n == 0) throw EWriteError("Stream write error");
    p += n;
    count -= n;
  }
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  char buf[32768];
  int64_t left = count;
  while (left > 0) {
    size_t chunk = static_cast<size_t>(std::min<int64_t>(left, sizeof buf));
    source.ReadBuffer(buf, chunk);
    WriteBuffer(buf, chunk);
    left -= static_cast<int64_t>(chunk);
  }
  return count;
}

std::string TStream::ReadRest() {
  std::string out;
  // Every stream here can seek, so the rest is read in place in one piece; reading on past
  // the expected end still catches a stream that grows meanwhile.
  const int64_t pos = Position(), size = Size();
  if (size > pos) {
    out.resize(static_cast<size_t>(size - pos));
    out.resize(Read(out.data(), out.size()));
  }
  char buf[32768];
  while (size_t n = Read(buf, sizeof buf)) out.append(buf, n);
  return out;
}

size_t TMemoryStream::Read(void* buffer, size_t count) {
  if (pos_ >= data_.size()) return 0;
  size_t n = std::min(count, data_.size() - pos_);
  std::memcpy(buffer, data_.data() + pos_, n);
  pos_ += n;
  return n;
}

size_t TMemoryStream::Write(const void* buffer, size_t count) {
  if (pos_ + count > data_.size()) data_.resize(pos_ + count);
  std::memcpy(data_.data() + pos_, buffer, count);
  pos_ += count;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == TSeekOrigin::soBeginning ? 0
               : origin == TSeekOrigin::soCurrent  ? static_cast<int64_t>(pos_)
                                                    : static_cast<int64_t>(data_.size());
  int64_t p = base + offset;
  if (p < 0) p = 0;
  pos_ = static_cast<size_t>(p);
  return p;
}

void TMemoryStream::SetSize(int64_t size) {
  data_.resize(static_cast<size_t>(size));
  if (pos_ > data_.size()) pos_ = data_.size();
}

THandleStream::~THandleStream() {
  if (fd_ >= 0) ::close(fd_);
}

size_t THandleStream::Read(void* buffer, size_t count) {
  for (;;) {
    ssize_t n = ::read(fd_, buffer, count);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return 0;
  }
}

size_t THandleStream::Write(const void* buffer, size_t count) {
  for (;;) {
    ssize_t n = ::write(fd_, buffer, count);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return 0;
  }
}

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET : origin == TSeekOrigin::soCurrent ? SEEK_CUR : SEEK_END;
  off_t r = ::lseek(fd_, offset, whence);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

void THandleStream::SetSize(int64_t size) {
  if (::ftruncate(fd_, size) != 0) throw EStreamError(std::string("Stream size cannot be changed: ") + std::strerror(errno));
}

namespace {
int OpenFile(const std::string& name, TFileMode mode) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case fmCreate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case fmOpenRead: flags |= O_RDONLY; break;
    case fmOpenWrite: flags |= O_WRONLY; break;
    case fmOpenReadWrite: flags |= O_RDWR; break;
  }
  int fd = ::open(name.c_str(), flags, 0600);
  if (fd < 0) {
    std::string why = std::strerror(errno);
    if (mode == fmCreate) throw EFCreateError("Cannot create file \"%s\". %s", {name, why});
    throw EFOpenError("Cannot open file \"%s\". %s", {name, why});
  }
  return fd;
}
}  // namespace

TFileStream::TFileStream(const std::string& fileName, TFileMode mode)
    : THandleStream(OpenFile(fileName, mode)), fileName_(fileName) {}
