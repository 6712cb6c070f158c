// Expansion of %NAME% references in texts taken from options.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Scans left to right; "%NAME%" (NAME a run of letters, digits and "_", possibly empty) becomes
// the value of the report variable NAME, else of the environment variable NAME (each looked up
// exactly, then without case), else
// for "date", "time" and "cd" the current date, time and directory, else nothing. A "%" not
// followed by such a reference stays.
std::string ExpandTextVariables(std::string_view text);

// The current date and time in the user's locale (LC_TIME of the environment).
std::string CurrentShortDate();
std::string CurrentLongTime();

// The report variables ("_MainModuleName", "_MainModuleDesc", "_MainModuleVer",
// "_ExceptModuleName", "_ExceptModuleDesc", "_ExceptModuleVer", "_ExceptMsg", "_BugReport",
// "_LineBreak"), set by the processing flow before it expands anything. They are the layer's
// own table rather than the process environment: setenv races with getenv on other threads,
// and a report-sized variable would make every later execve of the process fail.
// Thread-safe; setting replaces the whole table.
using TReportVariables = std::vector<std::pair<std::string, std::string>>;
void SetReportVariables(TReportVariables variables);
void ClearReportVariables();
