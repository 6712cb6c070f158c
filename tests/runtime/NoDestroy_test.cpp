#include "runtime/NoDestroy.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

using TStart = void (*)(int);

std::string ReadAll(int fd) {
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  return text;
}

// Loads the plugin (a fresh copy each time: nothing else holds it), hands it the pipe's
// writing end, and unloads it when `unload` is set; else the process exits with it loaded.
void RunPlugin(int fd, bool unload) {
  void* module = dlopen(NODESTROY_PLUGIN, RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    ADD_FAILURE() << dlerror();
    return;
  }
  reinterpret_cast<TStart>(dlsym(module, "NoDestroyPluginStart"))(fd);
  if (unload) dlclose(module);
}

TEST(NoDestroyTest, AnUnloadedModuleDestroysItsKeptStaticsAfterItsOrdinaryOnes) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    RunPlugin(pipeFds[1], true);
    close(pipeFds[1]);
    EXPECT_EQ(ReadAll(pipeFds[0]), "user saw kept;kept destroyed;");
    close(pipeFds[0]);
  }
}

TEST(NoDestroyTest, AtExitKeptStaticsOutliveEveryExitHandler) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "sanitizer builds keep ordinary statics, destroyed at exit like any other";
#else
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);
    static int fd = pipeFds[1];
    // Registered before the plugin is loaded, so it runs after the plugin's own handlers.
    std::atexit([] {
      if (write(fd, "last handler;", 13) < 0) _exit(3);
    });
    RunPlugin(fd, false);
    std::exit(0);
  }
  close(pipeFds[1]);
  std::string said = ReadAll(pipeFds[0]);
  close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(said, "user saw kept;last handler;");
#endif
}

}  // namespace
