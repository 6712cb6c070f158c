#include "app/_fmMain.h"

#include <QRadioButton>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "app/DistanceReport.h"
#include "ui_fmMain.h"

TfmMain::TfmMain(QWidget* parent) : QWidget(parent), ui_(std::make_unique<Ui::TfmMain>()) {
  ui_->setupUi(this);
  Button1 = ui_->Button1;
  Panel1 = ui_->Panel1;
  RadioGroup1 = ui_->RadioGroup1;
  moMsg = ui_->moMsg;
  items_ = new QButtonGroup(this);
  const QList<QRadioButton*> buttons = {ui_->RadioItem0, ui_->RadioItem1, ui_->RadioItem2, ui_->RadioItem3,
                                        ui_->RadioItem4};
  for (int i = 0; i < buttons.size(); ++i) items_->addButton(buttons[i], i);
  // The stored geometry is the window's position and client size.
  move(693, 316);
  resize(379, 550);
  connect(Button1, &QPushButton::clicked, this, &TfmMain::Button1Click);
}

TfmMain::~TfmMain() = default;

int TfmMain::ItemIndex() const { return items_->checkedId(); }

void TfmMain::SetItemIndex(int index) {
  if (QAbstractButton* b = items_->button(index)) {
    b->setChecked(true);
    return;
  }
  // No item: an exclusive group cannot uncheck its last button, so lift that briefly.
  items_->setExclusive(false);
  for (QAbstractButton* b : items_->buttons()) b->setChecked(false);
  items_->setExclusive(true);
}

void TfmMain::Button1Click() {
  // Nothing is written until the answer is in; an exception leaves the box as it was and
  // goes on to the application's handler.
  std::unique_ptr<GetDistReturn> result = QueryDistance(ItemIndex());
  if (!result) throw Exception("The distance service returned no result");
  QTextDocument* doc = moMsg->document();
  const int firstLine = doc->isEmpty() ? 0 : doc->blockCount();
  // Shown even when a line fails part-way: the lines written so far stay.
  struct ShowStart {
    QPlainTextEdit* box;
    int line;
    ~ShowStart() { ShowLine(box, line); }
  } show{moMsg, firstLine};
  WriteReport(*result, [this](const std::string& line) { moMsg->appendPlainText(QString::fromStdString(line)); });
}

void TfmMain::ShowLine(QPlainTextEdit* box, int line) {
  QTextBlock block = box->document()->findBlockByNumber(line);
  if (!block.isValid()) return;
  // To the end first, then back: a line above the view becomes its top line, so the new
  // report starts at the top however far up the user had scrolled.
  box->moveCursor(QTextCursor::End);
  box->ensureCursorVisible();
  box->setTextCursor(QTextCursor(block));
  box->ensureCursorVisible();
}
