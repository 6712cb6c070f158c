// A private X server for a test: Xvfb on a display number nothing else uses, ended with the
// object.
#pragma once

#include <sys/types.h>

#include <string>

class TXvfbServer {
 public:
  // Starts Xvfb with one screen of the given size and waits for its socket. Running() is
  // false when Xvfb is not installed or did not come up.
  explicit TXvfbServer(const std::string& screen = "1024x768x24", int dpi = 96);
  ~TXvfbServer();
  TXvfbServer(const TXvfbServer&) = delete;
  TXvfbServer& operator=(const TXvfbServer&) = delete;

  static bool Installed();
  // A display number that nothing on this machine uses.
  static int FreeDisplayNumber();
  bool Running() const;
  const std::string& Display() const { return display_; }  // ":N"

 private:
  pid_t pid_ = 0;
  std::string display_, socket_;
};
