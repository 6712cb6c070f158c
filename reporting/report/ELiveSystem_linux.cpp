// The general system values: user, computer, operating system, language.
#include <cpuid.h>
#include <langinfo.h>
#include <locale.h>
#include <pwd.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "reporting/options/EPaths.h"
#include "reporting/report/ELiveSnapshot.h"
#include "reporting/report/ESystemInfo.h"

namespace {

std::string CommandLineArguments() {
  std::string raw = ReadTextFile("/proc/self/cmdline");
  std::string args;
  size_t at = raw.find('\0');  // skip the program itself
  while (at != std::string::npos && at + 1 < raw.size()) {
    size_t end = raw.find('\0', at + 1);
    std::string_view arg(raw.data() + at + 1, (end == std::string::npos ? raw.size() : end) - at - 1);
    if (!args.empty()) args += ' ';
    args += arg;
    at = end;
  }
  return args;
}

std::string ExecutableFolder() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string folder(path, static_cast<size_t>(n));
  size_t slash = folder.rfind('/');
  return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}

void ReadUser(TSystemValues& v) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<size_t>(size) : 16384, '\0');
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found) return;
  if (found->pw_name) v.UserId = found->pw_name;
  if (found->pw_gecos) v.UserName = GecosFullName(found->pw_gecos);
}

void ReadDisk(TSystemValues& v) {
  std::string folder = ExecutableFolder();
  struct statvfs st{};
  if (folder.empty() || ::statvfs(folder.c_str(), &st) != 0) return;
  v.TotalDisk = static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
  v.FreeDisk = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;  // what an unprivileged caller may use
}

void ReadOperatingSystem(TSystemValues& v) {
  std::string release = ReadTextFile("/etc/os-release");
  if (release.empty()) release = ReadTextFile("/usr/lib/os-release");
  v.OsType = ParseOsReleaseName(release);
  utsname uts{};
  if (::uname(&uts) == 0) {
    if (v.OsType.empty()) v.OsType = uts.sysname;
    v.OsBuild = uts.release;
    v.OsUpdate = uts.version;
  }
}

}  // namespace

int64_t SystemUpTimeMilliseconds() {
  timespec ts{};
  if (::clock_gettime(CLOCK_BOOTTIME, &ts) != 0) return 0;
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string CpuidBrandString() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(0x80000000u, &a, &b, &c, &d) || a < 0x80000004u) return {};
  char brand[49] = {};
  for (unsigned leaf = 0; leaf < 3; ++leaf) {
    unsigned r[4] = {};
    __get_cpuid(0x80000002u + leaf, &r[0], &r[1], &r[2], &r[3]);
    std::memcpy(brand + leaf * 16, r, 16);
  }
  return brand;  // zero-padded; trimmed by ProcessorName
}

std::string MessagesLocaleName() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
    if (const char* value = std::getenv(name); value && *value) return value;
  return "C";
}

std::string LanguageOfLocale(const std::string& localeName) {
  std::string base = localeName.substr(0, localeName.find_first_of(".@"));
  if (base == "C" || base == "POSIX") return "English";
  std::string language;
  if (locale_t loc = ::newlocale(LC_IDENTIFICATION_MASK, localeName.c_str(), nullptr)) {
    if (const char* text = ::nl_langinfo_l(_NL_IDENTIFICATION_LANGUAGE, loc)) language = text;
    ::freelocale(loc);
  }
  return language;
}

TSystemValues ReadSystemValues(bool askX11) {
  TSystemValues v;
  try {
    v.CommandLine = CommandLineArguments();
    ReadUser(v);
    TProcStatus status = ParseProcStatus(ReadTextFile("/proc/self/status"));
    if (status.CapPrm) v.Privileges = PrivilegesOf(*status.CapPrm, status.CapEff.value_or(0));
    v.ComputerName = ComputerName();
    TMemInfo mem = ParseMemInfo(ReadTextFile("/proc/meminfo"));
    v.TotalMemory = mem.Total;
    v.FreeMemory = mem.Available;
    ReadDisk(v);
    v.Processor = ProcessorName(CpuidBrandString(), ReadTextFile("/proc/cpuinfo"));

    TDisplayValues display = ReadDisplayValues(askX11);
    if (display.Width > 0 && display.Height > 0) v.DisplayMode = FormatDisplayMode(display.Width, display.Height, display.Depth);
    if (display.Dpi > 0) v.DisplayDpi = std::to_string(display.Dpi);
    v.VideoCard = display.VideoCard;
    v.FormClass = display.FormClass;
    v.FormText = display.FormText;
    v.Printer = DefaultPrinter();

    ReadOperatingSystem(v);
    v.Language = LanguageOfLocale(MessagesLocaleName());
    v.Network = ReadNetworkAdapters();
  } catch (...) {
    // What was read stays; the report is built in any case.
  }
  return v;
}
