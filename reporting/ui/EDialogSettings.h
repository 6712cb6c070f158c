// What the dialogs keep in "TarvexLog.ini": section "Coordinates" (detailed-mode geometry and
// the list column widths) and section "User" (the e-mail address).
#pragma once

#include <string>
#include <vector>

#include "reporting/ui/EDialogProtocol.h"
#include "reporting/ui/EIniFile.h"

struct TDialogSettings {
  tarvex_dialog::TDialogGeometry Geometry;
  std::vector<int32_t> StackColumns, ModuleColumns, ProcessColumns;  // in column order
  std::string Email;
};

// Missing, non-numeric and out-of-range values take their defaults.
TDialogSettings ReadDialogSettings(const TIniData& ini);
// With show state 1 "Width", "Height", "Left" and "Top"; "WindowsState" always.
void WriteDialogGeometry(TIniData& ini, const tarvex_dialog::TDialogGeometry& geometry);
// Lists given empty are left alone.
void WriteDialogColumns(TIniData& ini, const std::vector<int32_t>& stack, const std::vector<int32_t>& modules,
                        const std::vector<int32_t>& processes);
void WriteDialogEmail(TIniData& ini, const std::string& email);
