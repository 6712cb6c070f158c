// Web delivery figures: time to failure against a stalled server (against the idle limit), the
// resident memory while 200 MB go up (flat: the file is streamed), and the progress messages
// per phase of an upload and of the window.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <string>

#include "delivery/EWebTools.h"
#include "tests/support/WebTestServer.h"

namespace {

long StatusKb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(line.find(':') + 1));
  return -1;
}

// Resets the peak resident size to the current one (Linux 4.0 and later).
void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

TUploadRequest Upload(int port, const std::string& file) {
  TUploadRequest r;
  r.Host = "127.0.0.1";
  r.Port = static_cast<uint16_t>(port);
  r.Path = "upload.php";
  r.Files = {file};
  r.DisplayNames = {"BugReport.zip"};
  return r;
}

void BM_StalledServer(benchmark::State& state) {
  const int idle = static_cast<int>(state.range(0));
  SetWebSettings({5, idle, 60, "", 8u << 20});
  WebTempFolder folder;
  std::string file = folder.Write("BugReport.zip", std::string(4096, 'z'));
  SinkServer server(true);
  double worst = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    std::string text;
    int code = UploadHttp(Upload(server.Port(), file), text);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    worst = std::max(worst, s);
    if (code != 12002) state.SkipWithError("not a time-out");
  }
  state.counters["idle_limit_s"] = idle;
  state.counters["worst_to_failure_s"] = worst;
  state.counters["over_limit_s"] = worst - idle;
  SetWebSettings({});
}
BENCHMARK(BM_StalledServer)->Arg(1)->Arg(3)->Iterations(2)->Unit(benchmark::kSecond)->UseRealTime();

void BM_Upload200MB(benchmark::State& state) {
  SetWebSettings({5, 30, 600, "", 8u << 20});
  WebTempFolder folder;
  std::string file = folder.Path() + "/BugReport.zip";
  const off_t size = 200ll << 20;
  int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  if (fd < 0 || ::ftruncate(fd, size) != 0) state.SkipWithError("cannot make the file");
  ::close(fd);
  SinkServer server;
  long before = 0, peak = 0;
  for (auto _ : state) {
    ResetPeak();
    before = StatusKb("VmRSS:");
    std::string text;
    if (UploadHttp(Upload(server.Port(), file), text) != 0) state.SkipWithError(text.c_str());
    peak = StatusKb("VmHWM:");
  }
  state.counters["file_MB"] = 200;
  state.counters["rss_before_KB"] = static_cast<double>(before);
  state.counters["peak_rss_KB"] = static_cast<double>(peak);
  state.counters["growth_KB"] = static_cast<double>(peak - before);
  state.SetBytesProcessed(state.iterations() * size);
  SetWebSettings({});
}
BENCHMARK(BM_Upload200MB)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Counts what reaches the progress window, by step text.
class CountingUi : public IExceptionUi {
 public:
  void ShowExceptionDialog(const TTarvexExceptionRecord&, TDialogKind, bool, bool, TDialogState&) override {}
  void ShowReproduceRequest(TTarvexModuleOptions&) override {}
  bool DialogOnScreen() const override { return false; }
  void ShowSendDialog(const TTarvexModuleOptions&, bool) override { step = "open"; }
  void SetSendDialogStep(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mu);
    step = text;
    ++steps[text];
  }
  void SetSendDialogPosition(int) override {
    std::lock_guard<std::mutex> lock(mu);
    ++positions[step];
  }
  std::mutex mu;
  std::string step;
  std::map<std::string, int> steps, positions;
};

void BM_ProgressMessages(benchmark::State& state) {
  const int64_t megabytes = state.range(0);
  auto ui = std::make_shared<CountingUi>();
  SetExceptionUi(ui);
  WebTempFolder folder;
  std::string file = folder.Path() + "/BugReport.zip";
  int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  if (fd < 0 || ::ftruncate(fd, megabytes << 20) != 0) state.SkipWithError("cannot make the file");
  ::close(fd);
  SinkServer server;
  TTarvexModuleOptions options;
  options.SetWebMode(wmHttp);
  options.SetWebAddress("http://127.0.0.1/upload.php");
  options.SetWebServerPort(static_cast<uint32_t>(server.Port()));
  options.SetSendFlags(TSendFlags{sfShowSendProgress});
  TDeliveryContext context;
  context.Options = &options;
  context.Attachments = {file};
  for (auto _ : state)
    if (!SendWebReport(context)) state.SkipWithError("upload failed");
  const double runs = static_cast<double>(state.iterations());
  for (const auto& [text, n] : ui->steps) state.counters["steps " + text] = n / runs;
  for (const auto& [text, n] : ui->positions) state.counters["positions " + text] = n / runs;
  SetExceptionUi(nullptr);
}
BENCHMARK(BM_ProgressMessages)->Arg(1)->Arg(50)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
