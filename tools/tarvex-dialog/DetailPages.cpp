#include "tools/tarvex-dialog/DetailPages.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace tarvex_dialog {

void FillRichText(QTextEdit* view, const std::string& rtf, const QFont& fixed) {
  const TRichDocument doc = ParseRichText(rtf);
  auto* document = new QTextDocument(view);
  document->setDefaultFont(fixed);
  QTextCursor cursor(document);
  const double pixelsPerTwip = view->logicalDpiX() / 1440.0;
  for (size_t i = 0; i < doc.Paragraphs.size(); ++i) {
    const TRichParagraph& paragraph = doc.Paragraphs[i];
    QTextBlockFormat block;
    QList<QTextOption::Tab> tabs;
    for (int twips : paragraph.TabStopsTwips) tabs << QTextOption::Tab(twips * pixelsPerTwip, QTextOption::LeftTab);
    block.setTabPositions(tabs);
    if (i == 0)
      cursor.setBlockFormat(block);
    else
      cursor.insertBlock(block);
    for (const TRichRun& run : paragraph.Runs) {
      QTextCharFormat format;
      format.setFont(fixed);
      format.setFontWeight(run.Bold ? QFont::Bold : QFont::Normal);
      format.setForeground(run.AutoColour ? QColor(Qt::black) : QColor(QRgb(run.Colour)));
      cursor.insertText(Q(run.Text), format);
    }
  }
  view->setDocument(document);
}

namespace {

std::vector<std::string> Headers(const TDialogRequest& q, int first, int count) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(RequestText(q, first + i));
  return out;
}

}  // namespace

TDetailPage::TDetailPage(QWidget* parent, int page, const TDialogRequest& q, const TDialogFonts& fonts)
    : QWidget(parent), page_(page), fonts_(fonts) {
  setObjectName(QString("page%1").arg(page));
  heading_ = new QLabel(Q(RequestText(q, 6 + 2 * page)), this);
  heading_->setObjectName(PageControlName(102));
  heading_->setFont(fonts.Message);
  switch (page) {
    case pgCallStack:
      list_ = new TReportList(this, page, Headers(q, 92, 6), q.StackColumns, q.StackRows, fonts);
      break;
    case pgModules:
      list_ = new TReportList(this, page, Headers(q, 126, 7), q.ModuleColumns, q.ModuleRows, fonts);
      break;
    case pgProcesses:
      list_ = new TReportList(this, page, Headers(q, 133, 8), q.ProcessColumns, q.ProcessRows, fonts);
      break;
    default: {
      rich_ = new QTextEdit(this);
      rich_->setReadOnly(true);
      rich_->setLineWrapMode(QTextEdit::NoWrap);
      rich_->setFont(fonts.Fixed);
      QPalette p = rich_->palette();
      p.setColor(QPalette::Base, Qt::white);
      p.setColor(QPalette::Text, Qt::black);
      rich_->setPalette(p);
      FillRichText(rich_, page == pgGeneral ? q.GeneralRich : page == pgAssembler ? q.AssemblerRich : q.CpuRich,
                   fonts.Fixed);
      break;
    }
  }
  content_ = list_ ? static_cast<QWidget*>(list_) : rich_;
  content_->setObjectName(PageControlName(103));
  if (list_) connect(list_, &TReportList::JumpToSource, this, &TDetailPage::JumpToSource);
}

void TDetailPage::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const TQtMetrics metrics(fonts_);
  const TPageLayout l = PageLayout(width(), height(), metrics);
  heading_->setGeometry(ToQRect(l.Heading));
  content_->setGeometry(ToQRect(l.Content));
}

}  // namespace tarvex_dialog
