// The dialogs on the crash path, on a private Xvfb: from starting the helper to its "ready",
// and from the request to "shown", for the classic and the detailed dialog (the latter with a
// call stack of several thousand rows).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "reporting/ui/EDialogHelper.h"
#include "bench/DialogBenchRows.h"
#include "reporting/ui/EDialogProtocol.h"
#include "tests/support/XvfbServer.h"

namespace {

using namespace tarvex_dialog;
using Clock = std::chrono::steady_clock;
using dialog_bench::StackRows;

TDialogRequest Request(int kind, size_t stackRows) {
  TDialogRequest q;
  q.Kind = kind;
  q.Offered = dcSendBox | dcDetailsButton | dcEmailBox | dcReproduceBox | dcModulesPages | dcAssemblerPages;
  q.Checked = dcSendBox;
  q.Message = "Route not found";
  q.Texts = {{2, "Error."}, {3, "Error occurred"}, {4, "An error has occurred during program execution."}};
  if (kind == 3) {
    q.Style = dsStartDetailed;
    q.DetailPage = 1;  // the call stack in front
    q.StackRows = StackRows(stackRows / 50, 49);
  }
  return q;
}

// Start, request, "shown"; the times of the two waits go to the counters.
void ShowOnce(benchmark::State& state, const TDialogRequest& q) {
  double ready = 0, shown = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    std::string why;
    auto helper = TDialogHelper::Start(why);
    if (!helper) {
      state.SkipWithError(("the helper did not start: " + why).c_str());
      return;
    }
    const auto t1 = Clock::now();
    if (!helper->Send(q.Encode())) {
      state.SkipWithError("the request was not taken");
      return;
    }
    TMessage m;
    while (helper->Receive(m, 20000) == TDialogHelper::wtMessage && m.Kind != mkShown) {
    }
    if (m.Kind != mkShown) {
      state.SkipWithError("the dialog was not shown");
      return;
    }
    const auto t2 = Clock::now();
    ready += std::chrono::duration<double, std::milli>(t1 - t0).count();
    shown += std::chrono::duration<double, std::milli>(t2 - t1).count();
  }
  state.counters["ready_ms"] = benchmark::Counter(ready / static_cast<double>(state.iterations()));
  state.counters["shown_ms"] = benchmark::Counter(shown / static_cast<double>(state.iterations()));
}

void BM_ClassicShown(benchmark::State& state) { ShowOnce(state, Request(2, 0)); }
BENCHMARK(BM_ClassicShown)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_DetailedShown(benchmark::State& state) {
  ShowOnce(state, Request(3, static_cast<size_t>(state.range(0))));
}
BENCHMARK(BM_DetailedShown)->Arg(5000)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  TXvfbServer xvfb("1280x1024x24");
  if (!xvfb.Running()) {
    std::fprintf(stderr, "Xvfb is not available: nothing to measure\n");
    return 0;
  }
  ::setenv("DISPLAY", xvfb.Display().c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  ::unsetenv("WAYLAND_DISPLAY");
  SetDialogHelperCommand({TARVEX_DIALOG_PROGRAM});
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
