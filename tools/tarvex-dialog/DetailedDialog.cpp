#include "tools/tarvex-dialog/DetailedDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QPushButton>
#include <QSizeGrip>
#include <QVBoxLayout>

namespace tarvex_dialog {

namespace {

template <typename T>
T* Make(QWidget* parent, int id, const QFont& font) {
  T* w = new T(parent);
  w->setObjectName(ControlName(id));
  w->setFont(font);
  return w;
}

int ListIndex(int page) { return page == pgCallStack ? 0 : page == pgModules ? 1 : page == pgProcesses ? 2 : -1; }

}  // namespace

TDetailedDialog::TDetailedDialog(const TDialogRequest& q)
    : TFramedWindow(Q(RequestText(q, 3)), q.Style & dsOwnLook, q.Style & dsTopMost, q.Style & dsOwnLook),
      request_(q),
      fonts_(TDialogFonts::Make()),
      geometry_(q.Geometry) {
  QWidget* body = Body();
  auto* icon = Make<QLabel>(body, kIconId, fonts_.Message);
  icon->setPixmap(ErrorImage());
  auto* header = Make<QLabel>(body, 101, fonts_.Message);
  header->setWordWrap(true);
  header->setAlignment(Qt::AlignCenter);
  header->setTextFormat(Qt::PlainText);
  tabs_ = Make<QTabWidget>(body, 1000, fonts_.Message);
  for (int page : TabPages(q.Offered)) {
    auto* holder = new QWidget;
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);
    tabs_->addTab(holder, Q(RequestText(q, 5 + 2 * page)));
  }
  auto* ok = Make<QPushButton>(body, 102, fonts_.Message);
  auto* terminate = Make<QPushButton>(body, 103, fonts_.Message);
  auto* details = Make<QPushButton>(body, 104, fonts_.Message);
  auto* custom = Make<QPushButton>(body, 105, fonts_.Message);
  for (QPushButton* b : {ok, terminate, details, custom}) b->setAutoDefault(false);
  ok->setDefault(true);
  auto* send = Make<QCheckBox>(body, 3000, fonts_.Message);
  auto* shot = Make<QCheckBox>(body, 4000, fonts_.Message);
  auto* copy = Make<QCheckBox>(body, 5000, fonts_.Message);
  copy->setLayoutDirection(Qt::RightToLeft);  // text on the left of its box, against the right edge
  auto* link = new TLinkLabel(body, fonts_.BoldUnderlined, QColor(0, 0, 128));
  link->setObjectName(ControlName(kSupportLinkId));
  send->setChecked(q.Checked & dcSendBox);
  shot->setChecked(q.Checked & dcScreenshotBox);
  shot->setEnabled(send->isChecked());
  copy->setChecked(false);

  connect(ok, &QPushButton::clicked, this, [this] { Finish(chOk); });
  connect(terminate, &QPushButton::clicked, this, [this] { Finish(chTerminate); });
  connect(details, &QPushButton::clicked, this, [this] { SetDetailed(!detailed_); });
  connect(custom, &QPushButton::clicked, this, [this] {
    Body()->setEnabled(false);
    if (Events().CustomPressed) Events().CustomPressed();
  });
  connect(send, &QCheckBox::toggled, shot, &QWidget::setEnabled);
  connect(link, &TLinkLabel::Clicked, this, [this] {
    // The browser must be able to come in front of us.
    if (windowFlags() & Qt::WindowStaysOnTopHint) {
      setWindowFlag(Qt::WindowStaysOnTopHint, false);
      show();
    }
    OpenUrl(request_.SupportAddress);
  });
  connect(tabs_, &QTabWidget::currentChanged, this, [this](int tab) { ShowPage(tab); });
  auto* autoClose = new TAutoClose(q.AutoCloseSeconds, this);
  connect(autoClose, &TAutoClose::Expired, this, [this] { Finish(chAutoClose); });

  if (OwnLook()) {
    grip_ = new QSizeGrip(body);
    grip_->resize(12, 12);
  }
  const int first = TabOfPage(q.DetailPage, q.Offered);
  tabs_->setCurrentIndex(first);
  ShowPage(first);
  detailed_ = q.Style & dsStartDetailed;
  ApplyMode();
  ok->setFocus();
  if (q.Style & dsBeep) QApplication::beep();
}

QWidget* TDetailedDialog::Control(int id) const { return Body()->findChild<QWidget*>(ControlName(id)); }

void TDetailedDialog::SetDetailed(bool detailed) {
  if (detailed == detailed_) return;
  detailed_ = detailed;
  ApplyMode();
}

void TDetailedDialog::ApplyMode() {
  placing_ = true;
  const TQtMetrics metrics(fonts_);
  const int band = DetailedBandHeight(request_.Offered);
  if (!detailed_) {
    setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowMinimized));
    const TCompactSize size = DetailedCompactSize(request_, metrics, Frame());
    SetBodySize(size.ClientWidth, size.ClientHeight, true);
    CentreOnWorkArea();
  } else {
    const TRect place = DetailedPlacement(geometry_, band, WorkArea());
    SetBodySize(place.W, place.H, false);
    move(place.X, place.Y);
    if (geometry_.WindowsState == 3) setWindowState(windowState() | Qt::WindowMaximized);
    if (geometry_.WindowsState == 6) setWindowState(windowState() | Qt::WindowMinimized);
  }
  const bool maximisable = detailed_ && !OwnLook();
  if (maximisable != bool(windowFlags() & Qt::WindowMaximizeButtonHint)) {
    const bool wasVisible = isVisible();
    setWindowFlag(Qt::WindowMaximizeButtonHint, maximisable);
    if (wasVisible) show();  // changing the flags hides the window
  }
  if (grip_) grip_->setVisible(detailed_);
  placing_ = false;
  BodyResized();
}

void TDetailedDialog::BodyResized() {
  if (!tabs_) return;  // still being built
  const TQtMetrics metrics(fonts_);
  layout_ = DetailedLayout(request_, metrics, Frame(), detailed_, Body()->width(), Body()->height());
  for (const TControl& c : layout_.Controls) Apply(Control(c.Id), c);
  if (auto* icon = qobject_cast<QLabel*>(Control(kIconId))) icon->setPixmap(ErrorImage());
  if (grip_) grip_->move(Body()->width() - grip_->width(), Body()->height() - grip_->height());
  if (isVisible() && !placing_) DumpGeometry(this);  // scripted clicks follow the new layout
  if (!detailed_ || placing_ || !isVisible()) return;
  geometryRecorded_ = true;
  if (windowState() & Qt::WindowMaximized) {
    geometry_.WindowsState = 3;
  } else if (windowState() & Qt::WindowMinimized) {
    geometry_.WindowsState = 6;
  } else {
    geometry_.WindowsState = 1;
    geometry_.Width = Body()->width();
    geometry_.Height = Body()->height() - DetailedBandHeight(request_.Offered);
  }
}

void TDetailedDialog::moveEvent(QMoveEvent* event) {
  TFramedWindow::moveEvent(event);
  if (!detailed_ || placing_ || !isVisible() || (windowState() & Qt::WindowMaximized)) return;
  geometry_.Left = x();
  geometry_.Top = y();
}

void TDetailedDialog::KeepColumns() {
  if (!page_ || !page_->List()) return;
  const int i = ListIndex(page_->Page());
  if (i >= 0) columns_[i] = page_->List()->ColumnWidths();
}

void TDetailedDialog::ShowPage(int tab) {
  const int page = PageOfTab(tab, request_.Offered);
  if (page < 0 || (page_ && page_->Page() == page)) return;
  KeepColumns();
  delete page_;
  page_ = nullptr;
  QWidget* holder = tabs_->widget(tab);
  page_ = new TDetailPage(holder, page, request_, fonts_);
  holder->layout()->addWidget(page_);
  connect(page_, &TDetailPage::JumpToSource, this, [this](int32_t id) {
    if (Events().JumpToSource) Events().JumpToSource(id);
  });
  page_->show();
}

void TDetailedDialog::CustomAnswer(bool close) {
  Body()->setEnabled(true);
  if (close) Finish(chCustom);
}

void TDetailedDialog::closeEvent(QCloseEvent* event) {
  if (!finished_) Finish(chCloseButton);
  event->accept();
}

void TDetailedDialog::Finish(TCloseHow how) {
  if (finished_) return;
  finished_ = true;
  KeepColumns();
  TDialogResult result;
  result.How = how;
  auto checked = [this](int id) { return static_cast<QCheckBox*>(Control(id))->isChecked(); };
  if (checked(3000)) result.Checked |= dcSendBox;
  if (checked(4000)) result.Checked |= dcScreenshotBox;
  if (checked(5000)) result.Checked |= dcCopyBox;
  result.GeometryRecorded = geometryRecorded_;
  result.Geometry = geometry_;
  result.StackColumns = columns_[0];
  result.ModuleColumns = columns_[1];
  result.ProcessColumns = columns_[2];
  if (Events().DialogResult) Events().DialogResult(result);
  done(how);
}

}  // namespace tarvex_dialog
