// The process list from a /proc tree: the executable (else the kernel's command name), the
// resident memory, the thread count and the priority class of every process.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <map>

#include "reporting/debuginfo/EModuleImage.h"
#include "reporting/report/ESystemInfo.h"

namespace {

std::string LinkTarget(const std::string& link) {
  char target[PATH_MAX];
  ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return {};
  std::string path(target, static_cast<size_t>(n));
  // A replaced or removed executable still names its old path.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
  return path;
}

std::vector<int64_t> ProcessIds(const std::string& procRoot) {
  std::vector<int64_t> ids;
  DIR* dir = ::opendir(procRoot.c_str());
  if (!dir) return ids;
  while (dirent* e = ::readdir(dir)) {
    const char* p = e->d_name;
    if (!*p) continue;
    int64_t id = 0;
    bool digits = true;
    for (; *p; ++p) {
      if (*p < '0' || *p > '9' || id > INT32_MAX) {
        digits = false;
        break;
      }
      id = id * 10 + (*p - '0');
    }
    if (digits) ids.push_back(id);
  }
  ::closedir(dir);
  std::sort(ids.begin(), ids.end());
  return ids;
}

}  // namespace

std::vector<TProcessRow> ReadProcesses(const std::string& procRoot) {
  std::vector<TProcessRow> rows;
  try {
    // Many processes run the same file: its version note is read once.
    std::map<std::string, std::pair<std::string, std::string>> versions;
    for (int64_t id : ProcessIds(procRoot)) {
      std::string folder = procRoot + "/" + std::to_string(id);
      TProcessRow row;
      row.Id = id;
      row.Path = LinkTarget(folder + "/exe");
      TProcStatus status = ParseProcStatus(ReadTextFile(folder + "/status"));
      if (!row.Path.empty()) {
        row.Name = row.Path.substr(row.Path.rfind('/') + 1);
        auto known = versions.find(row.Path);
        if (known == versions.end()) {
          TModuleFileInfo file = ReadModuleFile(row.Path, 0, false);
          known = versions.emplace(row.Path, std::pair(file.FileDescription, file.FileVersion)).first;
        }
        row.Description = known->second.first;
        row.Version = known->second.second;
      } else {
        std::string comm = ReadTextFile(folder + "/comm");
        while (!comm.empty() && comm.back() == '\n') comm.pop_back();
        row.Name = comm.empty() ? status.Name : comm;
      }
      if (row.Name.empty() && ::access(folder.c_str(), F_OK) != 0) continue;  // ended meanwhile
      row.Memory = status.Resident.value_or(0);
      row.Threads = status.Threads;
      TProcStat stat = ParseProcStat(ReadTextFile(folder + "/stat"));
      if (stat.Valid) row.Priority = PriorityClassName(stat.Policy, stat.Nice);
      rows.push_back(std::move(row));
    }
  } catch (...) {
  }
  return rows;
}
