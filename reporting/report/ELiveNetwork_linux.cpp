// Network adapters: addresses from getifaddrs, gateways from the kernel's routing table, name
// servers from resolv.conf, and DHCP from the address lifetimes the kernel reports over netlink
// (a socket to the kernel: nothing leaves the machine).
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "reporting/report/ESystemInfo.h"

namespace {

constexpr uint32_t kInfiniteLifetime = 0xFFFFFFFFu;

// (interface index, address) of every IPv4 address whose valid lifetime is finite.
std::set<std::pair<unsigned, uint32_t>> LeasedAddresses() {
  std::set<std::pair<unsigned, uint32_t>> leased;
  int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return leased;
  struct {
    nlmsghdr header;
    ifaddrmsg message;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETADDR;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  request.message.ifa_family = AF_INET;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    ::close(fd);
    return leased;
  }
  alignas(nlmsghdr) char buffer[16384];
  bool done = false;
  while (!done) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) break;  // the kernel answers at once; never wait long
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    size_t left = static_cast<size_t>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
        done = true;
        break;
      }
      if (h->nlmsg_type != RTM_NEWADDR) continue;
      auto* msg = static_cast<ifaddrmsg*>(NLMSG_DATA(h));
      if (msg->ifa_family != AF_INET) continue;
      uint32_t address = 0;
      bool haveAddress = false, finite = false;
      int attrLen = static_cast<int>(IFA_PAYLOAD(h));
      for (auto* a = IFA_RTA(msg); RTA_OK(a, attrLen); a = RTA_NEXT(a, attrLen)) {
        if ((a->rta_type == IFA_LOCAL || (a->rta_type == IFA_ADDRESS && !haveAddress)) &&
            RTA_PAYLOAD(a) >= sizeof address) {
          std::memcpy(&address, RTA_DATA(a), sizeof address);
          haveAddress = true;
        } else if (a->rta_type == IFA_CACHEINFO && RTA_PAYLOAD(a) >= sizeof(ifa_cacheinfo)) {
          ifa_cacheinfo info{};
          std::memcpy(&info, RTA_DATA(a), sizeof info);
          finite = info.ifa_valid != kInfiniteLifetime;
        }
      }
      if (haveAddress && finite) leased.emplace(msg->ifa_index, address);
    }
  }
  ::close(fd);
  return leased;
}

std::vector<std::string> IPv4NameServers() {
  std::vector<std::string> servers = ParseNameServers(ReadTextFile("/etc/resolv.conf"));
  if (OnlyLocalStubResolver(servers)) {
    std::vector<std::string> upstream = ParseNameServers(ReadTextFile("/run/systemd/resolve/resolv.conf"));
    if (!upstream.empty()) servers = upstream;
  }
  std::vector<std::string> ipv4;
  for (const std::string& s : servers) {
    in_addr a{};
    if (::inet_pton(AF_INET, s.c_str(), &a) == 1) ipv4.push_back(s);
  }
  return ipv4;
}

}  // namespace

std::vector<TNetworkAdapter> ReadNetworkAdapters() {
  std::vector<TNetworkAdapter> adapters;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return adapters;
  try {
    std::vector<TRouteEntry> routes = ParseRouteTable(ReadTextFile("/proc/net/route"));
    std::vector<std::string> dns = IPv4NameServers();
    auto leased = LeasedAddresses();
    std::set<std::string> seen;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_LOOPBACK) || !i->ifa_name) continue;
      if (!seen.insert(i->ifa_name).second) continue;  // the first address of each adapter
      TNetworkAdapter a;
      uint32_t address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
      a.Address = DottedIPv4(address);
      if (i->ifa_netmask) a.Mask = DottedIPv4(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
      a.Gateway = DefaultGatewayOf(routes, i->ifa_name);
      if (!dns.empty()) a.Dns1 = dns[0];
      if (dns.size() > 1) a.Dns2 = dns[1];
      a.Dhcp = leased.count({::if_nametoindex(i->ifa_name), address}) != 0;
      adapters.push_back(std::move(a));
    }
  } catch (...) {
  }
  ::freeifaddrs(list);
  return adapters;
}
