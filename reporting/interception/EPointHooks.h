// Interception points other than the raise: thread creation and exit, the application
// object's exception handler pair, and standard output of a CGI program.
#pragma once

#include <cstdint>

// Ids of the stored symbol directory for the routines the layer intercepts in its module: the
// application object's handler pair and its event-dispatch wrapper, whose catch counts as the
// layer's (an exception that reaches it is not caught by the application).
constexpr uint32_t kSymbolHandleException = 0;
constexpr uint32_t kSymbolShowException = 1;
constexpr uint32_t kSymbolApplicationNotify = 11;

void InstallThreadHooks();
void InstallApplicationHooks();
// Only when REQUEST_METHOD is set.
void InstallCgiHook();
