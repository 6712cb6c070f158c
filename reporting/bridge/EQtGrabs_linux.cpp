#include "reporting/bridge/EQtGrabs.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <atomic>

namespace {

std::atomic<xcb_connection_t*> g_connection{nullptr};

}  // namespace

void RememberX11Connection() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  g_connection.store(x11 ? x11->connection() : nullptr);
}

void ReleaseX11Grabs() {
  xcb_connection_t* connection = g_connection.load();
  if (!connection || xcb_connection_has_error(connection)) return;
  xcb_ungrab_pointer(connection, XCB_CURRENT_TIME);
  xcb_ungrab_keyboard(connection, XCB_CURRENT_TIME);
  xcb_flush(connection);
}
