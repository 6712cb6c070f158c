// What the leak tests share: running a fixture program as a child under an alarm, a private
// folder, and reading the leak groups of the report's call-stack table from its log.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace leak_child {

namespace fs = std::filesystem;

struct TRun {
  std::string Output;
  int ExitCode = -1;
  int Signal = 0;
};

inline std::string ReadAll(int fd) {
  std::string text;
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// Standard output is kept, standard error dropped; the alarm ends a child that hangs.
inline TRun RunProgram(const std::vector<std::string>& args) {
  int out[2];
  if (::pipe(out) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]), ::close(out[1]);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::alarm(55);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  TRun run;
  run.Output = ReadAll(out[0]);
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.ExitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.Signal = WTERMSIG(status);
  return run;
}

inline std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (fs::temp_directory_path() / "leaks-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TTempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// One leak of the report's call-stack table: its heading "Memory Leak: Type=...; Total
// size=...; Count=..." and the rows under it, the origin first.
struct TLeakRow {
  std::string Unit;
  int Line = 0;  // 0: no line
};
struct TLeakGroup {
  std::string Type;
  uint64_t Size = 0;
  uint64_t Count = 0;
  std::vector<TLeakRow> Rows;
  const std::string& Unit() const {
    static const std::string none;
    return Rows.empty() ? none : Rows[0].Unit;
  }
  int Line() const { return Rows.empty() ? 0 : Rows[0].Line; }
};

inline std::string Trimmed(const std::string& cell) {
  const size_t end = cell.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : cell.substr(0, end + 1);
}

inline std::vector<TLeakGroup> LeakGroups(const std::string& log) {
  static const std::regex heading(R"(\|Memory Leak: Type=([^;]+); Total size=(\d+); Count=(\d+) *\|)");
  static const std::regex row(R"(\|[0-9A-F]{16}\|[^|]*\|([^|]*)\|[^|]*\|[^|]*\|(\d*)(?:\[-?\d+\])? *\|)");
  std::vector<TLeakGroup> groups;
  std::istringstream in(log);
  std::smatch m;
  bool inGroup = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (std::regex_match(line, m, heading)) {
      groups.push_back({m[1], std::stoull(m[2]), std::stoull(m[3]), {}});
      inGroup = true;
    } else if (inGroup && std::regex_match(line, m, row)) {
      groups.back().Rows.push_back({Trimmed(m[1]), m[2].length() ? std::stoi(m[2]) : 0});
    } else if (line.find_first_not_of("|- ") != std::string::npos || line.empty() || line[0] != '|') {
      inGroup = false;  // anything but a separator or empty cell: the table or the group ended
    }
  }
  return groups;
}

// The groups whose origin is in the given source file.
inline std::vector<TLeakGroup> GroupsFrom(const std::string& log, const std::string& unit) {
  std::vector<TLeakGroup> groups;
  for (TLeakGroup& g : LeakGroups(log))
    if (g.Unit() == unit) groups.push_back(std::move(g));
  return groups;
}

inline int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// "SITE name line" lines of a fixture's output.
inline std::map<std::string, int> Sites(const std::string& output) {
  std::map<std::string, int> sites;
  std::istringstream in(output);
  std::string word, name;
  int line;
  while (in >> word >> name >> line)
    if (word == "SITE") sites.emplace(name, line);
  return sites;
}

}  // namespace leak_child
