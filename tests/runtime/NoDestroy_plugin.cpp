// A shared object with its own copy of the runtime: a kept static, and an ordinary static
// whose destructor still uses it. Every step is written to the descriptor the loader gives.
#include <unistd.h>

#include <cstring>
#include <string>

#include "runtime/NoDestroy.h"

namespace {

int g_fd = -1;

void Say(const char* text) {
  if (g_fd >= 0 && write(g_fd, text, std::strlen(text)) < 0) {
  }
}

struct TKept {
  std::string Name = "kept";  // a heap block in a plain build, to show that it is released
  ~TKept() { Say("kept destroyed;"); }
};

TKept& Kept() {
  static TNoDestroy<TKept> kept;
  return *kept;
}

struct TUser {
  TUser() { Kept(); }  // made after the kept one, so destroyed before it in any build
  ~TUser() { Say(Kept().Name == "kept" ? "user saw kept;" : "user saw garbage;"); }
};

TUser g_user;

}  // namespace

extern "C" __attribute__((visibility("default"))) void NoDestroyPluginStart(int fd) { g_fd = fd; }
