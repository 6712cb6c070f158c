// The live snapshot on this machine: every value whose source the machine has is filled; the
// process list on a crafted /proc tree; the display through a provider and through X11.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "reporting/interception/EThreads.h"
#include "reporting/report/ELiveSnapshot.h"
#include "tests/support/XvfbServer.h"
#include "reporting/report/ESystemInfo.h"

extern char** environ;

namespace {

// ---- What this machine has, found independently of the code under test ----------------------

bool HasFile(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool HasDrmCard() {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/sys/class/drm", ec)) {
    std::string name = e.path().filename();
    if (name.starts_with("card") && name.find('-') == std::string::npos) return true;
  }
  return false;
}

bool HasLocalDisplay() {
  const char* d = std::getenv("DISPLAY");
  return d && *d && IsLocalDisplayName(d);
}

bool HasPrinterServer() {
  return (HasFile("/usr/lib/x86_64-linux-gnu/libcups.so.2")) &&
         (HasFile("/run/cups/cups.sock") || HasFile("/var/run/cups/cups.sock"));
}

bool HasCommandLineArguments() {
  std::string raw = ReadTextFile("/proc/self/cmdline");
  size_t first = raw.find('\0');
  return first != std::string::npos && first + 1 < raw.size();
}

std::string Gecos() {
  const passwd* pw = ::getpwuid(::geteuid());
  return pw && pw->pw_gecos ? GecosFullName(pw->pw_gecos) : std::string();
}

// The non-loopback interfaces with an IPv4 address.
std::vector<std::string> IPv4Interfaces() {
  std::vector<std::string> names;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return names;
  for (ifaddrs* i = list; i; i = i->ifa_next)
    if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && !(i->ifa_flags & IFF_LOOPBACK) &&
        std::find(names.begin(), names.end(), i->ifa_name) == names.end())
      names.push_back(i->ifa_name);
  ::freeifaddrs(list);
  return names;
}

bool HasIPv4NameServer() {
  std::string text = ReadTextFile("/etc/resolv.conf");
  if (OnlyLocalStubResolver(ParseNameServers(text))) text = ReadTextFile("/run/systemd/resolve/resolv.conf");
  for (const std::string& s : ParseNameServers(text))
    if (s.find(':') == std::string::npos) return true;
  return false;
}

struct TField {
  const char* name;
  std::function<bool(const TSystemValues&)> filled;
  std::function<bool()> available;
  const char* lacking;  // why a machine may not have it
};

std::vector<TField> LinuxFields() {
  auto always = [] { return true; };
  return {
      {"Parameters", [](const TSystemValues& v) { return !v.CommandLine.empty(); }, HasCommandLineArguments,
       "the test runs without arguments"},
      {"User ID", [](const TSystemValues& v) { return !v.UserId.empty(); },
       [] { return ::getpwuid(::geteuid()) != nullptr; }, "the user has no passwd entry"},
      {"User Name", [](const TSystemValues& v) { return !v.UserName.empty(); }, [] { return !Gecos().empty(); },
       "the user's GECOS field has no name"},
      {"Privileges", [](const TSystemValues& v) { return !v.Privileges.empty(); },
       [] { return ParseProcStatus(ReadTextFile("/proc/self/status")).CapPrm.value_or(0) != 0; },
       "the process holds no capabilities"},
      {"Computer Name", [](const TSystemValues& v) { return !v.ComputerName.empty(); }, always, ""},
      {"Total Memory", [](const TSystemValues& v) { return v.TotalMemory.value_or(0) > 0; }, always, ""},
      {"Free Memory", [](const TSystemValues& v) { return v.FreeMemory.has_value(); }, always, ""},
      {"Total Disk", [](const TSystemValues& v) { return v.TotalDisk.value_or(0) > 0; }, always, ""},
      {"Free Disk", [](const TSystemValues& v) { return v.FreeDisk.has_value(); }, always, ""},
      {"Processor", [](const TSystemValues& v) { return !v.Processor.empty() && v.Processor != "Unknown processor"; },
       [] { return !CpuidBrandString().empty() || ReadTextFile("/proc/cpuinfo").find("model name") != std::string::npos; },
       "neither CPUID nor cpuinfo names the processor"},
      {"Display Mode", [](const TSystemValues& v) { return !v.DisplayMode.empty(); }, HasLocalDisplay, "no display"},
      {"Display DPI", [](const TSystemValues& v) { return !v.DisplayDpi.empty(); }, HasLocalDisplay, "no display"},
      {"Video Card", [](const TSystemValues& v) { return !v.VideoCard.empty(); }, HasDrmCard, "no DRM card"},
      {"Printer", [](const TSystemValues& v) { return !v.Printer.empty(); }, HasPrinterServer, "no printer server"},
      {"Type", [](const TSystemValues& v) { return !v.OsType.empty(); }, always, ""},
      {"Build #", [](const TSystemValues& v) { return !v.OsBuild.empty(); }, always, ""},
      {"Update", [](const TSystemValues& v) { return !v.OsUpdate.empty(); }, always, ""},
      {"Language", [](const TSystemValues& v) { return !v.Language.empty(); },
       [] { return !LanguageOfLocale(MessagesLocaleName()).empty(); }, "the messages locale is not installed"},
      {"IP Address", [](const TSystemValues& v) { return !v.Network.empty() && !v.Network[0].Address.empty(); },
       [] { return !IPv4Interfaces().empty(); }, "no network adapter with an IPv4 address"},
      {"Submask", [](const TSystemValues& v) { return !v.Network.empty() && !v.Network[0].Mask.empty(); },
       [] { return !IPv4Interfaces().empty(); }, "no network adapter with an IPv4 address"},
      {"Gateway",
       [](const TSystemValues& v) {
         for (const TNetworkAdapter& a : v.Network)
           if (!a.Gateway.empty()) return true;
         return false;
       },
       [] {
         auto routes = ParseRouteTable(ReadTextFile("/proc/net/route"));
         for (const std::string& name : IPv4Interfaces())
           if (!DefaultGatewayOf(routes, name).empty()) return true;
         return false;
       },
       "no default route through an adapter"},
      {"DNS 1", [](const TSystemValues& v) { return !v.Network.empty() && !v.Network[0].Dns1.empty(); },
       [] { return !IPv4Interfaces().empty() && HasIPv4NameServer(); }, "no IPv4 name server"},
  };
}

TEST(LiveSnapshot, EveryValueTheMachineHasIsFilled) {
  auto snapshot = MakeLiveSnapshot(NowReportTime(), NowReportTime());
  TSystemValues v = snapshot->System();
  for (const TField& f : LinuxFields()) {
    SCOPED_TRACE(f.name);
    if (!f.available()) {
      std::printf("[ SKIPPED  ] %s: %s\n", f.name, f.lacking);
      continue;
    }
    EXPECT_TRUE(f.filled(v));
  }
  // What Linux does not have keeps its field, empty.
  EXPECT_EQ(v.Company, "");
  EXPECT_EQ(v.Charset, "");
  EXPECT_EQ(v.OsType.find("64 bit"), std::string::npos);
  // The active window comes only from the GUI bridge.
  EXPECT_EQ(v.FormClass, "");
  EXPECT_GT(snapshot->SystemUpTimeMilliseconds(), 0);
}

TEST(LiveSnapshot, ValuesMatchTheirSources) {
  TSystemValues v = MakeLiveSnapshot({}, {})->System();
  const passwd* pw = ::getpwuid(::geteuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(v.UserId, pw->pw_name);
  TMemInfo mem = ParseMemInfo(ReadTextFile("/proc/meminfo"));
  EXPECT_EQ(v.TotalMemory, mem.Total);
  ASSERT_TRUE(v.TotalDisk && v.FreeDisk);
  EXPECT_LE(*v.FreeDisk, *v.TotalDisk);
  std::string release = ReadTextFile("/etc/os-release");
  if (!release.empty()) {
    EXPECT_EQ(v.OsType, ParseOsReleaseName(release));
  }
  // Capabilities: every permitted one, enabled as the effective set says.
  TProcStatus status = ParseProcStatus(ReadTextFile("/proc/self/status"));
  EXPECT_EQ(v.Privileges, PrivilegesOf(status.CapPrm.value_or(0), status.CapEff.value_or(0)));
  // One adapter per interface, in the system's order.
  std::vector<std::string> names = IPv4Interfaces();
  EXPECT_EQ(v.Network.size(), names.size());
  for (const TNetworkAdapter& a : v.Network) EXPECT_FALSE(a.Address.starts_with("127.")) << a.Address;
  // DHCP needs an address with a finite lifetime: LiveNetwork makes one in a namespace of its own.
}

TEST(LiveSnapshot, ThisProcessInTheProcessList) {
  auto snapshot = MakeLiveSnapshot({}, {});
  std::vector<TProcessRow> rows = snapshot->Processes();
  ASSERT_FALSE(rows.empty());
  for (size_t i = 1; i < rows.size(); ++i) EXPECT_LT(rows[i - 1].Id, rows[i].Id);
  auto self = std::find_if(rows.begin(), rows.end(), [](const TProcessRow& r) { return r.Id == ::getpid(); });
  ASSERT_NE(self, rows.end());
  std::string exe = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(self->Path, exe);
  EXPECT_EQ(self->Name, std::filesystem::path(exe).filename().string());
  EXPECT_GT(self->Memory, 0u);
  EXPECT_GE(self->Threads, 1);
  EXPECT_FALSE(self->Priority.empty());
  // Kept: one report sees one list.
  EXPECT_EQ(snapshot->Processes().size(), rows.size());
}

__attribute__((noinline)) int ResolvableFunction(int x) { return x * 3 + 1; }

TEST(LiveSnapshot, ModulesMemoryAndResolution) {
  auto snapshot = MakeLiveSnapshot({}, {});
  std::vector<TModuleRow> modules = snapshot->Modules();
  ASSERT_FALSE(modules.empty());
  for (size_t i = 1; i < modules.size(); ++i) EXPECT_LT(modules[i - 1].Handle, modules[i].Handle);

  auto address = reinterpret_cast<uintptr_t>(&ResolvableFunction);
  std::optional<TModuleRow> own = snapshot->ModuleOf(address);
  ASSERT_TRUE(own);
  EXPECT_EQ(own->FileName, std::filesystem::read_symlink("/proc/self/exe").string());
  EXPECT_GT(own->Size, 0u);
  EXPECT_GT(own->Modified.UnixSeconds, 0);
  EXPECT_NE(std::find_if(modules.begin(), modules.end(), [&](const TModuleRow& m) { return m.Handle == own->Handle; }),
            modules.end());
  EXPECT_FALSE(snapshot->ModuleOf(0x10));

  TTarvexStackEntry entry = snapshot->Resolve(address);
  EXPECT_GE(entry.EntryKind, kEntryProcedure);
  EXPECT_TRUE(entry.ProcedureName.ends_with("ResolvableFunction")) << entry.ProcedureName;

  const char text[] = "snapshot memory";
  char copy[sizeof text] = {};
  EXPECT_TRUE(snapshot->Memory().Read(reinterpret_cast<uintptr_t>(text), copy, sizeof copy));
  EXPECT_STREQ(copy, text);
  EXPECT_FALSE(snapshot->Memory().Read(0x10, copy, 4));
}

struct TWorkerProbe {
  virtual ~TWorkerProbe() = default;
};

TEST(LiveSnapshot, ThreadsFromTheRegistry) {
  RegisterCurrentThread(true);
  TWorkerProbe probe;
  pid_t tid = CurrentThreadId();
  ASSERT_TRUE(ThreadRegistry().Update(tid, [&](TTarvexThreadRecord& r) {
    r.ThreadObject = &probe;
    r.ThreadPriority = INT32_MIN;  // unknown when registered: read live
  }));
  std::vector<TThreadRow> rows = MakeLiveSnapshot({}, {})->Threads();
  auto own = std::find_if(rows.begin(), rows.end(), [&](const TThreadRow& r) { return r.ThreadID == uint32_t(tid); });
  ASSERT_NE(own, rows.end());
  EXPECT_TRUE(own->MainThread);
  EXPECT_EQ(own->Priority, ThreadPriorityOf(tid));
  EXPECT_EQ(own->ClassName, "(anonymous namespace)::TWorkerProbe");
  ThreadRegistry().Update(tid, [](TTarvexThreadRecord& r) { r.ThreadObject = nullptr; });
}

// Runs a program with an argument vector; its exit status, or -1.
int RunProgram(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  int status = 0;
  if (rc != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(LiveNetwork, LeasedAddressesAndGatewaysInANetworkNamespace) {
  // A child in a network namespace of its own gets two linked virtual adapters: one address
  // with a finite lifetime and a default route, one permanent address. It writes what it reads.
  const char* ip = "/usr/sbin/ip";
  if (!HasFile(ip)) GTEST_SKIP() << "no ip program";
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(20);
    ::close(out[0]);
    if (::unshare(CLONE_NEWNET) != 0) ::_exit(77);
    if (RunProgram({ip, "link", "add", "v0", "type", "veth", "peer", "name", "v1"}) != 0) ::_exit(78);
    bool ok = RunProgram({ip, "addr", "add", "198.51.100.5/24", "dev", "v0", "valid_lft", "300", "preferred_lft", "300"}) == 0 &&
              RunProgram({ip, "addr", "add", "203.0.113.5/25", "dev", "v1"}) == 0 &&
              RunProgram({ip, "link", "set", "v0", "up"}) == 0 && RunProgram({ip, "link", "set", "v1", "up"}) == 0 &&
              RunProgram({ip, "route", "add", "default", "via", "198.51.100.1", "dev", "v0"}) == 0;
    if (!ok) ::_exit(79);
    std::string text;
    for (const TNetworkAdapter& a : ReadNetworkAdapters())
      text += a.Address + " " + a.Mask + " " + (a.Gateway.empty() ? "-" : a.Gateway) + (a.Dhcp ? " ON" : " OFF") + "\n";
    ssize_t written = ::write(out[1], text.data(), text.size());
    ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  ::close(out[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no permission for a network namespace";
  if (WEXITSTATUS(status) == 78) GTEST_SKIP() << "the kernel has no virtual ethernet pairs";
  ASSERT_EQ(WEXITSTATUS(status), 0);
  // getifaddrs lists the adapters by index: the peer made second comes first.
  EXPECT_EQ(text,
            "203.0.113.5 255.255.255.128 - OFF\n"
            "198.51.100.5 255.255.255.0 198.51.100.1 ON\n");
}

// ---- Times --------------------------------------------------------------------------------

class TimeZone {
 public:
  explicit TimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~TimeZone() {
    saved_ ? ::setenv("TZ", saved_->c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST(ReportTime, OffsetOfTheZoneInForce) {
  constexpr int64_t kJanuary = 1736942400;  // 2025-01-15 12:00 UTC
  constexpr int64_t kJuly = 1752580800;     // 2025-07-15 12:00 UTC
  struct Case {
    const char* tz;
    int64_t when;
    int32_t offset;
  } cases[] = {
      {"UTC0", kJanuary, 0},
      {"ZLK-10", kJanuary, 36000},
      {"EST5", kJuly, -18000},
      {"IST-5:30", kJanuary, 19800},
      {"CET-1CEST,M3.5.0,M10.5.0/3", kJanuary, 3600},
      {"CET-1CEST,M3.5.0,M10.5.0/3", kJuly, 7200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tz) + " at " + std::to_string(c.when));
    TimeZone zone(c.tz);
    TReportTime t = ReportTimeOf(c.when);
    EXPECT_EQ(t.UnixSeconds, c.when);
    EXPECT_EQ(t.UtcOffsetSeconds, c.offset);
  }
  TimeZone zone("ZLK-10");
  TReportTime now = NowReportTime();
  EXPECT_EQ(now.UtcOffsetSeconds, 36000);
  EXPECT_LE(std::abs(now.UnixSeconds - static_cast<int64_t>(::time(nullptr))), 2);
}

// ---- The process list of a crafted /proc tree -----------------------------------------------

class ProcTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zelk-proc-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  void Write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(root_ + "/" + path).parent_path());
    std::ofstream(root_ + "/" + path) << text;
  }
  static std::string Stat(int nice, unsigned policy) {
    std::string line = "1 (p) S";
    for (int field = 4; field <= 52; ++field)
      line += " " + std::to_string(field == 19 ? nice : field == 41 ? static_cast<int>(policy) : 0);
    return line + "\n";
  }
  std::string root_;
};

TEST_F(ProcTree, EveryProcessWithWhatCanBeRead) {
  std::string exe = std::filesystem::read_symlink("/proc/self/exe");
  // A user process with its executable.
  Write("100/status", "Name:\tworker\nVmRSS:\t    2048 kB\nThreads:\t3\n");
  Write("100/stat", Stat(5, SCHED_OTHER));
  Write("100/comm", "worker\n");
  std::filesystem::create_symlink(exe, root_ + "/100/exe");
  // A kernel thread: no executable, no memory.
  Write("7/status", "Name:\tkthreadd\nThreads:\t1\n");
  Write("7/stat", Stat(0, SCHED_FIFO));
  Write("7/comm", "kthreadd\n");
  // Another user's process: only its name can be read.
  Write("42/comm", "secret-daemon\n");
  // A process whose executable was replaced.
  Write("3/status", "Name:\tapp\nVmRSS:\t1 kB\nThreads:\t1\n");
  std::filesystem::create_symlink("/opt/gone/app (deleted)", root_ + "/3/exe");
  // Not processes.
  Write("self/status", "Name:\tnot-a-pid\n");
  Write("net/route", "");

  std::vector<TProcessRow> rows = ReadProcesses(root_);
  ASSERT_EQ(rows.size(), 4u);
  struct Expected {
    int64_t id;
    std::string name;
    std::string path;
    uint64_t memory;
    const char* priority;
    int32_t threads;
  } expected[] = {
      {3, "app", "/opt/gone/app", 1024, "", 1},
      {7, "kthreadd", "", 0, "Real-Time", 1},
      {42, "secret-daemon", "", 0, "", 0},
      {100, std::filesystem::path(exe).filename().string(), exe, 2048 * 1024, "Below-Normal", 3},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(expected[i].id);
    EXPECT_EQ(rows[i].Id, expected[i].id);
    EXPECT_EQ(rows[i].Name, expected[i].name);
    EXPECT_EQ(rows[i].Path, expected[i].path);
    EXPECT_EQ(rows[i].Memory, expected[i].memory);
    EXPECT_EQ(rows[i].Priority, expected[i].priority);
    EXPECT_EQ(rows[i].Threads, expected[i].threads);
  }
  EXPECT_TRUE(ReadProcesses(root_ + "/missing").empty());
}

// ---- Display values -------------------------------------------------------------------------

class ProviderScope {
 public:
  explicit ProviderScope(TDisplayValuesProvider p) { SetDisplayValuesProvider(std::move(p)); }
  ~ProviderScope() { SetDisplayValuesProvider(nullptr); }
};

TEST(DisplayValues, TheProviderComesFirst) {
  ProviderScope scope([](TDisplayValues& v) {
    v.Width = 2560;
    v.Height = 1440;
    v.Depth = 24;
    v.Dpi = 120;
    v.FormClass = "TfmMain";
    v.FormText = "Distance";
    v.ControlClass = "QLineEdit";
    v.ControlText = "*";
    return true;
  });
  TSystemValues v = MakeLiveSnapshot({}, {})->System();
  EXPECT_EQ(v.DisplayMode, "2560 x 1440, 24 bit");
  EXPECT_EQ(v.DisplayDpi, "120");
  EXPECT_EQ(v.FormClass, "TfmMain");
  EXPECT_EQ(v.FormText, "Distance");
  TDisplayValues d = ReadDisplayValues(false);
  EXPECT_EQ(d.ControlClass, "QLineEdit");
  EXPECT_EQ(d.ControlText, "*");
}

TEST(DisplayValues, AProviderThatFailsLeavesTheFallbacks) {
  struct Case {
    const char* label;
    TDisplayValuesProvider provider;
  } cases[] = {
      {"nothing known", [](TDisplayValues& v) {
         v.FormClass = "half-written";
         return false;
       }},
      {"throws", [](TDisplayValues&) -> bool { throw std::runtime_error("bridge gone"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ProviderScope scope(c.provider);
    TDisplayValues d = ReadDisplayValues(false);
    EXPECT_EQ(d.FormClass, "");
    EXPECT_EQ(d.Width, 0);
    EXPECT_EQ(d.VideoCard, VideoCardFromDrm("/sys/class/drm"));
  }
}

class EnvScope {
 public:
  EnvScope(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~EnvScope() { saved_ ? ::setenv(name_, saved_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(DisplayValues, X11OfALocalServer) {
  if (!TXvfbServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
  TXvfbServer server("1024x768x24", 96);
  ASSERT_TRUE(server.Running()) << "Xvfb did not start";
  const std::string display = server.Display();

  TDisplayValues values, skipped;
  {
    EnvScope env("DISPLAY", display.c_str());
    values = ReadDisplayValues(true);
    skipped = ReadDisplayValues(false);
  }
  EXPECT_EQ(values.Width, 1024);
  EXPECT_EQ(values.Height, 768);
  EXPECT_EQ(values.Depth, 24);
  EXPECT_EQ(values.Dpi, 96);
  EXPECT_EQ(skipped.Width, 0);  // not asked: no connection at all
}

TEST(DisplayValues, ADisplayThatNeverAnswersIsGivenUp) {
  // A listening socket where Xlib looks first for display :n; it accepts the connection
  // (the kernel queues it) but never answers the set-up.
  int n = TXvfbServer::FreeDisplayNumber();
  int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string name = "/tmp/.X11-unix/X" + std::to_string(n);
  std::memcpy(addr.sun_path + 1, name.data(), name.size());  // abstract namespace
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(::listen(listener, 4), 0);

  std::string display = ":" + std::to_string(n);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(20);  // a hang ends the child by SIGALRM
    ::setenv("DISPLAY", display.c_str(), 1);
    TDisplayValues v = ReadDisplayValues(true);
    ::_exit(v.Width == 0 ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(listener);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
