// Stands in for tarvex-dialog in the tests: talks the protocol on descriptor 3 and misbehaves as
// its first argument asks.
//   fake MODE LOG [how=N] [checked=N] [email=TEXT] [text=TEXT] [jump=N] [geometry=1]
// Modes: normal, trickle (normal, byte by byte), custom, jump, die-at-start, crash-at-start,
// die-at-first-start (then normal), no-ready, old-version, no-read, no-shown, die-mid, hang, garbage, cancel-progress.
// Every start appends one line to LOG: "start <request kind> style=<bits>"; the last request's
// payload is kept in LOG.req, the descriptors and signal mask seen at start in LOG.env.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "reporting/ui/EDialogProtocol.h"

using namespace tarvex_dialog;

namespace {

constexpr int kFd = 3;
std::map<std::string, std::string> g_args;
std::string g_log;

void Log(const std::string& line) { std::ofstream(g_log, std::ios::app) << line << "\n"; }

bool g_trickle = false;  // every byte written on its own

void Put(const std::string& frame) {
  size_t done = 0;
  while (done < frame.size()) {
    const size_t chunk = g_trickle ? 1 : frame.size() - done;
    const ssize_t n = ::send(kFd, frame.data() + done, chunk, MSG_NOSIGNAL);
    if (n <= 0) ::_exit(3);
    done += static_cast<size_t>(n);
  }
}

bool ReadExactly(char* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::recv(kFd, out + done, size - done, 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The next message; the process ends when the core closed the socket.
TMessage Get() {
  char header[kFrameHeaderBytes];
  if (!ReadExactly(header, sizeof header)) ::_exit(0);
  std::string payload(FramePayloadLength(header), '\0');
  if (!ReadExactly(payload.data(), payload.size())) ::_exit(0);
  return DecodePayload(payload);
}

// Waits until the core closes the socket (or forever when it never does).
[[noreturn]] void Linger() {
  char c;
  while (::recv(kFd, &c, 1, 0) > 0) {
  }
  ::_exit(0);
}

int64_t Arg(const std::string& key, int64_t fallback) {
  auto it = g_args.find(key);
  return it == g_args.end() ? fallback : std::strtoll(it->second.c_str(), nullptr, 0);
}

std::string TextArg(const std::string& key) {
  auto it = g_args.find(key);
  return it == g_args.end() ? std::string() : it->second;
}

void WriteEnvironment() {
  std::vector<int> fds;  // listed before the file is opened, which takes a descriptor too
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(dir);
    while (dirent* d = ::readdir(dir))
      if (d->d_name[0] != '.' && std::atoi(d->d_name) != own) fds.push_back(std::atoi(d->d_name));
    ::closedir(dir);
  }
  std::sort(fds.begin(), fds.end());
  std::ofstream env(g_log + ".env");
  for (int fd : fds) env << "fd " << fd << "\n";
  sigset_t mask;
  ::sigprocmask(SIG_SETMASK, nullptr, &mask);
  int blocked = 0;
  for (int s = 1; s < 32; ++s) blocked += sigismember(&mask, s);
  env << "blocked " << blocked << "\n";
  struct sigaction usr {};
  ::sigaction(SIGUSR1, nullptr, &usr);
  env << "usr1 " << (usr.sa_handler == SIG_DFL ? "default" : "handled") << "\n";
}

TDialogResult ResultFromArgs(const TDialogRequest& request) {
  TDialogResult r;
  r.How = static_cast<int32_t>(Arg("how", chOk));
  r.Checked = static_cast<uint32_t>(Arg("checked", request.Checked));
  r.Email = TextArg("email");
  r.ReproduceText = TextArg("text");
  if (Arg("geometry", 0)) {
    r.GeometryRecorded = true;
    r.Geometry.Width = 800;
    r.Geometry.Height = 500;
    r.Geometry.Left = 10;
    r.Geometry.Top = 20;
    r.Geometry.WindowsState = 1;
    r.ModuleColumns = {1, 2, 3, 4, 5, 66, 77};
  }
  return r;
}

void Dialog(const std::string& mode, const TMessage& m) {
  const TDialogRequest request = TDialogRequest::Decode(m.Reader());
  Log("start dialog " + std::to_string(request.Kind) + " style=" + std::to_string(request.Style));
  if (mode == "no-shown") Linger();
  Put(EncodeShown());
  if (mode == "die-mid") ::_exit(1);
  if (mode == "hang") Linger();  // on screen, then silent: its GUI thread hangs
  for (int i = 0; i < 3; ++i) Put(EncodeAlive());
  if (mode == "garbage") {
    Put(std::string("\x05\x00\x00\x00\x68\x00\xFF\xFF\xFF", 9));  // a field header cut short
    Linger();
  }
  int64_t how = Arg("how", chOk);
  if (mode == "custom") {
    // Pressed until the core answers close, at most three times.
    for (int press = 0; press < 3; ++press) {
      Put(EncodeCustomPressed());
      const TMessage answer = Get();
      const bool close = answer.Kind == mkCustomAnswer && answer.Reader().Bool(smClose);
      Log(close ? "answer close" : "answer stay");
      if (close) {
        how = chCustom;
        break;
      }
    }
  }
  if (mode == "jump") Put(EncodeJumpToSource(static_cast<int32_t>(Arg("jump", 0))));
  TDialogResult result = ResultFromArgs(request);
  result.How = static_cast<int32_t>(how);
  Put(result.Encode());
  Linger();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  g_log = argv[2];
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    const size_t eq = a.find('=');
    if (eq != std::string::npos) g_args[a.substr(0, eq)] = a.substr(eq + 1);
  }
  WriteEnvironment();
  g_trickle = mode == "trickle";
  if (mode == "die-at-start") {
    std::fputs("fake: QStandardPaths: no runtime folder\n\nfake: cannot connect to display :fake\n", stderr);
    return 1;
  }
  if (mode == "crash-at-start") std::abort();
  if (mode == "die-at-first-start" && ::access((g_log + ".died").c_str(), F_OK) != 0) {
    std::ofstream(g_log + ".died") << "once";
    return 1;
  }
  if (mode == "no-ready") Linger();
  if (mode == "old-version") {
    TFieldWriter w;
    w.Int(smVersion, kProtocolVersion + 1);
    Put(EncodeFrame(mkReady, w));
    Linger();
  }
  Put(EncodeReady());
  if (mode == "no-read") {
    // Takes nothing more and ignores the socket's end: only a kill ends it.
    for (;;) ::pause();
  }
  const TMessage m = Get();
  std::ofstream(g_log + ".req", std::ios::binary) << m.Fields;
  switch (m.Kind) {
    case mkDialogRequest:
      Dialog(mode, m);
      break;
    case mkReproduceRequest:
      Log("start reproduce");
      Put(EncodeShown());
      if (mode == "die-mid") ::_exit(1);
      Put(EncodeReproduceResult(TextArg("text")));
      Linger();
    case mkMessageBox:
      Log("start message " + TMessageBoxRequest::Decode(m.Reader()).Text);
      if (mode == "no-shown") Linger();
      Put(EncodeShown());
      Put(EncodeDone());
      Linger();
    case mkClipboard:
      Log("clipboard " + m.Reader().Text(smText));
      Put(EncodeDone());
      Linger();
    case mkProgressOpen: {
      Log("start progress " + TProgressOpen::Decode(m.Reader()).Caption);
      if (mode == "no-shown") Linger();
      Put(EncodeShown());
      Put(EncodeAlive());
      if (mode == "die-mid") ::_exit(1);
      for (;;) {
        const TMessage update = Get();
        if (update.Kind == mkProgressStep) Log("step " + update.Reader().Text(smText));
        // The user closes the window at the first step.
        if (update.Kind == mkProgressStep && mode == "cancel-progress") Put(EncodeProgressCancel());
        if (update.Kind == mkProgressPosition) Log("position " + std::to_string(update.Reader().Int(smPercent)));
        if (update.Kind == mkProgressClose) {
          Log("close");
          Put(EncodeDone());
          Linger();
        }
      }
    }
    default:
      Log("unexpected " + std::to_string(m.Kind));
      Linger();
  }
  return 0;
}
