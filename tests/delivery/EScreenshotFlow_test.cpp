// The screenshot inside the processing flow, in a child program: without a usable display the
// processing finishes with one warning and no file; with a window of the program the report
// goes out with the file.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <string>

#include "tests/support/XvfbServer.h"

namespace {

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string RunChild(const std::string& environment, const char* argument) {
  std::string output;
  const std::string command = environment + " timeout 60 " SCREENSHOT_FLOW_CHILD " " + argument + " 2>&1";
  if (FILE* child = ::popen(command.c_str(), "r")) {
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, child)) output += buffer;
    ::pclose(child);
  }
  return output;
}

TEST(ScreenshotInTheFlow, ProcessingFinishesWithOrWithoutAPicture) {
  TXvfbServer server("800x600x24"), grabbed("640x480x24");
  if (!server.Running() || !grabbed.Running()) GTEST_SKIP() << "Xvfb is not installed";
  xcb_connection_t* holder = xcb_connect(grabbed.Display().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(holder));
  xcb_grab_server(holder);
  free(xcb_get_input_focus_reply(holder, xcb_get_input_focus(holder), nullptr));
  struct {
    const char* Name;
    std::string Environment;
    const char* Argument;
    int Warnings;
    const char* Screenshot;
  } cases[] = {
      {"no display", "env -u DISPLAY -u WAYLAND_DISPLAY", "plain", 1, "SCREENSHOT no"},
      {"a server grabbed by another client", "DISPLAY=" + grabbed.Display(), "plain", 1, "SCREENSHOT no"},
      {"a window of the program", "DISPLAY=" + server.Display(), "window", 0, "SCREENSHOT yes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string output = RunChild(c.Environment, c.Argument);
    EXPECT_EQ(Count(output, "WARNING"), c.Warnings) << output;
    EXPECT_NE(output.find(c.Screenshot), std::string::npos) << output;
    EXPECT_NE(output.find("PROCESSED"), std::string::npos) << output;
  }
  xcb_disconnect(holder);
}

}  // namespace
