// The Qt bridge: connects a Qt program to the reporting layer. Call InstallQtBridge on the GUI
// thread once the application object exists (after InstallExceptionLog). It registers the
// display values and active controls, marks the program as a GUI program, offers the event
// pumping and the freeze probe to the processing flow, and names QThread objects in the thread
// registry. It is removed when the application object is destroyed, or by UninstallQtBridge.
#pragma once

class QApplication;

void InstallQtBridge(QApplication& app);
void UninstallQtBridge();
bool QtBridgeInstalled();
