#include "reporting/bridge/QtBridge.h"

#include <QApplication>
#include <QPointer>
#include <QThread>
#include <limits>

#include "reporting/bridge/EQtApplicationHook.h"
#include "reporting/bridge/EQtDisplay.h"
#include "reporting/bridge/EQtFreezeProbe.h"
#include "reporting/bridge/EQtGrabs.h"
#include "reporting/bridge/EQtPump.h"
#include "reporting/bridge/EQtThreads.h"
#include "reporting/bridge/EQtWindows.h"
#include "reporting/flow/EFlow.h"
#include "reporting/interception/ExceptionLog.h"
#include "reporting/options/EProgramKind.h"
#include "runtime/NoDestroy.h"

namespace {

// Kept past the static destructors: a leak report at exit may still ask whether the bridge is in.
TNoDestroy<QPointer<QApplication>> g_app;
TNoDestroy<QMetaObject::Connection> g_destroyed;

bool IsGuiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

}  // namespace

void InstallQtBridge(QApplication& app) {
  if (*g_app) return;
  *g_app = &app;
  StartDisplayTracking();
  StartFreezeProbe(&RefreshDisplaySnapshot);
  StartQThreadNaming();
  StartWindowTracking();
  if (ExceptionLogInstalled()) HookApplicationNotify(app);
  RememberX11Connection();
  TGuiBridgeHooks hooks;
  hooks.PumpEvents = &PumpGuiEvents;
  hooks.ProbeFreeze = &ProbeFreeze;
  hooks.IsGuiThread = &IsGuiThread;
  hooks.ReleaseGrabs = &ReleaseX11Grabs;
  hooks.ListWindows = &ReadWindowList;
  SetGuiBridgeHooks(hooks);  // marks the program as a GUI program
  // The flow's watch counts the silence itself; the probe only says whether to count this round.
  SetFreezeProbe([](int waitMs) { return ProbeFreeze(waitMs, std::numeric_limits<int>::max()) != fpWaiting; });
  // Whatever the program does at its end, nothing is asked of a destroyed application object.
  *g_destroyed = QObject::connect(&app, &QObject::destroyed, [] { UninstallQtBridge(); });
}

void UninstallQtBridge() {
  if (!*g_app && !GuiBridgeInstalled()) return;
  SetGuiBridgeHooks({});
  SetFreezeProbe(nullptr);
  UnhookApplicationNotify();
  StopFreezeProbe();
  StopWindowTracking();
  StopDisplayTracking();
  QObject::disconnect(*g_destroyed);
  *g_app = nullptr;
}

bool QtBridgeInstalled() { return GuiBridgeInstalled(); }
