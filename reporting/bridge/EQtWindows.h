// The program's visible top-level windows and the focus widget's place, for the screenshot. The
// GUI thread keeps a copy current (windows shown, hidden or resized, focus changes); other
// threads read the copy and never touch a widget.
#pragma once

#include "reporting/options/EProgramKind.h"

// GUI thread: reads the current windows into the copy.
void RefreshWindowList();
// Any thread: the copy (on the GUI thread, refreshed first). False before the first refresh.
bool ReadWindowList(TGuiWindowList& list);

// GUI thread: follows the windows and the focus.
void StartWindowTracking();
void StopWindowTracking();
