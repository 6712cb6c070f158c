// Packing a 50 MB log into the report archive, without and with a password: wall time, the
// archive's size and the peak memory the packing added. Each run is a child process of its own,
// so that one run's peak (ru_maxrss, growth over what the child held before packing) cannot
// hide the next one's; the log is in the page cache after the first run.
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "delivery/EZip.h"
#include "tests/delivery/LogSamples.h"

namespace {

long MaxRssKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

std::string Hex4(unsigned n) {
  char buf[8];
  snprintf(buf, sizeof buf, "%04X", n & 0xffff);
  return buf;
}

// Reports one after another, as a log holds them, until the size is reached.
void WriteLog(const std::string& path, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) exit(1);
  size_t written = 0;
  for (unsigned i = 0; written < size; ++i) {
    const std::string report = SampleReport(Hex4(i), "1.0.0." + std::to_string(i % 50),
                                            "Route not found: leg " + std::to_string(i)) + "\r\n\r\n\r\n";
    fwrite(report.data(), 1, report.size(), f);
    written += report.size();
  }
  fclose(f);
}

void Run(const std::string& folder, const std::string& log, const char* label, const std::string& password) {
  fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string archive = folder + "/BugReport-" + label + ".zip";
    const long before = MaxRssKiB();
    const auto start = std::chrono::steady_clock::now();
    bool ok;
    {
      TZipWriter zip(archive, password);
      ok = zip.AddFile(log, "Program.tlf") && zip.Close();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long after = MaxRssKiB();
    struct stat st {};
    ::stat(archive.c_str(), &st);
    printf("%-12s %8.3f s %8.1f MB/s  archive %7.2f MB  peak memory added %6.2f MB%s\n", label, seconds,
           50.0 / seconds, st.st_size / 1048576.0, (after - before) / 1024.0, ok ? "" : "  (FAILED)");
    fflush(stdout);
    ::unlink(archive.c_str());
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
}

}  // namespace

int main() {
  const char* base = getenv("TMPDIR");
  std::string folder = std::string(base && *base ? base : "/tmp") + "/zip-bench-XXXXXX";
  if (!mkdtemp(folder.data())) return 1;
  const std::string log = folder + "/Program.tlf";
  WriteLog(log, 50u << 20);
  printf("packing a %.1f MB log (deflate level 9), one child process per run\n",
         std::filesystem::file_size(log) / 1048576.0);
  for (int round = 0; round < 2; ++round) {
    Run(folder, log, "no password", "");
    Run(folder, log, "password", "bench-password");
  }
  std::filesystem::remove_all(folder);
  return 0;
}
