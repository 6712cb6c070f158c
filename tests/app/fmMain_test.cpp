#include "app/_fmMain.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <fstream>
#include <iterator>

#include "app/Units.h"
#include "binding/ZelkDistance1.h"
#include "runtime/Application.h"
#include "soap/InvokeRegistry.h"
#include "soap/SOAPHTTPTrans.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestSupport.h"

namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    app_ = new TApplication(argc, argv);
    InitializeUnits();
  }
  static TApplication* app_;
};
TApplication* MainWindowTest::app_ = nullptr;

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

// Failures of the call reach the application's handler; the text box keeps what it had and
// the window goes on working.
TEST_F(MainWindowTest, FaultsAndHttpErrorsLeaveTheTextBoxAlone) {
  const char fault[] =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?><soapenv:Envelope "
      "xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body><soapenv:Fault>"
      "<faultcode>soapenv:Client</faultcode><faultstring>Missing parameter: pinCode</faultstring>"
      "<detail><reason>no pin</reason></detail></soapenv:Fault></soapenv:Body></soapenv:Envelope>";
  HttpTestServer server;
  server.Enqueue(HttpResponse::Xml(fault, 500, "Internal Server Error"));
  server.Enqueue(HttpResponse::NotFound());
  ScopedEnv url("ZELK_DISTANCE_URL", server.Url("/ZelkSystem/services/ZelkDistanceVersion3").c_str());

  std::vector<std::exception_ptr> caught;
  app_->SetOnException([&](std::exception_ptr e) { caught.push_back(e); });
  TfmMain form;
  form.show();
  form.moMsg->setPlainText("before");
  QTest::mouseClick(form.Button1, Qt::LeftButton);
  QTest::mouseClick(form.Button1, Qt::LeftButton);
  app_->SetOnException(nullptr);

  ASSERT_EQ(caught.size(), 2u);
  try {
    std::rethrow_exception(caught[0]);
  } catch (const ERemotableException& e) {
    EXPECT_EQ(e.Message(), "Missing parameter: pinCode");
    EXPECT_EQ(e.FaultCode(), u"soapenv:Client");
  } catch (...) {
    ADD_FAILURE() << "the fault did not arrive as ERemotableException";
  }
  try {
    std::rethrow_exception(caught[1]);
  } catch (const ESOAPHTTPException& e) {
    EXPECT_EQ(e.StatusCode(), 404);
  } catch (...) {
    ADD_FAILURE() << "the 404 did not arrive as ESOAPHTTPException";
  }
  EXPECT_EQ(form.moMsg->toPlainText(), "before");
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(server.RequestCount(), 2u);
}

// After a click the box shows the start of the report just added, wherever the user had
// scrolled to, for the first report and for one added below an earlier one.
TEST_F(MainWindowTest, ClickShowsTheStartOfTheNewReport) {
  std::ifstream answer(ZELK_SAMPLES "/answer-001.xml", std::ios::binary);
  std::string body((std::istreambuf_iterator<char>(answer)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(body.empty());
  HttpTestServer server;
  server.SetDefault(HttpResponse::Xml(body));
  ScopedEnv url("ZELK_DISTANCE_URL", server.Url("/ZelkSystem/services/ZelkDistanceVersion3").c_str());

  TfmMain form;
  form.show();
  QStringList earlier;
  for (int i = 0; i < 200; ++i) earlier << QString("earlier line %1").arg(i);
  form.moMsg->setPlainText(earlier.join('\n'));
  QApplication::processEvents();
  auto firstVisibleLine = [&] {
    QApplication::processEvents();
    return form.moMsg->cursorForPosition(QPoint(4, 4)).block();
  };

  int reportStart = 200;
  for (int click = 1; click <= 2; ++click) {
    SCOPED_TRACE(click);
    form.moMsg->verticalScrollBar()->setValue(0);  // the user reads the top
    ASSERT_EQ(firstVisibleLine().blockNumber(), 0);
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    QTextBlock top = firstVisibleLine();
    EXPECT_EQ(top.blockNumber(), reportStart);
    EXPECT_EQ(top.text(), "Return Code : 0");
    reportStart = form.moMsg->document()->blockCount();
  }
  EXPECT_EQ(server.RequestCount(), 2u);
}

}  // namespace
