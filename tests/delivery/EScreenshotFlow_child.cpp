// A program with the layer and the screenshot that meets one exception without a dialog, the
// report going out by e-mail with a screenshot (a stand-in route says whether the file was
// there). With the argument "window" it first shows a window of its own on $DISPLAY.
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "delivery/EScreenshot.h"
#include "reporting/flow/EFlow.h"
#include "reporting/flow/EFlowState.h"
#include "reporting/interception/ExceptionLog.h"
#include "reporting/options/ECore.h"

namespace {

void Say(const std::string& text) {
  const std::string line = text + "\n";
  ssize_t ignored = ::write(1, line.data(), line.size());
  (void)ignored;
}

class TCheckingDelivery final : public IDelivery {
 public:
  bool SendEmail(const TTarvexModuleOptions&, const std::string&) override {
    const std::string file = tarvex_flow::TemporaryFolder(false) + "/Screenshot.png";
    Say(std::string("SCREENSHOT ") + (::access(file.c_str(), R_OK) == 0 ? "yes" : "no"));
    return true;
  }
  bool SendWeb(const TTarvexModuleOptions&, const std::string&) override { return true; }
};

xcb_connection_t* ShowOwnWindow() {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) return c;
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_window_t w = xcb_generate_id(c);
  const uint32_t values[] = {0x336699, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, 20, 20, 120, 90, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  auto* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 11, "_NET_WM_PID"), nullptr);
  const uint32_t pid = static_cast<uint32_t>(::getpid());
  if (atom) xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, atom->atom, XCB_ATOM_CARDINAL, 32, 1, &pid);
  free(atom);
  xcb_map_window(c, w);
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  ::alarm(50);
  if (!InstallExceptionLog()) {
    Say("NOT INSTALLED");
    return 4;
  }
  xcb_connection_t* own = argc > 1 && std::strcmp(argv[1], "window") == 0 ? ShowOwnWindow() : nullptr;
  TTarvexModuleOptions& o = CurrentTarvexLogOptions();
  o.SetDialogKind(dkNone);
  o.SetEmailMode(emSmtpClient);
  o.SetWebMode(wmNone);
  o.SetWriteLogFile(false);
  TSendFlags send = o.SendFlags();
  send.Set(sfAttachScreenshot, true).Set(sfScreenshotForegroundOnly, false).Set(sfSendInThread, false);
  o.SetSendFlags(send);
  SetDelivery(std::make_shared<TCheckingDelivery>());
  TScreenshotPolicy policy;
  policy.Warn = [](const std::string& text) { Say("WARNING " + text); };
  SetScreenshot(MakeScreenshot(policy));

  std::runtime_error error("Route not found");
  ExceptionManager(&error, &typeid(error), __builtin_return_address(0), 0, 0);
  Say("PROCESSED");
  if (own) xcb_disconnect(own);
  return 0;
}
