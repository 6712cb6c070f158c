#include <QIcon>

#include "app/Units.h"
#include "app/_fmMain.h"
#include "reporting/bridge/QtBridge.h"
#include "runtime/Application.h"

int main(int argc, char** argv) {
  InitializeUnits();
  int rc;
  {
    TApplication application(argc, argv);
    InstallQtBridge(application);  // removed again with the application object
    application.SetMainFormOnTaskBar(true);
    application.setWindowIcon(QIcon(":/zelk-distance.png"));
    TfmMain fmMain;
    fmMain.show();
    rc = application.exec();
  }
  FinalizeUnits();
  return rc;
}
