// The detailed dialog's lists (call stack, modules, processes): every row drawn by hand, group
// rows with their sign, colour and bold header; a click on the sign or a double click folds a
// group; a double click on a call-stack row with a line asks for a jump to the source.
#pragma once

#include <QTreeWidget>

#include "tools/tarvex-dialog/ListModel.h"
#include "tools/tarvex-dialog/WindowSupport.h"

namespace tarvex_dialog {

class TReportList final : public QTreeWidget {
  Q_OBJECT
 public:
  TReportList(QWidget* parent, int page, const std::vector<std::string>& headers, const std::vector<int32_t>& widths,
              std::vector<TListRow> rows, const TDialogFonts& fonts);
  std::vector<int32_t> ColumnWidths() const;
  const TListModel& Model() const { return model_; }
  void Toggle(size_t row);
  // The rectangle of a row in the viewport; empty when hidden.
  QRect RowRect(size_t row) const;

 signals:
  void JumpToSource(int32_t jumpId);

 protected:
  void drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  int page_;
  TListModel model_;
  QFont bold_;
};

// Default widths of the three lists, in column order.
std::vector<int32_t> DefaultColumnWidths(int page);

}  // namespace tarvex_dialog
