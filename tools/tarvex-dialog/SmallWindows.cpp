#include "tools/tarvex-dialog/SmallWindows.h"

#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

namespace tarvex_dialog {

// ---- Reproduce request ----------------------------------------------------------------------------

TReproduceDialog::TReproduceDialog(const TReproduceRequest& q)
    : TFramedWindow(Q(q.Caption), q.Style & dsOwnLook, q.Style & dsTopMost, q.Style & dsOwnLook),
      fonts_(TDialogFonts::Make()) {
  const TQtMetrics metrics(fonts_);
  layout_ = ReproduceLayout(q, metrics, Frame());
  auto* label = new QLabel(Body());
  label->setObjectName(ControlName(100));
  label->setFont(fonts_.Message);
  label->setWordWrap(true);
  label->setTextFormat(Qt::PlainText);
  auto* box = new QPlainTextEdit(Body());
  box->setObjectName(ControlName(101));
  box->setFont(fonts_.Fixed);
  box->setPlainText(Q(q.Text));
  box->setTabChangesFocus(true);
  auto* ok = new QPushButton(Body());
  ok->setObjectName(ControlName(2));
  ok->setFont(fonts_.Message);
  ok->setDefault(true);
  for (const TControl& c : layout_.Controls) Apply(Control(c.Id), c);
  connect(ok, &QPushButton::clicked, this, [this] { Finish(); });
  auto* autoClose = new TAutoClose(q.AutoCloseSeconds, this);
  connect(autoClose, &TAutoClose::Expired, this, [this] { Finish(); });
  SetBodySize(layout_.ClientWidth, layout_.ClientHeight, true);
  CentreOnWorkArea();
  box->setFocus();
}

QWidget* TReproduceDialog::Control(int id) const { return Body()->findChild<QWidget*>(ControlName(id)); }

void TReproduceDialog::closeEvent(QCloseEvent* event) {
  Finish();
  event->accept();
}

void TReproduceDialog::Finish() {
  if (finished_) return;
  finished_ = true;
  if (Events().ReproduceResult)
    Events().ReproduceResult(S(static_cast<QPlainTextEdit*>(Control(101))->toPlainText()));
  done(0);
}

// ---- Send progress ----------------------------------------------------------------------------------

TProgressWindow::TProgressWindow(const TProgressOpen& q)
    : TFramedWindow(Q(q.Caption), q.Style & dsOwnLook, q.Style & dsTopMost,
                    !q.Modal || (q.Style & dsOwnLook)),
      fonts_(TDialogFonts::Make()) {
  const TQtMetrics metrics(fonts_);
  const TWindowLayout layout = ProgressLayout(metrics);
  auto* icon = new QLabel(Body());
  icon->setObjectName(ControlName(kIconId));
  icon->setPixmap(SendImage());
  auto* step = new QLabel(Body());
  step->setObjectName(ControlName(100));
  step->setFont(fonts_.Message);
  step->setTextFormat(Qt::PlainText);
  auto* bar = new QProgressBar(Body());
  bar->setObjectName(ControlName(101));
  bar->setRange(0, 100);
  bar->setValue(0);
  bar->setTextVisible(false);
  for (const TControl& c : layout.Controls) Apply(Control(c.Id), c);
  icon->setPixmap(SendImage());
  SetBodySize(layout.ClientWidth, layout.ClientHeight, true);
  if (q.Modal) {
    CentreOnWorkArea();
  } else {
    const TRect work = WorkArea();
    move(work.X + work.W - frameGeometry().width(), work.Y + work.H - frameGeometry().height());
  }
}

QWidget* TProgressWindow::Control(int id) const { return Body()->findChild<QWidget*>(ControlName(id)); }

void TProgressWindow::SetStep(const std::string& text) { static_cast<QLabel*>(Control(100))->setText(Q(text)); }

void TProgressWindow::SetPosition(int percent) {
  auto* bar = static_cast<QProgressBar*>(Control(101));
  percent = std::clamp(percent, 0, 100);
  if (percent > bar->value()) bar->setValue(percent);
}

int TProgressWindow::Position() const { return static_cast<QProgressBar*>(Control(101))->value(); }

void TProgressWindow::CloseByCore() {
  closing_ = true;
  if (Events().Done) Events().Done();
  done(0);
}

void TProgressWindow::closeEvent(QCloseEvent* event) {
  // The delivery owns this window: closing it asks the delivery to stop, and the delivery
  // closes it when it has.
  if (closing_) {
    event->accept();
    return;
  }
  event->ignore();
  if (!cancelRequested_ && Events().CancelRequested) Events().CancelRequested();
  cancelRequested_ = true;
}

}  // namespace tarvex_dialog
