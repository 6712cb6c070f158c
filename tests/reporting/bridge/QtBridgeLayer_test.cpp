// The bridge with the reporting layer and its processing flow installed, for a program whose
// application object is a plain QApplication: an exception that leaves a slot is reported once,
// as unhandled, and the event loop goes on; a GUI thread that blocks longer than the freeze
// time-out (1 s in this program's options) is reported once per freeze.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <thread>
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

TEST_F(PlainApplicationTest, ABlockedEventLoopIsReportedOncePerFreeze) {
  QWidget window;
  window.resize(100, 100);
  window.show();
  for (int freeze = 1; freeze <= 2; ++freeze) {
    SCOPED_TRACE(freeze);
    size_t before = NotifyRecords().size();
    bool wentOn = false;
    QEventLoop loop;
    QTimer::singleShot(400, [] { std::this_thread::sleep_for(std::chrono::seconds(2)); });
    QTimer::singleShot(600, [&] { wentOn = true; });
    QTimer::singleShot(1200, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_TRUE(wentOn);
    std::vector<TNotifyRecord> records = NotifyRecords();
    ASSERT_EQ(records.size(), before + 1);
    EXPECT_EQ(records.back().ClassName, "EFrozenApplication");
    EXPECT_EQ(records.back().Message, "The application seems to be frozen.");
    EXPECT_EQ(records.back().ThreadID, ::getpid());  // the main thread's
  }
}

}  // namespace
