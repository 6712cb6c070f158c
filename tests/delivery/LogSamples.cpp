#include "tests/delivery/LogSamples.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <unistd.h>

#include <cerrno>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "reporting/report/ELogItem.h"

extern char** environ;

std::string SampleTail() {
  static const std::string tail = [] {
    std::string text = ReadWholeFile(std::string(DELIVERY_TEST_DIR) + "/report-tail.txt");
    std::string out;
    for (char c : text) {
      if (c == '\n') out += '\r';
      out += c;
    }
    return out;
  }();
  return tail;
}

std::string SampleReport(const std::string& id, const std::string& version, const std::string& message) {
  TLogItem item;
  item.AddHeader("Application");
  item.AddItem("Start Date", "Thu, 10 Dec 2026 16:18:15 +0000");
  item.AddItem("Name/Description", "zelk-distance");
  item.AddItem("Version Number", version);
  item.AddHeader("Exception");
  item.AddItem("Date", "Thu, 10 Dec 2026 16:18:15 +0000");
  item.AddItem("Address", "000055982230737A");
  item.AddItem("Module Name", "zelk-distance");
  item.AddItem("Module Version", version);
  item.AddItem("Type", "ESOAPHTTPException");
  item.AddItem("Message", message);
  item.AddItem("ID", id);
  item.AddItem("Count", "1");
  item.AddItem("Status", "New");
  item.AddItem("Note", "");
  item.AddHeader("User");
  item.AddItem("ID", "root");
  item.AddItem("Privileges", "CAP_CHOWN - ON\r\nCAP_KILL - ON\r\n");
  return "TarvexLog 6.0.21\r\n\r\n" + item.GetText() + "\r\n\r\n" + SampleTail();
}

TLogTestFolder::TLogTestFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/delivery-log-XXXXXX";
  if (char* made = ::mkdtemp(pattern.data())) path_ = made;
}

TLogTestFolder::~TLogTestFolder() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string ReadWholeFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteWholeFile(const std::string& name, const std::string& bytes) {
  std::ofstream(name, std::ios::binary | std::ios::trunc) << bytes;
}

pid_t StartLogChild(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(DELIVERY_LOG_CHILD));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The flow writes its console report to standard output; the tests do not need it.
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, DELIVERY_LOG_CHILD, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int WaitChild(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}
