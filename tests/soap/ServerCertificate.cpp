#include "tests/soap/ServerCertificate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>

#if __has_include(<openssl/ssl.h>)
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#define ZELK_HAVE_OPENSSL 1
#endif

std::string ServerCertificatePem([[maybe_unused]] int port) {
#ifdef ZELK_HAVE_OPENSSL
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("ServerCertificatePem: no socket");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(ctx ? SSL_new(ctx.get()) : nullptr, SSL_free);
  std::string pem;
  if (ssl && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && SSL_set_fd(ssl.get(), fd) == 1 &&
      SSL_set_tlsext_host_name(ssl.get(), "localhost") == 1 && SSL_connect(ssl.get()) == 1) {
    std::unique_ptr<X509, decltype(&X509_free)> cert(SSL_get1_peer_certificate(ssl.get()), X509_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
    if (cert && out && PEM_write_bio_X509(out.get(), cert.get()) == 1) {
      char* data = nullptr;
      long n = BIO_get_mem_data(out.get(), &data);
      pem.assign(data, static_cast<size_t>(n));
    }
    // The server may still be writing (session tickets): closing under it would break its
    // pipe, so the socket stays open until the server has closed its side.
    SSL_shutdown(ssl.get());
    char buffer[512];
    while (SSL_read(ssl.get(), buffer, sizeof buffer) > 0) {
    }
  }
  ssl.reset();
  ::close(fd);
  if (pem.empty()) throw std::runtime_error("ServerCertificatePem: no certificate from the server");
  return pem;
#else
  throw std::runtime_error("ServerCertificatePem: built without OpenSSL");
#endif
}

TempTextFile::TempTextFile(const std::string& text, const char* name) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zelk-cert-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("TempTextFile: no temporary folder");
  dir_ = pattern;
  path_ = dir_ + "/" + name;
  std::ofstream(path_, std::ios::binary) << text;
}

TempTextFile::~TempTextFile() {
  ::unlink(path_.c_str());
  ::rmdir(dir_.c_str());
}
