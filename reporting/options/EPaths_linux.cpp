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
  // Tested without creating anything: a probe file created and deleted again could delete a
  // log that another process has just created under the same name.
  struct stat st {};
  if (::stat(fileName.c_str(), &st) == 0)
    return !S_ISDIR(st.st_mode) && ::faccessat(AT_FDCWD, fileName.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
  if (errno != ENOENT) return false;
  const std::string folder = ExtractFilePath(fileName);
  const char* dir = folder.empty() ? "." : folder.c_str();
  return ::stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && ::faccessat(AT_FDCWD, dir, W_OK | X_OK, AT_EACCESS) == 0;
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
