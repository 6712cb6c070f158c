// Helpers for tests that trust a loopback TLS server's certificate on purpose.
#pragma once

#include <csignal>
#include <string>

// A private temporary folder holding one file with the given text; both go with the object.
class TempTextFile {
 public:
  explicit TempTextFile(const std::string& text, const char* name = "file.pem");
  ~TempTextFile();
  TempTextFile(const TempTextFile&) = delete;
  TempTextFile& operator=(const TempTextFile&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string dir_;
  std::string path_;
};

// SIGPIPE ignored for the life of the object. A TLS 1.3 server writes its session tickets
// after its side of the handshake is done, so a client that then refuses the certificate and
// hangs up makes the server's next write break the pipe, which would end the test program.
class ScopedIgnoreSigPipe {
 public:
  ScopedIgnoreSigPipe() : old_(std::signal(SIGPIPE, SIG_IGN)) {}
  ~ScopedIgnoreSigPipe() { std::signal(SIGPIPE, old_); }
  ScopedIgnoreSigPipe(const ScopedIgnoreSigPipe&) = delete;
  ScopedIgnoreSigPipe& operator=(const ScopedIgnoreSigPipe&) = delete;

 private:
  void (*old_)(int);
};
