// The socket class on non-blocking POSIX sockets, with OpenSSL for TLS.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "delivery/ESockets.h"

namespace {

using TClock = TTarvexClientSocket::TClock;

constexpr size_t kSendPiece = 1024;
// Long enough for any honest dialogue; a server that talks more is cut off in the log.
constexpr size_t kMaxLog = 64 * 1024;
// The part of a long log kept in an error text: its start (who we talked to) and its end
// (what went wrong).
constexpr size_t kErrorLogHead = 200;
constexpr size_t kErrorLogTail = 480;
constexpr size_t kMaxErrorText = 1024;
// Waits are cut into slices so that a cancel is seen promptly.
constexpr int kWaitSliceMs = 50;

std::string SystemErrorText(int error) { return std::strerror(error); }

std::string CompactLog(const std::string& log) {
  if (log.size() <= kErrorLogHead + kErrorLogTail + 16) return log;
  return log.substr(0, kErrorLogHead) + "\r\n...\r\n" + log.substr(log.size() - kErrorLogTail);
}

std::string TlsErrorText() {
  unsigned long code = ERR_get_error();
  if (code == 0) return "TLS handshake failed";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

bool IsIpLiteral(const std::string& host) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// Name resolution that a deadline and a cancel can interrupt. A lookup that cannot be
// cancelled keeps its request block: the resolver thread still writes into it.
struct TLookup {
  std::string Name, Service;
  addrinfo Hints{};
  gaicb Block{};
};

addrinfo* Resolve(TTarvexClientSocket& socket, const std::string& host, uint16_t port, bool stream,
                  TClock::time_point until) {
  auto* lookup = new TLookup;
  lookup->Name = host;
  lookup->Service = std::to_string(port);
  lookup->Hints.ai_family = AF_UNSPEC;
  lookup->Hints.ai_socktype = stream ? SOCK_STREAM : SOCK_DGRAM;
  lookup->Hints.ai_flags = AI_ADDRCONFIG;
  lookup->Block.ar_name = lookup->Name.c_str();
  lookup->Block.ar_service = lookup->Service.c_str();
  lookup->Block.ar_request = &lookup->Hints;
  gaicb* list[1] = {&lookup->Block};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
    delete lookup;
    socket.RaiseError(Format("Connection error: \"%s\"", {std::string("Cannot start the name lookup")}));
  }
  int rc;
  while ((rc = gai_error(&lookup->Block)) == EAI_INPROGRESS) {
    bool cancelled = EmailSendingCancelled();
    if (cancelled || TClock::now() >= until) {
      if (gai_cancel(&lookup->Block) == EAI_ALLDONE) {
        if (lookup->Block.ar_result) freeaddrinfo(lookup->Block.ar_result);
        delete lookup;
      }
      if (cancelled) throw EAbort("Sending cancelled.");
      socket.RaiseError("Socket timeout.");
    }
    struct timespec slice {0, kWaitSliceMs * 1000000L};
    const gaicb* wait[1] = {&lookup->Block};
    gai_suspend(wait, 1, &slice);
  }
  addrinfo* result = lookup->Block.ar_result;
  delete lookup;
  if (rc != 0 || result == nullptr) {
    if (result) freeaddrinfo(result);
    socket.RaiseError(Format("Connection error: \"%s\"", {std::string(gai_strerror(rc != 0 ? rc : EAI_NONAME))}));
  }
  return result;
}

std::string AddressText(const sockaddr* address, uint16_t port) {
  if (address->sa_family == AF_INET) {
    const auto* a = reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    return Format("Connected to %d.%d.%d.%d port %d\r\n", {a[0], a[1], a[2], a[3], port});
  }
  char text[INET6_ADDRSTRLEN] = "";
  inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
  return Format("Connected to %s port %d\r\n", {std::string(text), port});
}

bool LoopbackAddress(const sockaddr* address) {
  if (address->sa_family == AF_INET)
    return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
  if (address->sa_family != AF_INET6) return false;
  const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
  return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
}

}  // namespace

struct TTarvexClientSocket::TTls {
  SSL_CTX* Context = nullptr;
  SSL* Session = nullptr;
  ~TTls() {
    if (Session) SSL_free(Session);
    if (Context) SSL_CTX_free(Context);
  }
};

TTarvexClientSocket::TTarvexClientSocket(std::string host, int timeoutMs, bool stream, uint16_t port)
    : host_(std::move(host)), port_(port), timeoutMs_(timeoutMs), stream_(stream) {}

TTarvexClientSocket::~TTarvexClientSocket() { TTarvexClientSocket::Disconnect(); }

TClock::time_point TTarvexClientSocket::StepDeadline() const {
  return std::min(deadline_, TClock::now() + std::chrono::milliseconds(timeoutMs_));
}

void TTarvexClientSocket::Connect() {
  if (fd_ >= 0) Disconnect();
  TClock::time_point until = StepDeadline();
  addrinfo* addresses = Resolve(*this, host_, port_, stream_, until);
  int lastError = ECONNREFUSED;
  for (addrinfo* a = addresses; a != nullptr && fd_ < 0; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      lastError = errno;
      continue;
    }
    if (connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
      lastError = errno;
      close(fd);
      continue;
    }
    fd_ = fd;
    try {
      if (!stream_ || Wait(TWait::Write, until)) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0) {
          peerLoopback_ = LoopbackAddress(a->ai_addr);
          AppendSocketLog(AddressText(a->ai_addr, port_));
          break;
        }
        lastError = error;
      } else {
        lastError = ETIMEDOUT;
      }
    } catch (...) {
      freeaddrinfo(addresses);
      throw;
    }
    close(fd_);
    fd_ = -1;
  }
  freeaddrinfo(addresses);
  if (fd_ < 0) {
    if (lastError == ETIMEDOUT) RaiseError("Socket timeout.");
    RaiseError(Format("Connection error: \"%s\"", {SystemErrorText(lastError)}));
  }
}

void TTarvexClientSocket::Disconnect() {
  if (tls_ && tls_->Session) SSL_shutdown(tls_->Session);  // one try: the peer need not answer
  tls_.reset();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  peerLoopback_ = false;
  socketLog_.clear();
  errorLog_.clear();
}

bool TTarvexClientSocket::Secure() const { return tls_ != nullptr; }
bool TTarvexClientSocket::PeerIsLoopback() const { return peerLoopback_; }

void TTarvexClientSocket::AppendSocketLog(std::string_view text) {
  if (socketLog_.size() >= kMaxLog) return;
  socketLog_.append(text.substr(0, kMaxLog - socketLog_.size()));
  if (socketLog_.size() >= kMaxLog) socketLog_ += "\r\n...\r\n";
}

bool TTarvexClientSocket::Wait(TWait what, TClock::time_point until) {
  until = std::min(until, deadline_);
  for (;;) {
    if (EmailSendingCancelled()) throw EAbort("Sending cancelled.");
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - TClock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd_, static_cast<short>(what == TWait::Read ? POLLIN : POLLOUT), 0};
    int rc = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, kWaitSliceMs)));
    if (rc > 0) return true;  // ready, or an error the next call reports
    if (rc < 0 && errno != EINTR) RaiseError(Format("Error into \"poll\": \"%s\"", {SystemErrorText(errno)}));
  }
}

void TTarvexClientSocket::SendText(std::string_view text, const std::string* logAs) {
  SendBuffer(text.data(), text.size(), logAs);
}

void TTarvexClientSocket::SendBuffer(const void* data, size_t size, const std::string* logAs) {
  if (fd_ < 0) RaiseError(Format("Invalid socket: \"%s\".", {SystemErrorText(ENOTCONN)}));
  errorLog_.clear();
  AppendSocketLog(logAs ? std::string_view(*logAs) : std::string_view(static_cast<const char*>(data), size));
  const char* bytes = static_cast<const char*>(data);
  size_t sent = 0;
  while (sent < size) {
    size_t piece = std::min(kSendPiece, size - sent);
    size_t done = 0;
    while (done < piece) {
      if (tls_) {
        ERR_clear_error();
        int n = SSL_write(tls_->Session, bytes + sent + done, static_cast<int>(piece - done));
        if (n > 0) {
          done += static_cast<size_t>(n);
          continue;
        }
        int error = SSL_get_error(tls_->Session, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
          if (!Wait(error == SSL_ERROR_WANT_READ ? TWait::Read : TWait::Write, StepDeadline()))
            RaiseError("Socket timeout.");
          continue;
        }
        std::string text = error == SSL_ERROR_SYSCALL && errno != 0 ? SystemErrorText(errno) : TlsErrorText();
        RaiseError(Format("Error into \"send\": \"%s\"", {text}));
      }
      ssize_t n = send(fd_, bytes + sent + done, piece - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) {
        done += static_cast<size_t>(n);
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (!Wait(TWait::Write, StepDeadline())) RaiseError("Socket timeout.");
      } else if (errno != EINTR) {
        int error = errno;
        std::string keep = socketLog_, keepErrors = errorLog_;
        Disconnect();  // as designed: a failed send closes the socket (the logs stay for the text)
        socketLog_ = std::move(keep);
        errorLog_ = std::move(keepErrors);
        RaiseError(Format("Error into \"send\": \"%s\"", {SystemErrorText(error)}));
      }
    }
    sent += piece;
    if (onSent_) onSent_(sent, size);
  }
}

bool TTarvexClientSocket::Receive(std::string& out, TClock::time_point until) {
  if (fd_ < 0) RaiseError(Format("Invalid socket: \"%s\".", {SystemErrorText(ENOTCONN)}));
  char buffer[4096];
  for (;;) {
    ssize_t n;
    int error = 0;
    if (tls_) {
      ERR_clear_error();
      int r = SSL_read(tls_->Session, buffer, sizeof buffer);
      n = r;
      if (r <= 0) {
        int e = SSL_get_error(tls_->Session, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
          if (!Wait(e == SSL_ERROR_WANT_READ ? TWait::Read : TWait::Write, until)) return false;
          continue;
        }
        if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && errno == 0)) {
          n = 0;
        } else {
          RaiseError(Format("Error into \"recv\": \"%s\"",
                            {e == SSL_ERROR_SYSCALL ? SystemErrorText(errno) : TlsErrorText()}));
        }
      }
    } else {
      n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      error = errno;
      if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
        if (!Wait(TWait::Read, until)) return false;
        continue;
      }
      if (n < 0 && error == EINTR) continue;
      if (n < 0) RaiseError(Format("Error into \"recv\": \"%s\"", {SystemErrorText(error)}));
    }
    if (n == 0) RaiseError(Format("Error into \"recv\": \"%s\"", {std::string("Connection closed by peer")}));
    std::string_view got(buffer, static_cast<size_t>(n));
    out.append(got);
    AppendSocketLog(got);
    if (errorLog_.size() < kMaxLog) errorLog_.append(got.substr(0, kMaxLog - errorLog_.size()));
    return true;
  }
}

std::string TTarvexClientSocket::ReadAvailable() {
  std::string out;
  while (Receive(out, TClock::now())) {
  }
  return out;
}

std::string TTarvexClientSocket::ReadResponse() {
  std::string out;
  if (Receive(out, StepDeadline())) out += ReadAvailable();
  return out;
}

std::string TTarvexClientSocket::ReadResponseOrFail() {
  std::string out = ReadResponse();
  if (out.empty()) RaiseError("Socket timeout.");
  return out;
}

void TTarvexClientSocket::StartTls() {
  if (fd_ < 0) RaiseError(Format("Invalid socket: \"%s\".", {SystemErrorText(ENOTCONN)}));
  auto tls = std::make_unique<TTls>();
  tls->Context = SSL_CTX_new(TLS_client_method());
  if (tls->Context == nullptr) RaiseError(Format("TLS error: \"%s\"", {TlsErrorText()}));
  SSL_CTX_set_min_proto_version(tls->Context, TLS1_2_VERSION);
  // The system's store, or SSL_CERT_FILE / SSL_CERT_DIR when set.
  SSL_CTX_set_default_verify_paths(tls->Context);
  SSL_CTX_set_verify(tls->Context, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_mode(tls->Context, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  tls->Session = SSL_new(tls->Context);
  if (tls->Session == nullptr || SSL_set_fd(tls->Session, fd_) != 1)
    RaiseError(Format("TLS error: \"%s\"", {TlsErrorText()}));
  if (IsIpLiteral(host_)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls->Session), host_.c_str());
  } else {
    SSL_set_tlsext_host_name(tls->Session, host_.c_str());
    SSL_set1_host(tls->Session, host_.c_str());
  }
  TClock::time_point until = StepDeadline();
  for (;;) {
    ERR_clear_error();
    int r = SSL_connect(tls->Session);
    if (r == 1) break;
    int e = SSL_get_error(tls->Session, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      if (!Wait(e == SSL_ERROR_WANT_READ ? TWait::Read : TWait::Write, until)) RaiseError("Socket timeout.");
      continue;
    }
    long verify = SSL_get_verify_result(tls->Session);
    std::string text = verify != X509_V_OK ? X509_verify_cert_error_string(verify) : TlsErrorText();
    RaiseError(Format("TLS error: \"%s\"", {text}));
  }
  tls_ = std::move(tls);
  AppendSocketLog("[TLS established]\r\n");
}

void TTarvexClientSocket::RaiseError(const std::string& text) {
  std::string message;
  if (!socketLog_.empty() && text == socketLog_) {
    message = CompactLog(socketLog_);
  } else if (!socketLog_.empty() && text.find(socketLog_) != std::string::npos) {
    message = text;
  } else {
    message = text + "\r\n\r\nError log:\r\n" + CompactLog(errorLog_) + "\r\n\r\nSocket log:\r\n" +
              CompactLog(socketLog_);
  }
  if (onError_) onError_(message);
  if (message.size() > kMaxErrorText) message = message.substr(0, kMaxErrorText) + "...";
  if (quietErrors_) throw EAbort(message);
  throw ETarvexSocketError(message);
}
