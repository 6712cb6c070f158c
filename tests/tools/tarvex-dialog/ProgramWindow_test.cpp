// The dialog belongs to the program's active window. Needs an X server (run under xvfb-run);
// skipped on other platforms.
#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/tools/tarvex-dialog/FixedMetrics.h"
#include "tests/tools/tarvex-dialog/QtTestSupport.h"
#include "tools/tarvex-dialog/ClassicDialog.h"
#include "tools/tarvex-dialog/ProgramWindow.h"

using namespace tarvex_dialog;
using namespace tarvex_dialog::test;

namespace {

xcb_connection_t* Connection() { return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection(); }

// Sets a window list on the root window, as a window manager would.
void SetRootWindows(const char* name, const std::vector<WId>& windows) {
  xcb_connection_t* c = Connection();
  xcb_intern_atom_reply_t* atom =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  ASSERT_NE(atom, nullptr);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  std::vector<uint32_t> values(windows.begin(), windows.end());
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, root, atom->atom, XCB_ATOM_WINDOW, 32,
                      static_cast<uint32_t>(values.size()), values.data());
  xcb_flush(c);
  std::free(atom);
}
void SetActiveWindow(WId window) { SetRootWindows("_NET_ACTIVE_WINDOW", {window}); }

WId InputFocus() {
  xcb_connection_t* c = Connection();
  xcb_get_input_focus_reply_t* reply = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
  const WId focus = reply ? reply->focus : 0;
  std::free(reply);
  return focus;
}

}  // namespace

TEST(ProgramWindow, DialogIsTransientForTheProgramsActiveWindow) {
  App();
  if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X server";
  QWidget program;
  program.setWindowTitle("program");
  program.resize(300, 200);
  program.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&program));
  const WId owner = program.winId();

  SetActiveWindow(0);
  EXPECT_EQ(ProgramActiveWindow(::getpid()), 0u);  // no window manager's word: no owner
  SetActiveWindow(owner);
  EXPECT_EQ(ProgramActiveWindow(::getpid()), owner);
  EXPECT_EQ(ProgramActiveWindow(::getpid() + 1), 0u);  // another program's window is left alone

  TClassicDialog d(Request(2, 0));
  MakeTransientFor(&d, ProgramActiveWindow(::getpid()));
  TRecorder rec;
  ASSERT_TRUE(ShowAndWait(d, rec));
  EXPECT_EQ(TransientOwner(&d), owner);
  d.Finish(chOk);
}

TEST(ProgramWindow, TakeFrontBackOnlyFromTheProgramsEarlierWindows) {
  struct {
    const char* Name;
    WId Active;
    bool Back;
  } cases[] = {
      {"nothing active", 0, false},
      {"the dialog itself", 10, false},
      {"a window of the program from before", 20, true},
      {"a later window or another program's", 40, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(TakeFrontBack(c.Active, 10, {20, 30}), c.Back);
  }
}

TEST(ProgramWindow, DialogTakesTheFocusBackFromTheProgram) {
  App();
  if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X server";
  QWidget program;
  program.resize(300, 200);
  program.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&program));
  SetRootWindows("_NET_CLIENT_LIST", {program.winId()});
  EXPECT_EQ(ProgramWindows(::getpid()), std::vector<WId>{program.winId()});
  EXPECT_TRUE(ProgramWindows(::getpid() + 1).empty());

  TClassicDialog d(Request(2, 0));
  new TStayInFront(&d, ::getpid());
  TRecorder rec;
  ASSERT_TRUE(ShowAndWait(d, rec));
  // The program's window comes to the front: the dialog takes the focus back.
  xcb_set_input_focus(Connection(), XCB_INPUT_FOCUS_PARENT, static_cast<xcb_window_t>(program.winId()), XCB_CURRENT_TIME);
  SetActiveWindow(program.winId());
  EXPECT_TRUE(WaitUntil([&] { return InputFocus() == d.winId(); }, 3000));
  d.Finish(chOk);
  SetRootWindows("_NET_CLIENT_LIST", {});
  SetActiveWindow(0);
}
