// The program's pointer and keyboard grabs, given up for a dialog of another process.
#pragma once

// Remembers the application's X connection (GUI thread, at installation); nothing on other
// platforms.
void RememberX11Connection();
// Ungrabs pointer and keyboard on that connection. Any thread: the X connection is
// thread-safe, and a GUI thread that is frozen or waiting cannot be asked.
void ReleaseX11Grabs();
