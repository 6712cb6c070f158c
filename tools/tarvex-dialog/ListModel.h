// The rows of the detailed dialog's lists with their collapsible groups: nesting, indentation
// and which rows a toggle shows or hides. No drawing here.
#pragma once

#include <cstddef>
#include <vector>

#include "reporting/ui/EDialogProtocol.h"

namespace tarvex_dialog {

struct TListItem {
  TListRow Row;
  bool Empty = false;     // not a group and every cell blank: ends a run of groups
  bool Indented = false;  // added at nesting level 2 or deeper
  bool Expanded = true;
  bool Visible = true;
};

// The indent step: the width of as many blanks as reach 14 pixels.
int IndentSpaces(int spaceWidth);
inline int IndentStep(int spaceWidth) { return IndentSpaces(spaceWidth) * spaceWidth; }

class TListModel {
 public:
  // `spaceWidth`: the list font's blank, for the blanks put in front of an indented first cell.
  TListModel(std::vector<TListRow> rows, int spaceWidth);
  size_t Size() const { return items_.size(); }
  const TListItem& Item(size_t i) const { return items_[i]; }
  int Step() const { return step_; }
  // Flips a group row and shows or hides the rows after it up to the next empty row; a nested
  // group that is collapsed keeps its own rows hidden. Other rows: nothing.
  void Toggle(size_t i);
  std::vector<size_t> VisibleRows() const;

 private:
  std::vector<TListItem> items_;
  int step_ = 0;
};

// A click at (x, y) in a group row's rectangle falls on its sign.
bool OnGroupSign(bool firstRow, int indentStep, int x, int y);

// Right-aligned columns of the three lists.
bool RightAlignedColumn(int page, int column);

}  // namespace tarvex_dialog
