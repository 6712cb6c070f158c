// Rows of the detailed dialog's call-stack list for the dialog benchmarks.
#pragma once

#include <string>
#include <vector>

#include "reporting/ui/EDialogProtocol.h"

namespace dialog_bench {

// Groups of `perGroup` rows, each group ended by an empty row, like the call stack of a program
// with many threads.
inline std::vector<tarvex_dialog::TListRow> StackRows(size_t groups, size_t perGroup) {
  std::vector<tarvex_dialog::TListRow> rows;
  for (size_t g = 0; g < groups; ++g) {
    tarvex_dialog::TListRow group;
    group.Group = true;
    group.Header = "Running Thread: ID=" + std::to_string(1000 + g) + "; Priority=0";
    group.ColourClass = g == 0 ? 3 : 1;
    rows.push_back(group);
    for (size_t i = 0; i < perGroup; ++i) {
      tarvex_dialog::TListRow row;
      row.Cells = {"00007F0000" + std::to_string(100000 + i), "libbench.so", "Bench.cpp", "TBench",
                   "Procedure" + std::to_string(i), std::to_string(i + 1) + "[0]"};
      row.Image = tarvex_dialog::riSource;
      rows.push_back(row);
    }
    rows.push_back({{"", "", "", "", "", ""}, {}, false, 0, tarvex_dialog::riNone, -1});
  }
  return rows;
}

}  // namespace dialog_bench
