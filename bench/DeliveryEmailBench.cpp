// A 10 MB archive delivered by SMTP to the loopback test server, in clear and through STARTTLS,
// and the message alone encoded without sending. Heap use of the sending thread is counted by
// the replaced global allocator (the server's thread is left out); "peak_MB" is the most the
// delivery held above what was in use when it started: the message is streamed, so it stays far
// below the archive's size.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <random>
#include <string>

#include "delivery/ESockets.h"
#include "tests/support/SmtpTestServer.h"
#include "tests/support/TestSupport.h"

namespace {

thread_local bool t_counted = false;
std::atomic<long long> g_inUse{0};
std::atomic<long long> g_peak{0};

void Count(void* p) {
  if (!p || !t_counted) return;
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
  if (p && t_counted) g_inUse.fetch_sub(static_cast<long long>(malloc_usable_size(p)));
  std::free(p);
}
#pragma GCC diagnostic pop
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace {

constexpr size_t kArchiveBytes = 10 * 1024 * 1024;

// Random bytes, as a deflated archive is.
const std::string& ArchivePath() {
  static const std::string path = [] {
    std::string folder = (std::filesystem::temp_directory_path() / ("email-bench-" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(folder);
    std::string file = folder + "/BugReport.zip";
    std::mt19937_64 random(42);
    std::string bytes(kArchiveBytes, '\0');
    for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
      uint64_t v = random();
      std::memcpy(&bytes[i], &v, 8);
    }
    std::ofstream(file, std::ios::binary) << bytes;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(std::filesystem::path(ArchivePath()).parent_path(), ignored);
    });
    return file;
  }();
  return path;
}

void Report(benchmark::State& state, long long base) {
  state.counters["peak_MB"] = static_cast<double>(g_peak.load() - base) / 1e6;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kArchiveBytes));
}

void SmtpDelivery(benchmark::State& state, bool tls) {
  SmtpServerOptions options;
  options.KeepMessages = false;
  options.OfferStartTls = tls;
  SmtpTestServer server(options);
  ScopedEnv cert("SSL_CERT_FILE", server.CertificateFile().c_str());
  TSmtpMail mail;
  mail.Host = tls ? "localhost" : "127.0.0.1";
  mail.Port = static_cast<uint16_t>(server.Port());
  mail.Sender = "reports@example.com";
  mail.Recipients = "support@example.com";
  mail.Subject = "Bug report";
  mail.Body = "The report is attached.";
  mail.Attachments = {{ArchivePath(), "BugReport.zip"}};
  long long base = g_inUse.load();
  g_peak.store(base);
  t_counted = true;
  for (auto _ : state) {
    if (!SendSmtpMail(mail)) state.SkipWithError("delivery failed");
  }
  t_counted = false;
  Report(state, base);
}

void BM_SmtpDelivery10MB(benchmark::State& state) { SmtpDelivery(state, false); }
void BM_SmtpDelivery10MBStartTls(benchmark::State& state) { SmtpDelivery(state, true); }

void BM_MessageEncoding10MB(benchmark::State& state) {
  TMailMessage message;
  message.Attachments = {{ArchivePath(), "BugReport.zip"}};
  long long base = g_inUse.load();
  g_peak.store(base);
  t_counted = true;
  for (auto _ : state) {
    TMailMessageSource source(message);
    std::string piece;
    uint64_t total = 0;
    while (source.Next(piece)) total += piece.size();
    benchmark::DoNotOptimize(total);
  }
  t_counted = false;
  Report(state, base);
}

BENCHMARK(BM_SmtpDelivery10MB)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SmtpDelivery10MBStartTls)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_MessageEncoding10MB)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
