// Starting the dialog helper and talking to it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "reporting/options/EModules.h"
#include "reporting/ui/EDialogHelper.h"
#include "runtime/NoDestroy.h"
#include "runtime/Strings.h"

extern char** environ;

using namespace tarvex_dialog;

namespace {

constexpr int kHelperFd = 3;
// What the helper writes on standard error is kept in a memory file of this fixed size: a
// failure can then say what the helper said, and a chatty helper cannot fill memory.
constexpr off_t kErrorCapture = 64 * 1024;
// Of that, the end is quoted in a failure's reason.
constexpr size_t kErrorQuote = 600;
constexpr int kRestartPauseMs = 500;

std::mutex g_mutex;
TDialogDeadlines g_deadlines;
TNoDestroy<std::vector<std::string>> g_command;  // the leak report at exit may start the helper

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Milliseconds left until `until` (negative `until`: no limit, -1).
int Left(int64_t until) {
  if (until < 0) return -1;
  const int64_t left = until - NowMs();
  return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 1 << 30));
}

// Beside the module that holds the reporting code, else in the installed place of a program
// (<prefix>/libexec/tarvex/ for <prefix>/bin/<program>); TARVEX_DIALOG_HELPER, an absolute
// path, comes first. Never looked up on PATH.
std::string DefaultHelperPath() {
  if (const char* chosen = std::getenv("TARVEX_DIALOG_HELPER"); chosen && chosen[0] == '/') return chosen;
  const std::string module = ModuleFileName(ReportingModuleHandle());
  const size_t slash = module.rfind('/');
  if (slash == std::string::npos) return {};
  const std::string folder = module.substr(0, slash + 1);
  const std::string beside = folder + "tarvex-dialog";
  if (::access(beside.c_str(), X_OK) == 0) return beside;
  const std::string installed = folder + "../libexec/tarvex/tarvex-dialog";
  if (::access(installed.c_str(), X_OK) == 0) return installed;
  return beside;  // named in the "missing" warning
}

// `fd` moved above the descriptors the helper is given, so that dup2 onto itself (which would
// keep its close-on-exec flag) cannot happen. -1, with `fd` closed, when no descriptor is left.
int AboveHelperFds(int fd) {
  if (fd < 0 || fd > kHelperFd) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, kHelperFd + 1);
  ::close(fd);
  return moved;
}

// The memory file for the helper's standard error; -1 when there is none (it gets /dev/null).
int ErrorCaptureFile() {
  const int fd = ::memfd_create("tarvex-dialog-stderr", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (fd < 0) return -1;
  if (::ftruncate(fd, kErrorCapture) != 0 || ::fcntl(fd, F_ADD_SEALS, F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0) {
    ::close(fd);
    return -1;
  }
  return AboveHelperFds(fd);
}

// The last lines the helper wrote into the capture file, joined by " | ". The helper shares the
// file's offset, which is where its writing ended.
std::string CapturedTail(int fd) {
  if (fd < 0) return {};
  const off_t end = ::lseek(fd, 0, SEEK_CUR);
  if (end <= 0) return {};
  const off_t from = end > static_cast<off_t>(kErrorQuote) ? end - static_cast<off_t>(kErrorQuote) : 0;
  std::string text(static_cast<size_t>(end - from), '\0');
  const ssize_t n = ::pread(fd, text.data(), text.size(), from);
  if (n <= 0) return {};
  text.resize(static_cast<size_t>(n));
  if (from > 0) text.erase(0, std::min(text.size(), text.find('\n') + 1));  // a cut line says little
  std::string tail;
  size_t start = 0;
  while (start < text.size()) {
    size_t stop = text.find('\n', start);
    if (stop == std::string::npos) stop = text.size();
    std::string line = Trim(std::string_view(text).substr(start, stop - start));
    start = stop + 1;
    for (char& c : line)
      if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    if (line.empty()) continue;
    if (!tail.empty()) tail += " | ";
    tail += line;
  }
  return tail;
}

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    const char* name = ::sigabbrev_np(sig);
    return "killed by signal " + std::to_string(sig) + (name ? std::string(" (SIG") + name + ")" : std::string());
  }
  return "ended with status " + std::to_string(status);
}

bool Waitable(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int rc = ::poll(&p, 1, timeoutMs);
    if (rc < 0 && errno == EINTR) continue;  // a deadline slightly late is harmless
    return rc > 0;
  }
}

}  // namespace

void SetDialogDeadlines(const TDialogDeadlines& deadlines) {
  std::lock_guard lock(g_mutex);
  g_deadlines = deadlines;
}

TDialogDeadlines DialogDeadlines() {
  std::lock_guard lock(g_mutex);
  return g_deadlines;
}

void SetDialogHelperCommand(std::vector<std::string> argv) {
  std::lock_guard lock(g_mutex);
  *g_command = std::move(argv);
}

std::vector<std::string> DialogHelperCommand() {
  {
    std::lock_guard lock(g_mutex);
    if (!g_command->empty()) return *g_command;
  }
  return {DefaultHelperPath()};
}

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
    if (const char* value = std::getenv(name); value && *value) return true;
  return false;
}

std::unique_ptr<TDialogHelper> TDialogHelper::Start(std::string& why) {
  const std::vector<std::string> command = DialogHelperCommand();
  if (command.empty() || command[0].empty() || command[0][0] != '/') {
    why = "the dialog helper's place is unknown";
    return nullptr;
  }
  if (::access(command[0].c_str(), X_OK) != 0) {
    why = "the dialog helper is missing: " + command[0];
    return nullptr;
  }
  // A helper that ends while it starts up gets one more start, a moment later: a Qt program's
  // start can fail for a passing reason, and the window is worth a second try.
  std::string ended;
  std::unique_ptr<TDialogHelper> helper = Spawn(command, why, ended);
  if (helper || ended.empty()) return helper;
  std::this_thread::sleep_for(std::chrono::milliseconds(kRestartPauseMs));
  helper = Spawn(command, why, ended);
  if (!helper && !ended.empty()) why = "the dialog helper ended at start-up twice (" + ended + ")";
  return helper;
}

std::unique_ptr<TDialogHelper> TDialogHelper::Spawn(const std::vector<std::string>& command, std::string& why,
                                                    std::string& ended) {
  ended.clear();
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    why = std::string("socketpair: ") + std::strerror(errno);
    return nullptr;
  }
  const int childEnd = AboveHelperFds(pair[1]);
  if (childEnd < 0) {
    ::close(pair[0]);
    why = "no descriptor for the dialog helper";
    return nullptr;
  }
  const int errors = ErrorCaptureFile();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (errors >= 0) posix_spawn_file_actions_adddup2(&actions, errors, 2);
  else posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, childEnd, kHelperFd);
  posix_spawn_file_actions_addclosefrom_np(&actions, kHelperFd + 1);
  // The exception thread blocks every signal and the program may handle some: the helper
  // starts with neither.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> argv;
  for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, command[0].c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(childEnd);
  if (rc != 0) {
    ::close(pair[0]);
    if (errors >= 0) ::close(errors);
    why = std::string("the dialog helper cannot start: ") + std::strerror(rc);
    return nullptr;
  }
  std::unique_ptr<TDialogHelper> helper(new TDialogHelper(pair[0], pid, errors));
  TMessage ready;
  const TWait wait = helper->Receive(ready, DialogDeadlines().ReadyMs);
  if (wait == wtTimeout) {
    why = "the dialog helper did not get ready in time";
    return nullptr;
  }
  if (wait != wtMessage) {
    ended = helper->End();
    why = "the dialog helper ended at start-up (" + ended + ")";
    return nullptr;
  }
  if (ready.Kind != mkReady) {
    why = "the dialog helper did not greet first";
    return nullptr;
  }
  try {
    if (ready.Reader().Int(smVersion) != kProtocolVersion) {
      why = "the dialog helper speaks another protocol version";
      return nullptr;
    }
  } catch (const EDialogProtocolError&) {
    why = "the dialog helper's greeting is damaged";
    return nullptr;
  }
  return helper;
}

TDialogHelper::~TDialogHelper() {
  Reap();
  if (errors_ >= 0) ::close(errors_);
}

std::string TDialogHelper::End() {
  // Anything but the peer's close or reset would be a fault on this side.
  std::string how = socketError_ && socketError_ != ECONNRESET && socketError_ != EPIPE
                        ? std::string("its socket failed: ") + std::strerror(socketError_) + "; "
                        : std::string();
  how += Reap();
  const std::string said = CapturedTail(errors_);
  return said.empty() ? how : how + "; it wrote: " + said;
}

std::string TDialogHelper::Reap() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  gone_ = true;
  if (pid_ <= 0) return ending_;
  const int64_t until = NowMs() + DialogDeadlines().ReapMs;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      ending_ = DescribeStatus(status);
      break;
    }
    if (r < 0 && errno != EINTR) {  // reaped by the program (ECHILD)
      ending_ = "reaped elsewhere";
      break;
    }
    if (NowMs() >= until) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
      ending_ = "still running: killed";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
  return ending_;
}

bool TDialogHelper::Send(const std::string& frame) {
  if (gone_) return false;
  const int64_t until = NowMs() + DialogDeadlines().WriteMs;
  size_t done = 0;
  while (done < frame.size()) {
    if (!Waitable(fd_, POLLOUT, Left(until))) return false;
    const ssize_t n = ::send(fd_, frame.data() + done, frame.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      gone_ = true;
      socketError_ = n < 0 ? errno : 0;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

TDialogHelper::TWait TDialogHelper::Receive(TMessage& message, int timeoutMs) {
  const int64_t until = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
  for (;;) {
    if (gone_) return wtGone;
    try {
      if (buffer_.size() >= kFrameHeaderBytes) {
        const uint32_t length = FramePayloadLength(buffer_.data());
        if (buffer_.size() >= kFrameHeaderBytes + length) {
          message = DecodePayload(std::string_view(buffer_).substr(kFrameHeaderBytes, length));
          buffer_.erase(0, kFrameHeaderBytes + length);
          return wtMessage;
        }
      }
    } catch (const EDialogProtocolError&) {
      gone_ = damaged_ = true;  // nothing after a damaged frame can be trusted
      return wtGone;
    }
    if (!Waitable(fd_, POLLIN, Left(until))) return wtTimeout;
    char chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      gone_ = true;
      socketError_ = n < 0 ? errno : 0;
      return wtGone;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

TDialogHelper::TWait TDialogHelper::ReceiveWhileAlive(TMessage& message) {
  for (;;) {
    const TWait wait = Receive(message, DialogDeadlines().SilenceMs);
    if (wait != wtMessage || message.Kind != mkAlive) return wait;
  }
}

bool TDialogHelper::Drain() {
  TMessage message;
  bool cancel = false;
  while (Receive(message, 0) == wtMessage)
    if (message.Kind == mkProgressCancel) cancel = true;
  return cancel;
}
