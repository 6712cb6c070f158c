#include "tests/support/HttpTestServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#ifdef ZELK_TEST_TLS
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "tests/support/TestSupport.h"
#endif

namespace {

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

#ifdef ZELK_TEST_TLS
// A server context with a fresh self-signed certificate for "localhost" and 127.0.0.1: no client
// trusts it unless given it as its CA file (`pem` receives it).
SSL_CTX* SelfSignedContext(std::string& pem) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  bool ok = key && cert && ctx;
  if (ok) {
    // No session tickets: written after the handshake, they would meet a client that refused
    // the certificate and hung up, and raise SIGPIPE in the test program.
    SSL_CTX_set_num_tickets(ctx, 0);
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1,
                               -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* san = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    ok = san && X509_add_ext(cert, san, -1) == 1;
    X509_EXTENSION_free(san);
    ok = ok && X509_sign(cert, key, EVP_sha256()) > 0 && SSL_CTX_use_certificate(ctx, cert) == 1 &&
         SSL_CTX_use_PrivateKey(ctx, key) == 1;
    BIO* bio = BIO_new(BIO_s_mem());
    if (ok && bio && PEM_write_bio_X509(bio, cert) == 1) {
      char* data = nullptr;
      long size = BIO_get_mem_data(bio, &data);
      pem.assign(data, static_cast<size_t>(size));
    }
    BIO_free(bio);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  if (!ok) {
    SSL_CTX_free(ctx);
    throw std::runtime_error("HttpTestServer: cannot set up TLS");
  }
  return ctx;
}
#else
using SSL = void;
using SSL_CTX = void;
#endif

// One accepted connection, plain or TLS.
class Channel {
 public:
  Channel(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}

  // Bytes read; 0 at the end of the stream or on an error.
  size_t Recv(char* buffer, size_t size) {
#ifdef ZELK_TEST_TLS
    if (ssl_) {
      int n = SSL_read(ssl_, buffer, static_cast<int>(size));
      return n > 0 ? static_cast<size_t>(n) : 0;
    }
#endif
    // Acknowledge at once: a client that sends headers and body in two writes with Nagle on
    // would otherwise wait for the delayed acknowledgement on every call. Linux clears the
    // flag again by itself, hence before every read.
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    for (;;) {
      ssize_t n = ::recv(fd_, buffer, size, 0);
      if (n < 0 && errno == EINTR) continue;
      return n > 0 ? static_cast<size_t>(n) : 0;
    }
  }

  bool Send(std::string_view data) {
    while (!data.empty()) {
#ifdef ZELK_TEST_TLS
      if (ssl_) {
        int n = SSL_write(ssl_, data.data(), static_cast<int>(data.size()));
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
        continue;
      }
#endif
      ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

 private:
  int fd_;
  SSL* ssl_;
};

// Buffered reads from one connection; false at end of stream or on error.
class Reader {
 public:
  explicit Reader(Channel& ch) : ch_(ch) {}

  bool ReadLine(std::string& line) {
    for (;;) {
      size_t eol = buf_.find("\r\n");
      if (eol != std::string::npos) {
        line = buf_.substr(0, eol);
        buf_.erase(0, eol + 2);
        return true;
      }
      if (!Fill()) return false;
    }
  }

  bool ReadExactly(size_t count, std::string& out) {
    while (buf_.size() < count)
      if (!Fill()) return false;
    out.append(buf_, 0, count);
    buf_.erase(0, count);
    return true;
  }

 private:
  bool Fill() {
    char chunk[16384];
    size_t n = ch_.Recv(chunk, sizeof chunk);
    buf_.append(chunk, n);
    return n > 0;
  }

  Channel& ch_;
  std::string buf_;
};

bool ReadChunkedBody(Reader& in, std::string& body) {
  for (;;) {
    std::string sizeLine;
    if (!in.ReadLine(sizeLine)) return false;
    size_t size = std::stoul(sizeLine, nullptr, 16);
    if (size == 0) {
      std::string trailer;
      do {
        if (!in.ReadLine(trailer)) return false;
      } while (!trailer.empty());
      return true;
    }
    std::string crlf;
    if (!in.ReadExactly(size, body) || !in.ReadExactly(2, crlf)) return false;
  }
}

}  // namespace

std::string HttpRequestRecord::Header(std::string_view name) const {
  for (const auto& [n, v] : Headers)
    if (SameName(n, name)) return v;
  return {};
}

bool HttpRequestRecord::HasHeader(std::string_view name) const {
  return std::any_of(Headers.begin(), Headers.end(), [&](const auto& h) { return SameName(h.first, name); });
}

std::vector<std::string> HttpRequestRecord::HeaderNames() const {
  std::vector<std::string> names;
  for (const auto& h : Headers) names.push_back(h.first);
  return names;
}

HttpResponse HttpResponse::With(int status, std::string reason, std::string contentType, std::string body) {
  HttpResponse r;
  r.Status = status;
  r.Reason = std::move(reason);
  if (!contentType.empty()) r.Headers.emplace_back("Content-Type", std::move(contentType));
  r.Body = std::move(body);
  return r;
}

HttpResponse HttpResponse::Xml(std::string body, int status, std::string reason) {
  return With(status, std::move(reason), "text/xml; charset=utf-8", std::move(body));
}

HttpResponse HttpResponse::NotFound() { return With(404, "Not Found", "text/html", "<h1>Not Found</h1>"); }

struct HttpTestServer::State {
  bool ipv6 = false;
  SSL_CTX* tls = nullptr;
  std::string certificatePem;
  int listenFd = -1;
  int wakePipe[2] = {-1, -1};
  int port = 0;

  mutable std::mutex mu;
  std::condition_variable stopped;  // wakes stalls when the server stops
  bool stop = false;
  std::deque<HttpResponse> queue;
  HttpResponse fallback = HttpResponse::Xml("<ok/>");
  Handler handler;
  std::vector<HttpRequestRecord> requests;
  int connections = 0;
  bool record = true;
  std::vector<int> openFds;
  std::vector<std::thread> threads;
  std::thread acceptor;

  // Waits up to `ms`; false when the server stopped meanwhile.
  bool Sleep(int ms) {
    std::unique_lock<std::mutex> lock(mu);
    return !stopped.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop; });
  }

  HttpResponse Answer(const HttpRequestRecord& request) {
    std::lock_guard<std::mutex> lock(mu);
    if (record) requests.push_back(request);
    if (handler) return handler(request);
    if (queue.empty()) return fallback;
    HttpResponse r = std::move(queue.front());
    queue.pop_front();
    return r;
  }

  static bool ReadRequest(Channel& ch, Reader& in, HttpRequestRecord& req) {
    std::string line;
    do {  // tolerate blank lines between requests
      if (!in.ReadLine(line)) return false;
    } while (line.empty());
    size_t sp1 = line.find(' ');
    size_t sp2 = line.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos) return false;
    req.Method = line.substr(0, sp1);
    req.Target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    req.Version = line.substr(sp2 + 1);
    for (;;) {
      if (!in.ReadLine(line)) return false;
      if (line.empty()) break;
      size_t colon = line.find(':');
      if (colon == std::string::npos) return false;
      req.Headers.emplace_back(line.substr(0, colon), std::string(TrimBlanks(std::string_view(line).substr(colon + 1))));
    }
    if (SameName(req.Header("Expect"), "100-continue") && !ch.Send("HTTP/1.1 100 Continue\r\n\r\n")) return false;
    if (SameName(req.Header("Transfer-Encoding"), "chunked")) return ReadChunkedBody(in, req.Body);
    std::string length = req.Header("Content-Length");
    return length.empty() || in.ReadExactly(std::stoul(length), req.Body);
  }

  static std::string HeaderBlock(const HttpResponse& r, bool chunked) {
    std::string head = "HTTP/1.1 " + std::to_string(r.Status) + " " + r.Reason + "\r\n";
    bool hasLength = false;
    for (const auto& [n, v] : r.Headers) {
      head += n + ": " + v + "\r\n";
      hasLength = hasLength || SameName(n, "Content-Length");
    }
    if (chunked) head += "Transfer-Encoding: chunked\r\n";
    else if (!hasLength) head += "Content-Length: " + std::to_string(r.Body.size()) + "\r\n";
    if (r.Close) head += "Connection: close\r\n";
    return head + "\r\n";
  }

  // Sends one answer; false when the connection must end.
  bool Respond(Channel& ch, const HttpResponse& r) {
    using B = HttpResponse::Behaviour;
    if (r.DelayMs > 0 && !Sleep(r.DelayMs)) return false;
    switch (r.Mode) {
      case B::Normal:
        return ch.Send(HeaderBlock(r, false) + r.Body) && !r.Close;
      case B::Chunked: {
        if (!ch.Send(HeaderBlock(r, true))) return false;
        for (size_t at = 0; at < r.Body.size(); at += r.ChunkSize) {
          std::string_view piece = std::string_view(r.Body).substr(at, r.ChunkSize);
          char size[32];
          snprintf(size, sizeof size, "%zx\r\n", piece.size());
          if (!ch.Send(size) || !ch.Send(piece) || !ch.Send("\r\n")) return false;
        }
        return ch.Send("0\r\n\r\n") && !r.Close;
      }
      case B::StallAfterHeaders:
        return ch.Send(HeaderBlock(r, false)) && Sleep(r.StallMs) && ch.Send(r.Body) && !r.Close;
      case B::DropMidBody:
        ch.Send(HeaderBlock(r, false) + r.Body.substr(0, r.Body.size() / 2));
        return false;
      case B::CloseWithoutAnswer:
        return false;
      case B::Raw:
        ch.Send(r.Body);
        return false;
      case B::Repeat: {
        bool chunked = std::none_of(r.Headers.begin(), r.Headers.end(),
                                    [](const auto& h) { return SameName(h.first, "Content-Length"); });
        if (!ch.Send(HeaderBlock(r, chunked)) || r.Body.empty()) return false;
        for (size_t sent = 0; sent < r.RepeatBytes;) {
          std::string_view piece = std::string_view(r.Body).substr(0, std::min(r.Body.size(), r.RepeatBytes - sent));
          char size[32];
          snprintf(size, sizeof size, "%zx\r\n", piece.size());
          if (chunked && !ch.Send(size)) return false;
          if (!ch.Send(piece) || (chunked && !ch.Send("\r\n"))) return false;
          sent += piece.size();
        }
        if (chunked) ch.Send("0\r\n\r\n");
        return false;
      }
    }
    return false;
  }

  void Serve(int fd, int index) {
    SSL* ssl = nullptr;
#ifdef ZELK_TEST_TLS
    if (tls) {
      ssl = SSL_new(tls);
      SSL_set_fd(ssl, fd);
      if (SSL_accept(ssl) != 1) {  // e.g. the client refused our certificate
        SSL_free(ssl);
        ssl = nullptr;
        CloseChannel(fd);
        return;
      }
    }
#endif
    Channel ch(fd, ssl);
    Reader in(ch);
    for (;;) {
      HttpRequestRecord req;
      req.Connection = index;
      bool ok = false;
      try {
        ok = ReadRequest(ch, in, req);
      } catch (const std::exception&) {  // a malformed length or chunk size
      }
      if (!ok) break;
      HttpResponse r = Answer(req);
      if (!Respond(ch, r) || SameName(req.Header("Connection"), "close")) break;
    }
#ifdef ZELK_TEST_TLS
    if (ssl) {
      SSL_shutdown(ssl);
      SSL_free(ssl);
    }
#endif
    CloseChannel(fd);
  }

  void CloseChannel(int fd) {
    std::lock_guard<std::mutex> lock(mu);
    openFds.erase(std::remove(openFds.begin(), openFds.end(), fd), openFds.end());
    ::close(fd);
  }

  void AcceptLoop() {
    for (;;) {
      pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents) return;
      int fd = ::accept(listenFd, nullptr, nullptr);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mu);
      if (stop) {
        ::close(fd);
        return;
      }
      openFds.push_back(fd);
      int index = connections++;
      threads.emplace_back([this, fd, index] { Serve(fd, index); });
    }
  }
};

HttpTestServer::HttpTestServer(const HttpTestServerOptions& options) : state_(std::make_shared<State>()) {
  State& s = *state_;
  const bool ipv6 = options.Ipv6;
  state_->record = options.Record;
  s.ipv6 = ipv6;
  if (options.Tls) {
#ifdef ZELK_TEST_TLS
    s.tls = SelfSignedContext(s.certificatePem);
#else
    throw std::runtime_error("HttpTestServer: built without TLS");
#endif
  }
  s.listenFd = ListenOnLoopback(ipv6, 16, s.port);
  if (s.listenFd < 0 || ::pipe2(s.wakePipe, O_CLOEXEC) != 0) {
    if (s.listenFd >= 0) ::close(s.listenFd);
#ifdef ZELK_TEST_TLS
    SSL_CTX_free(s.tls);
#endif
    throw std::runtime_error(std::string("HttpTestServer: ") + std::strerror(errno));
  }
  s.acceptor = std::thread([&s] { s.AcceptLoop(); });
}

HttpTestServer::~HttpTestServer() {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.stop = true;
    for (int fd : s.openFds) ::shutdown(fd, SHUT_RDWR);
  }
  s.stopped.notify_all();
  (void)!::write(s.wakePipe[1], "x", 1);
  s.acceptor.join();
  // No new threads start once the acceptor has ended.
  for (auto& t : s.threads) t.join();
  ::close(s.listenFd);
  ::close(s.wakePipe[0]);
  ::close(s.wakePipe[1]);
#ifdef ZELK_TEST_TLS
  SSL_CTX_free(s.tls);
#endif
}

bool HttpTestServer::TlsAvailable() {
#ifdef ZELK_TEST_TLS
  return true;
#else
  return false;
#endif
}

int HttpTestServer::Port() const { return state_->port; }

std::string HttpTestServer::CertificatePem() const { return state_->certificatePem; }

std::string HttpTestServer::HostPort() const {
  return (state_->ipv6 ? "[::1]:" : "127.0.0.1:") + std::to_string(state_->port);
}

std::string HttpTestServer::Url(std::string_view path) const {
  return (state_->tls ? "https://" : "http://") + HostPort() + std::string(path);
}

void HttpTestServer::Enqueue(HttpResponse response) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->queue.push_back(std::move(response));
}

void HttpTestServer::SetDefault(HttpResponse response) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->fallback = std::move(response);
}

void HttpTestServer::SetHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->handler = std::move(handler);
}

std::vector<HttpRequestRecord> HttpTestServer::Requests() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->requests;
}

HttpRequestRecord HttpTestServer::Request(size_t index) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->requests.at(index);
}

size_t HttpTestServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->requests.size();
}

int HttpTestServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->connections;
}

void HttpTestServer::ClearRequests() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->requests.clear();
}
