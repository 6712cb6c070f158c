#include "tools/tarvex-dialog/ProgramWindow.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QWindow>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <memory>

namespace tarvex_dialog {

namespace {

xcb_connection_t* Connection() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  // The stay-in-front timer asks every 10 ms: one round trip per name, once.
  static std::map<std::string, xcb_atom_t> known;
  if (const auto it = known.find(name); it != known.end()) return it->second;
  std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, static_cast<uint16_t>(std::strlen(name)), name), nullptr),
      &std::free);
  const xcb_atom_t atom = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
  if (atom != XCB_ATOM_NONE) known[name] = atom;
  return atom;
}

// A 32-bit property's first value, or 0.
uint32_t Property32(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type) {
  if (property == XCB_ATOM_NONE) return 0;
  std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
      xcb_get_property_reply(c, xcb_get_property(c, 0, window, property, type, 0, 1), nullptr), &std::free);
  if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) return 0;
  return *static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
}

xcb_window_t Root(xcb_connection_t* c) {
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  return screen ? screen->root : static_cast<xcb_window_t>(XCB_WINDOW_NONE);
}

bool OwnedBy(xcb_connection_t* c, xcb_window_t window, pid_t program) {
  return program > 0 && Property32(c, window, Atom(c, "_NET_WM_PID"), XCB_ATOM_CARDINAL) == static_cast<uint32_t>(program);
}

}  // namespace

WId ActiveWindow() {
  xcb_connection_t* c = Connection();
  if (!c) return 0;
  return Property32(c, Root(c), Atom(c, "_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW);
}

WId ProgramActiveWindow(pid_t program) {
  xcb_connection_t* c = Connection();
  const WId active = ActiveWindow();
  return active && OwnedBy(c, static_cast<xcb_window_t>(active), program) ? active : 0;
}

std::vector<WId> ProgramWindows(pid_t program) {
  std::vector<WId> out;
  xcb_connection_t* c = Connection();
  if (!c || program <= 0) return out;
  const xcb_atom_t list = Atom(c, "_NET_CLIENT_LIST");
  if (list == XCB_ATOM_NONE) return out;
  std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
      xcb_get_property_reply(c, xcb_get_property(c, 0, Root(c), list, XCB_ATOM_WINDOW, 0, 4096), nullptr), &std::free);
  if (!reply || reply->format != 32) return out;
  const auto* windows = static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
  const int count = xcb_get_property_value_length(reply.get()) / 4;
  for (int i = 0; i < count; ++i)
    if (OwnedBy(c, windows[i], program)) out.push_back(windows[i]);
  return out;
}

bool TakeFrontBack(WId active, WId dialog, const std::vector<WId>& programWindows) {
  return active && active != dialog && std::find(programWindows.begin(), programWindows.end(), active) != programWindows.end();
}

TStayInFront::TStayInFront(QWidget* dialog, pid_t program)
    : QObject(dialog), dialog_(dialog), windows_(ProgramWindows(program)) {
  if (windows_.empty()) return;
  timer_.setInterval(10);
  connect(&timer_, &QTimer::timeout, this, [this] {
    if (!dialog_->isVisible() || !TakeFrontBack(ActiveWindow(), dialog_->winId(), windows_)) return;
    dialog_->raise();
    dialog_->activateWindow();
  });
  timer_.start();
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
