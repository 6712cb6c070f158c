// What a program that uses the reporting layer needs, in one header.
//
// - Installation and shutdown: InstallExceptionLog, ShutdownExceptionLog,
//   ExceptionLogInstalled. An executable with embedded options has the layer installed before
//   its `main`; a later InstallExceptionLog returns at once.
// - Events: TTarvexEventHandlers and the record they receive, TTarvexExceptionRecord;
//   RegisterEventHandlers / UnregisterEventHandlers / SetGlobalEventHandlers.
// - Options: TTarvexModuleOptions with its flag sets and enumerations, and the current set of
//   the exception being processed, CurrentTarvexLogOptions().
#pragma once

#include "reporting/flow/EFlow.h"
#include "reporting/interception/ExceptionLog.h"
#include "reporting/options/ECore.h"
