// For a program whose application object is not ours (a plain QApplication or a class of its
// own): the notify slot of its class's virtual-method table is replaced by a wrapper whose
// catch is the layer's, so an exception that leaves an event handler is reported at its raise,
// with its stack, and the event loop goes on. Our application object catches in its own notify
// and is left alone.
#pragma once

class QApplication;

// True when the slot was patched.
bool HookApplicationNotify(QApplication& app);
void UnhookApplicationNotify();
