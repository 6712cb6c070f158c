// A Qt program on a real X display that grabs pointer and keyboard (as an open popup menu
// does); another client then tries to grab them, before and after the bridge gives them up
// from a thread other than the GUI thread.
#include <xcb/xcb.h>

#include <QApplication>
#include <QWidget>
#include <cstdio>
#include <thread>

#include "reporting/bridge/EQtGrabs.h"

namespace {

// Whether another client can take the pointer and the keyboard now.
bool OtherClientCanGrab() {
  xcb_connection_t* other = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(other)) return false;
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
  auto* pointer = xcb_grab_pointer_reply(
      other, xcb_grab_pointer(other, 0, root, 0, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE, XCB_NONE, XCB_CURRENT_TIME),
      nullptr);
  auto* keyboard = xcb_grab_keyboard_reply(
      other, xcb_grab_keyboard(other, 0, root, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC), nullptr);
  const bool both = pointer && pointer->status == XCB_GRAB_STATUS_SUCCESS && keyboard &&
                    keyboard->status == XCB_GRAB_STATUS_SUCCESS;
  free(pointer);
  free(keyboard);
  xcb_disconnect(other);  // gives its own grabs up again
  return both;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  RememberX11Connection();
  QWidget popup;
  popup.resize(200, 100);
  popup.show();
  for (int i = 0; i < 50 && !popup.isVisible(); ++i) app.processEvents();
  app.processEvents();
  popup.grabMouse();
  popup.grabKeyboard();
  app.processEvents();
  std::printf("OTHER-BEFORE %d\n", OtherClientCanGrab() ? 1 : 0);
  std::thread([] { ReleaseX11Grabs(); }).join();
  std::printf("OTHER-AFTER %d\n", OtherClientCanGrab() ? 1 : 0);
  return 0;
}
