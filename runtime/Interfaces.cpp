#include "runtime/Interfaces.h"

#include <cstdio>

std::string GUIDToString(const TGUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.D1, g.D2, g.D3,
                g.D4[0], g.D4[1], g.D4[2], g.D4[3], g.D4[4], g.D4[5], g.D4[6], g.D4[7]);
  return buf;
}

TGUID StringToGUID(std::string_view s) {
  auto bad = [&] { return EConvertError("'" + std::string(s) + "' is not a valid GUID value"); };
  if (s.size() != 38 || s[0] != '{' || s[37] != '}' || s[9] != '-' || s[14] != '-' || s[19] != '-' ||
      s[24] != '-')
    throw bad();
  auto hex = [&](int from, int count) {
    uint32_t v = 0;
    for (int i = from; i < from + count; ++i) {
      char c = s[i];
      int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
      if (d < 0) throw bad();
      v = v * 16 + static_cast<uint32_t>(d);
    }
    return v;
  };
  TGUID g;
  g.D1 = hex(1, 8);
  g.D2 = static_cast<uint16_t>(hex(10, 4));
  g.D3 = static_cast<uint16_t>(hex(15, 4));
  g.D4[0] = static_cast<uint8_t>(hex(20, 2));
  g.D4[1] = static_cast<uint8_t>(hex(22, 2));
  for (int i = 0; i < 6; ++i) g.D4[2 + i] = static_cast<uint8_t>(hex(25 + 2 * i, 2));
  return g;
}
