// Event pumping for the main thread while it waits for its exception to be processed: the
// dialogs keep being painted, but the user cannot click into the program or close it.
#pragma once

#include <QEvent>

// Whether a pumped event is dropped, and whether dropping it beeps (user input does).
enum TPumpDrop { pdDispatch, pdDrop, pdDropWithBeep };
TPumpDrop PumpDropOf(QEvent::Type type);

// GUI thread: dispatches the pending events once. False when not called on the GUI thread or
// when dispatching failed.
bool PumpGuiEvents();
