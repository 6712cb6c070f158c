// The traditional zip encryption of one entry (weak by design: see EZip.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class TZipCrypto {
 public:
  static constexpr size_t kHeaderSize = 12;

  explicit TZipCrypto(const std::string& password);
  // The encrypted 12-byte header that starts the entry's data: ten random bytes, then the two
  // high bytes of the entry's CRC-32 (the last one is what readers check the password by).
  // False when the system gives no random bytes.
  bool MakeHeader(uint32_t crc, unsigned char header[kHeaderSize]);
  // Encrypts in place; call after MakeHeader, on the data in order.
  void Encrypt(unsigned char* data, size_t size);

 private:
  void Update(unsigned char plain);
  unsigned char Stream() const;
  uint32_t keys_[3];
};
