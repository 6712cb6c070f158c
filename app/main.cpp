#include <QIcon>

#include "app/Units.h"
#include "app/_fmMain.h"
#include "runtime/Application.h"

int main(int argc, char** argv) {
  InitializeUnits();
  int rc;
  {
    TApplication application(argc, argv);
    application.SetMainFormOnTaskBar(true);
    application.setWindowIcon(QIcon(":/zelk-distance.png"));
    TfmMain fmMain;
    fmMain.show();
    rc = application.exec();
  }
  FinalizeUnits();
  return rc;
}
