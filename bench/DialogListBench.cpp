// Folding and unfolding a group of the detailed dialog's list with thousands of rows, repaint
// included, on a private Xvfb.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/DialogBenchRows.h"
#include "tests/support/XvfbServer.h"
#include "tools/tarvex-dialog/ReportList.h"

namespace {

using namespace tarvex_dialog;
using dialog_bench::StackRows;

// Folding the first group of a list hides almost every row; unfolding shows them again. The
// repaint that follows is part of it.
void BM_FoldList(benchmark::State& state) {
  const size_t rows = static_cast<size_t>(state.range(0));
  const TDialogFonts fonts = TDialogFonts::Make();
  TReportList list(nullptr, 1, {"Address", "Module", "Unit", "Class", "Procedure/Method", "Line"}, {},
                   StackRows(1, rows), fonts);
  list.resize(740, 400);
  list.show();
  QApplication::processEvents();
  for (auto _ : state) {
    list.Toggle(0);
    list.viewport()->repaint();
    list.Toggle(0);
    list.viewport()->repaint();
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_FoldList)->Arg(1000)->Arg(5000)->Arg(20000)->Unit(benchmark::kMillisecond);

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
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
