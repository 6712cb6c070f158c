// The watch loop with a scripted probe: every freeze the probe announces is reported, and a
// report that fails does not end the watch.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "reporting/bridge/EFreezeWatch.h"

namespace {

TEST(FreezeWatch, ReportsEachFreezeAndSurvivesAFailingReport) {
  const std::vector<TFreezeProbeResult> script = {fpNotWatched, fpAnswered, fpWaiting, fpFrozen, fpWaiting,
                                                  fpAnswered,   fpWaiting,  fpFrozen,  fpAnswered};
  std::atomic<size_t> round{0};
  std::atomic<int> reports{0};
  std::atomic<int> lastTimeout{0};
  TFreezeWatch watch(
      [&](int, int timeoutMs) {
        lastTimeout = timeoutMs;
        size_t i = round++;
        return i < script.size() ? script[i] : fpNotWatched;
      },
      [] { return 1234; },
      [&] {
        if (++reports == 1) throw std::runtime_error("the first report fails");
      },
      TFreezeWatchTiming{1, 1});
  watch.Start();
  EXPECT_TRUE(watch.Running());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (round < script.size() + 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  watch.Stop();
  EXPECT_FALSE(watch.Running());
  EXPECT_EQ(reports, 2);
  EXPECT_EQ(lastTimeout, 1234);
}

TEST(FreezeWatch, StopEndsARestAtOnce) {
  TFreezeWatch watch([](int, int) { return fpAnswered; }, [] { return 1000; }, [] {}, TFreezeWatchTiming{1, 60000});
  watch.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  watch.Stop();  // would hang for a minute if the rest ignored the stop flag
  EXPECT_FALSE(watch.Running());
}

}  // namespace
