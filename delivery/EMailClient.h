// The user's own mail program, reached through the desktop's helpers (xdg-email, xdg-open).
#pragma once

#include <string>
#include <vector>

// Hands the message with its attachments to the mail program; true when it took it. Reports
// its own warning on failure.
bool SendMailClientMail(const std::string& recipients, const std::string& subject, const std::string& body,
                        const std::vector<std::string>& attachments);
// The "mailto:" link opened with the desktop's handler; no attachments.
bool SendMailtoLink(const std::string& recipients, const std::string& subject, const std::string& body);
