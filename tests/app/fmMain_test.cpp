#include "app/_fmMain.h"

#include <gtest/gtest.h>

#include <QApplication>

#include "app/Units.h"
#include "binding/ZelkDistance1.h"

namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
    InitializeUnits();
  }
  static QApplication* app_;
};
QApplication* MainWindowTest::app_ = nullptr;

TEST_F(MainWindowTest, StartsWithFirstRouteAndEmptyText) {
  TfmMain form;
  form.show();
  EXPECT_EQ(form.ItemIndex(), 0);
  EXPECT_TRUE(form.moMsg->toPlainText().isEmpty());
  EXPECT_TRUE(form.windowTitle().isEmpty());
  EXPECT_EQ(form.Button1->text(), "Get Distance (Busan -> London -> Mobile)");
  EXPECT_EQ(form.RadioGroup1->title(), "Anti Piracy Route");
  const QList<QAbstractButton*> items = form.RadioGroup1->findChildren<QAbstractButton*>();
  QStringList texts;
  for (auto* b : items) texts << b->text();
  EXPECT_EQ(texts, QStringList({"The shortest route ", "250NM outer route from Somalia east coast ",
                                "600NM outer route from Somalia east coast ", "JWLA015 (2nd Aug 2010)",
                                "JWLA016 (16th Dec 2010)"}));
  // Registrations precede the first window message.
  EXPECT_NE(GetInvokableRegistry()->FindInterfaceByGuid(ZelkDistance::IID), nullptr);
}

TEST_F(MainWindowTest, DockedLayoutAtStoredSizeAndAfterResize) {
  TfmMain form;
  form.show();
  QApplication::processEvents();
  EXPECT_EQ(form.size(), QSize(379, 550));
  EXPECT_EQ(form.Button1->geometry(), QRect(0, 0, 379, 25));
  EXPECT_EQ(form.Panel1->geometry(), QRect(0, 25, 379, 112));
  EXPECT_EQ(form.moMsg->geometry(), QRect(0, 137, 379, 413));
  EXPECT_EQ(form.RadioGroup1->geometry(), QRect(1, 1, 377, 110));

  form.resize(500, 800);
  QApplication::processEvents();
  EXPECT_EQ(form.Button1->geometry(), QRect(0, 0, 500, 25));
  EXPECT_EQ(form.Panel1->geometry(), QRect(0, 25, 500, 112));
  EXPECT_EQ(form.moMsg->geometry(), QRect(0, 137, 500, 663));
}

TEST_F(MainWindowTest, ItemIndexCanBeCleared) {
  TfmMain form;
  form.SetItemIndex(4);
  EXPECT_EQ(form.ItemIndex(), 4);
  form.SetItemIndex(-1);
  EXPECT_EQ(form.ItemIndex(), -1);
  form.SetItemIndex(2);
  EXPECT_EQ(form.ItemIndex(), 2);
}

TEST_F(MainWindowTest, TabOrderIsButtonTextBoxPanel) {
  TfmMain form;
  QWidget* w = form.Button1;
  QStringList chain;
  for (int i = 0; i < 3; ++i) {
    w = w->nextInFocusChain();
    while (w->focusPolicy() == Qt::NoFocus) w = w->nextInFocusChain();
    chain << w->objectName();
  }
  EXPECT_EQ(chain.value(0), "moMsg");
  EXPECT_EQ(chain.value(1), "RadioItem0");
}

}  // namespace
