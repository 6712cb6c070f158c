// The bytes of an MX lookup: the query, the checks a reply must pass and the hosts read from it.
// Nothing here touches the network, so the reply parser can be fed anything.
#include "delivery/ESocketsDns.h"

#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/random.h>
#include <arpa/inet.h>

#include <idn2.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
    if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    if (x != y) return false;
  }
  return true;
}

TDnsReply Reply(TDnsReplyKind kind, std::string reason) {
  TDnsReply r;
  r.Kind = kind;
  r.Reason = std::move(reason);
  return r;
}

uint16_t RandomId() {
  uint16_t id = 0;
  if (getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id)) {
    // Without the kernel's generator the id is still unpredictable enough from the clock's
    // nanoseconds; a spoofer must also hit the random source port.
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    id = static_cast<uint16_t>(ts.tv_nsec ^ (ts.tv_nsec >> 16));
  }
  return id;
}

bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

TDnsReply ParseMxReply(const unsigned char* data, size_t size, uint16_t id, std::string_view name) {
  if (size < NS_HFIXEDSZ) return Reply(drForeign, "shorter than a header");
  if (size > 65535) return Reply(drMalformed, "longer than a message can be");
  if (static_cast<uint16_t>(data[0] << 8 | data[1]) != id) return Reply(drForeign, "another id");
  const bool isReply = data[2] & 0x80, truncated = data[2] & 0x02;
  const int opcode = (data[2] >> 3) & 0x0F, rcode = data[3] & 0x0F;
  if (!isReply || opcode != ns_o_query) return Reply(drForeign, "not a reply to a query");

  ns_msg msg;
  if (ns_initparse(data, static_cast<int>(size), &msg) < 0)
    return truncated ? Reply(drTruncated, "truncated") : Reply(drMalformed, "sections do not fit the message");

  // The question must be ours, echoed: one entry, the name, MX, IN.
  ns_rr rr;
  if (ns_msg_count(msg, ns_s_qd) != 1) return Reply(drForeign, "not one question");
  if (ns_parserr(&msg, ns_s_qd, 0, &rr) < 0) return Reply(drMalformed, "unreadable question");
  if (!SameName(ns_rr_name(rr), name) || ns_rr_type(rr) != ns_t_mx || ns_rr_class(rr) != ns_c_in)
    return Reply(drForeign, "another question");

  if (rcode == ns_r_nxdomain) return Reply(drNameError, "no such domain");
  if (rcode != ns_r_noerror) return Reply(drServerError, "server error " + std::to_string(rcode));
  if (truncated) return Reply(drTruncated, "truncated");

  // The answer may lead through aliases: MX records count for the name and the names it is an
  // alias of, in the order the chain gives them.
  std::vector<std::string> owners{std::string(name)};
  std::vector<TMxHost> hosts;
  bool nullMx = false;
  const int answers = ns_msg_count(msg, ns_s_an);
  char expanded[NS_MAXDNAME];
  for (int i = 0; i < answers; ++i) {
    if (ns_parserr(&msg, ns_s_an, i, &rr) < 0) return Reply(drMalformed, "unreadable answer");
    if (ns_rr_class(rr) != ns_c_in) continue;
    const bool ours = std::any_of(owners.begin(), owners.end(),
                                  [&](const std::string& o) { return SameName(o, ns_rr_name(rr)); });
    if (!ours) continue;
    const unsigned char* rdata = ns_rr_rdata(rr);
    const int rdlen = ns_rr_rdlen(rr);
    if (ns_rr_type(rr) == ns_t_cname) {
      const int used = dn_expand(ns_msg_base(msg), ns_msg_end(msg), rdata, expanded, sizeof expanded);
      if (used < 0 || used != rdlen) return Reply(drMalformed, "unreadable alias");
      if (owners.size() < 16) owners.emplace_back(expanded);
    } else if (ns_rr_type(rr) == ns_t_mx) {
      if (rdlen < 3) return Reply(drMalformed, "MX data too short");
      const uint16_t preference = static_cast<uint16_t>(rdata[0] << 8 | rdata[1]);
      const int used = dn_expand(ns_msg_base(msg), ns_msg_end(msg), rdata + 2, expanded, sizeof expanded);
      if (used < 0 || used + 2 != rdlen) return Reply(drMalformed, "unreadable exchange name");
      if (expanded[0] == '\0') {
        nullMx = true;  // "." as the exchange
        continue;
      }
      hosts.push_back({preference, expanded});
    }
  }
  if (nullMx) return Reply(drNullMx, "null MX");
  if (hosts.empty()) return Reply(drNoData, "no MX records");
  std::stable_sort(hosts.begin(), hosts.end(),
                   [](const TMxHost& a, const TMxHost& b) { return a.Preference < b.Preference; });
  std::vector<TMxHost> unique;
  for (TMxHost& h : hosts) {
    const bool seen = std::any_of(unique.begin(), unique.end(), [&](const TMxHost& u) { return SameName(u.Host, h.Host); });
    if (!seen) unique.push_back(std::move(h));
  }
  TDnsReply result;
  result.Kind = drHosts;
  result.Hosts = std::move(unique);
  return result;
}

std::string MailDomainOf(const std::string& emailAddress) {
  const size_t at = emailAddress.find('@');
  std::string domain = at == std::string::npos ? emailAddress : emailAddress.substr(at + 1);
  if (!domain.empty() && domain.back() == '.') domain.pop_back();
  if (domain.empty()) return {};
  if (IsAscii(domain)) {
    for (char c : domain)
      if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return {};
    return domain;
  }
  char* ascii = nullptr;
  int rc = idn2_to_ascii_8z(domain.c_str(), &ascii, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
  if (rc != IDN2_OK) {
    // Names valid only under the older rules (IDNA 2003) are still found by most registries.
    rc = idn2_to_ascii_8z(domain.c_str(), &ascii, IDN2_NFC_INPUT | IDN2_TRANSITIONAL);
  }
  if (rc != IDN2_OK || ascii == nullptr) return {};
  std::unique_ptr<char, decltype(&idn2_free)> owner(ascii, &idn2_free);
  return ascii;
}

std::string BuildMxQuery(const std::string& asciiDomain, uint16_t& id) {
  if (asciiDomain.empty() || !IsAscii(asciiDomain)) return {};
  // A private resolver state: the process-wide one is not touched, so other threads' lookups
  // are not disturbed.
  struct __res_state state;
  std::memset(&state, 0, sizeof state);
  if (res_ninit(&state) != 0) {
    res_nclose(&state);
    return {};
  }
  unsigned char buffer[NS_PACKETSZ];
  const int length = res_nmkquery(&state, ns_o_query, asciiDomain.c_str(), ns_c_in, ns_t_mx, nullptr, 0,
                                  nullptr, buffer, sizeof buffer);
  res_nclose(&state);
  if (length < NS_HFIXEDSZ) return {};
  // The library's id comes from the clock; ours from the kernel's random source.
  id = RandomId();
  buffer[0] = static_cast<unsigned char>(id >> 8);
  buffer[1] = static_cast<unsigned char>(id & 0xFF);
  buffer[2] |= 0x01;  // recursion desired, whatever the state's options say
  return std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
}

std::vector<std::string> ResolvConfServers(std::string_view text) {
  std::vector<std::string> servers;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    size_t i = 0;
    while (i < line.size() && blank(line[i])) ++i;
    static constexpr std::string_view kKey = "nameserver";
    if (line.substr(i, kKey.size()) != kKey) continue;
    i += kKey.size();
    if (i >= line.size() || !blank(line[i])) continue;
    while (i < line.size() && blank(line[i])) ++i;
    size_t j = i;
    while (j < line.size() && !blank(line[j]) && line[j] != '#' && line[j] != ';') ++j;
    std::string address(line.substr(i, j - i));
    if (address.empty() || address == "0.0.0.0") continue;
    // The address must be one; a zone ("%eth0") stays for link-local IPv6 servers.
    std::string bare = address.substr(0, address.find('%'));
    unsigned char probe[sizeof(in6_addr)];
    if (inet_pton(AF_INET, bare.c_str(), probe) != 1 && inet_pton(AF_INET6, bare.c_str(), probe) != 1) continue;
    if (address.find(':') != std::string::npos) address = "[" + address + "]";
    servers.push_back(address);
  }
  return servers;
}
