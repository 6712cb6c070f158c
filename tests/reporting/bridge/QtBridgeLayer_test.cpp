// The bridge with the reporting layer installed, for a program whose application object is a
// plain QApplication: an exception that leaves a slot is reported once, as unhandled, and the
// event loop goes on.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <stdexcept>

#include "reporting/bridge/QtBridge.h"
#include "reporting/interception/ExceptionLog.h"

namespace {

class PlainApplicationTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "reporting_bridge_layer_tests";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
    ASSERT_TRUE(InstallExceptionLog());
    InstallQtBridge(*app_);
  }
  static void TearDownTestSuite() {
    delete app_;
    app_ = nullptr;
    ShutdownExceptionLog();
  }
  static QApplication* app_;
};
QApplication* PlainApplicationTest::app_ = nullptr;

TEST_F(PlainApplicationTest, AnExceptionLeavingASlotIsReportedAndTheLoopGoesOn) {
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    size_t before = NotifyRecords().size();
    bool wentOn = false;
    QEventLoop loop;
    QTimer::singleShot(0, [] { throw std::runtime_error("from a slot"); });
    QTimer::singleShot(50, [&] {
      wentOn = true;
      loop.quit();
    });
    loop.exec();
    EXPECT_TRUE(wentOn);
    std::vector<TNotifyRecord> records = NotifyRecords();
    ASSERT_EQ(records.size(), before + 1);
    EXPECT_FALSE(records.back().Handled);
    EXPECT_EQ(records.back().Message, "from a slot");
    EXPECT_FALSE(records.back().ReturnAddresses.empty());
  }
}

}  // namespace
