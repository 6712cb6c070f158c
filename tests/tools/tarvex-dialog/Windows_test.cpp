// The helper's windows under QTest on the offscreen platform: built from a table of requests,
// their visible controls, texts and rectangles; the commands and what they hand back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <map>
#include <memory>
#include <set>

#include "tests/tools/tarvex-dialog/FixedMetrics.h"
#include "tests/tools/tarvex-dialog/QtTestSupport.h"
#include "tools/tarvex-dialog/ClassicDialog.h"
#include "tools/tarvex-dialog/DetailedDialog.h"
#include "tools/tarvex-dialog/SmallWindows.h"

using namespace tarvex_dialog;
using namespace tarvex_dialog::test;

#if defined(__SANITIZE_ADDRESS__)
// fontconfig and the D-Bus library keep a few blocks to the end on purpose; the leak check is
// for our own code.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
#endif

namespace {

QString Text(QWidget* w) {
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
  return {};
}

// Every control of the layout sits where the layout puts it, is shown exactly when the layout
// says so and carries its text; `visible` lists the controls expected on screen.
template <typename W>
void ExpectControls(const W& window, const std::set<int>& visible, const std::map<int, std::string>& texts,
                    bool exactTextHeights = false) {
  for (const TControl& c : window.Layout().Controls) {
    SCOPED_TRACE("control " + std::to_string(c.Id));
    QWidget* w = window.Control(c.Id);
    if (c.Id == kIconId && !w) continue;  // painted by its window, not a control
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->isVisibleTo(&window), visible.count(c.Id) > 0);
    EXPECT_EQ(c.Visible, visible.count(c.Id) > 0);
    if (c.Visible) {
      EXPECT_EQ(w->geometry(), ToQRect(c.Rect));
      // The measured height is the one the label needs for its wrapped text.
      auto* label = qobject_cast<QLabel*>(w);
      if (exactTextHeights && label && label->wordWrap() && !label->text().isEmpty()) {
        EXPECT_EQ(label->heightForWidth(c.Rect.W), c.Rect.H) << S(label->text());
      }
    }
  }
  for (const auto& [id, text] : texts) {
    SCOPED_TRACE("text of " + std::to_string(id));
    EXPECT_EQ(S(Text(window.Control(id))), text);
  }
}

constexpr uint32_t kClassicAll = dcTerminate | dcSendBox | dcDetailsButton | dcReproduceBox | dcEmailBox | dcCustomButton;

}  // namespace

TEST(ClassicDialog, VisibleControlsTextsAndRectangles) {
  App();
  struct TCase {
    const char* Name;
    uint32_t Offered, Checked;
    std::set<int> Visible;
    std::map<int, std::string> Texts;
  } cases[] = {
      {"nothing offered", 0, 0, {kBannerId, 102, 103, 1001}, {{103, "boom"}, {1001, "&OK"}}},
      {"everything, report to be sent", kClassicAll, dcSendBox,
       {kBannerId, 102, 103, 104, 105, 106, 107, kClassicLinkId, 108, 109, 110, 111, 1000, 1001, 1002},
       {{102, "The application has encountered a problem. We are sorry for the inconvenience."},
        {104, "Terminate application."},
        {107, "To see what data the error report contains, "},
        {kClassicLinkId, "click here."},
        {110, "Email address (optional): "},
        {1000, "&Send Error Report"},
        {1001, "&Don't Send"},
        {1002, "&Help"}}},
      {"sending offered, not to be sent", dcSendBox | dcEmailBox, 0,
       {kBannerId, 102, 103, 105, 106, 110, 111, 1000, 1001}, {{1001, "&OK"}, {105, "Please tell us about this problem."}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDialogRequest q = Request(2, c.Offered, c.Checked);
    q.TerminateAction = 1;
    q.Email = "me@example.org";
    q.ReproduceText = "clicked twice";
    TClassicDialog d(q);
    TRecorder rec;
    ASSERT_TRUE(ShowAndWait(d, rec));
    ExpectControls(d, c.Visible, c.Texts, true);
    // The fixed rules with the real fonts: the window's width, the message's place, the right
    // button against x 405 and the send button 8 pixels left of it.
    EXPECT_EQ(d.Body()->width(), 413);
    EXPECT_EQ(d.Body()->height(), d.Layout().ClientHeight);
    EXPECT_EQ(d.Control(103)->geometry().topLeft(), QPoint(8, 59));
    EXPECT_EQ(d.Control(1001)->geometry().right() + 1, 405);
    if (c.Offered & dcSendBox) {
      EXPECT_EQ(d.Control(1000)->geometry().right() + 1, 397 - d.Control(1001)->width());
    }
    EXPECT_EQ(d.windowTitle(), "Error occurred");
    EXPECT_EQ(static_cast<QPushButton*>(d.Control(c.Offered & dcSendBox ? 1000 : 1001))->isDefault(), true);
    if (c.Offered & dcEmailBox) {
      EXPECT_EQ(static_cast<QLineEdit*>(d.Control(111))->text(), "me@example.org");
    }
    d.Finish(chOk);
  }
}

TEST(ClassicDialog, CommandsAndTheirResults) {
  App();
  enum TAction { acSend, acDontSend, acEscape, acClose, acLink, acAutoClose, acCheckTerminateThenSend };
  struct TCase {
    const char* Name;
    std::string Email;
    TAction Action;
    bool Closes;
    TCloseHow How;
    uint32_t Checked;
  } cases[] = {
      {"send with a valid address", "  me@example.org ", acSend, true, chSend, 0},
      {"send with an empty address", "", acSend, true, chSend, 0},
      {"send with an invalid address is refused", "me-at-example", acSend, false, chSend, 0},
      {"send with an address without a dot is refused", "me@example", acSend, false, chSend, 0},
      {"don't send with an invalid address closes", "me-at-example", acDontSend, true, chOk, 0},
      {"Esc with an invalid address closes", "me-at-example", acEscape, true, chEscape, 0},
      {"the close command with an invalid address closes", "me-at-example", acClose, true, chCloseButton, 0},
      {"auto-close with an invalid address closes", "me-at-example", acAutoClose, true, chAutoClose, 0},
      {"the details link", "", acLink, true, chDetailsLink, 0},
      {"the terminate box goes back checked", "", acCheckTerminateThenSend, true, chSend, dcTerminate},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDialogRequest q = Request(2, kClassicAll, dcSendBox);
    q.AutoCloseSeconds = c.Action == acAutoClose ? 1 : 0;
    TClassicDialog d(q);
    TRecorder rec;
    ASSERT_TRUE(ShowAndWait(d, rec));
    static_cast<QLineEdit*>(d.Control(111))->setText(QString::fromStdString(c.Email));
    static_cast<QPlainTextEdit*>(d.Control(109))->setPlainText("step one");
    switch (c.Action) {
      case acCheckTerminateThenSend:
        QTest::mouseClick(d.Control(104), Qt::LeftButton, {}, QPoint(6, d.Control(104)->height() / 2));
        [[fallthrough]];
      case acSend: QTest::mouseClick(d.Control(1000), Qt::LeftButton); break;
      case acDontSend: QTest::mouseClick(d.Control(1001), Qt::LeftButton); break;
      case acEscape: QTest::keyClick(d.Control(109), Qt::Key_Escape); break;
      case acClose: d.close(); break;
      case acLink: QTest::mouseClick(d.Control(kClassicLinkId), Qt::LeftButton); break;
      case acAutoClose: WaitUntil([&] { return !rec.Results.empty(); }, 4000); break;
    }
    if (!c.Closes) {
      EXPECT_TRUE(rec.Results.empty());
      EXPECT_TRUE(d.isVisible());
      auto* box = d.findChild<QMessageBox*>("invalidEmail");
      ASSERT_NE(box, nullptr);
      EXPECT_EQ(box->text(), "Invalid email.");
      EXPECT_EQ(box->windowTitle(), "Error.");
      box->close();
      d.Finish(chOk);
      continue;
    }
    ASSERT_EQ(rec.Results.size(), 1u);
    const TDialogResult& r = rec.Results[0];
    EXPECT_EQ(r.How, c.How);
    EXPECT_EQ(r.Checked, c.Checked);
    EXPECT_EQ(r.Email, c.Email);  // as typed; the core trims and stores it
    EXPECT_EQ(r.ReproduceText, "step one");
    EXPECT_FALSE(d.isVisible());
  }
}

TEST(ClassicDialog, CustomButtonWaitsForTheCoresAnswer) {
  App();
  TClassicDialog d(Request(2, dcCustomButton));
  TRecorder rec;
  ASSERT_TRUE(ShowAndWait(d, rec));
  QTest::mouseClick(d.Control(1002), Qt::LeftButton);
  EXPECT_EQ(rec.CustomPressed, 1);
  EXPECT_FALSE(d.Body()->isEnabled());  // no input until the answer
  d.CustomAnswer(false);
  EXPECT_TRUE(d.Body()->isEnabled());
  EXPECT_TRUE(rec.Results.empty());
  QTest::mouseClick(d.Control(1002), Qt::LeftButton);
  d.CustomAnswer(true);
  ASSERT_EQ(rec.Results.size(), 1u);
  EXPECT_EQ(rec.Results[0].How, chCustom);
}

TEST(DetailedDialog, ModesControlsAndTabs) {
  App();
  const uint32_t band = dcSendBox | dcScreenshotBox | dcCopyBox | dcSupportLink;
  struct TCase {
    const char* Name;
    uint32_t Offered, Checked, Style;
    int DetailPage;
    bool Detailed;
    std::set<int> Visible;
    std::map<int, std::string> Texts;
    std::vector<std::string> Tabs;
    int FirstPage;
  } cases[] = {
      {"compact, nothing offered", 0, 0, 0, 0, false, {kIconId, 101, 102}, {{101, "boom"}, {102, "&OK"}},
       {"General", "Call Stack"}, pgGeneral},
      {"compact with the band and buttons", band | dcTerminate | dcCustomButton | dcDetailsButton, dcSendBox, 0, 0,
       false, {kIconId, 101, 102, 103, 104, 105, 3000, 4000, 5000, kSupportLinkId},
       {{103, "&Restart"}, {104, "&Details >>"}, {3000, "&Send this error via Internet"},
        {kSupportLinkId, "Go to the Support Page"}},
       {"General", "Call Stack"}, pgGeneral},
      {"detailed from the start, all pages, the CPU page first", dcDetailsButton | dcModulesPages | dcAssemblerPages, 0,
       dsStartDetailed, pgCpu, true, {kIconId, 101, 102, 104, 1000},
       {{104, "<< &Details"}, {101, "An error has occurred during program execution.\r\nPlease read the following "
                                    "information for further details."}},
       {"General", "Call Stack", "Modules", "Processes", "Assembler", "CPU"}, pgCpu},
      {"forced detailed: no Details button; an absent page falls back to General", dcDetailsButton, 0,
       dsStartDetailed | dsForcedDetailed, pgModules, true, {kIconId, 101, 102, 1000}, {}, {"General", "Call Stack"},
       pgGeneral},
      {"assembler without modules: the third tab is Assembler", dcAssemblerPages, 0, dsStartDetailed, pgAssembler, true,
       {kIconId, 101, 102, 1000}, {}, {"General", "Call Stack", "Assembler", "CPU"}, pgAssembler},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDialogRequest q = Request(3, c.Offered, c.Checked);
    q.Style = c.Style;
    q.DetailPage = c.DetailPage;
    q.SupportAddress = "http://127.0.0.1/support";
    TDetailedDialog d(q);
    TRecorder rec;
    ASSERT_TRUE(ShowAndWait(d, rec));
    EXPECT_EQ(d.Detailed(), c.Detailed);
    ExpectControls(d, c.Visible, c.Texts);
    std::vector<std::string> tabs;
    for (int i = 0; i < d.Tabs()->count(); ++i) tabs.push_back(S(d.Tabs()->tabText(i)));
    EXPECT_EQ(tabs, c.Tabs);
    ASSERT_NE(d.CurrentPage(), nullptr);
    EXPECT_EQ(d.CurrentPage()->Page(), c.FirstPage);
    if (!c.Detailed) {
      const TQtMetrics metrics(TDialogFonts::Make());
      const TCompactSize size = DetailedCompactSize(q, metrics, d.Frame());
      EXPECT_EQ(d.Body()->size(), QSize(size.ClientWidth, size.ClientHeight));
    }
    auto* send = static_cast<QCheckBox*>(d.Control(3000));
    auto* shot = static_cast<QCheckBox*>(d.Control(4000));
    EXPECT_EQ(send->isChecked(), (c.Checked & dcSendBox) != 0);
    EXPECT_EQ(shot->isEnabled(), send->isChecked());
    EXPECT_FALSE(static_cast<QCheckBox*>(d.Control(5000))->isChecked());
    d.Finish(chOk);
  }
}

TEST(DetailedDialog, ClosingHandsBackTheBoxesAndTheGeometry) {
  App();
  struct TCase {
    const char* Name;
    bool Escape;
  } cases[] = {{"OK", false}, {"Esc", true}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDialogRequest q = Request(3, dcSendBox | dcScreenshotBox | dcCopyBox | dcDetailsButton, dcSendBox);
    TDetailedDialog d(q);
    TRecorder rec;
    ASSERT_TRUE(ShowAndWait(d, rec));
    auto* shot = static_cast<QCheckBox*>(d.Control(4000));
    const QPoint box(6, d.Control(3000)->height() / 2);
    QTest::mouseClick(d.Control(3000), Qt::LeftButton, {}, box);  // send off: the screenshot box follows
    EXPECT_FALSE(shot->isEnabled());
    QTest::mouseClick(d.Control(3000), Qt::LeftButton, {}, box);
    EXPECT_TRUE(shot->isEnabled());
    shot->setChecked(true);
    static_cast<QCheckBox*>(d.Control(5000))->setChecked(true);
    QTest::mouseClick(d.Control(104), Qt::LeftButton);  // to detailed mode
    EXPECT_TRUE(d.Detailed());
    EXPECT_TRUE(d.Control(1000)->isVisible());
    d.resize(d.width() + 40, d.height() + 30);
    WaitUntil([&] { return d.Body()->width() == q.Geometry.Width + 40; }, 1000);
    if (c.Escape)
      QTest::keyClick(&d, Qt::Key_Escape);
    else
      QTest::mouseClick(d.Control(102), Qt::LeftButton);
    ASSERT_EQ(rec.Results.size(), 1u);
    const TDialogResult& r = rec.Results[0];
    EXPECT_EQ(r.How, c.Escape ? chEscape : chOk);
    // The boxes as left; the core clears send and copy on Esc.
    EXPECT_EQ(r.Checked, dcSendBox | dcScreenshotBox | dcCopyBox);
    EXPECT_TRUE(r.GeometryRecorded);
    EXPECT_EQ(r.Geometry.WindowsState, 1);
    EXPECT_EQ(r.Geometry.Width, q.Geometry.Width + 40);
    EXPECT_EQ(r.Geometry.Height, q.Geometry.Height + 30);  // without the band
  }
}

TEST(DetailedDialog, PagesShowTheRichTextAndTheLists) {
  App();
  TDialogRequest q = Request(3, dcModulesPages | dcAssemblerPages);
  q.Style = dsStartDetailed;
  q.GeneralRich = "{\\rtf1{\\colortbl ;\\red0\\green100\\blue100;}\\cf1\\b Title\\b0\\par\r\nline two}";
  q.CpuRich = "{\\rtf1 RAX: 1\\par\r\n\\pard\\tx1440 Stack\\tab Memory}";
  TListRow group;
  group.Group = true;
  group.ColourClass = 3;
  group.Header = "Exception Thread: ID=7; Priority=0";
  TListRow withLine{{"0000000000401000", "app", "main.cpp", "", "main", "12[3]"}, "", false, 0, riSource, 0};
  TListRow noLine{{"0000000000401100", "libc.so.6", "", "", "start", ""}, "", false, 0, riLibrary, -1};
  q.StackRows = {group, withLine, noLine};
  q.StackColumns = {100, 90, 80, 70, 60, 50};
  q.ModuleRows = {{{"0000000000400000", "app", "", "1.0.x", "12 Kb", "2026-01-01 00:00:00", "/opt/app"}, "", false, 0,
                   riApplication, -1}};
  TDetailedDialog d(q);
  TRecorder rec;
  ASSERT_TRUE(ShowAndWait(d, rec));

  ASSERT_NE(d.CurrentPage()->Rich(), nullptr);
  QTextEdit* general = d.CurrentPage()->Rich();
  EXPECT_EQ(general->toPlainText(), "Title\nline two");
  QTextCursor title(general->document());
  title.setPosition(1);
  EXPECT_EQ(title.charFormat().fontWeight(), QFont::Bold);
  EXPECT_EQ(title.charFormat().foreground().color(), QColor(0, 100, 100));
  EXPECT_EQ(title.charFormat().fontFamilies(), TDialogFonts::Make().Fixed.families());
  EXPECT_EQ(S(static_cast<QLabel*>(d.CurrentPage()->findChild<QWidget*>("p102"))->text()), "General Information");

  d.Tabs()->setCurrentIndex(1);
  TReportList* list = d.CurrentPage()->List();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->topLevelItemCount(), 3);
  EXPECT_EQ(list->ColumnWidths(), q.StackColumns);
  EXPECT_EQ(S(list->headerItem()->text(5)), "Line");
  EXPECT_EQ(list->headerItem()->textAlignment(5) & Qt::AlignRight, Qt::AlignRight);
  list->resize(700, 300);
  QTest::qWait(20);
  // A double click on a row with a line asks for the jump; on the group row it folds the group.
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->RowRect(1).center());
  EXPECT_EQ(rec.Jumps, std::vector<int32_t>{0});
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->RowRect(2).center());
  EXPECT_EQ(rec.Jumps, std::vector<int32_t>{0});
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->RowRect(0).center());
  EXPECT_TRUE(list->topLevelItem(1)->isHidden());
  EXPECT_TRUE(list->topLevelItem(2)->isHidden());
  // A click beside the sign does nothing; on the sign it unfolds.
  const QRect groupRow = list->RowRect(0);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, groupRow.topLeft() + QPoint(40, 5));
  EXPECT_TRUE(list->topLevelItem(1)->isHidden());
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, groupRow.topLeft() + QPoint(6, 6));
  EXPECT_FALSE(list->topLevelItem(1)->isHidden());
  list->header()->resizeSection(0, 150);

  d.Tabs()->setCurrentIndex(2);  // the call-stack page goes, its widths are kept
  ASSERT_NE(d.CurrentPage()->List(), nullptr);
  EXPECT_EQ(S(d.CurrentPage()->List()->topLevelItem(0)->text(6)), "/opt/app");
  d.Tabs()->setCurrentIndex(5);
  QTextEdit* cpu = d.CurrentPage()->Rich();
  EXPECT_EQ(cpu->toPlainText(), "RAX: 1\nStack\tMemory");
  // An inch of tab stop in the display's pixels.
  const QList<QTextOption::Tab> tabs = cpu->document()->lastBlock().blockFormat().tabPositions();
  ASSERT_EQ(tabs.size(), 1);
  EXPECT_DOUBLE_EQ(tabs[0].position, cpu->logicalDpiX());
  EXPECT_TRUE(cpu->document()->firstBlock().blockFormat().tabPositions().isEmpty());
  d.Finish(chOk);
  ASSERT_EQ(rec.Results.size(), 1u);
  EXPECT_EQ(rec.Results[0].StackColumns, (std::vector<int32_t>{150, 90, 80, 70, 60, 50}));
  EXPECT_EQ(rec.Results[0].ModuleColumns.size(), 7u);
  EXPECT_TRUE(rec.Results[0].ProcessColumns.empty());  // never shown
}

TEST(DetailedDialog, OwnLookIsFramelessWithItsCaptionBand) {
  App();
  for (bool own : {false, true}) {
    SCOPED_TRACE(own ? "own look" : "system caption");
    TDialogRequest q = Request(3, 0);
    q.Style = (own ? dsOwnLook : 0u) | dsTopMost;
    TDetailedDialog d(q);
    TRecorder rec;
    ASSERT_TRUE(ShowAndWait(d, rec));
    EXPECT_EQ(bool(d.windowFlags() & Qt::FramelessWindowHint), own);
    EXPECT_TRUE(d.windowFlags() & Qt::WindowStaysOnTopHint);
    if (own) {
      EXPECT_EQ(d.Body()->geometry().top(), d.CaptionRect().bottom() + 1);
      EXPECT_EQ(d.CaptionRect().height(), d.Frame().CaptionHeight);
      EXPECT_EQ(d.palette().color(QPalette::Window), QColor(212, 208, 200));
    } else {
      EXPECT_EQ(d.Body()->geometry(), d.rect());
    }
    d.Finish(chOk);
  }
}

TEST(SmallWindows, ReproduceRequestHandsBackTheText) {
  App();
  for (bool escape : {false, true}) {
    SCOPED_TRACE(escape ? "Esc" : "button");
    TReproduceRequest q;
    q.Caption = "Request";
    q.Label = "Please describe the steps to reproduce the error:";
    q.Button = "&OK";
    q.Text = "first";
    TReproduceDialog d(q);
    TRecorder rec;
    ASSERT_TRUE(ShowAndWait(d, rec));
    EXPECT_EQ(d.windowTitle(), "Request");
    ExpectControls(d, {100, 101, 2}, {{100, q.Label}, {2, "&OK"}});
    static_cast<QPlainTextEdit*>(d.Control(101))->setPlainText("first\nthen second");
    if (escape)
      QTest::keyClick(d.Control(101), Qt::Key_Escape);
    else
      QTest::mouseClick(d.Control(2), Qt::LeftButton);
    EXPECT_EQ(rec.Reproduced, std::vector<std::string>{"first\nthen second"});
  }
}

// Closing the window asks the core to stop the delivery, once; the window stays until the core
// closes it.
TEST(SmallWindows, ProgressNeverMovesBackAndClosesOnlyForTheCore) {
  App();
  TProgressOpen q;
  q.Caption = "Send.";
  q.Modal = true;
  TProgressWindow w(q);
  TRecorder rec;
  ASSERT_TRUE(ShowAndWait(w, rec));
  EXPECT_EQ(w.windowTitle(), "Send.");
  w.SetStep("Message 1/2: connecting");
  EXPECT_EQ(static_cast<QLabel*>(w.Control(100))->text(), "Message 1/2: connecting");
  for (auto [set, shown] : {std::pair{40, 40}, {20, 40}, {100, 100}, {150, 100}}) {
    w.SetPosition(set);
    EXPECT_EQ(w.Position(), shown) << set;
  }
  w.close();
  w.close();
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(rec.Done, 0);
  EXPECT_EQ(rec.CancelRequested, 1);
  w.CloseByCore();
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(rec.Done, 1);
}

TEST(DetailedDialog, SupportLinkOpensTheAddressWithXdgOpen) {
  App();
  // A stand-in xdg-open first on PATH writes down its arguments.
  const std::string dir = QDir::tempPath().toStdString() + "/tarvex-dialog-xdg-" + std::to_string(::getpid());
  const std::string record = dir + "/args";
  QDir().mkpath(QString::fromStdString(dir));
  {
    QFile script(QString::fromStdString(dir + "/xdg-open"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(("#!/bin/sh\nprintf '%s|' \"$@\" > " + record + ".tmp && mv " + record + ".tmp " + record + "\n").c_str());
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }
  const std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (dir + ":" + oldPath).c_str(), 1);

  TDialogRequest q = Request(3, dcSupportLink);
  q.Style = dsTopMost;
  q.SupportAddress = "http://127.0.0.1/support?a=1&b=2";
  TDetailedDialog d(q);
  TRecorder rec;
  ASSERT_TRUE(ShowAndWait(d, rec));
  QTest::mouseClick(d.Control(kSupportLinkId), Qt::LeftButton);
  EXPECT_TRUE(WaitUntil([&] { return QFile::exists(QString::fromStdString(record)); }));
  QFile args(QString::fromStdString(record));
  ASSERT_TRUE(args.open(QIODevice::ReadOnly));
  EXPECT_EQ(args.readAll().toStdString(), "http://127.0.0.1/support?a=1&b=2|");  // one argument, no shell
  EXPECT_FALSE(d.windowFlags() & Qt::WindowStaysOnTopHint);  // the browser may come in front
  EXPECT_TRUE(rec.Results.empty());  // the dialog stays
  d.Finish(chOk);
  setenv("PATH", oldPath.c_str(), 1);
  QDir(QString::fromStdString(dir)).removeRecursively();
}
