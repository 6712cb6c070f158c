// The PNG writer: an 8-bit palette image, its rows compressed by zlib into chunks of a fixed
// size.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "delivery/EScreenshot.h"

namespace {

void Put32(std::string& out, uint32_t value) {
  const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
                         static_cast<char>(value)};
  out.append(bytes, 4);
}

void PutChunk(std::string& out, const char (&type)[5], const void* data, size_t size) {
  Put32(out, static_cast<uint32_t>(size));
  const size_t start = out.size();
  out.append(type, 4);
  out.append(static_cast<const char*>(data), size);
  const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(out.data() + start), static_cast<uInt>(size + 4));
  Put32(out, static_cast<uint32_t>(crc));
}

// Deflates into one buffer of the chunk size and writes every full buffer as a chunk.
class TImageData {
 public:
  explicit TImageData(std::string& out) : out_(out), buffer_(kPngDataChunk) {
    if (deflateInit(&stream_, 9) != Z_OK) throw EScreenshotError("The image data cannot be compressed.");
    Restart();
  }
  ~TImageData() { deflateEnd(&stream_); }

  void Feed(const uint8_t* data, size_t size) {
    stream_.next_in = const_cast<Bytef*>(data);
    stream_.avail_in = static_cast<uInt>(size);
    while (stream_.avail_in > 0) Step(Z_NO_FLUSH);
  }

  void Finish() {
    while (Step(Z_FINISH) != Z_STREAM_END) {
    }
    const size_t used = buffer_.size() - stream_.avail_out;
    if (used > 0) PutChunk(out_, "IDAT", buffer_.data(), used);
  }

 private:
  int Step(int flush) {
    const int result = deflate(&stream_, flush);
    if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
      throw EScreenshotError("The image data cannot be compressed.");
    if (stream_.avail_out == 0) {
      PutChunk(out_, "IDAT", buffer_.data(), buffer_.size());
      Restart();
    }
    return result;
  }
  void Restart() {
    stream_.next_out = buffer_.data();
    stream_.avail_out = static_cast<uInt>(buffer_.size());
  }

  std::string& out_;
  std::vector<Bytef> buffer_;
  z_stream stream_{};
};

}  // namespace

std::string EncodePng(const TPaletteImage& image) {
  static const char kSignature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1A', '\n'};
  std::string out(kSignature, sizeof kSignature);
  std::string header;
  Put32(header, static_cast<uint32_t>(image.Width));
  Put32(header, static_cast<uint32_t>(image.Height));
  header += std::string{8, 3, 0, 0, 0};
  PutChunk(out, "IHDR", header.data(), header.size());
  uint8_t palette[256 * 3];
  for (int i = 0; i < 256; ++i) {
    palette[3 * i] = image.Palette[i].R;
    palette[3 * i + 1] = image.Palette[i].G;
    palette[3 * i + 2] = image.Palette[i].B;
  }
  PutChunk(out, "PLTE", palette, sizeof palette);
  {
    TImageData data(out);
    const uint8_t filter = 0;
    for (int y = 0; y < image.Height; ++y) {
      data.Feed(&filter, 1);
      data.Feed(image.Indices.data() + static_cast<size_t>(y) * image.Width, static_cast<size_t>(image.Width));
    }
    data.Finish();
  }
  PutChunk(out, "IEND", nullptr, 0);
  return out;
}

void WritePngFile(const std::string& fileName, const std::string& png) {
  std::string temporary = fileName + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) throw EScreenshotError("The screenshot file cannot be written.");
  const char* data = png.data();
  size_t left = png.size();
  bool written = true;
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      written = false;
      break;
    }
    data += n, left -= static_cast<size_t>(n);
  }
  // The file is only ever seen whole, under its final name.
  if (::fchmod(fd, 0644) != 0) written = false;
  if (::close(fd) != 0) written = false;
  if (!written || ::rename(temporary.c_str(), fileName.c_str()) != 0) {
    ::unlink(temporary.c_str());
    throw EScreenshotError("The screenshot file cannot be written.");
  }
}
