#include "tools/tarvex-dialog/ProgramWindow.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QWindow>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tarvex_dialog {

namespace {

xcb_connection_t* Connection() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, static_cast<uint16_t>(std::strlen(name)), name), nullptr),
      &std::free);
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// A 32-bit property's first value, or 0.
uint32_t Property32(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type) {
  if (property == XCB_ATOM_NONE) return 0;
  std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
      xcb_get_property_reply(c, xcb_get_property(c, 0, window, property, type, 0, 1), nullptr), &std::free);
  if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) return 0;
  return *static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
}

}  // namespace

WId ProgramActiveWindow(pid_t program) {
  xcb_connection_t* c = Connection();
  if (!c || program <= 0) return 0;
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  if (!screen) return 0;
  const xcb_window_t active = Property32(c, screen->root, Atom(c, "_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW);
  if (active == XCB_WINDOW_NONE) return 0;
  const uint32_t pid = Property32(c, active, Atom(c, "_NET_WM_PID"), XCB_ATOM_CARDINAL);
  return pid == static_cast<uint32_t>(program) ? active : 0;
}

void MakeTransientFor(QWidget* window, WId owner) {
  if (!owner || !Connection()) return;
  window->winId();  // the native window, so that it has a QWindow
  if (QWindow* foreign = QWindow::fromWinId(owner)) {
    QObject::connect(window, &QObject::destroyed, foreign, &QObject::deleteLater);
    window->windowHandle()->setTransientParent(foreign);
  }
}

WId TransientOwner(QWidget* window) {
  xcb_connection_t* c = Connection();
  if (!c || !window->windowHandle()) return 0;
  return Property32(c, static_cast<xcb_window_t>(window->winId()), XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW);
}

}  // namespace tarvex_dialog
