// The interception side of the layer: installing and removing the interception points, the
// process-wide raise state, the notification entry that every point calls once per
// exception, and the functions exported for other modules that carry their own copy.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <typeinfo>
#include <vector>

#include "reporting/interception/EContext.h"
#include "reporting/options/ECore.h"

// Where an exception reached the layer.
enum TNotifySource : uint8_t {
  nsRaise,          // a throw that nothing in the application catches, before unwinding
  nsTerminate,      // the std::terminate handler
  nsHandled,        // a handler completed (bfReportHandledExceptions)
  nsThreadEscape,   // an exception escaped a thread's start routine
  nsSignal,         // a fatal signal
  nsAppHandler,     // the application object's exception handler
  nsManager,        // ExceptionManager called by a module
};

struct TTarvexStackEntry;

// What an interception point hands to the notification entry.
struct TExceptNotifyParams {
  bool Handled = false;
  const TCpuRegisters* Context = nullptr;  // may be null
  const siginfo_t* SignalInfo = nullptr;   // for a signal
  const uintptr_t* ReturnAddresses = nullptr;  // the prepared call stack, innermost first
  size_t ReturnAddressCount = 0;
  // A call stack made by the caller (the leak report's rows): the exception's whole call stack,
  // used as it is.
  const std::vector<TTarvexStackEntry>* PreparedEntries = nullptr;
  uintptr_t StackTop = 0;
  uintptr_t StackStart = 0;
  pid_t ThreadID = 0;
  std::string ActiveControlClass;
  std::string ActiveControlText;
  // Linux: the exception itself.
  TNotifySource Source = nsRaise;
  int Channel = 0;                  // output channel of ExceptionManager (0, 1, 2)
  void* ExceptionObject = nullptr;  // the thrown object; null for a signal
  const std::type_info* ExceptionType = nullptr;
  uintptr_t ExceptionAddress = 0;   // start of the raising call, or the faulting instruction
  bool Native = true;               // a C++ exception (false: a signal)
  int Note = 0;
  TStackCopyView Stack;             // snapshot or signal stack copy, may be empty
  const char* SignalClass = nullptr;     // for a signal: its runtime class name
  const char* SignalText = nullptr;      // and message
  bool AccessViolation = false;          // a fault on a memory access: SignalInfo->si_addr is its address
  bool WriteFault = false;               // the access was a write (the page fault's error code)
};

// Until the processing flow exists, the notification entry keeps a record of what it received.
struct TNotifyRecord {
  TNotifySource Source = nsRaise;
  bool Handled = false;
  int Channel = 0;
  pid_t ThreadID = 0;
  std::string ClassName;
  std::string Message;
  uintptr_t ExceptionAddress = 0;
  std::vector<uintptr_t> ReturnAddresses;
  int Signal = 0;
  size_t StackBytes = 0;
};

// The notification entry. Returns true when the caller must still run its own standard
// handling, false when the exception was dealt with.
bool NotifyException(const TExceptNotifyParams& params);

// The records kept so far, and a hook called with each new one right after it is kept (on the
// thread that met the exception, or the signal thread). Tests' child programs print from it.
std::vector<TNotifyRecord> NotifyRecords();
using TNotifyRecordHook = void (*)(const TNotifyRecord& record);
void SetNotifyRecordHook(TNotifyRecordHook hook);

// The processing flow, when linked, takes over each notification after the record and its
// hook: its result becomes the entry's. Installed runs at the end of a successful
// InstallExceptionLog, Shutdown at the start of ShutdownExceptionLog. The interception itself
// does not depend on the flow.
struct TNotifySink {
  bool (*Notify)(const TExceptNotifyParams& params) = nullptr;
  void (*Installed)() = nullptr;
  void (*Shutdown)() = nullptr;
};
void SetNotifySink(const TNotifySink& sink);
void NotifySinkInstalled();
void NotifySinkShutdown();

// The layer's main lock: one exception at a time. ExceptionManager, the notification entry's
// flow part and a background delivery take it; recursive, because ExceptionManager holds it
// while it notifies.
std::recursive_timed_mutex& ExceptionMainLock();

// Start-up and shutdown of the layer in this module, in the designed order, each step guarded.
// Install returns whether the layer is active (the module carries reporting data).
bool InstallExceptionLog();
void ShutdownExceptionLog();
bool ExceptionLogInstalled();
// This module forwards to the main module's copy of the layer.
bool ExceptionLogForwarding();

// The 5 MiB address-space reserve: released while an exception is processed, taken again after.
void ReleaseAddressReserve();
void RetakeAddressReserve();
bool AddressReserveHeld();

// Whether handled exceptions are reported (the own option set's bfReportHandledExceptions);
// read on every end of a handler, so kept in an atomic that option changes refresh.
void RefreshInterceptionOptions();

// The last HTML page of a CGI program (bytes written to standard output while REQUEST_METHOD
// is set).
std::string LastHtmlPage();

// The calling thread runs the layer's own code: raises are not analysed, exceptions not
// reported. Nested use is counted.
class TLayerScope {
 public:
  TLayerScope();
  ~TLayerScope();
  TLayerScope(const TLayerScope&) = delete;
  TLayerScope& operator=(const TLayerScope&) = delete;
  static bool Active();
};

// Text of a step's guard: "%s (Address: %s)" with the step name and 16 hexadecimal digits.
std::string StepGuardText(const char* step, const void* address);

// Exported for other modules of the process (found with dlsym).
extern "C" {
__attribute__((visibility("default"))) bool ExceptionManager(void* exceptionObject, const std::type_info* type,
                                                             void* exceptionAddress, int channel,
                                                             TModuleHandle callingModule);
__attribute__((visibility("default"))) bool TarvexLog_LastNativeException();
__attribute__((visibility("default"))) void TarvexLog_CallGeneralRaise(void* exceptionObject, const std::type_info* type,
                                                                       void* returnAddress, void* stackPointer);
__attribute__((visibility("default"))) void TarvexLog_CallCreateThread(const void* threadRecord);
__attribute__((visibility("default"))) void TarvexLog_CallResumeThread(pthread_t thread, const void* threadRecord);
__attribute__((visibility("default"))) void TarvexLog_CallExitThread();
}
