// A program that installs the layer and meets one exception scenario, named by its first
// argument. It prints what the notification entry records and markers of what the program
// itself saw, in order, on standard output; the test checks both and how the program ended.
#include <cxxabi.h>
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "reporting/interception/ExceptionLog.h"
#include "reporting/options/EModuleData.h"

namespace {

void Say(const std::string& text) {
  std::string line = text + "\n";
  ssize_t ignored = ::write(1, line.data(), line.size());
  (void)ignored;
}

std::string SymbolAt(uintptr_t address) {
  Dl_info info{};
  if (!address || !::dladdr(reinterpret_cast<void*>(address), &info)) return "?";
  std::string module = info.dli_fname ? info.dli_fname : "";
  module = " in=" + module.substr(module.rfind('/') + 1);
  if (!info.dli_sname) return "?" + module;
  int status = 0;
  char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
  std::string name = status == 0 && demangled ? demangled : info.dli_sname;
  std::free(demangled);
  return name + module;
}

std::function<void()> g_inHook;

void PrintRecord(const TNotifyRecord& r) {
  static const char* kSources[] = {"raise", "terminate", "handled", "thread", "signal", "app", "manager"};
  // A return address after a call that does not return may already lie in the next function.
  std::string first = r.ReturnAddresses.empty() ? "-" : SymbolAt(r.ReturnAddresses[0] - 1);
  Say(std::string("NOTIFY ") + kSources[r.Source] + " handled=" + (r.Handled ? "1" : "0") + " class=" + r.ClassName +
      " msg=" + r.Message + " first=" + first + (r.Signal ? " signal=" + std::to_string(r.Signal) : ""));
  if (g_inHook) {
    auto f = std::move(g_inHook);
    g_inHook = nullptr;
    f();
  }
}

struct Guard {
  const char* Name;
  ~Guard() { Say(std::string("DTOR ") + Name); }
};

struct Base : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct Derived : Base {
  using Base::Base;
};
struct Other : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// Throws only when told at run time: a destructor that always throws lets the compiler turn
// the whole region into a terminate region.
volatile bool g_throwInDestructor = true;
struct ThrowingGuard {
  ~ThrowingGuard() noexcept(false) {
    if (g_throwInDestructor) throw Other("from a destructor");
  }
};

}  // namespace

// Not static: the records name the first frame through the dynamic symbol table.
extern "C" __attribute__((noinline)) void ThrowDerived() { throw Derived("derived"); }
extern "C" __attribute__((noinline)) void ThrowDerivedPointer() { throw new Derived("pointer"); }
extern "C" __attribute__((noinline)) void ThrowOther() { throw Other("other"); }
extern "C" __attribute__((noinline)) void CallsThrowerNoexcept() noexcept {
  Guard g{"noexcept"};
  ThrowDerived();
}
extern "C" __attribute__((noinline)) int VectorAt(size_t i) {
  static std::vector<int> v{1, 2, 3};
  return v.at(i);
}
extern "C" __attribute__((noinline)) void* PthreadRoutine(void*) {
  Guard g{"pthread"};
  ThrowDerived();
  return nullptr;
}
extern "C" __attribute__((noinline)) void* CancelledRoutine(void*) {
  try {
    for (;;) ::pause();
  } catch (...) {
    Say("CANCEL CAUGHT");
    throw;
  }
  return nullptr;
}
// In assembly: a null store in C++ is undefined behaviour that the compiler may drop and the
// sanitizer stops before it faults.
int* volatile g_null = nullptr;
extern "C" __attribute__((noinline)) void NullWrite() { asm volatile("movl $1, (%0)" : : "r"(g_null) : "memory"); }
extern "C" __attribute__((noinline)) int Recurse(int n) {
  volatile char pad[512];
  pad[0] = static_cast<char>(n);
  if (n < 0) return 0;  // never: keeps the recursion a recursion for the compiler
  return Recurse(n + 1) + pad[0];
}

namespace {

void ReportHandled() {
  auto& options = CurrentTarvexLogOptions();
  auto flags = options.BehaviourFlags();
  flags.Include(bfReportHandledExceptions);
  options.SetBehaviourFlags(flags);
  RefreshInterceptionOptions();
}

void* Plugin(const char* path) {
  void* handle = ::dlopen(path, RTLD_NOW);
  if (!handle) {
    Say(std::string("DLOPEN FAILED ") + ::dlerror());
    std::exit(3);
  }
  return handle;
}

const std::map<std::string, std::function<void()>> kScenarios = {
    {"catch_all",
     [] {
       try {
         Guard g{"inner"};
         ThrowDerived();
       } catch (...) {
         Say("CAUGHT");
       }
     }},
    {"catch_base",
     [] {
       try {
         ThrowDerived();
       } catch (const Base& e) {
         Say("CAUGHT");
       }
     }},
    {"non_matching",
     [] {
       try {
         Guard g{"inner"};
         ThrowDerived();
       } catch (const Other&) {
         Say("CAUGHT");
       }
     }},
    {"pointer_by_pointer",
     [] {
       try {
         ThrowDerivedPointer();
       } catch (Base* e) {
         Say("CAUGHT");
         delete e;
       }
     }},
    {"pointer_by_reference",
     [] {
       try {
         Guard g{"inner"};
         ThrowDerivedPointer();
       } catch (const Base&) {
         Say("CAUGHT");
       }
     }},
    {"noexcept",
     [] {
       try {
         CallsThrowerNoexcept();
       } catch (...) {
         Say("CAUGHT");
       }
     }},
    {"destructor_throws",
     [] {
       try {
         ThrowingGuard g;
         ThrowDerived();
       } catch (...) {
         Say("CAUGHT");
       }
     }},
    {"rethrow_caught",
     [] {
       try {
         try {
           ThrowDerived();
         } catch (const Base&) {
           Say("INNER");
           throw;
         }
       } catch (...) {
         Say("CAUGHT");
       }
     }},
    {"rethrow_uncaught",
     [] {
       Guard g{"outer"};
       try {
         ThrowDerived();
       } catch (const Base&) {
         Say("INNER");
         throw;
       }
     }},
    {"rethrow_exception_caught",
     [] {
       std::exception_ptr p = std::make_exception_ptr(Derived("stored"));
       try {
         std::rethrow_exception(p);
       } catch (const Base&) {
         Say("CAUGHT");
       }
     }},
    {"rethrow_exception_uncaught",
     [] {
       std::exception_ptr p = std::make_exception_ptr(Derived("stored"));
       Guard g{"outer"};
       std::rethrow_exception(p);
     }},
    {"vector_at_caught",
     [] {
       try {
         VectorAt(7);
       } catch (const std::out_of_range&) {
         Say("CAUGHT");
       }
     }},
    {"vector_at_uncaught",
     [] {
       Guard g{"outer"};
       VectorAt(7);
     }},
    {"plugin_caught",
     [] {
       auto fn = reinterpret_cast<void (*)()>(::dlsym(Plugin(INTERCEPTION_PLUGIN), "PluginThrow"));
       try {
         fn();
       } catch (const std::exception&) {
         Say("CAUGHT");
       }
     }},
    {"plugin_uncaught",
     [] {
       auto fn = reinterpret_cast<void (*)()>(::dlsym(Plugin(INTERCEPTION_PLUGIN), "PluginThrow"));
       Guard g{"outer"};
       fn();
     }},
    {"std_thread",
     [] {
       std::thread t([] {
         Guard g{"thread"};
         ThrowDerived();
       });
       t.join();
     }},
    {"pthread",
     [] {
       pthread_t t;
       ::pthread_create(&t, nullptr, &PthreadRoutine, nullptr);
       ::pthread_join(t, nullptr);
     }},
    {"handled_swallowed",
     [] {
       ReportHandled();
       try {
         ThrowDerived();
       } catch (...) {
         Say("CAUGHT");
       }
       Say("AFTER");
     }},
    {"handled_rethrown",
     [] {
       ReportHandled();
       try {
         try {
           ThrowDerived();
         } catch (...) {
           Say("INNER");
           throw;
         }
       } catch (...) {
         Say("CAUGHT");
       }
       Say("AFTER");
     }},
    {"handled_cancel",
     [] {
       ReportHandled();
       pthread_t t;
       ::pthread_create(&t, nullptr, &CancelledRoutine, nullptr);
       ::usleep(50000);
       ::pthread_cancel(t);
       ::pthread_join(t, nullptr);
       Say("JOINED");
     }},
    {"nested_dropped",
     [] {
       ReportHandled();
       // While the first exception is being reported, the same thread meets another one.
       g_inHook = [] {
         try {
           ThrowOther();
         } catch (...) {
           Say("NESTED CAUGHT");
         }
       };
       try {
         ThrowDerived();
       } catch (...) {
         Say("CAUGHT");
       }
       Say("AFTER");
     }},
    {"forwarding",
     [] {
       void* plugin = Plugin(FORWARDING_PLUGIN);
       auto install = reinterpret_cast<int (*)()>(::dlsym(plugin, "ForwardingInstall"));
       auto report = reinterpret_cast<bool (*)()>(::dlsym(plugin, "ForwardingReport"));
       Say("PLUGIN " + std::to_string(install()));
       Say(std::string("ANSWER ") + (report() ? "1" : "0"));
     }},
    {"reserve",
     [] {
       Say(std::string("RESERVE ") + (AddressReserveHeld() ? "1" : "0"));
       g_inHook = [] { Say(std::string("RESERVE IN REPORT ") + (AddressReserveHeld() ? "1" : "0")); };
       ReportHandled();
       try {
         ThrowDerived();
       } catch (...) {
       }
       Say(std::string("RESERVE ") + (AddressReserveHeld() ? "1" : "0"));
     }},
    {"segv_main", [] { NullWrite(); }},
    {"abort", [] { std::abort(); }},
    {"stack_overflow_worker",
     [] {
       std::thread t([] { Say(std::to_string(Recurse(1))); });
       t.join();
     }},
    {"segv_worker",
     [] {
       std::thread t([] { NullWrite(); });
       t.join();
     }},
};

}  // namespace

int main(int argc, char** argv) {
  ::alarm(20);
  if (argc < 2 || !kScenarios.count(argv[1])) {
    Say("usage: ExceptionLog_child SCENARIO");
    return 2;
  }
  SetNotifyRecordHook(&PrintRecord);
  if (!InstallExceptionLog()) {
    Say("NOT INSTALLED");
    return 4;
  }
  kScenarios.at(argv[1])();
  Say("END");
  ShutdownExceptionLog();
  // After shutdown nothing is intercepted: an uncaught exception ends the program unreported.
  if (argc > 2 && std::strcmp(argv[2], "then-throw") == 0) ThrowDerived();
  return 0;
}
