// The window's button against the local distance service (started by the test fixture).
#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <fstream>

#include "app/Units.h"
#include "app/_fmMain.h"
#include "runtime/Application.h"
#include "runtime/SysUtils.h"
#include "tests/support/TestSupport.h"

namespace {

std::string ServiceURL() {
  const char* file = std::getenv("ZELK_DS_URL_FILE");
  std::ifstream in(file ? file : "");
  std::string url;
  std::getline(in, url);
  return url;
}

class ButtonAgainstServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "app_service_tests";
    static char* argv[] = {name, nullptr};
    app_ = new TApplication(argc, argv);
    InitializeUnits();
  }
  void SetUp() override {
    url_ = ServiceURL();
    if (url_.empty()) GTEST_FAIL() << "no service URL in $ZELK_DS_URL_FILE";
    ASSERT_EQ(url_.rfind("http://127.0.0.1:", 0), 0u) << url_;
    env_ = std::make_unique<ScopedEnv>("ZELK_DISTANCE_URL", url_.c_str());
    lang_ = std::make_unique<ScopedEnv>("LC_ALL", "en_US.UTF-8");
    ReloadFormatSettings();
  }
  static TApplication* app_;
  std::string url_;
  std::unique_ptr<ScopedEnv> env_, lang_;
};
TApplication* ButtonAgainstServiceTest::app_ = nullptr;

TEST_F(ButtonAgainstServiceTest, EachRouteOptionAppendsAReport) {
  TfmMain form;
  form.show();
  QString previous;
  for (int option = 0; option < 5; ++option) {
    SCOPED_TRACE(option);
    form.SetItemIndex(option);
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    QString text = form.moMsg->toPlainText();
    ASSERT_TRUE(text.startsWith(previous));  // earlier reports stay
    QStringList added = text.mid(previous.size()).split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(added.size(), 8);
    EXPECT_EQ(added[0], "Return Code : 0");
    EXPECT_TRUE(added[6].startsWith("    >Busan -> London ["));
    previous = text;
  }
}

TEST_F(ButtonAgainstServiceTest, FailedCallLeavesTheTextAndTheWindowUsable) {
  TfmMain form;
  form.show();
  form.moMsg->setPlainText("kept");
  std::vector<std::string> reported;
  app_->SetOnException([&](std::exception_ptr e) { reported.push_back(TApplication::ExceptionMessage(e).toStdString()); });
  {
    ScopedEnv dead("ZELK_DISTANCE_URL", "http://127.0.0.1:1/ZelkSystem/services/ZelkDistanceVersion3");
    QTest::mouseClick(form.Button1, Qt::LeftButton);
  }
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_NE(reported[0].find("URL:http://127.0.0.1:1/"), std::string::npos) << reported[0];
  EXPECT_EQ(form.moMsg->toPlainText(), "kept");
  // The next click works again.
  QTest::mouseClick(form.Button1, Qt::LeftButton);
  EXPECT_TRUE(form.moMsg->toPlainText().startsWith("kept\nReturn Code : 0"));
  app_->SetOnException(nullptr);
}

}  // namespace
