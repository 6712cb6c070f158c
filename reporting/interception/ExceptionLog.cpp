// Start-up and shutdown of the interception side, the exported functions, and the address
// space kept in reserve for processing an exception.
#include "reporting/interception/ExceptionLog.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <functional>
#include <mutex>

#include "reporting/interception/ECxxAbi.h"
#include "reporting/interception/EHook.h"
#include "reporting/interception/EPointHooks.h"
#include "reporting/interception/ERaiseHooks.h"
#include "reporting/interception/ESignals.h"
#include "reporting/interception/EThreads.h"
#include "reporting/options/EModuleData.h"
#include "reporting/options/EModules.h"
#include "reporting/options/EStoredData.h"
#include "runtime/SysUtils.h"
#include "runtime/NoDestroy.h"

namespace {

constexpr size_t kAddressReserve = 0x500000;

std::atomic<bool> g_installed{false};
std::atomic<bool> g_forwarding{false};
std::atomic<bool> g_initializationRunning{false};
std::atomic<bool> g_finalizationStarted{false};
bool g_ownsRuntimeInterception = false;
TNoDestroy<std::string> g_startDirectory;  // set again when the leak report reinstalls

std::mutex g_reserveMutex;
void* g_reserve = nullptr;

using TInternalErrorReporter = void (*)(const std::string& text);
TInternalErrorReporter g_internalError = nullptr;

void WriteInternalError(const std::string& text) {
  std::string line = "TarvexLog internal error: " + text + "\n";
  ssize_t ignored = ::write(2, line.data(), line.size());
  (void)ignored;
}

// A step of start-up or shutdown: an error in it is reported by the internal-error reporter
// and the step abandoned; without a reporter it becomes the critical-error exception.
void Step(const char* name, const std::function<void()>& body) {
  try {
    body();
  } catch (const std::exception& e) {
    if (g_internalError) {
      g_internalError(StepGuardText(name, reinterpret_cast<const void*>(&Step)) + ": " + e.what());
      return;
    }
    throw Exception("Critical error at: \"%s\"\r\nError: \"%s\".", {name, e.what()});
  } catch (...) {
    if (g_internalError) {
      g_internalError(StepGuardText(name, reinterpret_cast<const void*>(&Step)));
      return;
    }
    throw Exception("Critical error at: \"%s\"\r\nError: \"%s\".", {name, "General internal error."});
  }
}

using TExceptionManager = bool (*)(void*, const std::type_info*, void*, int, TModuleHandle);

// The main module's ExceptionManager when it is another copy's.
TExceptionManager MainManager() {
  auto fn = reinterpret_cast<TExceptionManager>(::dlsym(RTLD_DEFAULT, "ExceptionManager"));
  return fn == &ExceptionManager ? nullptr : fn;
}

bool DecideForwarding() {
  if (ReportingModuleHandle() == MainModuleHandle()) return false;
  TTarvexModuleData* main = FindModuleData(MainModuleHandle());
  return main && main->Block.Version >= 6020 && MainManager() != nullptr;
}

void OnSignal(const TSignalReport& report) {
  std::string className = SignalClassName(report);
  std::string message = SignalMessage(report);
  TExceptNotifyParams p;
  p.Source = nsSignal;
  p.Native = false;
  p.Context = &report.Context.Registers;
  p.SignalInfo = &report.Info;
  p.ThreadID = report.Context.ThreadID;
  p.ExceptionAddress = report.Context.Registers.Rip;
  p.StackStart = report.Context.Stack.Start;
  p.StackTop = report.Context.Stack.Top;
  p.Stack = report.Context.Stack;
  p.SignalClass = className.c_str();
  p.SignalText = message.c_str();
  p.AccessViolation = className == "EAccessViolation";
  p.WriteFault = (report.ErrorCode & 2) != 0;
  NotifyException(p);
}

}  // namespace

TLayerScope::TLayerScope() { ++LayerDepth(); }
TLayerScope::~TLayerScope() { --LayerDepth(); }
bool TLayerScope::Active() { return LayerDepth() > 0; }

std::string StepGuardText(const char* step, const void* address) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016lX", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address)));
  return Format("%s (Address: %s)", {step, hex});
}

void ReleaseAddressReserve() {
  std::lock_guard lock(g_reserveMutex);
  if (g_reserve) {
    ::munmap(g_reserve, kAddressReserve);
    g_reserve = nullptr;
  }
}

void RetakeAddressReserve() {
  std::lock_guard lock(g_reserveMutex);
  if (g_reserve || !g_installed.load()) return;
  // Address space only: never touched, so it costs no memory.
  void* p = ::mmap(nullptr, kAddressReserve, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  g_reserve = p == MAP_FAILED ? nullptr : p;
}

bool AddressReserveHeld() {
  std::lock_guard lock(g_reserveMutex);
  return g_reserve != nullptr;
}

void RefreshInterceptionOptions() {
  TTarvexModuleData* own = FindModuleData(ReportingModuleHandle());
  SetReportHandled(own && own->Options && own->Options->BehaviourFlags().Contains(bfReportHandledExceptions));
}

bool ExceptionLogInstalled() { return g_installed.load(); }
bool ExceptionLogForwarding() { return g_forwarding.load(); }

bool InstallExceptionLog() {
  static std::mutex installMutex;
  std::lock_guard lock(installMutex);
  if (g_installed.load()) return true;
  TLayerScope scope;
  Step("ECore.Init", [] { LoadAllModulesOptions(); });
  Step("EHook.Init", [] {});
  Step("ExceptionLog.Init", [] {
    g_internalError = &WriteInternalError;
    bool forwarding = DecideForwarding();
    g_forwarding.store(forwarding);
    g_installed.store(true);
    char cwd[PATH_MAX];
    *g_startDirectory = ::getcwd(cwd, sizeof cwd) ? cwd : "";
    g_initializationRunning.store(true);
    g_finalizationStarted.store(false);
    if (!FindModuleData(ReportingModuleHandle())) {  // no reporting data: stay passive
      g_installed.store(false);
      return;
    }
    ThreadRegistry().Clear();
    RegisterCurrentThread(CurrentThreadId() == ::getpid());
    RefreshInterceptionOptions();
    // On Linux the C++ runtime is one shared library: the main module's copy intercepts it
    // for every module, so a forwarding copy installs no runtime interception.
    g_ownsRuntimeInterception = !forwarding;
    if (g_ownsRuntimeInterception) {
      InstallRaiseHooks();
      InstallApplicationHooks();
      InstallCgiHook();
      InstallThreadHooks();
    }
    g_initializationRunning.store(false);
  });
  if (!g_installed.load()) return false;
  RetakeAddressReserve();
  if (g_ownsRuntimeInterception)
    Step("ExceptionLog.Init", [] {
      TLayerThreadScope own;  // the signal thread is the layer's: never registered or stopped
      if (!InstallSignalHandlers(&OnSignal)) throw Exception("The signal thread cannot be started.");
    });
  Step("ExceptionLog.Init", [] {
    TLayerThreadScope own;
    NotifySinkInstalled();
  });
  return true;
}

void ShutdownExceptionLog() {
  if (!g_installed.load()) return;
  TLayerScope scope;
  g_finalizationStarted.store(true);
  Step("ExceptionLog.Done", [] { NotifySinkShutdown(); });
  Step("ExceptionLog.Done", [] {
    // Waits until no exception is being processed.
    if (ExceptionMainLock().try_lock_for(std::chrono::seconds(10))) ExceptionMainLock().unlock();
    if (g_ownsRuntimeInterception) {
      UninstallSignalHandlers();
      RemoveRaiseHooks();
    }
    ThreadRegistry().Clear();
    g_installed.store(false);
  });
  ReleaseAddressReserve();
  Step("EHook.Done", [] { RestoreAllPatches(); });
  Step("ECore.Done", [] {});
  g_ownsRuntimeInterception = false;
}

std::recursive_timed_mutex& ExceptionMainLock() {
  static auto* lock = new std::recursive_timed_mutex;  // outlives static destructors
  return *lock;
}

bool ExceptionManager(void* exceptionObject, const std::type_info* type, void* exceptionAddress, int channel,
                      TModuleHandle callingModule) {
  int savedErrno = errno;
  bool result = true;
  try {
    if (g_forwarding.load()) {
      if (TExceptionManager main = MainManager())
        result = main(exceptionObject, type, exceptionAddress, channel, callingModule);
    } else if (g_installed.load() && !TLayerScope::Active() && !ThreadIsNotifying()) {
      if (!exceptionObject) exceptionObject = TarvexLastObject();
      if (exceptionObject && !type) type = tarvex_abi::HeaderOf(exceptionObject)->exceptionType;
      if (!exceptionObject || !type) {
        result = true;
      } else if (ExceptionAlreadyReported(exceptionObject)) {
        result = false;  // reported at its raise
      } else {
        std::unique_lock lock(ExceptionMainLock(), std::defer_lock);
        bool locked = lock.try_lock_for(std::chrono::seconds(30));
        MarkExceptionReported(exceptionObject);
        TExceptNotifyParams p;
        p.Source = channel == 1 ? nsAppHandler : nsManager;
        p.Channel = channel;
        p.ExceptionObject = exceptionObject;
        p.ExceptionType = type;
        p.ExceptionAddress = reinterpret_cast<uintptr_t>(exceptionAddress);
        p.ThreadID = CurrentThreadId();
        p.StackTop = CurrentStackTop();
        result = NotifyException(p);
        (void)locked;
      }
    }
  } catch (...) {
  }
  errno = savedErrno;
  return result;
}

bool TarvexLog_LastNativeException() { return TarvexLastNative(); }

void TarvexLog_CallGeneralRaise(void* exceptionObject, const std::type_info*, void* returnAddress, void*) {
  // Another copy of the layer hands over a raise it saw; this copy intercepts the runtime for
  // the whole process already, so the raise was analysed here too: only the last one is kept.
  (void)exceptionObject;
  (void)returnAddress;
}

void TarvexLog_CallCreateThread(const void* threadRecord) {
  if (!threadRecord) return;
  TTarvexThreadRecord record = *static_cast<const TTarvexThreadRecord*>(threadRecord);
  record.ForeignRecord = true;
  ThreadRegistry().Add(std::move(record));
}

void TarvexLog_CallResumeThread(pthread_t, const void* threadRecord) {
  if (!threadRecord || ThreadIsNotifying()) return;
  TTarvexThreadRecord record = *static_cast<const TTarvexThreadRecord*>(threadRecord);
  record.ForeignRecord = true;
  ThreadRegistry().Add(std::move(record));
}

void TarvexLog_CallExitThread() { ThreadRegistry().Remove(CurrentThreadId()); }
