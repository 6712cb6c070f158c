// The other interception points: thread creation and exit in libc, the application object's
// exception handler pair (found through the stored symbol directory), and standard output of
// a CGI program.
#include "reporting/interception/EPointHooks.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <string>

#include "reporting/interception/ECxxAbi.h"
#include "reporting/interception/EHook.h"
#include "reporting/interception/ERaiseAnalysis.h"
#include "reporting/interception/ERaiseHooks.h"
#include "reporting/interception/ESignals.h"
#include "reporting/interception/EThreads.h"
#include "reporting/interception/ExceptionLog.h"
#include "reporting/options/EModuleData.h"
#include "reporting/options/EModules.h"

namespace {

void* LibcFunction(const char* name) {
  void* handle = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  if (!handle) return nullptr;
  void* fn = ::dlsym(handle, name);
  ::dlclose(handle);
  return fn;
}

// Threads.

TPthreadCreate g_pthreadCreate = nullptr;
void (*g_pthreadExit)(void*) = nullptr;

// A thread framework's own start routine catches everything its thread's code throws only to
// end the program (Qt's QThread does so): such a catch is not the application's.
bool IsFrameworkThreadStart(void* start) {
  Dl_info info{};
  if (!::dladdr(start, &info) || !info.dli_fname) return false;
  const char* base = std::strrchr(info.dli_fname, '/');
  base = base ? base + 1 : info.dli_fname;
  return std::strncmp(base, "libQt6Core.so", 13) == 0 || std::strncmp(base, "libQt5Core.so", 13) == 0;
}

int PthreadCreateHook(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
  int savedErrno = errno;
  static std::atomic<void*> frameworkStart{nullptr};
  void* routine = reinterpret_cast<void*>(start);
  if (frameworkStart.load(std::memory_order_relaxed) != routine && IsFrameworkThreadStart(routine)) {
    frameworkStart.store(routine, std::memory_order_relaxed);
    RegisterLayerCatchFrame(routine);
  }
  int rc = TarvexPthreadCreate(g_pthreadCreate, thread, attr, start, arg);
  if (rc == 0) errno = savedErrno;
  return rc;
}

[[noreturn]] void PthreadExitHook(void* value) {
  int savedErrno = errno;
  ThreadRegistry().Remove(CurrentThreadId());
  errno = savedErrno;
  g_pthreadExit(value);
  __builtin_unreachable();
}

// An exception escaped a wrapped thread's routine: report it once (the raise analysis has
// usually done so already, since the wrapper's catch is the layer's).
void ThreadEscape(pid_t) {
  tarvex_abi::CxaException* header = tarvex_abi::Globals()->caughtExceptions;
  if (!header || !tarvex_abi::IsGnuException(&header->unwindHeader)) return;
  void* object = tarvex_abi::ObjectOf(header);
  if (ExceptionAlreadyReported(object)) return;
  MarkExceptionReported(object);
  ExceptionManager(object, tarvex_abi::HeaderOf(object)->exceptionType, nullptr, 0, ReportingModuleHandle());
}

// The application object's handler pair. Both take the exception as std::exception_ptr, which
// the ABI passes by address; its first word is the thrown object.

using THandleException = void (*)(void* self, std::exception_ptr* e);
using TShowException = void (*)(std::exception_ptr* e);
THandleException g_handleException = nullptr;
TShowException g_showException = nullptr;
thread_local bool t_inHandleException = false;

bool ManagerWants(std::exception_ptr* e, int channel) {
  void* object = e ? *reinterpret_cast<void**>(e) : nullptr;
  if (!object) return true;
  const std::type_info* type = tarvex_abi::HeaderOf(object)->exceptionType;
  return ExceptionManager(object, type, nullptr, channel, ReportingModuleHandle());
}

void HandleExceptionHook(void* self, std::exception_ptr* e) {
  t_inHandleException = true;
  bool runOriginal = true;
  try {
    runOriginal = ManagerWants(e, 1);
  } catch (...) {
  }
  if (runOriginal) {
    try {
      g_handleException(self, e);
    } catch (...) {
      t_inHandleException = false;
      throw;
    }
  }
  t_inHandleException = false;
}

void ShowExceptionHook(std::exception_ptr* e) {
  bool runOriginal = true;
  if (!t_inHandleException) {
    try {
      runOriginal = ManagerWants(e, 1);
    } catch (...) {
    }
  }
  if (runOriginal) g_showException(e);
}

// CGI: what goes to standard output is kept as the last page.

ssize_t (*g_write)(int, const void*, size_t) = nullptr;
std::atomic_flag g_pageBusy = ATOMIC_FLAG_INIT;
std::string* g_lastPage = nullptr;
constexpr size_t kLastPageCap = 8u << 20;

ssize_t WriteHook(int fd, const void* buffer, size_t size) {
  ssize_t written = g_write(fd, buffer, size);
  // A signal handler may write while the page is being appended to: then the bytes are skipped.
  if (fd == 1 && written > 0 && !g_pageBusy.test_and_set(std::memory_order_acquire)) {
    int savedErrno = errno;
    try {
      if (g_lastPage->size() + static_cast<size_t>(written) <= kLastPageCap)
        g_lastPage->append(static_cast<const char*>(buffer), static_cast<size_t>(written));
    } catch (...) {
    }
    errno = savedErrno;
    g_pageBusy.clear(std::memory_order_release);
  }
  return written;
}

void* StoredSymbolAddress(uint32_t id) {
  TModuleHandle own = ReportingModuleHandle();
  TTarvexModuleData* data = FindModuleData(own);
  if (!data) return nullptr;
  for (const auto& s : data->Block.Symbols)
    if (s.Id == id && s.Offset) return reinterpret_cast<void*>(own + s.Offset);
  return nullptr;
}

}  // namespace

void InstallThreadHooks() {
  AddThreadStartHook(&SetupThreadAltStack);
  AddThreadExitHook(&ReleaseThreadAltStack);
  SetThreadEscapeHandler(&ThreadEscape);
  RegisterLayerCatchFrame(ThreadWrapperFunction());
  g_pthreadCreate = reinterpret_cast<TPthreadCreate>(
      PatchProcedure(LibcFunction("pthread_create"), reinterpret_cast<void*>(&PthreadCreateHook), "pthread_create"));
  g_pthreadExit = reinterpret_cast<void (*)(void*)>(
      PatchProcedure(LibcFunction("pthread_exit"), reinterpret_cast<void*>(&PthreadExitHook), "pthread_exit"));
}

void InstallApplicationHooks() {
  // A routine the module does not have is simply not intercepted.
  if (void* dispatch = StoredSymbolAddress(kSymbolApplicationNotify)) RegisterLayerCatchFrame(dispatch);
  if (void* handle = StoredSymbolAddress(kSymbolHandleException))
    g_handleException = reinterpret_cast<THandleException>(
        PatchProcedure(handle, reinterpret_cast<void*>(&HandleExceptionHook),
                       "SymbolID = " + std::to_string(kSymbolHandleException)));
  if (void* show = StoredSymbolAddress(kSymbolShowException))
    g_showException = reinterpret_cast<TShowException>(PatchProcedure(
        show, reinterpret_cast<void*>(&ShowExceptionHook), "SymbolID = " + std::to_string(kSymbolShowException)));
}

void InstallCgiHook() {
  const char* method = ::getenv("REQUEST_METHOD");
  if (!method || !*method) return;
  if (!g_lastPage) g_lastPage = new std::string;
  g_write = reinterpret_cast<ssize_t (*)(int, const void*, size_t)>(
      PatchProcedure(LibcFunction("write"), reinterpret_cast<void*>(&WriteHook), "write"));
}

std::string LastHtmlPage() {
  if (!g_lastPage) return {};
  while (g_pageBusy.test_and_set(std::memory_order_acquire)) {
  }
  std::string page = *g_lastPage;
  g_pageBusy.clear(std::memory_order_release);
  return page;
}
