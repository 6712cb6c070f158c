#include "reporting/options/EProgramKind.h"

#include <atomic>

namespace {

std::atomic<bool> g_gui{false};
std::atomic<TProcessingQuery> g_processing{nullptr};
// Each hook on its own: they are read from the freeze watch and the exception thread while
// the GUI thread may be removing the bridge.
std::atomic<bool (*)()> g_pump{nullptr};
std::atomic<TFreezeProbeResult (*)(int, int)> g_probe{nullptr};
std::atomic<bool (*)()> g_isGui{nullptr};
std::atomic<void (*)()> g_releaseGrabs{nullptr};
std::atomic<bool (*)(TGuiWindowList&)> g_listWindows{nullptr};

}  // namespace

void SetGuiProgram(bool gui) { g_gui.store(gui); }
bool GuiProgram() { return g_gui.load(); }
bool ConsoleProgram() { return !g_gui.load(); }

void SetExceptionProcessingQuery(TProcessingQuery query) { g_processing.store(query); }

bool ExceptionBeingProcessed() {
  TProcessingQuery query = g_processing.load();
  return query && query();
}

void SetGuiBridgeHooks(const TGuiBridgeHooks& hooks) {
  g_pump.store(hooks.PumpEvents);
  g_probe.store(hooks.ProbeFreeze);
  g_isGui.store(hooks.IsGuiThread);
  g_releaseGrabs.store(hooks.ReleaseGrabs);
  g_listWindows.store(hooks.ListWindows);
  if (hooks.PumpEvents || hooks.ProbeFreeze || hooks.IsGuiThread) SetGuiProgram(true);
}

TGuiBridgeHooks GuiBridgeHooks() {
  TGuiBridgeHooks hooks;
  hooks.PumpEvents = g_pump.load();
  hooks.ProbeFreeze = g_probe.load();
  hooks.IsGuiThread = g_isGui.load();
  hooks.ReleaseGrabs = g_releaseGrabs.load();
  hooks.ListWindows = g_listWindows.load();
  return hooks;
}

bool GuiBridgeInstalled() { return g_probe.load() != nullptr || g_pump.load() != nullptr; }
