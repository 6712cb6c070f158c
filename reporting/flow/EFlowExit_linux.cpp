// Linux ends of the flow: console and CGI output through write(2) (stdio buffers are lost at
// _exit), the restart through posix_spawn, the internal-error file.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/NoDestroy.h"
#include "reporting/flow/EFlowState.h"
#include "reporting/options/EModules.h"
#include "reporting/report/ELiveSnapshot.h"
#include "reporting/report/EReport.h"
#include <sys/utsname.h>
#include "runtime/SysUtils.h"
#include "runtime/FileHandle_linux.h"

extern char** environ;

namespace tarvex_flow {
namespace {

TNoDestroy<std::string> g_startDirectory;

// A restart loop stops after this many restarts within a minute.
constexpr int kMaxRestarts = 3;
constexpr int64_t kRestartWindowMs = 60000;
constexpr const char* kRestartVariable = "TARVEXLOG_RESTARTS";

std::vector<std::string> OwnArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  size_t at = 0;
  while (at < all.size()) {
    size_t end = all.find('\0', at);
    if (end == std::string::npos) end = all.size();
    args.push_back(all.substr(at, end - at));
    at = end + 1;
  }
  return args;
}

// The restart counter the previous restarts left: count and the monotonic time of the first.
void ReadRestartCounter(int& count, int64_t& first) {
  count = 0;
  first = 0;
  if (const char* value = std::getenv(kRestartVariable))
    if (std::sscanf(value, "%d:%lld", &count, reinterpret_cast<long long*>(&first)) != 2) count = 0, first = 0;
}

void Restart() {
  int count = 0;
  int64_t first = 0;
  ReadRestartCounter(count, first);
  const int64_t now = NowMilliseconds();
  if (count == 0 || now - first > kRestartWindowMs) count = 0, first = now;
  if (count >= kMaxRestarts) return;  // a restart loop: end without starting again
  std::vector<std::string> args = OwnArguments();
  if (args.empty()) return;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env;
  const std::string prefix = std::string(kRestartVariable) + "=";
  for (char** e = environ; e && *e; ++e)
    if (std::strncmp(*e, prefix.c_str(), prefix.size()) != 0) env.emplace_back(*e);
  env.push_back(prefix + std::to_string(count + 1) + ":" + std::to_string(first));
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!g_startDirectory->empty()) posix_spawn_file_actions_addchdir_np(&actions, g_startDirectory->c_str());
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  posix_spawn(&pid, "/proc/self/exe", &actions, &attr, argv.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
}

std::string StateFolder() {
  std::string base;
  if (const char* s = std::getenv("XDG_STATE_HOME"); s && *s) base = s;
  else if (const char* h = std::getenv("HOME"); h && *h) base = std::string(h) + "/.local/state";
  else base = "/tmp";
  return base;
}

std::string OsDescription() {
  utsname name{};
  if (::uname(&name) != 0) return "Linux";
  return std::string(name.sysname) + " " + name.release + " " + name.machine;
}

std::string Hex16(uintptr_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016lX", static_cast<unsigned long>(value));
  return text;
}

}  // namespace

// A debugger is attached when the process has a tracer.
bool DebuggerAttached() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("TracerPid:", 0) == 0) return std::atoi(line.c_str() + 10) != 0;
  return false;
}

namespace {
std::mutex g_tempMutex;
TNoDestroy<std::string> g_tempFolder;
}  // namespace

std::string TemporaryFolder(bool make) {
  std::lock_guard lock(g_tempMutex);
  if (g_tempFolder->empty() && make) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarvexlog-XXXXXX";
    if (::mkdtemp(pattern.data())) *g_tempFolder = pattern;
  }
  return *g_tempFolder;
}

void RemoveTemporaryFiles() {
  std::lock_guard lock(g_tempMutex);
  if (g_tempFolder->empty()) return;
  ::unlink((*g_tempFolder + "/Screenshot.png").c_str());
  if (::rmdir(g_tempFolder->c_str()) == 0) g_tempFolder->clear();
}

void RecordStartDirectory() {
  char cwd[PATH_MAX];
  *g_startDirectory = ::getcwd(cwd, sizeof cwd) ? cwd : "";
}

bool WriteConsoleReport(const std::string& reportText) {
  const TTarvexModuleOptions* options = State().Options.get();
  std::string text = (options ? options->GetText(4) : std::string()) + "\r\n\r\n" + reportText + "\r\n";
  return WriteAll(1, text);
}

void ReportInternalError(int section, const char* message, const char* className) {
  if (!DebuggerAttached()) return;
  const std::string sectionText = std::to_string(section);
  const std::string address = Hex16(State().Record.RaiseAddress);
  std::string line = Format("[ERROR] - Section: %s - Address: %s - Message: \"%s\"",
                            {sectionText, address, std::string(message ? message : "General internal error.")}) +
                     "\n";
  WriteAll(2, line);
  std::string text = Format(
      "Version   : %s\r\nDate      : %s\r\nOS        : %s\r\nRAD       : %s\r\nDump      : %s\r\nSection   : %s\r\n"
      "LastExcept: %s\r\nAddress   : %s\r\nException : %s\r\nMessage   : %s\r\nCall Stack: %s",
      {std::string("6.0.21"), ReportDateText(NowReportTime()), OsDescription(), std::string("GCC " __VERSION__),
       std::string(), sectionText, State().Record.ClassName, address, std::string(className ? className : ""),
       std::string(message ? message : "General internal error."), std::string()});
  std::string program = MainModuleFileName();
  program = program.substr(program.rfind('/') + 1);
  const std::string folder = StateFolder();
  ::mkdir(folder.c_str(), 0700);
  const std::string path = folder + "/" + program + ".log";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  WriteAll(fd, text);
  ::close(fd);
}

}  // namespace tarvex_flow

void ExitApplication(bool restart) {
  if (restart) tarvex_flow::Restart();
  ::_exit(1);
}

bool WriteWebPage(const std::string& page) {
  if (!FlowCgiProgram()) return true;
  std::string header = "Status: 200 Error\r\nContent-Type: text/html\r\n" +
                       Format("Content-Length: %d\r\n", {static_cast<int64_t>(page.size())}) + "Content:\r\n\r\n";
  if (!WriteAll(1, header)) {
    ReportWarning(eeShowError, "CGI: Cannot write in the ouput file.");
    return false;
  }
  return WriteAll(1, page);
}
