#include "tools/tarvex-dialog/ReportList.h"

#include <QApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>

namespace tarvex_dialog {

namespace {

const QColor kSelected(204, 218, 241), kUnselected(Qt::white), kSelectedFrame(49, 106, 197),
    kUnselectedFrame(152, 181, 226), kGroupLine(123, 164, 224), kSeparator(206, 203, 194);

QColor GroupColour(int colourClass) {
  if (colourClass == 1) return QColor(0, 0, 128);
  if (colourClass == 3) return QColor(128, 0, 0);
  return QColor(96, 96, 96);
}

const QPixmap& RowImage(int image) {
  static const QPixmap images[] = {DialogBitmap("library.png"), DialogBitmap("package.png"),
                                   DialogBitmap("application.png"), DialogBitmap("source.png")};
  return images[image];
}

// The 13 x 13 sign: a box with a minus (expanded) or a plus (collapsed).
void DrawSign(QPainter* p, int x, int y, bool expanded) {
  static const QPixmap plus = DialogBitmap("plus.png"), minus = DialogBitmap("minus.png");
  p->drawPixmap(x, y, expanded ? minus : plus);
}

}  // namespace

std::vector<int32_t> DefaultColumnWidths(int page) {
  switch (page) {
    case pgCallStack: return {89, 92, 126, 126, 200, 61};
    case pgModules: return {80, 96, 175, 50, 54, 80, 712};
    case pgProcesses: return {48, 134, 232, 56, 57, 47, 52, 330};
    default: return {};
  }
}

TReportList::TReportList(QWidget* parent, int page, const std::vector<std::string>& headers,
                         const std::vector<int32_t>& widths, std::vector<TListRow> rows, const TDialogFonts& fonts)
    : QTreeWidget(parent), page_(page), model_(std::move(rows), QFontMetrics(fonts.List).horizontalAdvance(' ')) {
  setFont(fonts.List);
  bold_ = fonts.List;
  bold_.setWeight(QFont::Bold);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setIndentation(0);
  header()->setStretchLastSection(false);  // the widths are the user's, kept in the settings
  QPalette p = palette();
  p.setColor(QPalette::Base, Qt::white);
  p.setColor(QPalette::Text, Qt::black);
  setPalette(p);

  QStringList labels;
  for (const std::string& h : headers) labels << Q(h);
  setColumnCount(static_cast<int>(labels.size()));
  setHeaderLabels(labels);
  const std::vector<int32_t> defaults = DefaultColumnWidths(page);
  for (int c = 0; c < columnCount(); ++c) {
    const size_t i = static_cast<size_t>(c);
    const int w = i < widths.size() && widths[i] > 0 ? widths[i] : i < defaults.size() ? defaults[i] : 80;
    header()->resizeSection(c, w);
    if (RightAlignedColumn(page, c)) headerItem()->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
  }
  // Rows as high as the 16 x 16 images need.
  const int rowHeight = std::max(QFontMetrics(fonts.List).height() + 3, 18);
  QList<QTreeWidgetItem*> items;
  for (size_t i = 0; i < model_.Size(); ++i) {
    const TListRow& row = model_.Item(i).Row;
    auto* item = new QTreeWidgetItem;
    item->setSizeHint(0, QSize(0, rowHeight));
    // The texts are for accessibility and tests; drawRow paints the row itself.
    if (row.Group) item->setText(0, Q(row.Header));
    for (size_t c = 0; c < row.Cells.size() && c < static_cast<size_t>(columnCount()); ++c)
      if (!row.Group) item->setText(static_cast<int>(c), Q(row.Cells[c]));
    items << item;
  }
  addTopLevelItems(items);
}

std::vector<int32_t> TReportList::ColumnWidths() const {
  std::vector<int32_t> out;
  for (int c = 0; c < columnCount(); ++c) out.push_back(header()->sectionSize(c));
  return out;
}

QRect TReportList::RowRect(size_t row) const {
  const QTreeWidgetItem* item = topLevelItem(static_cast<int>(row));
  if (!item || item->isHidden()) return {};
  const QRect r = visualItemRect(item);
  return QRect(0, r.y(), viewport()->width(), r.height());
}

void TReportList::Toggle(size_t row) {
  if (row >= model_.Size() || !model_.Item(row).Row.Group) return;
  model_.Toggle(row);
  setUpdatesEnabled(false);
  for (size_t i = row + 1; i < model_.Size(); ++i) topLevelItem(static_cast<int>(i))->setHidden(!model_.Item(i).Visible);
  setUpdatesEnabled(true);
  viewport()->update();
}

void TReportList::drawRow(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  const size_t i = static_cast<size_t>(index.row());
  if (i >= model_.Size()) return;
  const TListItem& item = model_.Item(i);
  const TListRow& row = item.Row;
  const QRect r = option.rect;
  const bool selected = selectionModel()->isSelected(index);
  const int indent = item.Indented || (row.Group && row.ColourClass == 0) ? model_.Step() : 0;
  const int left = r.left();
  p->save();
  p->fillRect(QRect(left + indent + 2, r.top(), r.right() - left - indent - 1, r.height()), selected ? kSelected : kUnselected);
  if (row.Group) {
    p->fillRect(QRect(left + indent, r.bottom() - 1, r.width() - indent, 2), kGroupLine);
    p->setFont(bold_);
    p->setPen(GroupColour(row.ColourClass));
    const QRect text(left + indent + 15, r.top(), r.right() - left - indent - 15, r.height());
    p->drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                QFontMetrics(bold_).elidedText(Q(row.Header), Qt::ElideRight, text.width()));
    DrawSign(p, left + indent + 1, r.top() + 1, item.Expanded);
  } else {
    if (row.Image >= riLibrary && row.Image <= riSource)
      p->drawPixmap(left + indent + 2, r.top() + (r.height() - 16) / 2, RowImage(row.Image));
    p->setFont(font());
    p->setPen(Qt::black);
    const QFontMetrics fm(font());
    for (int c = 0; c < columnCount() && static_cast<size_t>(c) < row.Cells.size(); ++c) {
      const int start = header()->sectionViewportPosition(c), end = start + header()->sectionSize(c);
      const QRect cell = c == 0 ? QRect(start + 20, r.top(), end - 2 - start - 20, r.height())
                                : QRect(start + 6, r.top(), end - 6 - start - 6, r.height());
      if (cell.width() <= 0) continue;
      const Qt::Alignment align = RightAlignedColumn(page_, c) ? Qt::AlignRight : Qt::AlignLeft;
      p->drawText(cell, align | Qt::AlignVCenter | Qt::TextSingleLine,
                  fm.elidedText(Q(row.Cells[static_cast<size_t>(c)]), Qt::ElideRight, cell.width()));
    }
    if (!item.Empty) p->fillRect(QRect(left, r.bottom(), r.width(), 1), kSeparator);
  }
  if (currentIndex().row() == index.row()) {
    p->setPen(selected && hasFocus() ? kSelectedFrame : kUnselectedFrame);
    p->setBrush(Qt::NoBrush);
    p->drawRect(QRect(left + indent + 2, r.top(), r.right() - left - indent - 2, r.height() - 1));
  }
  p->restore();
}

void TReportList::mousePressEvent(QMouseEvent* event) {
  const QModelIndex index = indexAt(event->position().toPoint());
  if (index.isValid() && event->button() == Qt::LeftButton) {
    const size_t i = static_cast<size_t>(index.row());
    const QRect r = RowRect(i);
    if (model_.Item(i).Row.Group &&
        OnGroupSign(i == 0, model_.Step(), event->position().toPoint().x() - r.left(),
                    event->position().toPoint().y() - r.top()))
      Toggle(i);
  }
  QTreeWidget::mousePressEvent(event);
}

void TReportList::mouseDoubleClickEvent(QMouseEvent* event) {
  const QModelIndex index = indexAt(event->position().toPoint());
  if (index.isValid() && event->button() == Qt::LeftButton) {
    const size_t i = static_cast<size_t>(index.row());
    const TListRow& row = model_.Item(i).Row;
    if (row.JumpId >= 0)
      emit JumpToSource(row.JumpId);
    else
      Toggle(i);
    event->accept();
    return;
  }
  QTreeWidget::mouseDoubleClickEvent(event);
}

}  // namespace tarvex_dialog
