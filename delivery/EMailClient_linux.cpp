// The mail program route: the desktop's helper scripts started with an argument vector (never
// through a shell), no descriptors of ours inherited, and a bounded wait for their answer.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "delivery/EMailClient.h"
#include "reporting/flow/EFlow.h"
#include "reporting/options/ETextVars.h"
#include "reporting/report/EReport.h"
#include "runtime/NoDestroy.h"

extern char** environ;

namespace {

constexpr const char* kDefaultEmailProgram = "/usr/bin/xdg-email";
constexpr const char* kDefaultOpenProgram = "/usr/bin/xdg-open";
constexpr int kDefaultWaitMs = 30000;
// Copies older than this are gone from the outbox: the mail program has long read them.
constexpr time_t kOutboxKeepSeconds = 7 * 24 * 3600;
constexpr const char* kOutboxPrefix = "mail-";
// Far below the kernel's limit for one argument (128 KiB), and what mail programs accept.
constexpr size_t kMaxLinkLength = 32 * 1024;

std::mutex g_mutex;
TNoDestroy<std::string> g_emailProgram(kDefaultEmailProgram);  // kept for the leak report at exit
TNoDestroy<std::string> g_openProgram(kDefaultOpenProgram);
int g_waitMs = kDefaultWaitMs;

std::string EmailProgram() {
  std::lock_guard lock(g_mutex);
  return *g_emailProgram;
}

std::string OpenProgram() {
  std::lock_guard lock(g_mutex);
  return *g_openProgram;
}

int WaitMs() {
  std::lock_guard lock(g_mutex);
  return g_waitMs;
}

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// Recipients that could be read as options, header fields or link parts are left out: a
// helper would otherwise take "--attach=..." or "a@b?attach=..." from an option text.
bool UsableRecipient(const std::string& r) {
  if (r.empty() || r[0] == '-') return false;
  for (unsigned char c : r) {
    if (c < 0x20 || c == 0x7F || c == ' ') return false;
    if (std::strchr("<>\"?&%:\\,;", c) != nullptr) return false;
  }
  return true;
}

std::vector<std::string> SplitRecipients(const std::string& text) {
  std::vector<std::string> result;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of(",;", pos);
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(pos, end - pos);
    const size_t first = part.find_first_not_of(" \t");
    const size_t last = part.find_last_not_of(" \t");
    part = first == std::string::npos ? std::string() : part.substr(first, last - first + 1);
    if (UsableRecipient(part)) result.push_back(part);
    pos = end + 1;
  }
  return result;
}

// Every run of control characters becomes one blank.
std::string OneLine(const std::string& text) {
  std::string out;
  bool inRun = false;
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      if (!inRun) out += ' ';
      inRun = true;
    } else {
      out += ch;
      inRun = false;
    }
  }
  return out;
}

std::string Encode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 128) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

// Where an encoded text may be cut to at most `length` bytes: never inside a "%XX" escape or
// a UTF-8 sequence.
size_t CutPoint(const std::string& encoded, size_t length) {
  size_t cut = std::min(length, encoded.size());
  if (cut >= 1 && encoded[cut - 1] == '%') cut -= 1;
  else if (cut >= 2 && encoded[cut - 2] == '%') cut -= 2;
  while (cut > 0 && cut < encoded.size() && (static_cast<unsigned char>(encoded[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

// ---- Running a helper ----

struct TRunResult {
  enum { Ended, NotStarted, StillRunning } State = NotStarted;
  int Status = 0;  // waitpid's status when Ended
  int Error = 0;   // errno when NotStarted
};

TRunResult RunHelper(const std::string& program, const std::vector<std::string>& args, int waitMs) {
  TRunResult result;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  // Standard input and output from /dev/null, errors to ours; nothing else of this process
  // (sockets, the log's lock, pipes of the host program) reaches the helper.
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // Signal handlers and ignored signals of the host program (and the layer's own) are not the
  // helper's; a session of its own keeps the mail program alive when the terminal goes.
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    result.Error = rc;
    return result;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      result.State = TRunResult::Ended;
      result.Status = status;
      return result;
    }
    if (done < 0 && errno != EINTR) {
      // Someone else reaped it (SIGCHLD ignored by the host program): its status is lost.
      result.State = TRunResult::Ended;
      result.Status = -1;
      return result;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Left running (it may be the mail program's compose window itself); reaped when it ends.
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  result.State = TRunResult::StillRunning;
  return result;
}

bool Succeeded(const TRunResult& r) {
  return r.State == TRunResult::Ended && r.Status != -1 && WIFEXITED(r.Status) && WEXITSTATUS(r.Status) == 0;
}

// ---- The outbox ----

std::string CacheFolder() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return cache;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    const passwd* pw = getpwuid(geteuid());
    home = pw != nullptr ? pw->pw_dir : nullptr;
  }
  return home != nullptr && home[0] == '/' ? std::string(home) + "/.cache" : std::string();
}

// Opens (creating as needed, mode 0700) a folder that must belong to us and be no link; -1
// when it cannot be had.
int OpenPrivateFolder(int parent, const char* name, mode_t mode) {
  if (mkdirat(parent, name, mode) != 0 && errno != EEXIST) return -1;
  const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st{};
  if (fstat(fd, &st) != 0 || st.st_uid != geteuid()) {
    close(fd);
    return -1;
  }
  if ((st.st_mode & 0777) != mode) fchmod(fd, mode);
  return fd;
}

int OpenOutbox() {
  const std::string cache = CacheFolder();
  if (cache.empty()) return -1;
  // The cache folder itself may be shared or made by others; only our two levels are checked.
  mkdir(cache.c_str(), 0700);
  const int cacheFd = open(cache.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (cacheFd < 0) return -1;
  const int layer = OpenPrivateFolder(cacheFd, "TarvexLog", 0700);
  close(cacheFd);
  if (layer < 0) return -1;
  const int outbox = OpenPrivateFolder(layer, "outbox", 0700);
  close(layer);
  return outbox;
}

void RemoveFolder(int parent, const char* name) {
  const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return;
  }
  while (const dirent* e = readdir(dir)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) unlinkat(fd, e->d_name, 0);
  }
  closedir(dir);
  unlinkat(parent, name, AT_REMOVEDIR);
}

// Only our own copies' folders are pruned; anything else in the outbox stays.
void PruneOutbox(int outbox) {
  const int fd = dup(outbox);
  if (fd < 0) return;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return;
  }
  std::vector<std::string> old;
  const time_t now = time(nullptr);
  while (const dirent* e = readdir(dir)) {
    if (std::strncmp(e->d_name, kOutboxPrefix, std::strlen(kOutboxPrefix)) != 0) continue;
    struct stat st{};
    if (fstatat(outbox, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
        now - st.st_mtime > kOutboxKeepSeconds)
      old.emplace_back(e->d_name);
  }
  closedir(dir);
  for (const std::string& name : old) RemoveFolder(outbox, name.c_str());
}

bool CopyFile(const std::string& source, int folder, const std::string& name) {
  const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const int out = openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = out >= 0;
  std::vector<char> buffer(64 * 1024);
  while (ok) {
    const ssize_t n = read(in, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      ok = errno == EINTR;
      continue;
    }
    for (ssize_t done = 0; ok && done < n;) {
      const ssize_t w = write(out, buffer.data() + done, static_cast<size_t>(n - done));
      if (w > 0) {
        done += w;
      } else if (w < 0 && errno != EINTR) {
        ok = false;
      }
    }
  }
  if (out >= 0 && close(out) != 0) ok = false;
  close(in);
  return ok;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Copies the existing attachments into a fresh folder of the outbox; false when one that
// exists could not be copied.
bool CopyToOutbox(const std::vector<std::string>& attachments, std::vector<std::string>& copies) {
  std::vector<std::string> present;
  for (const std::string& a : attachments) {
    struct stat st{};
    if (stat(a.c_str(), &st) == 0 && S_ISREG(st.st_mode)) present.push_back(a);
  }
  if (present.empty()) return true;
  const std::string outboxPath = MailOutboxFolder();
  const int outbox = OpenOutbox();
  if (outbox < 0) return false;
  PruneOutbox(outbox);
  std::string folder = outboxPath + "/" + kOutboxPrefix + "XXXXXX";
  bool ok = mkdtemp(folder.data()) != nullptr;
  const int folderFd = ok ? open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
  ok = folderFd >= 0;
  for (size_t i = 0; ok && i < present.size(); ++i) {
    std::string name = BaseName(present[i]);
    // Two attachments of the same name keep both.
    for (size_t j = 0; j < i; ++j)
      if (BaseName(present[j]) == BaseName(present[i])) name = std::to_string(i) + "-" + name;
    ok = CopyFile(present[i], folderFd, name);
    if (ok) copies.push_back(folder + "/" + name);
  }
  if (folderFd >= 0) close(folderFd);
  close(outbox);
  return ok;
}

std::string CurrentReportText() {
  const TBugReport* report = CurrentBugReport();
  return report != nullptr ? report->Text : std::string();
}

}  // namespace

std::string MailOutboxFolder() {
  const std::string cache = CacheFolder();
  return cache.empty() ? std::string() : cache + "/TarvexLog/outbox";
}

bool SendMailClientMail(const std::string& recipients, const std::string& subject, const std::string& body,
                        const std::vector<std::string>& attachments) {
  // Without a desktop (or inside a web server) nothing could show the mail program's window.
  if (FlowCgiProgram() || !HasDisplay()) {
    ReportWarning(eeEmailMAPIError, "Cannot LogOn into the MAPI service.");
    return false;
  }
  std::vector<std::string> copies;
  if (!CopyToOutbox(attachments, copies)) {
    ReportWarning(eeEmailMAPIError, "Cannot send the MAPI message.");
    return false;
  }
  std::vector<std::string> args = {"--utf8"};
  const std::string shownSubject = OneLine(ExpandTextVariables(subject));
  if (!shownSubject.empty()) args.insert(args.end(), {"--subject", shownSubject});
  const std::string shownBody = ExpandTextVariables(body);
  if (!shownBody.empty()) args.insert(args.end(), {"--body", shownBody});
  for (const std::string& c : copies) args.insert(args.end(), {"--attach", c});
  for (const std::string& r : SplitRecipients(recipients)) args.push_back(r);

  const TRunResult run = RunHelper(EmailProgram(), args, WaitMs());
  if (run.State == TRunResult::NotStarted) {
    ReportWarning(eeEmailMAPIError, "Cannot open the MAPI dll.");
    return false;
  }
  if (!Succeeded(run)) {
    ReportWarning(eeEmailMAPIError, "Cannot send the MAPI message.");
    return false;
  }
  return true;
}

bool SendMailtoLink(const std::string& recipients, const std::string& subject, const std::string& body) {
  if (FlowCgiProgram() || !HasDisplay()) {
    ReportWarning(eeEmailShellError, "No display to show the mail program on.");
    return false;
  }
  std::string to;
  for (const std::string& r : SplitRecipients(recipients)) to += (to.empty() ? "" : ",") + r;
  std::string message = ExpandTextVariables(body);
  const std::string report = CurrentReportText();
  if (!report.empty()) message += "\r\n\r\n\r\n" + report;
  std::string link = "mailto:" + to + "?Subject=" + Encode(ExpandTextVariables(subject)) + "&Body=";
  std::string encodedBody = Encode(message);
  if (link.size() + encodedBody.size() > kMaxLinkLength)
    encodedBody.resize(CutPoint(encodedBody, kMaxLinkLength > link.size() ? kMaxLinkLength - link.size() : 0));
  link += encodedBody;

  const std::string program = OpenProgram();
  const TRunResult run = RunHelper(program, {link}, WaitMs());
  if (run.State == TRunResult::NotStarted) {
    ReportWarning(eeEmailShellError, std::strerror(run.Error));
    return false;
  }
  if (run.State == TRunResult::StillRunning) {
    ReportWarning(eeEmailShellError, Format("The mail program did not end within %d ms.", {WaitMs()}));
    return false;
  }
  if (!Succeeded(run)) {
    const int code = run.Status != -1 && WIFEXITED(run.Status) ? WEXITSTATUS(run.Status) : -1;
    ReportWarning(eeEmailShellError, Format("The mail program ended with exit code %d.", {code}));
    return false;
  }
  return true;
}

void SetMailClientPrograms(const std::string& emailProgram, const std::string& openProgram) {
  std::lock_guard lock(g_mutex);
  *g_emailProgram = emailProgram.empty() ? kDefaultEmailProgram : emailProgram;
  *g_openProgram = openProgram.empty() ? kDefaultOpenProgram : openProgram;
}

void SetMailClientWaitMs(int waitMs) {
  std::lock_guard lock(g_mutex);
  g_waitMs = waitMs > 0 ? waitMs : kDefaultWaitMs;
}
