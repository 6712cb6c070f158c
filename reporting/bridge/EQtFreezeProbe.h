// The freeze probe: a high-priority event posted to the GUI thread, whose answer tells that the
// thread still dispatches events. Silence is measured on the monotonic clock from the moment
// the unanswered event was posted, or from the last moment the GUI was not watched (no event
// loop running, no visible window, an exception being processed), whichever is later. Only one
// event is outstanding at a time, so a frozen thread finds one probe in its queue, not many.
#pragma once

#include <functional>

#include "reporting/options/EProgramKind.h"

// GUI thread: creates the receiver of the probe events. `onAnswer` runs on the GUI thread
// after each answer (the display copy is refreshed there).
void StartFreezeProbe(std::function<void()> onAnswer);
// GUI thread: removes the receiver; later probes report fpNotWatched.
void StopFreezeProbe();

// Any thread but the GUI thread: one round (see TGuiBridgeHooks::ProbeFreeze). fpFrozen comes
// once per freeze; the next is possible only after the GUI thread has answered again.
TFreezeProbeResult ProbeFreeze(int waitMs, int timeoutMs);
