// The MX lookup on the wire: each name server asked over UDP with our own deadlines, a new
// socket (and so a new source port) and a new random id for every attempt.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "delivery/ESocketsDns.h"
#include "runtime/NoDestroy.h"

namespace {

// Asked after the machine's own servers; tests point it at loopback.
constexpr const char* kBuiltInFallbackServer = "9.9.9.9";
constexpr int kDnsPort = 53;
constexpr int kAttemptsPerServer = 3;
constexpr size_t kMaxLog = 1024;

std::mutex g_serversMutex;
TNoDestroy<std::vector<std::string>> g_servers;  // empty: those of /etc/resolv.conf
TNoDestroy<std::string> g_fallback;  // empty: the built-in one (both kept for the leak report at exit)

struct TServerAddress {
  sockaddr_storage Address{};
  socklen_t Length = 0;
  std::string Text;
};

bool ParseServer(const std::string& text, TServerAddress& out) {
  std::string host = text;
  int port = kDnsPort;
  const auto parsePort = [&](const std::string& digits) {
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    port = std::stoi(digits);
    return port > 0 && port < 65536;
  };
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':' || !parsePort(text.substr(close + 2))) return false;
    }
  } else if (std::count(text.begin(), text.end(), ':') == 1) {
    const size_t colon = text.find(':');
    host = text.substr(0, colon);
    if (!parsePort(text.substr(colon + 1))) return false;
  }
  out = TServerAddress{};
  out.Text = text;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out.Address);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    out.Length = sizeof(sockaddr_in);
    return true;
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.Address);
  const size_t percent = host.find('%');
  if (inet_pton(AF_INET6, host.substr(0, percent).c_str(), &v6->sin6_addr) != 1) return false;
  if (percent != std::string::npos) {
    v6->sin6_scope_id = if_nametoindex(host.c_str() + percent + 1);
    if (v6->sin6_scope_id == 0) return false;
  }
  v6->sin6_family = AF_INET6;
  v6->sin6_port = htons(static_cast<uint16_t>(port));
  out.Length = sizeof(sockaddr_in6);
  return true;
}

bool SameAddress(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET) {
    const auto& x = reinterpret_cast<const sockaddr_in&>(a);
    const auto& y = reinterpret_cast<const sockaddr_in&>(b);
    return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
  }
  const auto& x = reinterpret_cast<const sockaddr_in6&>(a);
  const auto& y = reinterpret_cast<const sockaddr_in6&>(b);
  return x.sin6_port == y.sin6_port && std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
}

std::vector<TServerAddress> ServersToAsk() {
  std::vector<std::string> texts;
  {
    std::lock_guard lock(g_serversMutex);
    texts = *g_servers;
    if (texts.empty()) {
      std::ifstream in("/etc/resolv.conf");
      std::stringstream content;
      content << in.rdbuf();
      texts = ResolvConfServers(content.str());
    }
    texts.push_back(g_fallback->empty() ? kBuiltInFallbackServer : *g_fallback);
  }
  std::vector<TServerAddress> servers;
  for (const std::string& t : texts) {
    TServerAddress s;
    if (!ParseServer(t, s)) continue;
    bool seen = false;
    for (const TServerAddress& o : servers) seen = seen || SameAddress(o.Address, s.Address);
    if (!seen) servers.push_back(std::move(s));
  }
  return servers;
}

using TClock = std::chrono::steady_clock;

int RemainingMs(TClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(left);
}

class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

enum class TOutcome { Answer, Retry, NextServer };

// Waits for `fd` to be ready for `events` until the deadline; false on time-out.
bool WaitFor(int fd, short events, TClock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int rc = poll(&p, 1, RemainingMs(deadline));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
  }
}

// The same question over TCP (two length bytes before each message), for replies too large for
// a datagram.
TOutcome AskOverTcp(const TServerAddress& server, const std::string& domain, TClock::time_point deadline,
                    TDnsReply& reply, std::string& log) {
  uint16_t id = 0;
  const std::string query = BuildMxQuery(domain, id);
  if (query.empty()) return TOutcome::NextServer;
  TFd fd(socket(server.Address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return TOutcome::NextServer;
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&server.Address), server.Length) != 0) {
    int error = errno;
    if (error == EINPROGRESS && WaitFor(fd.get(), POLLOUT, deadline)) {
      socklen_t len = sizeof error;
      getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len);
    } else if (error == EINPROGRESS) {
      error = ETIMEDOUT;
    }
    if (error != 0 && error != EINPROGRESS) {
      log += "  TCP: " + std::string(strerror(error)) + "\r\n";
      return TOutcome::NextServer;
    }
  }
  std::string out;
  out.push_back(static_cast<char>(query.size() >> 8));
  out.push_back(static_cast<char>(query.size() & 0xFF));
  out += query;
  size_t sent = 0;
  while (sent < out.size()) {
    const ssize_t n = send(fd.get(), out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitFor(fd.get(), POLLOUT, deadline)) return TOutcome::NextServer;
    } else {
      log += "  TCP: send failed\r\n";
      return TOutcome::NextServer;
    }
  }
  std::string in;
  size_t want = 2;
  while (in.size() < want) {
    if (!WaitFor(fd.get(), POLLIN, deadline)) {
      log += "  TCP: no complete reply in time\r\n";
      return TOutcome::NextServer;
    }
    char buffer[4096];
    const ssize_t n = recv(fd.get(), buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
      log += "  TCP: connection closed before the reply ended\r\n";
      return TOutcome::NextServer;
    }
    if (n > 0) in.append(buffer, static_cast<size_t>(n));
    if (want == 2 && in.size() >= 2)
      want = 2 + (static_cast<unsigned char>(in[0]) << 8 | static_cast<unsigned char>(in[1]));
  }
  reply = ParseMxReply(reinterpret_cast<const unsigned char*>(in.data()) + 2, want - 2, id, domain);
  if (reply.Kind == drTruncated || reply.Kind == drForeign) reply.Kind = drMalformed;
  return TOutcome::Answer;
}

// One query and its reply within `waitMs`.
TOutcome AskOnce(const TServerAddress& server, const std::string& domain, int waitMs, TDnsReply& reply,
                 std::string& log) {
  const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(waitMs);
  uint16_t id = 0;
  const std::string query = BuildMxQuery(domain, id);
  if (query.empty()) return TOutcome::NextServer;
  TFd fd(socket(server.Address.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) {
    log += "  socket: " + std::string(strerror(errno)) + "\r\n";
    return TOutcome::NextServer;
  }
  // Connected, so that the kernel drops datagrams of other senders and reports an unreachable
  // port; the sender is still compared below.
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&server.Address), server.Length) != 0 ||
      send(fd.get(), query.data(), query.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(query.size())) {
    log += "  send: " + std::string(strerror(errno)) + "\r\n";
    return TOutcome::NextServer;
  }
  std::vector<unsigned char> buffer(65536);
  for (;;) {
    if (!WaitFor(fd.get(), POLLIN, deadline)) {
      log += "  no reply within " + std::to_string(waitMs) + " ms\r\n";
      return TOutcome::Retry;
    }
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = recvfrom(fd.get(), buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      log += "  receive: " + std::string(strerror(errno)) + "\r\n";
      return TOutcome::NextServer;
    }
    if (!SameAddress(from, server.Address)) continue;
    reply = ParseMxReply(buffer.data(), static_cast<size_t>(n), id, domain);
    if (reply.Kind == drForeign) {
      log += "  ignored a reply: " + reply.Reason + "\r\n";
      continue;
    }
    if (reply.Kind == drTruncated) {
      log += "  truncated reply, asking over TCP\r\n";
      return AskOverTcp(server, domain, deadline, reply, log);
    }
    return TOutcome::Answer;
  }
}

// Asks one server, with retries; true when the lookup is settled by its answer.
bool AskServer(const TServerAddress& server, const std::string& domain, int timeoutMs,
               std::vector<std::string>& hosts, bool& noSuchDomain, std::string& log) {
  for (int attempt = 0; attempt < kAttemptsPerServer; ++attempt) {
    const int waitMs = (timeoutMs + 150) / 3 + 100 * attempt;
    TDnsReply reply;
    const TOutcome outcome = AskOnce(server, domain, waitMs, reply, log);
    if (outcome == TOutcome::Retry) continue;
    if (outcome == TOutcome::NextServer) return false;
    switch (reply.Kind) {
      case drHosts:
        for (TMxHost& h : reply.Hosts) hosts.push_back(std::move(h.Host));
        return true;
      case drNoData:
        hosts = {domain};
        return true;
      case drNullMx:
        return true;
      case drNameError:
        // An authoritative "no such domain": asking elsewhere would only take longer.
        log += "  " + reply.Reason + "\r\n";
        noSuchDomain = true;
        return true;
      case drServerError:
        log += "  " + reply.Reason + "\r\n";
        return false;
      default:
        log += "  rejected a reply: " + reply.Reason + "\r\n";
        break;
    }
  }
  return false;
}

}  // namespace

std::vector<std::string> FindMailExchanger(const std::string& emailAddress, int timeoutMs) {
  const std::string domain = MailDomainOf(emailAddress);
  std::string log;
  if (!domain.empty()) {
    for (const TServerAddress& server : ServersToAsk()) {
      log += server.Text + ":\r\n";
      std::vector<std::string> hosts;
      bool noSuchDomain = false;
      if (AskServer(server, domain, timeoutMs, hosts, noSuchDomain, log)) {
        if (noSuchDomain) break;
        return hosts;
      }
    }
  }
  const size_t at = emailAddress.find('@');
  std::string message = Format("Cannot resolve the \"%s\" MX record.",
                               {at == std::string::npos ? emailAddress : emailAddress.substr(at + 1)});
  if (!log.empty()) {
    if (log.size() > kMaxLog) log = log.substr(0, kMaxLog) + "...";
    message += "\r\n\r\nSocket log:\r\n" + log;
  }
  throw ETarvexSocketError(message);
}

void SetDnsServers(std::vector<std::string> servers) {
  std::lock_guard lock(g_serversMutex);
  *g_servers = std::move(servers);
}

void SetDnsFallbackServer(const std::string& server) {
  std::lock_guard lock(g_serversMutex);
  *g_fallback = server;
}
