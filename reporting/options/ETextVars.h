// Expansion of %NAME% references in texts taken from options.
#pragma once

#include <string>
#include <string_view>

// Scans left to right; "%NAME%" (NAME a run of letters, digits and "_", possibly empty) becomes
// the value of the environment variable NAME (looked up exactly, then without case), else
// for "date", "time" and "cd" the current date, time and directory, else nothing. A "%" not
// followed by such a reference stays.
std::string ExpandTextVariables(std::string_view text);

// The current date and time in the user's locale (LC_TIME of the environment).
std::string CurrentShortDate();
std::string CurrentLongTime();
