#include "tools/tarvex-dialog/ClassicDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>

#include "reporting/ui/EEmailAddress.h"

namespace tarvex_dialog {

namespace {

// The white band with its black frame and the error image.
class TBanner final : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    p.setPen(Qt::black);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    p.drawPixmap(372, 9, ErrorImage());
  }
};

template <typename T>
T* Make(QWidget* parent, int id, const QFont& font) {
  T* w = new T(parent);
  w->setObjectName(ControlName(id));
  w->setFont(font);
  return w;
}

QLabel* WrappedLabel(QWidget* parent, int id, const QFont& font) {
  QLabel* l = Make<QLabel>(parent, id, font);
  l->setWordWrap(true);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  l->setTextFormat(Qt::PlainText);
  return l;
}

}  // namespace

TClassicDialog::TClassicDialog(const TDialogRequest& q)
    : TFramedWindow(Q(RequestText(q, 3)), false, q.Style & dsTopMost, false), request_(q), fonts_(TDialogFonts::Make()) {
  const TQtMetrics metrics(fonts_);
  layout_ = ClassicLayout(q, metrics, Frame());
  QWidget* body = Body();

  auto* banner = new TBanner(body);
  banner->setObjectName(ControlName(kBannerId));
  WrappedLabel(body, 102, fonts_.Bold);
  QLabel* message = WrappedLabel(body, 103, fonts_.Message);
  message->setTextInteractionFlags(Qt::TextSelectableByMouse);
  Make<QCheckBox>(body, 104, fonts_.Message)->setChecked(q.Checked & dcTerminate);
  WrappedLabel(body, 105, fonts_.Bold);
  WrappedLabel(body, 106, fonts_.Message);
  Make<QLabel>(body, 107, fonts_.Message)->setTextFormat(Qt::PlainText);
  auto* link = new TLinkLabel(body, fonts_.Underlined, QColor(0, 0, 255));
  link->setObjectName(ControlName(kClassicLinkId));
  WrappedLabel(body, 108, fonts_.Message);
  auto* description = Make<QPlainTextEdit>(body, 109, fonts_.Fixed);
  description->setPlainText(Q(q.ReproduceText));
  description->setTabChangesFocus(true);
  Make<QLabel>(body, 110, fonts_.Message)->setTextFormat(Qt::PlainText);
  auto* email = Make<QLineEdit>(body, 111, fonts_.Message);
  email->setText(Q(q.Email));
  auto* custom = Make<QPushButton>(body, 1002, fonts_.Message);
  auto* send = Make<QPushButton>(body, 1000, fonts_.Message);
  auto* right = Make<QPushButton>(body, 1001, fonts_.Message);
  for (QPushButton* b : {custom, send, right}) b->setAutoDefault(false);

  for (const TControl& c : layout_.Controls) {
    QWidget* w = Control(c.Id);
    if (c.Id == kIconId || !w) continue;
    Apply(w, c);
  }
  if (q.Offered & dcSendBox) {
    send->setDefault(true);
    send->setFocus();
  } else {
    send->setEnabled(false);
    right->setDefault(true);
    right->setFocus();
  }

  connect(send, &QPushButton::clicked, this, [this] { Finish(chSend); });
  connect(right, &QPushButton::clicked, this, [this] { Finish(chOk); });
  connect(link, &TLinkLabel::Clicked, this, [this] { Finish(chDetailsLink); });
  connect(custom, &QPushButton::clicked, this, [this] {
    // No input until the core's handler has run.
    Body()->setEnabled(false);
    if (Events().CustomPressed) Events().CustomPressed();
  });
  auto* autoClose = new TAutoClose(q.AutoCloseSeconds, this);
  connect(autoClose, &TAutoClose::Expired, this, [this] { Finish(chAutoClose); });

  SetBodySize(layout_.ClientWidth, layout_.ClientHeight, true);
  CentreOnWorkArea();
}

QWidget* TClassicDialog::Control(int id) const { return Body()->findChild<QWidget*>(ControlName(id)); }

void TClassicDialog::CustomAnswer(bool close) {
  Body()->setEnabled(true);
  if (close) Finish(chCustom);
}

void TClassicDialog::closeEvent(QCloseEvent* event) {
  if (!finished_) Finish(chCloseButton);
  event->accept();
}

void TClassicDialog::Finish(TCloseHow how) {
  if (finished_) return;
  auto* email = static_cast<QLineEdit*>(Control(111));
  if (how == chSend && (request_.Offered & dcEmailBox)) {
    // An invalid address blocks sending only: every other way out still closes, so that an
    // unattended program cannot hang on this dialog.
    const std::string typed = TrimmedText(S(email->text()));
    if (!typed.empty() && !ValidEmailAddress(typed)) {
      auto* box = new QMessageBox(QMessageBox::Critical, Q(RequestText(request_, 2)), Q(RequestText(request_, 157)),
                                  QMessageBox::Ok, this);
      box->setObjectName("invalidEmail");
      box->setAttribute(Qt::WA_DeleteOnClose);
      box->setWindowFlag(Qt::WindowStaysOnTopHint);
      box->open();
      email->setFocus();
      return;
    }
  }
  finished_ = true;
  TDialogResult result;
  result.How = how;
  auto* terminate = static_cast<QCheckBox*>(Control(104));
  if ((request_.Offered & dcTerminate) && terminate->isChecked()) result.Checked |= dcTerminate;
  result.ReproduceText = S(static_cast<QPlainTextEdit*>(Control(109))->toPlainText());
  result.Email = S(email->text());
  if (Events().DialogResult) Events().DialogResult(result);
  done(how);
}

}  // namespace tarvex_dialog
