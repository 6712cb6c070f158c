// The primary screen, the active window and the focus widget as the report shows them. The
// GUI thread keeps a copy current (focus and activation changes, title and text changes, and
// each answer to the freeze probe); other threads read the copy and never touch a widget.
#pragma once

#include <QString>

#include "reporting/report/ELiveSnapshot.h"

class QWidget;

// The text a report shows for a control: empty for multi-line editors, one "*" per character
// for password fields, at most 255 characters.
QString ControlTextOf(const QWidget* widget);

// GUI thread: reads the current values into the copy.
void RefreshDisplaySnapshot();
// Any thread: the copy (on the GUI thread, refreshed first). False before the first refresh.
bool ReadDisplaySnapshot(TDisplayValues& values);

// GUI thread: follows focus, activation, titles, texts and screens; registers the provider.
void StartDisplayTracking();
void StopDisplayTracking();
