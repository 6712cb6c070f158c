#include "tests/support/WebTestServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecoded(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The value of `key="..."` in a header line; empty when absent.
std::string QuotedParameter(std::string_view line, std::string_view key) {
  std::string k = std::string(key) + "=\"";
  size_t at = line.find(k);
  if (at == std::string_view::npos) return {};
  size_t start = at + k.size();
  size_t end = line.find('"', start);
  return std::string(line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}

bool SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// A listening socket on 127.0.0.1 with one thread per accepted connection.
struct Listener {
  int fd = -1;
  int wake[2] = {-1, -1};
  int port = 0;
  std::mutex mu;
  bool stop = false;
  std::vector<int> open;
  std::vector<std::thread> threads;
  std::thread acceptor;

  void Start(std::function<void(int)> serve) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 || ::pipe2(wake, O_CLOEXEC) != 0)
      throw std::runtime_error("WebTestServer: cannot listen");
    port = ntohs(a.sin_port);
    acceptor = std::thread([this, serve] {
      for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
          if (errno == EINTR) continue;
          return;
        }
        if (fds[1].revents) return;
        int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        std::lock_guard<std::mutex> lock(mu);
        if (stop) {
          ::close(c);
          return;
        }
        open.push_back(c);
        threads.emplace_back([this, serve, c] {
          serve(c);
          Forget(c);
        });
      }
    });
  }

  void Forget(int c) {
    std::lock_guard<std::mutex> lock(mu);
    open.erase(std::remove(open.begin(), open.end(), c), open.end());
    ::close(c);
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mu);
      stop = true;
      for (int c : open) ::shutdown(c, SHUT_RDWR);
    }
    (void)!::write(wake[1], "x", 1);
    if (acceptor.joinable()) acceptor.join();
    for (auto& t : threads) t.join();
    ::close(fd);
    ::close(wake[0]);
    ::close(wake[1]);
  }

  bool Stopping() {
    std::lock_guard<std::mutex> lock(mu);
    return stop;
  }
};

// Reads until the end of the header block; false when the peer went away first.
bool ReadHead(int fd, std::string& data, size_t& headEnd) {
  char buf[8192];
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.append(buf, static_cast<size_t>(n));
  }
  headEnd += 4;
  return true;
}

std::string HeaderValue(std::string_view head, std::string_view name) {
  size_t at = 0;
  while ((at = head.find("\r\n", at)) != std::string_view::npos) {
    at += 2;
    if (head.size() - at > name.size() && strncasecmp(head.data() + at, name.data(), name.size()) == 0 &&
        head[at + name.size()] == ':') {
      size_t start = at + name.size() + 1;
      while (start < head.size() && head[start] == ' ') ++start;
      size_t end = head.find("\r\n", start);
      return std::string(head.substr(start, end - start));
    }
  }
  return {};
}

void Pipe(int a, int b) {
  char buf[16384];
  for (;;) {
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
      if (n <= 0 || !SendAll(fds[1 - i].fd, std::string_view(buf, static_cast<size_t>(n)))) return;
    }
  }
}

int ConnectTo(const std::string& hostPort) {
  size_t colon = hostPort.rfind(':');
  if (colon == std::string::npos) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(std::stoi(hostPort.substr(colon + 1))));
  if (inet_pton(AF_INET, hostPort.substr(0, colon).c_str(), &a.sin_addr) != 1) return -1;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

WebFieldList ParseUrlEncoded(std::string_view text) {
  WebFieldList out;
  while (!text.empty()) {
    size_t amp = text.find('&');
    std::string_view pair = text.substr(0, amp);
    size_t eq = pair.find('=');
    out.emplace_back(PercentDecoded(pair.substr(0, eq)),
                     eq == std::string_view::npos ? std::string() : PercentDecoded(pair.substr(eq + 1)));
    if (amp == std::string_view::npos) break;
    text.remove_prefix(amp + 1);
  }
  return out;
}

bool ParseMultipart(std::string_view contentType, std::string_view body, std::vector<WebFormPart>& parts) {
  size_t b = contentType.find("boundary=");
  if (b == std::string_view::npos) return false;
  std::string delimiter = "--" + std::string(contentType.substr(b + 9));
  size_t at = 0;
  if (body.substr(0, delimiter.size()) != delimiter) return false;
  for (;;) {
    at += delimiter.size();
    if (body.substr(at, 4) == "--\r\n" && at + 4 == body.size()) return true;
    if (body.substr(at, 2) != "\r\n") return false;
    at += 2;
    size_t headEnd = body.find("\r\n\r\n", at);
    if (headEnd == std::string_view::npos) return false;
    std::string_view head = body.substr(at, headEnd - at);
    WebFormPart part;
    part.Name = QuotedParameter(head, "name");
    part.IsFile = head.find("filename=\"") != std::string_view::npos;
    part.FileName = QuotedParameter(head, "filename");
    size_t next = body.find("\r\n" + delimiter, headEnd + 4);
    if (next == std::string_view::npos) return false;
    part.Value = std::string(body.substr(headEnd + 4, next - headEnd - 4));
    parts.push_back(std::move(part));
    at = next + 2;
  }
}

WebFormRequest ParseFormRequest(const HttpRequestRecord& r) {
  WebFormRequest f;
  f.Method = r.Method;
  std::string target = r.Target;
  size_t scheme = target.find("://");
  if (scheme != std::string::npos) {  // absolute form, through a proxy
    size_t slash = target.find('/', scheme + 3);
    target = slash == std::string::npos ? "/" : target.substr(slash);
  }
  size_t q = target.find('?');
  f.Path = target.substr(0, q);
  if (q != std::string::npos) f.Query = ParseUrlEncoded(std::string_view(target).substr(q + 1));
  f.Page = f.Path.substr(f.Path.find_last_of('/') + 1);
  f.Cookie = r.Header("Cookie");
  std::string type = r.Header("Content-Type");
  if (type.rfind("application/x-www-form-urlencoded", 0) == 0) {
    f.Fields = ParseUrlEncoded(r.Body);
  } else if (type.rfind("multipart/form-data", 0) == 0 && ParseMultipart(type, r.Body, f.Parts)) {
    for (const WebFormPart& p : f.Parts) f.Fields.emplace_back(p.Name, p.IsFile ? p.FileName : p.Value);
  }
  return f;
}

// ---- RecordingProxy ----

struct RecordingProxy::State {
  Listener listener;
  mutable std::mutex mu;
  std::vector<std::string> lines;
  std::vector<std::string> authorizations;

  void Serve(int client) {
    std::string data;
    size_t headEnd = 0;
    if (!ReadHead(client, data, headEnd)) return;
    std::string head = data.substr(0, headEnd);
    std::string line = head.substr(0, head.find("\r\n"));
    {
      std::lock_guard<std::mutex> lock(mu);
      lines.push_back(line);
      authorizations.push_back(HeaderValue(head, "Proxy-Authorization"));
    }
    size_t sp1 = line.find(' ');
    size_t sp2 = line.find(' ', sp1 + 1);
    std::string method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string hostPort;
    if (method == "CONNECT") {
      hostPort = target;
    } else {
      size_t s = target.find("://");
      if (s == std::string::npos) return;
      hostPort = target.substr(s + 3, target.find('/', s + 3) - s - 3);
    }
    int upstream = ConnectTo(hostPort);
    if (upstream < 0) {
      SendAll(client, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return;
    }
    bool ok = method == "CONNECT" ? SendAll(client, "HTTP/1.1 200 Connection established\r\n\r\n") &&
                                        SendAll(upstream, std::string_view(data).substr(headEnd))
                                  : SendAll(upstream, data);
    if (ok) Pipe(client, upstream);
    ::shutdown(upstream, SHUT_RDWR);
    ::close(upstream);
  }
};

RecordingProxy::RecordingProxy() : state_(std::make_shared<State>()) {
  State* s = state_.get();
  s->listener.Start([s](int c) { s->Serve(c); });
}

RecordingProxy::~RecordingProxy() { state_->listener.Stop(); }

int RecordingProxy::Port() const { return state_->listener.port; }

std::vector<std::string> RecordingProxy::RequestLines() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->lines;
}

std::vector<std::string> RecordingProxy::Authorizations() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->authorizations;
}

// ---- SinkServer ----

struct SinkServer::State {
  Listener listener;
  bool stall = false;
  std::atomic<int64_t> received{0};

  void Serve(int c) {
    for (;;) {
      std::string data;
      size_t headEnd = 0;
      if (!ReadHead(c, data, headEnd)) return;
      if (stall) {  // say nothing until the client gives up
        char buf[4096];
        while (::recv(c, buf, sizeof buf, 0) > 0) {
        }
        return;
      }
      std::string length = HeaderValue(std::string_view(data).substr(0, headEnd), "Content-Length");
      int64_t left = (length.empty() ? 0 : std::stoll(length)) - static_cast<int64_t>(data.size() - headEnd);
      received += static_cast<int64_t>(data.size() - headEnd);
      char buf[65536];
      while (left > 0) {
        ssize_t n = ::recv(c, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        left -= n;
        received += n;
      }
      if (!SendAll(c, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")) return;
    }
  }
};

SinkServer::SinkServer(bool stall) : state_(std::make_shared<State>()) {
  State* s = state_.get();
  s->stall = stall;
  s->listener.Start([s](int c) { s->Serve(c); });
}

SinkServer::~SinkServer() { state_->listener.Stop(); }

int SinkServer::Port() const { return state_->listener.port; }

int64_t SinkServer::BytesReceived() const { return state_->received; }

// ---- Small helpers ----

WebTempFolder::WebTempFolder() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/webtest-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("WebTempFolder: mkdtemp failed");
  path_ = pattern;
}

WebTempFolder::~WebTempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string WebTempFolder::Write(const std::string& name, std::string_view bytes) const {
  std::string path = path_ + "/" + name;
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

int RefusedLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}
