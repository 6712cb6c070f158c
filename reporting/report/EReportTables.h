// The tables of a report's second part: the call stack with its thread groups, the modules and
// the processes. Each ends with its bottom border and an empty line.
#pragma once

#include <string>

#include "reporting/options/ECore.h"
#include "reporting/report/EReportSnapshot.h"

std::string CallStackTable(const TTarvexModuleOptions& options, const TTarvexStackList& callStack,
                           const IReportSnapshot& snapshot);
// Without lfModulesAndProcesses only the heading and its underline.
std::string ModulesTable(const TTarvexModuleOptions& options, const IReportSnapshot& snapshot);
std::string ProcessesTable(const TTarvexModuleOptions& options, const IReportSnapshot& snapshot);
