// The archive writer on minizip. minizip lays out the records (headers, central directory,
// zip64 records); the entry data is ours: deflated here and, with a password, encrypted here,
// then handed over as raw data. That keeps the writer's own encryption, and with it its calls
// of srand/rand, out of the host program (see EZipCrypto.cpp).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "delivery/EZip.h"
#include "delivery/EZipCrypto.h"
#include "runtime/FileHandle_linux.h"

namespace {

constexpr size_t kChunk = 256 * 1024;
constexpr uLong kUtf8NameFlag = 0x800;

}  // namespace

// The archive's descriptor behind minizip's file functions: the file is created exclusively
// by us, so minizip never opens a path itself.
struct TZipArchiveFile {
  int Fd = -1;
  bool Error = false;
};

namespace {

using TArchiveFile = TZipArchiveFile;

voidpf ZCALLBACK OpenArchive(voidpf, const void* file, int) { return const_cast<void*>(file); }

uLong ZCALLBACK ReadArchive(voidpf, voidpf stream, void* buf, uLong size) {
  auto* f = static_cast<TArchiveFile*>(stream);
  ssize_t n;
  do n = ::read(f->Fd, buf, size);
  while (n < 0 && errno == EINTR);
  if (n < 0) {
    f->Error = true;
    return 0;
  }
  return static_cast<uLong>(n);
}

uLong ZCALLBACK WriteArchive(voidpf, voidpf stream, const void* buf, uLong size) {
  auto* f = static_cast<TArchiveFile*>(stream);
  if (!WriteAll(f->Fd, std::string_view(static_cast<const char*>(buf), size))) {
    f->Error = true;
    return 0;
  }
  return size;
}

ZPOS64_T ZCALLBACK TellArchive(voidpf, voidpf stream) {
  const off_t pos = ::lseek(static_cast<TArchiveFile*>(stream)->Fd, 0, SEEK_CUR);
  return pos < 0 ? static_cast<ZPOS64_T>(-1) : static_cast<ZPOS64_T>(pos);
}

long ZCALLBACK SeekArchive(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  const int whence = origin == ZLIB_FILEFUNC_SEEK_CUR ? SEEK_CUR : origin == ZLIB_FILEFUNC_SEEK_END ? SEEK_END : SEEK_SET;
  if (offset > static_cast<ZPOS64_T>(LLONG_MAX)) return -1;
  return ::lseek(static_cast<TArchiveFile*>(stream)->Fd, static_cast<off_t>(offset), whence) < 0 ? -1 : 0;
}

int ZCALLBACK CloseArchive(voidpf, voidpf stream) {
  auto* f = static_cast<TArchiveFile*>(stream);
  const int rc = ::close(f->Fd);
  f->Fd = -1;
  if (rc != 0) f->Error = true;
  return rc == 0 ? 0 : EOF;
}

int ZCALLBACK ArchiveError(voidpf, voidpf stream) { return static_cast<TArchiveFile*>(stream)->Error ? 1 : 0; }

// Reads exactly `size` bytes from the start in chunks; false on an error or an early end.
template <class F>
bool ReadChunks(int fd, uint64_t size, std::vector<unsigned char>& buffer, F&& consume) {
  uint64_t done = 0;
  while (done < size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - done));
    const ssize_t n = ::pread(fd, buffer.data(), want, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (!consume(buffer.data(), static_cast<size_t>(n))) return false;
    done += static_cast<uint64_t>(n);
  }
  return true;
}

bool ValidUtf8(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    const unsigned char c = *p;
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      ++p;
      continue;
    } else if (c >= 0xc2 && c <= 0xdf) {
      len = 2, cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3, cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4, cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < len) return false;
    for (size_t i = 1; i < len; ++i) {
      if ((p[i] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3f);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff)))
      return false;
    p += len;
  }
  return true;
}

}  // namespace

TZipEntryTime ZipEntryTime(int64_t unixSeconds) {
  TZipEntryTime t;
  struct tm tm {};
  const time_t when = static_cast<time_t>(unixSeconds);
  const bool known = ::localtime_r(&when, &tm) != nullptr;
  const int year = known ? tm.tm_year + 1900 : (unixSeconds < 0 ? 0 : INT_MAX);
  if (year < 1980) {
    // the zip format's first day
  } else if (year > 2107) {
    t.Year = 2107, t.Month = 12, t.Day = 31, t.Hour = 23, t.Minute = 59, t.Second = 58;
  } else {
    t.Year = year, t.Month = tm.tm_mon + 1, t.Day = tm.tm_mday;
    t.Hour = tm.tm_hour, t.Minute = tm.tm_min, t.Second = std::min(tm.tm_sec, 59) & ~1;
  }
  const uint32_t date = static_cast<uint32_t>(((t.Year - 1980) << 9) | (t.Month << 5) | t.Day);
  const uint32_t time = static_cast<uint32_t>((t.Hour << 11) | (t.Minute << 5) | (t.Second / 2));
  t.DosDate = (date << 16) | time;
  return t;
}

bool ZipNameNeedsUtf8Flag(const std::string& name) {
  const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  // A reader told "UTF-8" fails on bytes that are not; those names are better read in a code page.
  return !ascii && ValidUtf8(name);
}

bool ZipEntryNeedsZip64(uint64_t size) {
  // deflateBound's margin for raw deflate, plus the encryption header.
  const uint64_t bound = size + (size >> 12) + (size >> 14) + (size >> 25) + 7 + TZipCrypto::kHeaderSize;
  return bound >= 0xffffffffull;
}

TZipWriter::TZipWriter(const std::string& path, const std::string& password)
    : file_(std::make_unique<TZipArchiveFile>()), path_(path), password_(password) {
  file_->Fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (file_->Fd < 0) throw EZipError("Cannot create the archive \"%s\".", {path});
  zlib_filefunc64_def functions{};
  functions.zopen64_file = &OpenArchive;
  functions.zread_file = &ReadArchive;
  functions.zwrite_file = &WriteArchive;
  functions.ztell64_file = &TellArchive;
  functions.zseek64_file = &SeekArchive;
  functions.zclose_file = &CloseArchive;
  functions.zerror_file = &ArchiveError;
  zip_ = zipOpen2_64(file_.get(), APPEND_STATUS_CREATE, nullptr, &functions);
  if (!zip_) {
    if (file_->Fd >= 0) ::close(file_->Fd);
    ::unlink(path.c_str());
    throw EZipError("Cannot create the archive \"%s\".", {path});
  }
}

TZipWriter::~TZipWriter() { Close(); }

bool TZipWriter::Close() {
  if (!zip_) return !failed_;
  const int rc = zipClose(static_cast<zipFile>(zip_), nullptr);
  zip_ = nullptr;
  if (rc != ZIP_OK || file_->Error) failed_ = true;
  if (file_->Fd >= 0) {  // minizip did not get as far as closing it
    ::close(file_->Fd);
    file_->Fd = -1;
  }
  return !failed_;
}

bool TZipWriter::AddFile(const std::string& source, const std::string& nameInArchive) {
  if (!zip_ || failed_) return false;
  if (nameInArchive.empty() || nameInArchive.size() > 0xffff || nameInArchive.find('\0') != std::string::npos)
    return false;
  // Non-blocking, so that a FIFO given as a file cannot stall the packing before it is refused.
  TFileHandle in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st {};
  if (in.get() < 0 || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  // A first pass reads the whole file before its entry is opened: the encryption header needs
  // the CRC-32, and a file that cannot be read is then refused while the archive has no trace
  // of it (the writer cannot take an entry back).
  std::vector<unsigned char> buffer(kChunk);
  uLong crc = crc32(0, nullptr, 0);
  if (!ReadChunks(in.get(), size, buffer, [&](const unsigned char* p, size_t n) {
        crc = crc32(crc, p, static_cast<uInt>(n));
        return true;
      }))
    return false;
  return WriteEntry(in.get(), size, static_cast<uint32_t>(crc), nameInArchive, st.st_mtim.tv_sec);
}

bool TZipWriter::WriteEntry(int fd, uint64_t size, uint32_t crc, const std::string& nameInArchive, int64_t mtime) {
  zipFile zip = static_cast<zipFile>(zip_);
  const bool encrypt = !password_.empty();
  TZipCrypto crypto(password_);
  unsigned char header[TZipCrypto::kHeaderSize];
  if (encrypt && !crypto.MakeHeader(crc, header)) return false;

  const TZipEntryTime t = ZipEntryTime(mtime);
  zip_fileinfo info{};
  info.tmz_date.tm_year = static_cast<uInt>(t.Year);
  info.tmz_date.tm_mon = static_cast<uInt>(t.Month - 1);
  info.tmz_date.tm_mday = static_cast<uInt>(t.Day);
  info.tmz_date.tm_hour = static_cast<uInt>(t.Hour);
  info.tmz_date.tm_min = static_cast<uInt>(t.Minute);
  info.tmz_date.tm_sec = static_cast<uInt>(t.Second);
  info.dosDate = t.DosDate;
  // Raw: minizip writes our data as it is. The encryption bit goes in through the flags, since
  // no password is handed to minizip.
  const uLong flags = (ZipNameNeedsUtf8Flag(nameInArchive) ? kUtf8NameFlag : 0) | (encrypt ? 1 : 0);
  if (zipOpenNewFileInZip4_64(zip, nameInArchive.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                              Z_BEST_COMPRESSION, 1, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0, 0, flags,
                              ZipEntryNeedsZip64(size) ? 1 : 0) != ZIP_OK) {
    failed_ = true;
    return false;
  }

  std::vector<unsigned char> out(kChunk);
  bool written = true;
  auto emit = [&](unsigned char* p, size_t n) {
    if (n == 0) return;
    if (encrypt) crypto.Encrypt(p, n);
    if (zipWriteInFileInZip(zip, p, static_cast<unsigned>(n)) != ZIP_OK) written = false;
  };
  if (encrypt) {
    // The header is counted as compressed data, as the format wants.
    if (zipWriteInFileInZip(zip, header, sizeof header) != ZIP_OK) written = false;
  }

  z_stream z{};
  bool packed = deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
  uLong actualCrc = crc32(0, nullptr, 0);
  uint64_t actualSize = 0;
  auto deflateSome = [&](const unsigned char* p, size_t n, int flush) {
    z.next_in = const_cast<unsigned char*>(p);
    z.avail_in = static_cast<uInt>(n);
    int rc;
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      rc = deflate(&z, flush);
      if (rc == Z_STREAM_ERROR) return false;
      emit(out.data(), out.size() - z.avail_out);
    } while (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    return written;
  };
  std::vector<unsigned char> buffer;
  bool readAll = false;
  if (packed) {
    buffer.resize(kChunk);
    readAll = ReadChunks(fd, size, buffer, [&](const unsigned char* p, size_t n) {
      actualCrc = crc32(actualCrc, p, static_cast<uInt>(n));
      actualSize += n;
      return deflateSome(p, n, Z_NO_FLUSH);
    });
    // Whatever was read ends as a complete deflate stream, so the entry stays readable.
    packed = deflateSome(nullptr, 0, Z_FINISH);
    deflateEnd(&z);
  }
  if (zipCloseFileInZipRaw64(zip, actualSize, actualCrc) != ZIP_OK || !written || file_->Error || !packed) {
    failed_ = true;
    return false;
  }
  return readAll && actualCrc == crc;
}
