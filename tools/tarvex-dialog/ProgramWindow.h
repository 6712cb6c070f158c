// The program's window that the helper's windows belong to: the active window of the desktop
// when it is one of the program's (the helper's parent). The window manager then keeps the
// dialog above it, as a dialog owned by the program would be.
#pragma once

#include <sys/types.h>

#include <QTimer>
#include <QWidget>
#include <vector>

namespace tarvex_dialog {

// The desktop's active window when the process `program` owns it, else 0 (no X11, no window
// manager that says which window is active, or another program's window).
WId ProgramActiveWindow(pid_t program);

// Makes `window` (not yet shown) transient for `owner`; nothing when `owner` is 0.
void MakeTransientFor(QWidget* window, WId owner);

// The program's top-level windows that the window manager lists (_NET_CLIENT_LIST).
std::vector<WId> ProgramWindows(pid_t program);
// The desktop's active window (0: none or unknown).
WId ActiveWindow();

// Whether a dialog takes the foreground back: one of the program's windows that were there
// when the dialog opened has become the active window. New windows and other programs' are
// left alone.
bool TakeFrontBack(WId active, WId dialog, const std::vector<WId>& programWindows);

// Keeps a dialog in front of the program's windows (when it is not top-most): every 10 ms.
class TStayInFront final : public QObject {
 public:
  TStayInFront(QWidget* dialog, pid_t program);

 private:
  QWidget* dialog_;
  std::vector<WId> windows_;
  QTimer timer_;
};

// The window that `window` is transient for, as the X server has it (0: none), for tests.
WId TransientOwner(QWidget* window);

}  // namespace tarvex_dialog
