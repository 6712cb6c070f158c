// An MX reply of arbitrary bytes, checked against the question "example.com" with the id the
// bytes carry (so that the checks past the id are reached). Besides "no crash": hosts come only
// with drHosts, never empty, lowest preference first, each once.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include "delivery/ESocketsDns.h"

namespace {

[[noreturn]] void Broken() { __builtin_trap(); }

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint16_t id = size >= 2 ? static_cast<uint16_t>(data[0] << 8 | data[1]) : 0;
  const TDnsReply reply = ParseMxReply(data, size, id, "example.com");
  if (reply.Kind != drHosts) {
    if (!reply.Hosts.empty() || reply.Reason.empty()) Broken();
    return 0;
  }
  if (reply.Hosts.empty()) Broken();
  for (size_t i = 0; i < reply.Hosts.size(); ++i) {
    const TMxHost& h = reply.Hosts[i];
    if (h.Host.empty() || h.Host.size() > 1025) Broken();
    if (i > 0 && reply.Hosts[i - 1].Preference > h.Preference) Broken();
    for (size_t j = 0; j < i; ++j)
      if (SameIgnoringCase(reply.Hosts[j].Host, h.Host)) Broken();
  }
  return 0;
}
