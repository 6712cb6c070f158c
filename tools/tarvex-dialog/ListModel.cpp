#include "tools/tarvex-dialog/ListModel.h"

#include <algorithm>

#include "tools/tarvex-dialog/DialogLayout.h"

namespace tarvex_dialog {

namespace {
bool Blank(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }
}  // namespace

int IndentSpaces(int spaceWidth) {
  if (spaceWidth <= 0) return 0;
  return (14 + spaceWidth - 1) / spaceWidth;
}

TListModel::TListModel(std::vector<TListRow> rows, int spaceWidth) : step_(IndentStep(spaceWidth)) {
  int level = 0;
  items_.reserve(rows.size());
  for (TListRow& row : rows) {
    TListItem item;
    item.Empty = !row.Group && std::all_of(row.Cells.begin(), row.Cells.end(), Blank);
    if (item.Empty) level = 0;
    if (level >= 2 && !row.Group) {
      item.Indented = true;
      if (!row.Cells.empty()) row.Cells[0].insert(0, static_cast<size_t>(IndentSpaces(spaceWidth)), ' ');
    }
    if (row.Group) ++level;
    item.Row = std::move(row);
    items_.push_back(std::move(item));
  }
}

void TListModel::Toggle(size_t i) {
  if (i >= items_.size() || !items_[i].Row.Group) return;
  TListItem& group = items_[i];
  group.Expanded = !group.Expanded;
  for (size_t j = i + 1; j < items_.size() && !items_[j].Empty; ++j) {
    items_[j].Visible = group.Expanded;
    if (items_[j].Row.Group && !items_[j].Expanded) break;
  }
}

std::vector<size_t> TListModel::VisibleRows() const {
  std::vector<size_t> out;
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].Visible) out.push_back(i);
  return out;
}

bool OnGroupSign(bool firstRow, int indentStep, int x, int y) {
  const int left = firstRow ? 0 : indentStep;
  return x >= left + 2 && x <= left + 12 && y >= 2 && y <= 12;
}

bool RightAlignedColumn(int page, int column) {
  switch (page) {
    case pgCallStack: return column == 5;
    case pgModules: return column == 3 || column == 4;
    case pgProcesses: return column >= 3 && column <= 6;
    default: return false;
  }
}

}  // namespace tarvex_dialog
