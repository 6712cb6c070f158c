// The Qt bridge on the offscreen platform: what it registers, the active controls it keeps for
// other threads, the events it drops while the main thread waits, and the freeze probe.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "reporting/bridge/EFreezeWatch.h"
#include "reporting/bridge/EQtDisplay.h"
#include "reporting/bridge/EQtFreezeProbe.h"
#include "reporting/bridge/EQtPump.h"
#include "reporting/bridge/QtBridge.h"
#include "reporting/options/EProgramKind.h"
#include "reporting/report/ELiveSnapshot.h"

namespace {

using namespace std::chrono_literals;

class LoginForm : public QWidget {
 public:
  LoginForm() {
    auto* layout = new QVBoxLayout(this);
    User = new QLineEdit("operator", this);
    Password = new QLineEdit("secret", this);
    Password->setEchoMode(QLineEdit::Password);
    layout->addWidget(User);
    layout->addWidget(Password);
    setWindowTitle("Sign in");
    resize(200, 100);
  }
  QLineEdit* User;
  QLineEdit* Password;
};

class QtBridgeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "reporting_bridge_tests";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance()) new QApplication(argc, argv);
  }
  void SetUp() override { InstallQtBridge(*qApp); }
  void TearDown() override {
    UninstallQtBridge();
    SetExceptionProcessingQuery(nullptr);
  }

  // Shows the form and gives the password field the focus.
  static void ShowFocused(LoginForm& form) {
    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    form.Password->setFocus();
    QTest::qWait(20);
    ASSERT_EQ(QApplication::focusWidget(), form.Password);
  }

  static TDisplayValues ReadOnAnotherThread() {
    TDisplayValues values;
    std::thread([&] { values = ReadDisplayValues(false); }).join();
    return values;
  }
};

TEST_F(QtBridgeTest, RegistersTheGuiParts) {
  EXPECT_TRUE(QtBridgeInstalled());
  EXPECT_TRUE(GuiProgram());
  EXPECT_FALSE(ConsoleProgram());
  TGuiBridgeHooks hooks = GuiBridgeHooks();
  ASSERT_TRUE(hooks.PumpEvents && hooks.ProbeFreeze && hooks.IsGuiThread);
  EXPECT_TRUE(hooks.IsGuiThread());
  bool other = true;
  std::thread([&] { other = GuiBridgeHooks().IsGuiThread(); }).join();
  EXPECT_FALSE(other);
  UninstallQtBridge();
  EXPECT_FALSE(QtBridgeInstalled());
  hooks = GuiBridgeHooks();
  EXPECT_FALSE(hooks.PumpEvents || hooks.ProbeFreeze || hooks.IsGuiThread);
  EXPECT_TRUE(GuiProgram());  // the program stays what it was
}

TEST_F(QtBridgeTest, ControlTexts) {
  struct Case {
    const char* Name;
    std::function<QWidget*()> Make;
    QString Expected;
  };
  const Case cases[] = {
      {"line edit", [] { return new QLineEdit("Busan"); }, "Busan"},
      {"password",
       [] {
         auto* e = new QLineEdit("s3cret");
         e->setEchoMode(QLineEdit::Password);
         return e;
       },
       "******"},
      {"password echo on edit",
       [] {
         auto* e = new QLineEdit("abc");
         e->setEchoMode(QLineEdit::PasswordEchoOnEdit);
         return e;
       },
       "***"},
      {"no echo",
       [] {
         auto* e = new QLineEdit("abc");
         e->setEchoMode(QLineEdit::NoEcho);
         return e;
       },
       ""},
      {"multi-line editor", [] { return new QPlainTextEdit("line 1\nline 2"); }, ""},
      {"button", [] { return new QPushButton("Get Distance"); }, "Get Distance"},
      {"combo box",
       [] {
         auto* c = new QComboBox;
         c->addItems({"London", "Mobile"});
         c->setCurrentIndex(1);
         return c;
       },
       "Mobile"},
      {"long text", [] { return new QLabel(QString(300, 'x')); }, QString(255, 'x')},
      {"plain widget", [] { return new QWidget; }, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::unique_ptr<QWidget> w(c.Make());
    EXPECT_EQ(ControlTextOf(w.get()), c.Expected);
  }
  EXPECT_EQ(ControlTextOf(nullptr), "");
}

TEST_F(QtBridgeTest, OtherThreadsReadTheActiveControlsTheGuiThreadKeeps) {
  LoginForm form;
  ShowFocused(form);
  TDisplayValues v = ReadOnAnotherThread();
  EXPECT_EQ(v.FormClass, "QWidget");  // the class Qt's meta-object names
  EXPECT_EQ(v.FormText, "Sign in");
  EXPECT_EQ(v.ControlClass, "QLineEdit");
  EXPECT_EQ(v.ControlText, "******");
  QScreen* screen = QGuiApplication::primaryScreen();
  ASSERT_NE(screen, nullptr);
  EXPECT_EQ(v.Width, screen->geometry().width());
  EXPECT_EQ(v.Height, screen->geometry().height());
  EXPECT_EQ(v.Depth, screen->depth());
  EXPECT_GT(v.Dpi, 0);

  // Typing, a new title and another focus reach the copy without anyone asking the GUI thread.
  form.Password->setText("longer secret");
  EXPECT_EQ(ReadOnAnotherThread().ControlText, "*************");
  form.setWindowTitle("Sign in again");
  EXPECT_EQ(ReadOnAnotherThread().FormText, "Sign in again");
  form.User->setFocus();
  QTest::qWait(20);
  v = ReadOnAnotherThread();
  EXPECT_EQ(v.ControlText, "operator");

  // Without the bridge, the report falls back to asking the display server.
  UninstallQtBridge();
  EXPECT_EQ(ReadOnAnotherThread().ControlClass, "");
}

TEST_F(QtBridgeTest, PumpingDropsInputAndCloseEvents) {
  LoginForm form;
  ShowFocused(form);
  form.User->setFocus();
  QTest::qWait(20);
  form.User->clear();
  bool timerRan = false;
  QTimer::singleShot(0, [&] { timerRan = true; });
  QCoreApplication::postEvent(form.User, new QKeyEvent(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a"));
  QCoreApplication::postEvent(&form, new QCloseEvent);
  QCoreApplication::postEvent(qApp, new QEvent(QEvent::Quit));
  TGuiBridgeHooks hooks = GuiBridgeHooks();
  bool fromOtherThread = true;
  std::thread([&] { fromOtherThread = hooks.PumpEvents(); }).join();
  EXPECT_FALSE(fromOtherThread);
  EXPECT_TRUE(hooks.PumpEvents());
  EXPECT_TRUE(timerRan);
  EXPECT_EQ(form.User->text(), "");
  EXPECT_TRUE(form.isVisible());
  // Outside the waiting loop the same input reaches the field again.
  QTest::keyClick(form.User, Qt::Key_B);
  EXPECT_EQ(form.User->text(), "b");

  struct Case {
    QEvent::Type Type;
    TPumpDrop Expected;
  };
  for (const Case& c : {Case{QEvent::MouseButtonPress, pdDropWithBeep}, Case{QEvent::KeyRelease, pdDropWithBeep},
                        Case{QEvent::MouseMove, pdDispatch}, Case{QEvent::Paint, pdDispatch},
                        Case{QEvent::Timer, pdDispatch}, Case{QEvent::Close, pdDrop}}) {
    SCOPED_TRACE(c.Type);
    EXPECT_EQ(PumpDropOf(c.Type), c.Expected);
  }
}

// The acceptance scenario of the freeze watch: the GUI thread blocks inside its event loop.
class FreezeProbeTest : public QtBridgeTest {
 protected:
  struct Outcome {
    int Reports = 0;
    bool WentOn = false;  // a timer due after the block still ran
  };
  // Runs an event loop that blocks once for `block`, watched with a 1 s time-out; `inLoop`
  // false blocks before any loop runs.
  Outcome RunBlock(std::chrono::milliseconds block, bool inLoop) {
    std::atomic<int> reports{0};
    TFreezeWatch watch(&ProbeFreeze, [] { return 1000; }, [&] { ++reports; });
    watch.Start();
    Outcome out;
    if (!inLoop) std::this_thread::sleep_for(block);
    QEventLoop loop;
    QTimer::singleShot(400, [&] {
      if (inLoop) std::this_thread::sleep_for(block);
    });
    QTimer::singleShot(600, [&] { out.WentOn = true; });
    QTimer::singleShot(1200, &loop, &QEventLoop::quit);
    loop.exec();
    watch.Stop();
    out.Reports = reports;
    return out;
  }
};

TEST_F(FreezeProbeTest, ABlockLongerThanTheTimeoutIsReportedOnceAndAgainLater) {
  QWidget window;
  window.resize(100, 100);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  for (int freeze = 1; freeze <= 2; ++freeze) {
    SCOPED_TRACE(freeze);
    Outcome out = RunBlock(2s, true);
    EXPECT_EQ(out.Reports, 1);
    EXPECT_TRUE(out.WentOn);
  }
}

TEST_F(FreezeProbeTest, NothingIsReportedWhenTheGuiIsNotWatched) {
  std::atomic<bool> processing{false};
  static std::atomic<bool>* s_processing = &processing;
  SetExceptionProcessingQuery([] { return s_processing->load(); });
  struct Case {
    const char* Name;
    bool Visible;
    bool Processing;
    bool InLoop;
  };
  for (const Case& c : {Case{"an exception is being processed", true, true, true},
                        Case{"no window is visible", false, false, true},
                        Case{"no event loop runs", true, false, false}}) {
    SCOPED_TRACE(c.Name);
    QWidget window;
    window.resize(100, 100);
    if (c.Visible) {
      window.show();
      ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    processing = c.Processing;
    Outcome out = RunBlock(2s, c.InLoop);
    processing = false;
    EXPECT_EQ(out.Reports, 0);
    EXPECT_TRUE(out.WentOn);
  }
}

}  // namespace
