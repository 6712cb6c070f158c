#include "tests/support/XvfbServer.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr const char* kXvfb = "/usr/bin/Xvfb";

bool HasFile(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

int TXvfbServer::FreeDisplayNumber() {
  for (int n = 90 + ::getpid() % 800;; ++n)
    if (!HasFile("/tmp/.X" + std::to_string(n) + "-lock") && !HasFile("/tmp/.X11-unix/X" + std::to_string(n)))
      return n;
}

bool TXvfbServer::Installed() { return HasFile(kXvfb); }

TXvfbServer::TXvfbServer(const std::string& screen, int dpi) {
  if (!Installed()) return;
  const int n = FreeDisplayNumber();
  display_ = ":" + std::to_string(n);
  socket_ = "/tmp/.X11-unix/X" + std::to_string(n);
  std::vector<std::string> args = {kXvfb, display_, "-nolisten", "tcp", "-screen", "0", screen, "-dpi",
                                   std::to_string(dpi)};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
  if (posix_spawn(&pid_, kXvfb, &files, nullptr, argv.data(), environ) != 0) pid_ = 0;
  posix_spawn_file_actions_destroy(&files);
  for (int i = 0; pid_ && i < 100 && !HasFile(socket_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

TXvfbServer::~TXvfbServer() {
  if (!pid_) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

bool TXvfbServer::Running() const { return pid_ && HasFile(socket_); }
