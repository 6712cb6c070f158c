// A program that installs the layer with the processing flow and meets one scenario, named by
// its first argument. Markers go to standard output through write(2), in order, beside what the
// flow itself writes there; the test checks both and how the program ended.
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "reporting/flow/EFlow.h"
#include "reporting/interception/ESignals.h"
#include "reporting/interception/EThreadContext.h"
#include "reporting/interception/ExceptionLog.h"
#include "reporting/options/ECore.h"

namespace {

void Say(const std::string& text) {
  std::string line = text + "\n";
  ssize_t ignored = ::write(1, line.data(), line.size());
  (void)ignored;
}

pid_t Gettid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

struct RouteError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

int g_argc = 0;
char** g_argv = nullptr;

// The exception as a GUI event handler's would reach the layer.
bool Manage(const std::exception& e, int channel = 0) {
  return ExceptionManager(const_cast<std::exception*>(&e), &typeid(e), __builtin_return_address(0), channel, 0);
}

// Each exception is a new object at a new address (the layer knows the one it reported last).
bool ManageRouteError(const char* message) {
  static std::vector<std::unique_ptr<RouteError>> kept;
  kept.push_back(std::make_unique<RouteError>(message));
  return Manage(*kept.back());
}

void PrintNotify() {
  TTarvexEventHandlers h;
  h.ExceptionNotify = [](const TTarvexExceptionRecord& r, bool&) { Say("EVENT notify class=" + r.ClassName); };
  RegisterEventHandlers(std::move(h));
}

__attribute__((noinline)) void ThrowUncaught() { throw RouteError("Route not found"); }

void SetFilter(TFilterHandler handler, TFilterDialog dialog) {
  TTarvexModuleOptions& o = CurrentTarvexLogOptions();
  o.SetFiltersEnabled(true);
  o.ExceptionFilters().Clear();
  TTarvexExceptionFilter f;
  f.MatchClass = "RouteError";
  f.Handler = handler;
  f.Dialog = dialog;
  f.ShownMessage = "Filtered message";
  o.ExceptionFilters().Add(f);
}

// The handler the program had before the layer: it says so and lets the signal take its course.
void EarlierHandler(int sig) {
  char text[32];
  int n = std::snprintf(text, sizeof text, "EARLIER %d\n", sig);
  ssize_t ignored = ::write(1, text, static_cast<size_t>(n));
  (void)ignored;
  ::signal(sig, SIG_DFL);
}

// In assembly: the sanitizers' null check would end the program before the fault.
void* volatile g_null = nullptr;
__attribute__((noinline)) void NullStore() { asm volatile("movl $1, (%0)" : : "r"(g_null) : "memory"); }

volatile bool g_deeper = true;
__attribute__((noinline)) int Recurse(int depth) {
  volatile char pad[1024];
  pad[0] = static_cast<char>(depth);
  return (g_deeper ? Recurse(depth + 1) : 0) + pad[0];
}

// Overwrites the size of the arena's top chunk, then allocates from it: glibc aborts inside
// malloc with the arena locked.
void* (*volatile g_malloc)(size_t) = &std::malloc;
void DamageMalloc() {
  auto* block = static_cast<char*>(g_malloc(50000));
  std::memset(block + malloc_usable_size(block), 0xFF, sizeof(size_t));
  g_malloc(60000);
}

int64_t g_clockMs = 0;

const std::map<std::string, std::function<void()>> kScenarios = {
    {"eabort",
     [] {
       PrintNotify();
       EAbort e("silent");
       Say("RESULT " + std::to_string(Manage(e)));
       try {
         throw EAbort("silent");
       } catch (const EAbort&) {
       }
       throw EAbort("silent and uncaught");
     }},
    {"uncaught", [] { ThrowUncaught(); }},
    {"manager", [] { Say("RESULT " + std::to_string(ManageRouteError("Route not found"))); }},
    {"filter-none", [] {
       SetFilter(hkNone, fdDefault);
       PrintNotify();
       Say("RESULT " + std::to_string(ManageRouteError("Route not found")));
     }},
    {"filter-standard", [] {
       SetFilter(hkStandard, fdDefault);
       PrintNotify();
       Say("RESULT " + std::to_string(ManageRouteError("Route not found")));
     }},
    {"filter-reporter-nodialog", [] {
       SetFilter(hkReporter, fdNone);
       PrintNotify();
       Say("RESULT " + std::to_string(ManageRouteError("Route not found")));
     }},
    {"filter-reporter-detailed", [] {
       SetFilter(hkReporter, fdDetailed);
       PrintNotify();
       Say("RESULT " + std::to_string(ManageRouteError("Route not found")));
     }},
    {"filter-other-class", [] {
       SetFilter(hkNone, fdDefault);
       std::logic_error e("Unfiltered");
       Say("RESULT " + std::to_string(Manage(e)));
     }},
    {"notify-stop", [] {
       TTarvexEventHandlers h;
       h.ExceptionNotify = [](const TTarvexExceptionRecord&, bool& go) { go = false; };
       RegisterEventHandlers(std::move(h));
       Say("RESULT " + std::to_string(ManageRouteError("Route not found")));
     }},
    {"handler-order", [] {
       for (const char* name : {"first", "second"}) {
         TTarvexEventHandlers h;
         h.ExceptionNotify = [name](const TTarvexExceptionRecord&, bool&) { Say(std::string("EVENT ") + name); };
         RegisterEventHandlers(std::move(h));
       }
       TTarvexEventHandlers g;
       g.ExceptionNotify = [](const TTarvexExceptionRecord&, bool&) { Say("EVENT global"); };
       SetGlobalEventHandlers(std::move(g));
       ManageRouteError("Route not found");
     }},
    {"thread-worker", [] {
       TTarvexEventHandlers h;
       static pid_t worker = 0;
       h.ExceptionNotify = [](const TTarvexExceptionRecord&, bool&) {
         Say(std::string("HANDLER ") + (Gettid() == worker ? "raising-thread" : "other-thread"));
       };
       h.ExceptionActionNotify = [](const TTarvexExceptionRecord&, int32_t action, bool&) {
         Say("ACTION " + std::to_string(action) + (Gettid() == worker ? " raising-thread" : " other-thread"));
       };
       RegisterEventHandlers(std::move(h));
       std::thread t([] {
         worker = Gettid();
         ManageRouteError("Route not found");
       });
       t.join();
     }},
    {"thread-signal", [] {
       TTarvexEventHandlers h;
       h.ExceptionNotify = [](const TTarvexExceptionRecord&, bool&) {
         Say(std::string("HANDLER ") + (Gettid() == SignalThreadId() ? "signal-thread" : "other-thread"));
       };
       RegisterEventHandlers(std::move(h));
       std::thread t([] { NullStore(); });
       t.join();
     }},
    {"nested", [] {
       TTarvexEventHandlers h;
       h.ExceptionNotify = [](const TTarvexExceptionRecord&, bool&) {
         Say("NESTED " + std::to_string(ManageRouteError("Nested")));
         throw RouteError("thrown by a handler");
       };
       RegisterEventHandlers(std::move(h));
       Say("RESULT " + std::to_string(ManageRouteError("Route not found")));
     }},
    {"pause", [] {
       // A worker of the process (not a framework thread object) counts while the notify
       // handler watches it; the second argument names the behaviour flags to set.
       static std::atomic<long> ticks{0};
       static std::atomic<bool> stop{false};
       std::thread worker([] {
         while (!stop.load()) ticks.fetch_add(1), std::this_thread::sleep_for(std::chrono::microseconds(200));
       });
       while (ticks.load() == 0) std::this_thread::yield();  // registered: it runs
       auto moving = [] {
         const long before = ticks.load();
         std::this_thread::sleep_for(std::chrono::milliseconds(300));
         return ticks.load() != before ? "running" : "paused";
       };
       TTarvexEventHandlers h;
       h.ExceptionNotify = [&](const TTarvexExceptionRecord&, bool&) { Say(std::string("WORKER during ") + moving()); };
       RegisterEventHandlers(std::move(h));
       TTarvexModuleOptions& o = CurrentTarvexLogOptions();
       TBehaviourFlags flags = o.BehaviourFlags();
       const std::string wanted = g_argc > 2 ? g_argv[2] : "";
       if (wanted.find("own") != std::string::npos) flags.Include(bfPauseOwnThreads);
       if (wanted.find("os") != std::string::npos) flags.Include(bfPauseOsThreads);
       o.SetBehaviourFlags(flags);
       o.SetDialogKind(dkNone);
       ManageRouteError("Route not found");
       Say(std::string("WORKER after ") + moving());
       stop = true;
       worker.join();
     }},
    {"module-events", [] {
       // The exception comes from the plugin: its handlers are asked first, then the program's.
       void* plugin = ::dlopen(FLOW_PLUGIN, RTLD_NOW | RTLD_LOCAL);
       if (!plugin) return Say(std::string("DLOPEN ") + ::dlerror());
       reinterpret_cast<void (*)()>(::dlsym(plugin, "PluginRegister"))();
       TTarvexEventHandlers h;
       h.ExceptionNotify = [](const TTarvexExceptionRecord&, bool&) { Say("MAIN notify"); };
       h.CustomDataRequest = [](const TTarvexExceptionRecord&, std::vector<std::string>& lines) {
         Say("MAIN custom data " + std::to_string(lines.size()));
       };
       RegisterEventHandlers(std::move(h));
       TTarvexModuleOptions& o = CurrentTarvexLogOptions();
       TShowFields fields = o.ShowFields();
       fields.set(47);
       o.SetShowFields(fields);
       auto pluginThrow = reinterpret_cast<void (*)()>(::dlsym(plugin, "PluginThrow"));
       try {
         pluginThrow();
       } catch (const std::exception& e) {
         ExceptionManager(const_cast<std::exception*>(&e), &typeid(e),
                          reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(pluginThrow) + 4), 0, 0);
       }
       // Raised here, the plugin is not asked.
       ManageRouteError("Route not found");
     }},
    {"autocrash", [] {
       // Times in seconds from the arguments, one exception each.
       TTarvexModuleOptions& o = CurrentTarvexLogOptions();
       o.SetAutoCrashAction(xaTerminate);
       o.SetAutoCrashCount(3);
       o.SetAutoCrashMinutes(1);
       SetFlowClock([] { return g_clockMs; });
       for (int i = 2; i < g_argc; ++i) {
         g_clockMs = std::atoll(g_argv[i]) * 1000;
         Say(std::string("AT ") + g_argv[i]);
         ManageRouteError("Route not found");
       }
       Say("SURVIVED");
     }},
    {"restart", [] {
       if (!std::getenv("TARVEXLOG_RESTARTS")) {
         if (::chdir("/") != 0) Say("CHDIR FAILED");
         TTarvexEventHandlers h;
         h.ExceptionNotify = [](const TTarvexExceptionRecord&, bool&) { RequestExit(xaRestart); };
         RegisterEventHandlers(std::move(h));
         ManageRouteError("Route not found");
         Say("NOT RESTARTED");
         return;
       }
       char cwd[PATH_MAX];
       Say(std::string("CWD ") + (::getcwd(cwd, sizeof cwd) ? cwd : "?"));
       for (int i = 0; i < g_argc; ++i) Say(std::string("ARG ") + g_argv[i]);
       for (int fd = 3; fd < 64; ++fd)
         if (::fcntl(fd, F_GETFD) >= 0) Say("OPEN FD " + std::to_string(fd));
       std::exit(0);
     }},
    {"restart-loop", [] {
       Say("START");
       TTarvexEventHandlers h;
       h.ExceptionNotify = [](const TTarvexExceptionRecord&, bool&) { RequestExit(xaRestart); };
       RegisterEventHandlers(std::move(h));
       ManageRouteError("Route not found");
     }},
    {"freeze", [] {
       static std::atomic<bool> frozen{false};
       static std::atomic<int> reports{0};
       SetFreezeProbe([](int waitMs) {
         if (!frozen.load()) return true;
         std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
         return false;
       });
       TTarvexEventHandlers h;
       h.ExceptionNotify = [](const TTarvexExceptionRecord& r, bool&) {
         Say("FROZEN class=" + r.ClassName + " msg=" + r.Message +
             (static_cast<pid_t>(r.RaisingThreadId) == ::getpid() ? " thread=main" : " thread=other") +
             (Gettid() == ::getpid() ? " handler=main" : " handler=watch"));
         ++reports;
       };
       RegisterEventHandlers(std::move(h));
       TTarvexModuleOptions& o = CurrentTarvexLogOptions();
       o.SetFreezeTimeoutSeconds(1);
       o.SetFreezeDetection(true);
       for (int i = 0; i < 2; ++i) {
         // Frozen past the time-out, and until the report is out (a busy machine builds it slowly).
         frozen = true;
         std::this_thread::sleep_for(std::chrono::milliseconds(1600));
         for (int waited = 0; reports.load() <= i && waited < 200; ++waited)
           std::this_thread::sleep_for(std::chrono::milliseconds(100));
         frozen = false;
         Say("THAWED");
         std::this_thread::sleep_for(std::chrono::milliseconds(700));
       }
       o.SetFreezeDetection(false);
     }},
    {"closed-stdout", [] {
       ::close(1);
       ManageRouteError("Route not found");
       std::string line = std::string("WARNING ") + LogErrorCodeName(LastWarningCode()) + " " + LastWarningText() + "\n";
       (void)!::write(2, line.data(), line.size());
     }},
    {"stall", [] {
       // The log store never returns; the second argument says where the exception comes from.
       // The watchdog's short limit starts once the store is stuck: building the report may
       // take longer than that on a busy machine.
       struct TStuckLog : ILogStore {
         bool IsDuplicate(const TTarvexModuleOptions&, const std::string&, bool) override { return false; }
         void ResetOnNewVersion(const TTarvexModuleOptions&, const std::string&) override {}
         bool SaveReport(const TTarvexModuleOptions&, const std::string&, bool, std::string&) override {
           Say("STUCK");
           SetFlowWatchdogSeconds(1);
           for (;;) ::pause();
         }
       };
       SetLogStore(std::make_shared<TStuckLog>());
       CurrentTarvexLogOptions().SetWriteLogFile(true);
       if (g_argc > 2 && std::string(g_argv[2]) == "signal") NullStore();
       Say("RESULT " + std::to_string(ManageRouteError("Route not found")));
     }},
    {"custom-data", [] {
       TTarvexEventHandlers h;
       h.CustomDataRequest = [](const TTarvexExceptionRecord&, std::vector<std::string>& lines) {
         lines = {"Route=Busan-London", " Leg = 2 ", "Route=London-Mobile"};
       };
       RegisterEventHandlers(std::move(h));
       TTarvexModuleOptions& o = CurrentTarvexLogOptions();
       TShowFields fields = o.ShowFields();
       fields.set(47);
       o.SetShowFields(fields);
       ManageRouteError("Route not found");
     }},
    {"handled", [] {
       TTarvexEventHandlers h;
       h.ExceptionNotify = [](const TTarvexExceptionRecord&, bool&) { Say("EVENT unhandled"); };
       h.HandledExceptionNotify = [](const TTarvexExceptionRecord& r, bool&) { Say("EVENT handled " + r.Message); };
       RegisterEventHandlers(std::move(h));
       TTarvexModuleOptions& o = CurrentTarvexLogOptions();
       TBehaviourFlags flags = o.BehaviourFlags();
       flags.Include(bfReportHandledExceptions);
       o.SetBehaviourFlags(flags);
       RefreshInterceptionOptions();
       try {
         throw RouteError("Handled route");
       } catch (const RouteError&) {
       }
     }},
    {"delivery-retry", [] {
       // The first e-mail fails; the error handler asks for a retry once.
       struct TFlakyDelivery : IDelivery {
         int Attempts = 0;
         bool SendEmail(const TTarvexModuleOptions&, const std::string&) override {
           Say("SEND email " + std::to_string(++Attempts));
           return Attempts > 1;
         }
         bool SendWeb(const TTarvexModuleOptions&, const std::string&) override {
           Say("SEND web");
           return true;
         }
       };
       SetDelivery(std::make_shared<TFlakyDelivery>());
       TTarvexEventHandlers h;
       h.ExceptionActionNotify = [](const TTarvexExceptionRecord&, int32_t action, bool& done) {
         Say("ACTION " + std::to_string(action));
         if (action == eaBeforeWeb) done = false;  // skips the web delivery
       };
       h.ExceptionErrorNotify = [](const TTarvexExceptionRecord&, int32_t error, bool& retry) {
         Say("ERROR " + std::to_string(error));
         retry = true;
       };
       RegisterEventHandlers(std::move(h));
       TTarvexModuleOptions& o = CurrentTarvexLogOptions();
       o.SetEmailMode(emSmtpClient);
       o.SetWebMode(wmHttp);
       o.SetDialogKind(dkNone);
       o.SetWriteLogFile(false);
       ManageRouteError("Route not found");
     }},
    {"send-in-thread", [] {
       // The delivery takes a while in its own thread: the processing returns before it ends,
       // and the next exception waits for it.
       struct TSlowDelivery : IDelivery {
         pid_t Main = Gettid();
         bool SendEmail(const TTarvexModuleOptions&, const std::string& text) override {
           Say(std::string("SEND begins in ") + (Gettid() == Main ? "main" : "another") + " thread" +
               (text.find("Route not found") != std::string::npos ? " with the report" : ""));
           std::this_thread::sleep_for(std::chrono::milliseconds(500));
           Say("SEND ends");
           return true;
         }
         bool SendWeb(const TTarvexModuleOptions&, const std::string&) override { return true; }
       };
       SetDelivery(std::make_shared<TSlowDelivery>());
       TTarvexEventHandlers h;
       h.ExceptionNotify = [](const TTarvexExceptionRecord& r, bool&) { Say("EVENT notify " + r.Message); };
       h.ExceptionActionNotify = [](const TTarvexExceptionRecord&, int32_t action, bool&) {
         if (action == eaAfterEmail) Say("ACTION after e-mail");
       };
       RegisterEventHandlers(std::move(h));
       TTarvexModuleOptions& o = CurrentTarvexLogOptions();
       o.SetEmailMode(emSmtpClient);
       o.SetDialogKind(dkNone);
       TSendFlags flags = o.SendFlags();
       flags.Include(sfSendInThread);
       o.SetSendFlags(flags);
       ManageRouteError("Route not found");
       Say("RETURNED");
       ManageRouteError("Second route");
       Say("END");
     }},
    {"crash-in-processing", [] {
       struct TCrashingLog : ILogStore {
         bool IsDuplicate(const TTarvexModuleOptions&, const std::string&, bool) override { return false; }
         void ResetOnNewVersion(const TTarvexModuleOptions&, const std::string&) override {}
         bool SaveReport(const TTarvexModuleOptions&, const std::string&, bool, std::string&) override {
           NullStore();
           return true;
         }
       };
       SetLogStore(std::make_shared<TCrashingLog>());
       CurrentTarvexLogOptions().SetWriteLogFile(true);
       ManageRouteError("Route not found");
     }},
    // The fault table.
    {"segv-main", [] { NullStore(); }},
    {"segv-worker", [] { std::thread([] { NullStore(); }).join(); }},
    {"stack-overflow", [] { Say(std::to_string(Recurse(0))); }},
    {"damaged-malloc", [] { DamageMalloc(); }},
    {"abort", [] { std::abort(); }},
    {"bad-alloc", [] {
       rlimit limit{};
       ::getrlimit(RLIMIT_AS, &limit);
       limit.rlim_cur = 1024UL * 1024 * 1024;
       ::setrlimit(RLIMIT_AS, &limit);
       std::vector<char*> blocks;
       for (;;) {
         char* block = new char[16 * 1024 * 1024];
         std::memset(block, 1, 4096);
         blocks.push_back(block);
       }
     }},
    {"blocked-suspension", [] {
       std::atomic<bool> ready{false};
       std::thread t([&] {
         sigset_t set;
         sigemptyset(&set);
         sigaddset(&set, SuspendSignal());
         ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
         ready = true;
         ::pause();
       });
       t.detach();
       while (!ready) std::this_thread::yield();
       TTarvexModuleOptions& o = CurrentTarvexLogOptions();
       TCallStackFlags flags = o.CallStackFlags();
       flags.Include(cfOsThreadStacks);
       o.SetCallStackFlags(flags);
       ThrowUncaught();
     }},
};

}  // namespace

int main(int argc, char** argv) {
  ::alarm(30);
  g_argc = argc;
  g_argv = argv;
  if (argc < 2 || !kScenarios.count(argv[1])) {
    Say("usage: EFlow_child SCENARIO");
    return 2;
  }
  if (std::getenv("FLOW_EARLIER_HANDLERS"))
    for (int sig : {SIGSEGV, SIGABRT}) ::signal(sig, EarlierHandler);
  SetFlowWatchdogSeconds(20);
  if (!InstallExceptionLog()) {
    Say("NOT INSTALLED");
    return 4;
  }
  kScenarios.at(argv[1])();
  Say("END");
  return 0;
}
