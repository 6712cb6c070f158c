// The main window: a button that asks for the distance, the route-option group, and the
// text box that receives the report.
#pragma once

#include <QButtonGroup>
#include <QFrame>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>
#include <memory>

namespace Ui {
class TfmMain;
}

class TfmMain : public QWidget {
  Q_OBJECT
 public:
  explicit TfmMain(QWidget* parent = nullptr);
  ~TfmMain() override;

  QPushButton* Button1;
  QFrame* Panel1;
  QGroupBox* RadioGroup1;
  QPlainTextEdit* moMsg;

  // The selected route option, 0 to 4; -1 when no item is selected.
  int ItemIndex() const;
  void SetItemIndex(int index);

 public slots:
  void Button1Click();

 private:
  std::unique_ptr<Ui::TfmMain> ui_;
  QButtonGroup* items_;
};
