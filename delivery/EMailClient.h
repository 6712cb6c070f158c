// The user's own mail program, reached through the desktop's helpers (xdg-email, xdg-open).
#pragma once

#include <string>
#include <vector>

// Hands the message with its attachments to the mail program; true when it took it (the helper
// ended with status 0 in time). Reports its own warning (eeEmailMAPIError) on failure. The
// attachments are handed over as copies in the user's outbox folder, so that the report's
// clean-up cannot remove them before the mail program has read them.
bool SendMailClientMail(const std::string& recipients, const std::string& subject, const std::string& body,
                        const std::vector<std::string>& attachments);
// The "mailto:" link opened with the desktop's handler; no attachments. The current report's
// text follows the body after three line breaks. Reports eeEmailShellError on failure.
bool SendMailtoLink(const std::string& recipients, const std::string& subject, const std::string& body);

// The helper programs (full paths; empty restores /usr/bin/xdg-email and /usr/bin/xdg-open).
void SetMailClientPrograms(const std::string& emailProgram, const std::string& openProgram);
// How long a helper may run before it is left running and the route fails; 0 restores 30 s.
void SetMailClientWaitMs(int waitMs);
// The folder the attachments are copied to ($XDG_CACHE_HOME/TarvexLog/outbox, else
// ~/.cache/TarvexLog/outbox).
std::string MailOutboxFolder();
