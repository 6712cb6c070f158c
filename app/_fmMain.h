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
  // Scrolls the text box so that line `line` (a block number) is its first visible line, as
  // far as the text below allows.
  static void ShowLine(QPlainTextEdit* box, int line);

  std::unique_ptr<Ui::TfmMain> ui_;
  QButtonGroup* items_;
};
