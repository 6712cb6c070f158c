#include "reporting/bridge/EFreezeWatch.h"

#include "reporting/interception/EThreads.h"

TFreezeWatch::TFreezeWatch(TProbe probe, TTimeout timeoutMs, TReport report, TFreezeWatchTiming timing)
    : probe_(std::move(probe)), timeout_(std::move(timeoutMs)), report_(std::move(report)), timing_(timing) {}

TFreezeWatch::~TFreezeWatch() { Stop(); }

void TFreezeWatch::Start() {
  if (thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = false;
  }
  TLayerThreadScope own;
  thread_ = std::thread([this] { Run(); });
}

void TFreezeWatch::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool TFreezeWatch::Rest(int ms) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; });
}

void TFreezeWatch::Run() {
  while (Rest(0)) {
    TFreezeProbeResult r = fpNotWatched;
    try {
      r = probe_(timing_.WaitMs, timeout_());
      if (r == fpFrozen) report_();
    } catch (...) {
      // A failing report must not end the watch: the next freeze is reported again.
    }
    // A probe that answered at once (or had nothing to watch) would otherwise spin.
    if (r == fpAnswered && !Rest(timing_.RestMs)) break;
    if (r == fpNotWatched && !Rest(timing_.WaitMs)) break;
  }
}
