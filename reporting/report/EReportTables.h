// The tables of a report's second part: the call stack with its thread groups, the modules and
// the processes. Each ends with its bottom border and an empty line.
#pragma once

#include <string>

#include "reporting/debuginfo/EDebug.h"
#include "reporting/options/ECore.h"
#include "reporting/report/EReportSnapshot.h"

// The heading of a leak report's group of rows: "Memory Leak: Type=...; Total size=...;
// Count=...", the type "Data" in the option set's words when the leak has no class.
std::string LeakGroupText(const TTarvexModuleOptions& options, const TTarvexStackEntry& leakRow);

// A group of rows starts at a leak's first row, as for a thread at its first.
std::string CallStackTable(const TTarvexModuleOptions& options, const TTarvexStackList& callStack,
                           const IReportSnapshot& snapshot);
// Without lfModulesAndProcesses only the heading and its underline.
std::string ModulesTable(const TTarvexModuleOptions& options, const IReportSnapshot& snapshot);
std::string ProcessesTable(const TTarvexModuleOptions& options, const IReportSnapshot& snapshot);
