// Interception points other than the raise: thread creation and exit, the application
// object's exception handler pair, and standard output of a CGI program.
#pragma once

#include <cstdint>

#include "reporting/options/EStoredSymbols.h"

void InstallThreadHooks();
void InstallApplicationHooks();
// Only when REQUEST_METHOD is set.
void InstallCgiHook();
