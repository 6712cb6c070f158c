// Byte streams: a seekable stream interface with memory and file implementations.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/SysUtils.h"

ZELK_DECLARE_EXCEPTION(EStreamError, Exception);
ZELK_DECLARE_EXCEPTION(EFCreateError, EStreamError);
ZELK_DECLARE_EXCEPTION(EFOpenError, EStreamError);
ZELK_DECLARE_EXCEPTION(EReadError, EStreamError);
ZELK_DECLARE_EXCEPTION(EWriteError, EStreamError);

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to `count` bytes; returns how many were read (0 at the end).
  virtual size_t Read(void* buffer, size_t count) = 0;
  // Writes `count` bytes; returns how many were written.
  virtual size_t Write(const void* buffer, size_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t p) { Seek(p, TSeekOrigin::soBeginning); }
  int64_t Size();
  virtual void SetSize(int64_t size);

  // All or nothing: raise EReadError "Stream read error" / EWriteError "Stream write error".
  void ReadBuffer(void* buffer, size_t count);
  void WriteBuffer(const void* buffer, size_t count);
  void WriteString(std::string_view s) { WriteBuffer(s.data(), s.size()); }
  // Copies `count` bytes from `source` (all of it from its start when count is 0).
  int64_t CopyFrom(TStream& source, int64_t count);
  // The bytes from the current position to the end.
  std::string ReadRest();
};

class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string data) : data_(std::move(data)) {}
  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t size) override;
  void Clear() { data_.clear(); pos_ = 0; }

  const std::string& DataString() const { return data_; }
  std::string& Data() { return data_; }
  const char* Memory() const { return data_.data(); }

 private:
  std::string data_;
  size_t pos_ = 0;
};

// A stream over an open file descriptor; closes it on destruction.
class THandleStream : public TStream {
 public:
  explicit THandleStream(int fd) : fd_(fd) {}
  ~THandleStream() override;
  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t size) override;
  int Handle() const { return fd_; }

 protected:
  int fd_;
};

enum TFileMode { fmCreate, fmOpenRead, fmOpenWrite, fmOpenReadWrite };

class TFileStream : public THandleStream {
 public:
  // fmCreate creates or truncates (mode 0600 for new files); raises EFCreateError
  // "Cannot create file \"%s\". %s" or EFOpenError "Cannot open file \"%s\". %s".
  TFileStream(const std::string& fileName, TFileMode mode);
  const std::string& FileName() const { return fileName_; }

 protected:
  TFileStream(int fd, std::string fileName) : THandleStream(fd), fileName_(std::move(fileName)) {}

 private:
  std::string fileName_;
};
