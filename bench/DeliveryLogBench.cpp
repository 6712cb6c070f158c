// The log's cost against its size: one saving step (open under the lock, search, add, save) on
// logs of 32 and of 1000 reports of about 50 KB, and the XML export of the 32-report log. Heap
// use is counted by the replaced global allocator; "peak_MB" is the most the step held above
// what was in use when it started.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "delivery/ELogManager.h"
#include "tests/delivery/LogSamples.h"

namespace {

std::atomic<long long> g_inUse{0};
std::atomic<long long> g_peak{0};

void Count(void* p) {
  if (!p) return;
  long long now = g_inUse.fetch_add(static_cast<long long>(malloc_usable_size(p))) +
                  static_cast<long long>(malloc_usable_size(p));
  long long peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
}

}  // namespace

void* operator new(size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  Count(p);
  return p;
}
// The replaced operator new allocates with malloc, so free is the matching release.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
  if (p) g_inUse.fetch_sub(static_cast<long long>(malloc_usable_size(p)));
  std::free(p);
}
#pragma GCC diagnostic pop
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace {

// A report of about 50 KB: the sample with its modules table repeated.
std::string LargeReport(const std::string& id) {
  std::string report = SampleReport(id);
  const std::string row = "|00007F3B28729000|libgpg-error.so.0   |           |       |157768  |2022-10-18 20:22:48|"
                          "/lib/x86_64-linux-gnu                    |\r\n";
  const size_t at = report.find("|00007F3B28729000|");
  std::string rows;
  while (report.size() + rows.size() < 50 * 1024) rows += row;
  report.insert(at, rows);
  return report;
}

std::string Folder() {
  static const std::string folder = [] {
    std::string pattern = "/tmp/delivery-log-bench-XXXXXX";
    return std::string(::mkdtemp(pattern.data()));
  }();
  return folder;
}

std::string MakeLog(int entries) {
  const std::string name = Folder() + "/log-" + std::to_string(entries) + ".tlf";
  if (::access(name.c_str(), F_OK) != 0) {
    TLogFile log(name, false);
    for (int i = 0; i < entries; ++i) log.Add(LargeReport(std::to_string(100000 + i)), entries);
    log.Save();
  }
  return name;
}

long long FileSize(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

void ReportPeak(benchmark::State& state, long long base, long long logBytes) {
  state.counters["peak_MB"] = static_cast<double>(g_peak.load() - base) / 1e6;
  state.counters["log_MB"] = static_cast<double>(logBytes) / 1e6;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * logBytes);
}

void BM_SaveReport(benchmark::State& state) {
  const int entries = static_cast<int>(state.range(0));
  const std::string name = MakeLog(entries);
  const std::string report = LargeReport("FFFF");
  long long size = 0;
  const long long base = g_inUse.load();
  g_peak.store(base);
  for (auto _ : state) {
    TLogFile log(name, false);
    benchmark::DoNotOptimize(log.FindEntry({"2.7"}, {"FFFE"}));
    log.Add(report, entries);  // the oldest goes: the log keeps its size
    log.Save();
  }
  size = FileSize(name);
  ReportPeak(state, base, size);
}
BENCHMARK(BM_SaveReport)->Arg(32)->Arg(1000)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_XmlExport(benchmark::State& state) {
  const std::string name = MakeLog(static_cast<int>(state.range(0)));
  const std::string xml = Folder() + "/log.xml";
  long long size = 0;
  const long long base = g_inUse.load();
  g_peak.store(base);
  for (auto _ : state) {
    TLogFile log(name, true);
    log.SaveToXML(xml);
  }
  size = FileSize(name);
  ReportPeak(state, base, size);
}
BENCHMARK(BM_XmlExport)->Arg(32)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
