#include "tests/support/SmtpTestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "tests/support/TestSupport.h"

namespace {

bool StartsWithCaseless(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

void AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) throw std::runtime_error("SmtpTestServer: cannot make a certificate extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A server context with a fresh self-signed certificate for the loopback names, also written
// to `pemFile` so that a client can be told to trust it.
SSL_CTX* MakeTlsContext(const std::string& pemFile, const std::string& names) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  bool ok = key && cert && ctx;
  if (ok) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(std::chrono::steady_clock::now().time_since_epoch().count() & 0x7fffffff));
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                               0);
    X509_set_issuer_name(cert, name);
    AddExtension(cert, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert, NID_subject_alt_name, names.c_str());
    ok = X509_sign(cert, key, EVP_sha256()) > 0 && SSL_CTX_use_certificate(ctx, cert) == 1 &&
         SSL_CTX_use_PrivateKey(ctx, key) == 1;
  }
  if (ok) {
    FILE* f = std::fopen(pemFile.c_str(), "w");
    ok = f != nullptr && PEM_write_X509(f, cert) == 1;
    if (f) std::fclose(f);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  if (!ok) {
    SSL_CTX_free(ctx);
    throw std::runtime_error("SmtpTestServer: cannot set up TLS");
  }
  return ctx;
}

std::string UndoDotRule(std::string_view data) {
  // `data` ends with the "." line; every line that begins with "." lost one dot on the way.
  data.remove_suffix(3);
  std::string out;
  bool lineStart = true;
  for (size_t i = 0; i < data.size(); ++i) {
    if (lineStart && data[i] == '.') {
      lineStart = false;
      continue;
    }
    out += data[i];
    lineStart = data[i] == '\n';
  }
  return out;
}

}  // namespace

SmtpReply SmtpReply::Text(std::string text) {
  SmtpReply r;
  r.Pieces.push_back(std::move(text));
  return r;
}

SmtpReply SmtpReply::Split(const std::string& text, std::vector<size_t> cuts, int delayMs) {
  SmtpReply r;
  size_t from = 0;
  for (size_t cut : cuts) {
    r.Pieces.push_back(text.substr(from, cut - from));
    from = cut;
  }
  r.Pieces.push_back(text.substr(from));
  r.PieceDelayMs = delayMs;
  return r;
}

SmtpReply SmtpReply::Stall() {
  SmtpReply r;
  r.Mode = Action::Stall;
  return r;
}

SmtpReply SmtpReply::Close() {
  SmtpReply r;
  r.Mode = Action::Close;
  return r;
}

SmtpReply SmtpReply::DropInData(size_t afterBytes) {
  SmtpReply r;
  r.Mode = Action::DropInData;
  r.DropAfterBytes = afterBytes;
  return r;
}

struct SmtpTestServer::State {
  struct Rule {
    std::string Prefix;
    SmtpReply Reply;
    int Session;
  };
  SmtpServerOptions Options;
  mutable std::mutex Mutex;
  std::vector<Rule> Rules;
  std::optional<SmtpReply> Greeting;
  std::vector<SmtpSessionRecord> Records;
  int ListenFd = -1;
  int ConnectionFd = -1;
  int Port = 0;
  std::atomic<bool> Stop{false};
  SSL_CTX* Tls = nullptr;
  std::string Folder, CertFile;
  std::thread Thread;

  std::optional<SmtpReply> FindRule(std::string_view line, int session) {
    std::lock_guard lock(Mutex);
    for (auto it = Rules.rbegin(); it != Rules.rend(); ++it)
      if ((it->Session < 0 || it->Session == session) && StartsWithCaseless(line, it->Prefix)) return it->Reply;
    return std::nullopt;
  }
  template <typename F>
  void Update(int session, F change) {
    std::lock_guard lock(Mutex);
    change(Records[static_cast<size_t>(session)]);
  }
};

namespace {

// One accepted connection.
class Connection {
 public:
  Connection(SmtpTestServer::State& s, int fd, int index) : s_(s), fd_(fd), index_(index) {}
  ~Connection() {
    if (ssl_) SSL_free(ssl_);
  }

  void Serve() {
    if (s_.Options.ImplicitTls && !StartTls()) return;
    SmtpReply greeting;
    {
      std::lock_guard lock(s_.Mutex);
      greeting = s_.Greeting.value_or(SmtpReply::Text(s_.Options.Greeting));
    }
    if (!Answer(greeting)) return;
    int authStage = 0;
    std::string line;
    while (ReadLine(line)) {
      s_.Update(index_, [&](SmtpSessionRecord& r) { r.Commands.push_back(line); });
      std::optional<SmtpReply> rule = s_.FindRule(line, index_);
      std::string verb = line.substr(0, line.find(' '));
      for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (rule && rule->Mode == SmtpReply::Action::DropInData) {
        if (!Write("354 Go ahead\r\n")) return;
        ReadData(rule->DropAfterBytes);
        return;
      }
      if (rule) {
        if (!Answer(*rule)) return;
        if (verb == "DATA" && rule->Pieces.size() > 0 && rule->Pieces[0].rfind("354", 0) == 0 && !FinishData()) return;
        if (verb == "STARTTLS" && rule->Pieces.size() > 0 && rule->Pieces[0].rfind("220", 0) == 0 && !StartTls())
          return;
        if (verb == "AUTH" && rule->Pieces.size() > 0 && rule->Pieces[0].rfind("334", 0) == 0) authStage = 1;
        else if (authStage == 1 && rule->Pieces.size() > 0 && rule->Pieces[0].rfind("334", 0) == 0) authStage = 2;
        else authStage = 0;
        continue;
      }
      std::string reply;
      if (authStage == 1) {
        reply = "334 UGFzc3dvcmQ6\r\n";
        authStage = 2;
      } else if (authStage == 2) {
        reply = "235 2.7.0 Authentication successful\r\n";
        authStage = 0;
      } else if (verb == "EHLO") {
        reply = "250-smtp.test greets you\r\n";
        if (s_.Options.OfferAuth) reply += "250-AUTH LOGIN PLAIN\r\n";
        if (s_.Options.OfferStartTls && !ssl_) reply += "250-STARTTLS\r\n";
        reply += "250 8BITMIME\r\n";
      } else if (verb == "HELO" || verb == "RSET" || verb == "MAIL" || verb == "NOOP") {
        reply = "250 OK\r\n";
      } else if (verb == "RCPT") {
        reply = "250 Accepted\r\n";
      } else if (verb == "AUTH" && s_.Options.OfferAuth) {
        reply = "334 VXNlcm5hbWU6\r\n";
        authStage = 1;
      } else if (verb == "STARTTLS" && s_.Options.OfferStartTls && !ssl_) {
        if (!Write("220 2.0.0 Ready to start TLS\r\n") || !StartTls()) return;
        continue;
      } else if (verb == "DATA") {
        if (!Write("354 End data with <CR><LF>.<CR><LF>\r\n") || !FinishData()) return;
        continue;
      } else if (verb == "QUIT") {
        Write("221 Bye\r\n");
        return;
      } else {
        reply = "500 5.5.1 Unrecognized command\r\n";
      }
      if (!Write(reply)) return;
    }
  }

 private:
  bool StartTls() {
    buffer_.clear();  // nothing sent in clear text before the handshake counts inside TLS
    ssl_ = SSL_new(s_.Tls);
    SSL_set_fd(ssl_, fd_);
    if (SSL_accept(ssl_) != 1) {
      ERR_clear_error();
      return false;
    }
    s_.Update(index_, [](SmtpSessionRecord& r) { r.Tls = true; });
    return true;
  }

  bool Write(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ssl_ ? SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()))
                       : send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  // Waits for bytes, the client's end or the server's stop.
  bool ReadMore() {
    for (;;) {
      if (s_.Stop) return false;
      if (!(ssl_ && SSL_pending(ssl_) > 0)) {
        pollfd p{fd_, POLLIN, 0};
        int rc = poll(&p, 1, 50);
        if (rc == 0) continue;
        if (rc < 0) return false;
      }
      char chunk[16384];
      ssize_t n = ssl_ ? SSL_read(ssl_, chunk, sizeof chunk) : recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      std::string_view got(chunk, static_cast<size_t>(n));
      buffer_.append(got);
      bool clear = ssl_ == nullptr;
      if (!s_.Options.KeepMessages && inData_) return true;
      s_.Update(index_, [&](SmtpSessionRecord& r) {
        r.Raw.append(got);
        if (clear) r.ClearBytes.append(got);
      });
      return true;
    }
  }

  bool ReadLine(std::string& line) {
    size_t end;
    while ((end = buffer_.find('\n')) == std::string::npos)
      if (!ReadMore()) return false;
    line = buffer_.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    buffer_.erase(0, end + 1);
    return true;
  }

  // Reads the message up to its "." line (or until `limit` bytes when not 0); true when whole.
  bool ReadData(size_t limit) {
    std::string data;
    inData_ = true;
    struct Reset {
      bool& Flag;
      ~Reset() { Flag = false; }
    } reset{inData_};
    bool cut = false;
    for (;;) {
      // Without keeping, only the tail that may hold the "." line is kept.
      if (!s_.Options.KeepMessages && data.size() > 8) {
        data.erase(0, data.size() - 8);
        cut = true;
      }
      size_t end = data.find("\r\n.\r\n");
      if (!cut && data.rfind(".\r\n", 0) == 0) end = 0;
      else if (end != std::string::npos) end += 2;
      if (end != std::string::npos) {
        buffer_ = data.substr(end + 3) + buffer_;
        data.resize(end + 3);
        break;
      }
      if (limit > 0 && data.size() >= limit) break;
      if (buffer_.empty() && !ReadMore()) {
        s_.Update(index_, [&](SmtpSessionRecord& r) { r.Data = data; });
        return false;
      }
      data += buffer_;
      buffer_.clear();
    }
    bool whole = data.size() >= 3 && data.compare(data.size() - 3, 3, ".\r\n") == 0 &&
                 ((data.size() == 3 && !cut) || (data.size() >= 5 && data.compare(data.size() - 5, 2, "\r\n") == 0));
    if (s_.Options.KeepMessages)
      s_.Update(index_, [&](SmtpSessionRecord& r) {
        r.Data = data;
        if (whole) r.Message = UndoDotRule(data);
      });
    return whole && limit == 0;
  }

  bool FinishData() {
    if (!ReadData(0)) return false;
    std::optional<SmtpReply> rule = s_.FindRule(".", index_);
    bool accepted = !rule || (!rule->Pieces.empty() && rule->Pieces[0].rfind("250", 0) == 0);
    s_.Update(index_, [&](SmtpSessionRecord& r) { r.Completed = accepted; });
    return Answer(rule.value_or(SmtpReply::Text("250 2.0.0 Queued\r\n")));
  }

  bool Answer(const SmtpReply& reply) {
    switch (reply.Mode) {
      case SmtpReply::Action::Send:
        for (size_t i = 0; i < reply.Pieces.size(); ++i) {
          if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.PieceDelayMs));
          if (!Write(reply.Pieces[i])) return false;
        }
        return true;
      case SmtpReply::Action::Stall:
        while (ReadMore()) buffer_.clear();
        return false;
      case SmtpReply::Action::Close:
      case SmtpReply::Action::DropInData:
        return false;
    }
    return false;
  }

  SmtpTestServer::State& s_;
  int fd_;
  int index_;
  SSL* ssl_ = nullptr;
  std::string buffer_;
  bool inData_ = false;
};

}  // namespace

SmtpTestServer::SmtpTestServer(const SmtpServerOptions& options) : state_(std::make_shared<State>()) {
  State& s = *state_;
  s.Options = options;
  if (options.OfferStartTls || options.ImplicitTls) {
    std::string pattern = (std::filesystem::temp_directory_path() / "smtp-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("SmtpTestServer: cannot make a folder");
    s.Folder = pattern;
    s.CertFile = s.Folder + "/server.pem";
    s.Tls = MakeTlsContext(s.CertFile, options.CertificateNames);
  }
  int port = 0;
  s.ListenFd = ListenOnLoopback(options.Ipv6, 8, port);
  if (s.ListenFd < 0) throw std::runtime_error("SmtpTestServer: cannot listen");
  s.Port = port;
  std::shared_ptr<State> shared = state_;
  s.Thread = std::thread([shared] {
    State& st = *shared;
    while (!st.Stop) {
      pollfd p{st.ListenFd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int fd = accept4(st.ListenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      int index;
      {
        std::lock_guard lock(st.Mutex);
        index = static_cast<int>(st.Records.size());
        st.Records.emplace_back();
        st.ConnectionFd = fd;
      }
      Connection(st, fd, index).Serve();
      {
        std::lock_guard lock(st.Mutex);
        st.ConnectionFd = -1;
      }
      close(fd);
    }
  });
}

SmtpTestServer::~SmtpTestServer() {
  State& s = *state_;
  s.Stop = true;
  {
    std::lock_guard lock(s.Mutex);
    if (s.ConnectionFd >= 0) shutdown(s.ConnectionFd, SHUT_RDWR);
  }
  s.Thread.join();
  close(s.ListenFd);
  if (s.Tls) SSL_CTX_free(s.Tls);
  if (!s.Folder.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(s.Folder, ignored);
  }
}

int SmtpTestServer::Port() const { return state_->Port; }
std::string SmtpTestServer::CertificateFile() const { return state_->CertFile; }

void SmtpTestServer::AddRule(std::string prefix, SmtpReply reply, int session) {
  std::lock_guard lock(state_->Mutex);
  state_->Rules.push_back({std::move(prefix), std::move(reply), session});
}

void SmtpTestServer::SetGreeting(SmtpReply reply) {
  std::lock_guard lock(state_->Mutex);
  state_->Greeting = std::move(reply);
}

std::vector<SmtpSessionRecord> SmtpTestServer::Sessions() const {
  std::lock_guard lock(state_->Mutex);
  return state_->Records;
}

SmtpSessionRecord SmtpTestServer::Session(size_t index) const {
  std::lock_guard lock(state_->Mutex);
  return state_->Records.at(index);
}

size_t SmtpTestServer::SessionCount() const {
  std::lock_guard lock(state_->Mutex);
  return state_->Records.size();
}
