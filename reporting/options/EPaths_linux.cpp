#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "reporting/options/EPaths.h"

bool ForceDirectories(const std::string& folder) {
  std::string f = folder;
  while (f.size() > 1 && f.back() == '/') f.pop_back();
  if (f.empty()) return true;
  struct stat st {};
  if (::stat(f.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  std::string parent = ExtractFilePath(f);
  if (!parent.empty() && parent != f && !ForceDirectories(parent)) return false;
  return ::mkdir(f.c_str(), 0755) == 0 || errno == EEXIST;
}

bool CanOpenForReadWrite(const std::string& fileName) {
  int fd = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ::close(fd);
    ::unlink(fileName.c_str());
    return true;
  }
  if (errno != EEXIST) return false;
  fd = ::open(fileName.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::string ComputerName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return {};
  std::string name(buf);
  for (char& c : name)
    if (std::string_view("\"*/:<>?\\|").find(c) != std::string_view::npos) c = '_';
  return name;
}

namespace {

std::string HomeFolder() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

std::string XdgFolder(const char* variable, const char* underHome) {
  // Relative values are ignored by the XDG base directory rules.
  if (const char* v = std::getenv(variable); v && *v == '/') return v;
  std::string home = HomeFolder();
  return home.empty() ? std::string("/") : home + underHome;
}

}  // namespace

std::string UserStateFolder() { return XdgFolder("XDG_STATE_HOME", "/.local/state"); }
std::string UserConfigFolder() { return XdgFolder("XDG_CONFIG_HOME", "/.config"); }

std::string TarvexLogSettingsFileName() {
  std::string folder = IncludeTrailingPathDelimiter(UserConfigFolder()) + "TarvexLog";
  ForceDirectories(folder);
  return folder + "/TarvexLog.ini";
}
