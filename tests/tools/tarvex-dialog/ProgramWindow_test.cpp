// The dialog belongs to the program's active window. Needs an X server (run under xvfb-run);
// skipped on other platforms.
#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

#include "tests/tools/tarvex-dialog/FixedMetrics.h"
#include "tests/tools/tarvex-dialog/QtTestSupport.h"
#include "tools/tarvex-dialog/ClassicDialog.h"
#include "tools/tarvex-dialog/ProgramWindow.h"

using namespace tarvex_dialog;
using namespace tarvex_dialog::test;

namespace {

// Says which window is active, as a window manager would.
void SetActiveWindow(WId window) {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  xcb_connection_t* c = x11->connection();
  const char* name = "_NET_ACTIVE_WINDOW";
  xcb_intern_atom_reply_t* atom =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  ASSERT_NE(atom, nullptr);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  const uint32_t value = static_cast<uint32_t>(window);
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, root, atom->atom, XCB_ATOM_WINDOW, 32, 1, &value);
  xcb_flush(c);
  std::free(atom);
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
