#include "reporting/ui/EDialogSettings.h"
#include "runtime/NoDestroy.h"

#include <climits>

namespace {

constexpr const char* kCoordinates = "Coordinates";
constexpr int32_t kMaxExtent = 32767;

// By key number. The first column of each list holds a 16-digit address or handle, so it is
// wider than for 8 digits.
const TNoDestroy<std::vector<int32_t>> kStackDefaults(std::initializer_list<int32_t>{145, 92, 126, 126, 200, 61});
const TNoDestroy<std::vector<int32_t>> kModuleDefaults(std::initializer_list<int32_t>{136, 96, 175, 50, 54, 712, 80});
const TNoDestroy<std::vector<int32_t>> kProcessDefaults(std::initializer_list<int32_t>{48, 134, 232, 56, 57, 47, 52, 330});

// The module list's sixth column ("Modified") is stored under ColMod6 and the seventh ("Path")
// under ColMod5: the files written by earlier versions keep their meaning.
size_t KeyNumber(const char* prefix, size_t column) {
  return std::string(prefix) == "ColMod" && (column == 5 || column == 6) ? 11 - column : column;
}
std::string ColumnKey(const char* prefix, size_t column) { return prefix + std::to_string(KeyNumber(prefix, column)); }

std::vector<int32_t> ReadColumns(const TIniData& ini, const char* prefix, const std::vector<int32_t>& defaults) {
  std::vector<int32_t> widths;
  for (size_t i = 0; i < defaults.size(); ++i)
    widths.push_back(ini.Int(kCoordinates, ColumnKey(prefix, i), defaults[KeyNumber(prefix, i)], 0, kMaxExtent));
  return widths;
}

void WriteColumns(TIniData& ini, const char* prefix, const std::vector<int32_t>& widths, size_t count) {
  for (size_t i = 0; i < widths.size() && i < count; ++i)
    ini.Set(kCoordinates, ColumnKey(prefix, i), std::to_string(widths[i]));
}

}  // namespace

TDialogSettings ReadDialogSettings(const TIniData& ini) {
  TDialogSettings s;
  tarvex_dialog::TDialogGeometry& g = s.Geometry;
  g.Width = ini.Int(kCoordinates, "Width", 745, 1, kMaxExtent);
  g.Height = ini.Int(kCoordinates, "Height", 468, 1, kMaxExtent);
  // INT32_MIN cannot be typed as a position, so it marks "centred".
  const int32_t left = ini.Int(kCoordinates, "Left", INT32_MIN, -kMaxExtent, kMaxExtent);
  const int32_t top = ini.Int(kCoordinates, "Top", INT32_MIN, -kMaxExtent, kMaxExtent);
  if (left != INT32_MIN && top != INT32_MIN) g.Left = left, g.Top = top;
  const int32_t state = ini.Int(kCoordinates, "WindowsState", 1, 1, 6);
  g.WindowsState = state == 3 || state == 6 ? state : 1;
  s.StackColumns = ReadColumns(ini, "Col", *kStackDefaults);
  s.ModuleColumns = ReadColumns(ini, "ColMod", *kModuleDefaults);
  s.ProcessColumns = ReadColumns(ini, "ColPro", *kProcessDefaults);
  s.Email = ini.String("User", "Email");
  return s;
}

void WriteDialogGeometry(TIniData& ini, const tarvex_dialog::TDialogGeometry& g) {
  if (g.WindowsState == 1) {
    ini.Set(kCoordinates, "Width", std::to_string(g.Width));
    ini.Set(kCoordinates, "Height", std::to_string(g.Height));
    if (g.Left) ini.Set(kCoordinates, "Left", std::to_string(*g.Left));
    if (g.Top) ini.Set(kCoordinates, "Top", std::to_string(*g.Top));
  }
  ini.Set(kCoordinates, "WindowsState", std::to_string(g.WindowsState));
}

void WriteDialogColumns(TIniData& ini, const std::vector<int32_t>& stack, const std::vector<int32_t>& modules,
                        const std::vector<int32_t>& processes) {
  WriteColumns(ini, "Col", stack, kStackDefaults->size());
  WriteColumns(ini, "ColMod", modules, kModuleDefaults->size());
  WriteColumns(ini, "ColPro", processes, kProcessDefaults->size());
}

void WriteDialogEmail(TIniData& ini, const std::string& email) { ini.Set("User", "Email", email); }
