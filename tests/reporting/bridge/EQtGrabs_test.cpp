// The bridge gives up the program's X grabs, on a private X server.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/XvfbServer.h"

namespace {

TEST(QtGrabs, AnotherClientTakesPointerAndKeyboardOnceReleased) {
  if (!TXvfbServer::Installed()) GTEST_SKIP() << "Xvfb is not installed";
  std::string output;
  {
    TXvfbServer server("800x600x24");
    ASSERT_TRUE(server.Running()) << "Xvfb did not start";
    const std::string command =
        "DISPLAY=" + server.Display() + " QT_QPA_PLATFORM=xcb timeout 60 " BRIDGE_GRAB_CHILD " 2>&1";
    if (FILE* child = ::popen(command.c_str(), "r")) {
      char buffer[256];
      while (std::fgets(buffer, sizeof buffer, child)) output += buffer;
      ::pclose(child);
    }
  }
  EXPECT_NE(output.find("OTHER-BEFORE 0"), std::string::npos) << output;  // the program held them
  EXPECT_NE(output.find("OTHER-AFTER 1"), std::string::npos) << output;
}

}  // namespace
