// Test helpers for the screenshot: a private temporary folder, and a PNG file decoded by Python
// (zlib and struct only), which checks the chunks' CRCs on the way.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "delivery/EScreenshot.h"

class TScratchFolder {
 public:
  TScratchFolder() {
    const char* base = std::getenv("TMPDIR");
    path_ = std::string(base && *base ? base : "/tmp") + "/screenshot-test-XXXXXX";
    if (!::mkdtemp(path_.data())) path_.clear();
  }
  ~TScratchFolder() {
    for (const std::string& name : Names()) ::unlink((path_ + "/" + name).c_str());
    ::rmdir(path_.c_str());
  }
  const std::string& Path() const { return path_; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(path_.c_str())) {
      while (dirent* e = ::readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
      ::closedir(d);
    }
    return names;
  }

 private:
  std::string path_;
};

inline const char* kPngDecoder = R"PY(
import struct, sys, zlib
data = open(sys.argv[1], 'rb').read()
if data[:8] != b'\x89PNG\r\n\x1a\n':
    print('signature bad'); sys.exit(1)
pos, chunks = 8, []
while pos < len(data):
    n, = struct.unpack('>I', data[pos:pos + 4])
    kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]
    crc, = struct.unpack('>I', data[pos + 8 + n:pos + 12 + n])
    if zlib.crc32(kind + body) & 0xffffffff != crc:
        print('crc bad', kind.decode())
    chunks.append((kind.decode(), body))
    pos += 12 + n
print('chunks', ' '.join('%s:%d' % (k, len(b)) for k, b in chunks))
w, h, depth, ctype, comp, filt, inter = struct.unpack('>IIBBBBB', chunks[0][1])
print('header', w, h, depth, ctype, comp, filt, inter)
palette = chunks[1][1]
idat = b''.join(b for k, b in chunks if k == 'IDAT')
if len(sys.argv) > 3:
    print('compress', 'same' if idat == zlib.compress(open(sys.argv[3], 'rb').read(), 9) else 'different')
raw = zlib.decompress(idat)
entries = [palette[3 * i:3 * i + 3] for i in range(256)]
out = bytearray()
for y in range(h):
    row = raw[y * (w + 1):(y + 1) * (w + 1)]
    if row[0] != 0:
        print('filter', row[0])
    out += b''.join(map(entries.__getitem__, row[1:]))
open(sys.argv[2], 'wb').write(out)
)PY";

struct TDecodedPng {
  std::string Report;  // what the decoder printed
  int Width = 0, Height = 0;
  std::vector<TRgb> Pixels;
  TRgb At(int x, int y) const { return Pixels[static_cast<size_t>(y) * Width + x]; }
  bool Has(const std::string& line) const { return Report.find(line) != std::string::npos; }
};

// `rows`: the filtered rows that the image data must be the level-9 zlib stream of.
inline TDecodedPng DecodePng(const std::string& folder, const std::string& file, const std::string& rows = {}) {
  TDecodedPng png;
  const std::string script = folder + "/decode.py", pixels = folder + "/pixels.rgb", rowsFile = folder + "/rows.bin";
  std::ofstream(script) << kPngDecoder;
  if (!rows.empty()) std::ofstream(rowsFile, std::ios::binary) << rows;
  std::string command = "/usr/bin/python3 " + script + " " + file + " " + pixels + (rows.empty() ? "" : " " + rowsFile);
  if (FILE* p = ::popen((command + " 2>&1").c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) png.Report.append(buffer, n);
    ::pclose(p);
  }
  std::istringstream report(png.Report);
  for (std::string line; std::getline(report, line);)
    if (line.rfind("header ", 0) == 0) std::istringstream(line.substr(7)) >> png.Width >> png.Height;
  std::ifstream in(pixels, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (size_t i = 0; i + 2 < bytes.size(); i += 3)
    png.Pixels.push_back(TRgb{static_cast<uint8_t>(bytes[i]), static_cast<uint8_t>(bytes[i + 1]),
                              static_cast<uint8_t>(bytes[i + 2])});
  ::unlink(script.c_str()), ::unlink(pixels.c_str()), ::unlink(rowsFile.c_str());
  return png;
}
