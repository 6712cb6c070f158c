// The program's window that the helper's windows belong to: the active window of the desktop
// when it is one of the program's (the helper's parent). The window manager then keeps the
// dialog above it, as a dialog owned by the program would be.
#pragma once

#include <sys/types.h>

#include <QWidget>

namespace tarvex_dialog {

// The desktop's active window when the process `program` owns it, else 0 (no X11, no window
// manager that says which window is active, or another program's window).
WId ProgramActiveWindow(pid_t program);

// Makes `window` (not yet shown) transient for `owner`; nothing when `owner` is 0.
void MakeTransientFor(QWidget* window, WId owner);

// The window that `window` is transient for, as the X server has it (0: none), for tests.
WId TransientOwner(QWidget* window);

}  // namespace tarvex_dialog
