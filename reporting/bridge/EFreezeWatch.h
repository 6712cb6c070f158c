// The freeze watch loop: asks a probe round after round and calls the report when the probe
// says the GUI thread froze; after a report it goes on watching. The probe and the report are
// the caller's, so the loop runs without a GUI and without the processing flow.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "reporting/options/EProgramKind.h"

struct TFreezeWatchTiming {
  int WaitMs = 50;   // how long one probe waits for the answer
  int RestMs = 300;  // the pause after an answer
};

class TFreezeWatch {
 public:
  using TProbe = std::function<TFreezeProbeResult(int waitMs, int timeoutMs)>;
  using TTimeout = std::function<int()>;  // read at each round: the options may change
  using TReport = std::function<void()>;

  TFreezeWatch(TProbe probe, TTimeout timeoutMs, TReport report, TFreezeWatchTiming timing = {});
  ~TFreezeWatch();
  TFreezeWatch(const TFreezeWatch&) = delete;
  TFreezeWatch& operator=(const TFreezeWatch&) = delete;

  // The thread is the layer's own: never registered, paused or scanned.
  void Start();
  // Sets the stop flag and waits for the thread.
  void Stop();
  bool Running() const { return thread_.joinable(); }

 private:
  void Run();
  // Sleeps up to `ms`; false when told to stop.
  bool Rest(int ms);

  TProbe probe_;
  TTimeout timeout_;
  TReport report_;
  TFreezeWatchTiming timing_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};
