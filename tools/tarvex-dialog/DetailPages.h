// The pages of the detailed dialog: a heading over a rich-text view (general report, assembler,
// CPU) or over one of the lists.
#pragma once

#include <QTextEdit>

#include "tools/tarvex-dialog/ReportList.h"
#include "tools/tarvex-dialog/RichText.h"

namespace tarvex_dialog {

// The rich text, read with the subset reader, into a document in the fixed font.
void FillRichText(QTextEdit* view, const std::string& rtf, const QFont& fixed);

class TDetailPage final : public QWidget {
  Q_OBJECT
 public:
  TDetailPage(QWidget* parent, int page, const TDialogRequest& request, const TDialogFonts& fonts);
  int Page() const { return page_; }
  TReportList* List() const { return list_; }   // null on rich-text pages
  QTextEdit* Rich() const { return rich_; }     // null on list pages

 signals:
  void JumpToSource(int32_t jumpId);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  int page_;
  const TDialogFonts& fonts_;
  QLabel* heading_ = nullptr;
  QWidget* content_ = nullptr;
  TReportList* list_ = nullptr;
  QTextEdit* rich_ = nullptr;
};

}  // namespace tarvex_dialog
