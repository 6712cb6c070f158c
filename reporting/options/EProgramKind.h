// The kind of program the layer runs in, and the window framework's parts of the layer that a
// bridge library registers: the core never links the window framework, so it reaches them only
// through these function pointers.
#pragma once

#include <cstdint>

// The runtime's console flag: a program is a console program unless a GUI bridge registers.
void SetGuiProgram(bool gui);
bool GuiProgram();
bool ConsoleProgram();

// Whether an exception is being processed. The processing flow registers the query; without it
// the answer is false.
using TProcessingQuery = bool (*)();
void SetExceptionProcessingQuery(TProcessingQuery query);
bool ExceptionBeingProcessed();

// One round of the freeze probe.
enum TFreezeProbeResult : uint8_t {
  fpNotWatched,  // no event loop runs, no window is visible or an exception is being processed
  fpAnswered,    // the GUI thread answered
  fpWaiting,     // no answer yet, or a freeze already reported and still going on
  fpFrozen,      // no answer for the time-out: reported once per freeze
};

// The program's windows as the screenshot needs them; native window ids (X11 windows).
struct TGuiWindowList {
  static constexpr int kMaxWindows = 64;
  uint32_t Windows[kMaxWindows] = {};  // the visible top-level windows
  int Count = 0;
  // The focus widget's rectangle in the coordinates of its window's client area (the capture
  // places it on the screen, where the window is now); no window: no focus.
  uint32_t FocusWindow = 0;
  int32_t FocusLeft = 0, FocusTop = 0, FocusWidth = 0, FocusHeight = 0;
};

struct TGuiBridgeHooks {
  // Called by the waiting main thread (while a dialog is on screen): dispatches the pending
  // events once, dropping input and close events. False: an error while dispatching, or not
  // called on the GUI thread; the caller stops pumping for the rest of the exception.
  bool (*PumpEvents)() = nullptr;
  // Asks the GUI thread for a sign of life and waits for it at most `waitMs`; `timeoutMs` is
  // how long it may stay silent (measured on the monotonic clock) before it counts as frozen.
  TFreezeProbeResult (*ProbeFreeze)(int waitMs, int timeoutMs) = nullptr;
  // Whether the calling thread is the GUI thread.
  bool (*IsGuiThread)() = nullptr;
  // Gives up the program's pointer and keyboard grabs (a popup menu holds them), so that a
  // dialog of another process takes input. Callable from any thread.
  void (*ReleaseGrabs)() = nullptr;
  // The window list as last recorded on the GUI thread (refreshed first when called there).
  // Callable from any thread; false when nothing is recorded.
  bool (*ListWindows)(TGuiWindowList& list) = nullptr;
};

// Registers the bridge (or, with empty hooks, removes it). Registering also marks the program
// as a GUI program; removing does not clear that flag.
void SetGuiBridgeHooks(const TGuiBridgeHooks& hooks);
TGuiBridgeHooks GuiBridgeHooks();
bool GuiBridgeInstalled();
