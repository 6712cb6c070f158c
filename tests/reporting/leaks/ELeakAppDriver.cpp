// zelk-distance's own start and end (app/main.cpp) with a few clicks of its button, so that the
// tests can end the program normally without a display: the clicks fail (no service listens on
// the loopback address the test gives), the window closes, and the program exits as the real one
// does, with the leak report of the hook it links like zelk-distance.
#include <QIcon>
#include <QTimer>

#include "app/Units.h"
#include "app/_fmMain.h"
#include "reporting/bridge/QtBridge.h"
#include "runtime/Application.h"

int main(int argc, char** argv) {
  InitializeUnits();
  int rc;
  {
    TApplication application(argc, argv);
    InstallQtBridge(application);
    application.SetMainFormOnTaskBar(true);
    application.setWindowIcon(QIcon(":/zelk-distance.png"));
    TfmMain fmMain;
    fmMain.show();
    // Each click an event of its own: its failure leaves the event through the application's
    // handler, as a user's click would.
    for (int i = 0; i < 3; ++i) QTimer::singleShot(0, fmMain.Button1, &QPushButton::click);
    QTimer::singleShot(0, &fmMain, &QWidget::close);
    rc = application.exec();
  }
  FinalizeUnits();
  return rc;
}
