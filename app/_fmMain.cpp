#include "app/_fmMain.h"

#include <QRadioButton>

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
  WriteReport(*result, [this](const std::string& line) { moMsg->appendPlainText(QString::fromStdString(line)); });
}
