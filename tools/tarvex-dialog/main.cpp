// tarvex-dialog: shows the reporting layer's windows for the core that started it, over the
// socket on descriptor 3.
#include <fcntl.h>

#include <QApplication>
#include <cstdio>

#include "tools/tarvex-dialog/Helper.h"

#if defined(__SANITIZE_ADDRESS__)
// fontconfig and the D-Bus library keep a few blocks to the end on purpose; the leak check is for
// our own code.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
#endif

int main(int argc, char** argv) {
  if (::fcntl(3, F_GETFD) == -1) {
    std::fputs("tarvex-dialog: started by the reporting layer only (its socket on descriptor 3)\n", stderr);
    return 2;
  }
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);  // the core ends us by closing the socket
  // A window nobody can see would block the program that waits for it. Tests say otherwise.
  const QString platform = QGuiApplication::platformName();
  if ((platform == "offscreen" || platform == "minimal") && qgetenv("TARVEX_DIALOG_ALLOW_OFFSCREEN") != "1")
    return 2;
  tarvex_dialog::THelper helper(3);
  helper.Start();
  return app.exec();
}
