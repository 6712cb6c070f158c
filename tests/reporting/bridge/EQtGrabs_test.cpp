// The bridge gives up the program's X grabs, on a private X server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

bool HasFile(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

int FreeDisplayNumber() {
  for (int n = 600 + ::getpid() % 300;; ++n)
    if (!HasFile("/tmp/.X" + std::to_string(n) + "-lock") && !HasFile("/tmp/.X11-unix/X" + std::to_string(n)))
      return n;
}

TEST(QtGrabs, AnotherClientTakesPointerAndKeyboardOnceReleased) {
  const char* xvfb = "/usr/bin/Xvfb";
  if (!HasFile(xvfb)) GTEST_SKIP() << "Xvfb is not installed";
  const int n = FreeDisplayNumber();
  const std::string display = ":" + std::to_string(n);
  std::vector<std::string> args = {xvfb, display, "-nolisten", "tcp", "-screen", "0", "800x600x24"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
  pid_t server = 0;
  ASSERT_EQ(posix_spawn(&server, xvfb, &files, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&files);
  const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
  for (int i = 0; i < 100 && !HasFile(socket); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));

  const std::string command = "DISPLAY=" + display + " QT_QPA_PLATFORM=xcb timeout 60 " BRIDGE_GRAB_CHILD " 2>&1";
  std::string output;
  if (FILE* child = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, child)) output += buffer;
    ::pclose(child);
  }
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  EXPECT_NE(output.find("OTHER-BEFORE 0"), std::string::npos) << output;  // the program held them
  EXPECT_NE(output.find("OTHER-AFTER 1"), std::string::npos) << output;
}

}  // namespace
