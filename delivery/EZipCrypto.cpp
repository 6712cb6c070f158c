#include "delivery/EZipCrypto.h"

#include <errno.h>
#include <sys/random.h>
#include <zlib.h>

namespace {

const z_crc_t* CrcTable() {
  static const z_crc_t* table = get_crc_table();
  return table;
}

uint32_t CrcByte(uint32_t crc, unsigned char c) { return CrcTable()[(crc ^ c) & 0xff] ^ (crc >> 8); }

bool RandomBytes(unsigned char* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::getrandom(out + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

TZipCrypto::TZipCrypto(const std::string& password) : keys_{0x12345678u, 0x23456789u, 0x34567890u} {
  for (char c : password) Update(static_cast<unsigned char>(c));
}

void TZipCrypto::Update(unsigned char plain) {
  keys_[0] = CrcByte(keys_[0], plain);
  keys_[1] = (keys_[1] + (keys_[0] & 0xff)) * 134775813u + 1;
  keys_[2] = CrcByte(keys_[2], static_cast<unsigned char>(keys_[1] >> 24));
}

unsigned char TZipCrypto::Stream() const {
  const uint32_t t = (keys_[2] & 0xffff) | 2;
  return static_cast<unsigned char>((t * (t ^ 1)) >> 8);
}

// minizip makes these ten bytes itself when it is handed the password: it calls srand() on its
// first use and rand() for every header, which reseeds and advances the host program's rand()
// sequence. Its knobs (NOCRYPT, ZCR_SEED2) are compile-time ones of the library, and the state
// of rand() cannot be saved and restored safely while other threads may call it. So minizip
// gets no password: the header comes from getrandom(), the entry is encrypted here and handed
// over as raw data with the encryption flag set.
bool TZipCrypto::MakeHeader(uint32_t crc, unsigned char header[kHeaderSize]) {
  if (!RandomBytes(header, kHeaderSize - 2)) return false;
  header[kHeaderSize - 2] = static_cast<unsigned char>(crc >> 16);
  header[kHeaderSize - 1] = static_cast<unsigned char>(crc >> 24);
  Encrypt(header, kHeaderSize);
  return true;
}

void TZipCrypto::Encrypt(unsigned char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const unsigned char plain = data[i];
    data[i] = plain ^ Stream();
    Update(plain);
  }
}
