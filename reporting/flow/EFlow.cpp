// The notification entry's flow part, the processing of one exception and its events.
#include "reporting/flow/EFlow.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <sys/mman.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "reporting/debuginfo/ECallStack.h"
#include "reporting/flow/EFlowState.h"
#include "reporting/interception/ExceptionLog.h"
#include "reporting/interception/EThreadContext.h"
#include "reporting/interception/EThreads.h"
#include "reporting/options/EModuleData.h"
#include "reporting/options/EModules.h"
#include "reporting/options/EProgramKind.h"
#include "reporting/options/ETextVars.h"
#include "reporting/report/ELiveSnapshot.h"
#include "reporting/report/ELogItem.h"
#include "reporting/report/EReport.h"
#include "runtime/NoDestroy.h"
#include "runtime/ClassNames.h"
#include "runtime/SysUtils.h"

namespace tarvex_flow {

TFlowState& State() {
  static TFlowState* state = new TFlowState;  // outlives static destructors: threads may still report
  return *state;
}

TPendingCall& PendingCall() {
  static TPendingCall* slot = new TPendingCall;
  return *slot;
}

bool RunPendingCall() {
  TPendingCall& slot = PendingCall();
  std::function<void()>* call = nullptr;
  {
    std::lock_guard lock(slot.Mutex);
    call = slot.Call;
  }
  if (!call) return false;
  try {
    (*call)();
  } catch (...) {
  }
  std::lock_guard lock(slot.Mutex);
  slot.Call = nullptr;
  slot.Changed.notify_all();
  return true;
}

namespace {

std::mutex g_clockMutex;
TNoDestroy<std::function<int64_t()>> g_clock;

}  // namespace

int64_t NowMilliseconds() {
  {
    std::lock_guard lock(g_clockMutex);
    if (*g_clock) return (*g_clock)();
  }
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace tarvex_flow

using namespace tarvex_flow;

namespace {

pid_t Gettid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// ---- Raising an event -------------------------------------------------------------------------

bool* AbiArg(bool& value) { return &value; }
int32_t AbiArg(int32_t& value) { return value; }
std::vector<std::string>* AbiArg(std::vector<std::string>& value) { return &value; }

// The other module's exported function first (`exportName`), then this module's handlers.
template <class F, class... A>
void CallEach(const char* exportName, F TTarvexEventHandlers::*member, A&... args) {
  if (void* fn = RaisingModuleEventFunction(exportName)) {
    TTarvexEventRecordHolder abi(State().Record);
    using TExport = void (*)(const TTarvexEventRecord*, decltype(AbiArg(args))...);
    try {
      reinterpret_cast<TExport>(fn)(&abi.Record, AbiArg(args)...);
    } catch (...) {
    }
  }
  CallHandlers(State().Record, member, args...);
}

// ---- Interfaces and their plain implementations ----------------------------------------------

class TPlainUi final : public IExceptionUi {
 public:
  void ShowExceptionDialog(const TTarvexExceptionRecord& record, TDialogKind, bool, bool, TDialogState&) override {
    // No dialog unit: the program learns of the exception through one line.
    std::string caption = State().Options ? State().Options->GetText(3) : std::string("Error occurred");
    WriteAll(2, caption + ": " + record.ClassName + ": " + record.Message + "\n");
    throw Exception("No dialog can be shown.");
  }
  void ShowReproduceRequest(TTarvexModuleOptions&) override {}
  bool DialogOnScreen() const override { return false; }
};

class TPlainLogStore final : public ILogStore {
 public:
  bool IsDuplicate(const TTarvexModuleOptions&, const std::string&, bool) override { return false; }
  void ResetOnNewVersion(const TTarvexModuleOptions&, const std::string&) override {}
  bool SaveReport(const TTarvexModuleOptions&, const std::string&, bool, std::string&) override { return true; }
};

class TPlainDelivery final : public IDelivery {
 public:
  bool SendEmail(const TTarvexModuleOptions&, const std::string&) override { return true; }
  bool SendWeb(const TTarvexModuleOptions&, const std::string&) override { return true; }
};

class TPlainScreenshot final : public IScreenshot {
 public:
  void Capture() override {}
  void Save(const std::string&) override {}
  void Release() override {}
};

struct TUnits {
  std::mutex Mutex;
  std::shared_ptr<IExceptionUi> Ui = std::make_shared<TPlainUi>();
  std::shared_ptr<ILogStore> Log = std::make_shared<TPlainLogStore>();
  std::shared_ptr<IDelivery> Delivery = std::make_shared<TPlainDelivery>();
  std::shared_ptr<IScreenshot> Screenshot = std::make_shared<TPlainScreenshot>();
};
// Never destroyed (threads may report while the program ends). The dialogs and the log store
// register at load time, also in a shared object that may be unloaded again: the sanitizer's
// leak check is told that this block is meant to stay.
TUnits& Units() {
  static TUnits* units = [] {
    auto* created = new TUnits;
#if defined(__SANITIZE_ADDRESS__)
    __lsan_ignore_object(created);
#endif
    return created;
  }();
  return *units;
}
template <class T>
std::shared_ptr<T> Unit(std::shared_ptr<T> TUnits::*member) {
  std::lock_guard lock(Units().Mutex);
  return Units().*member;
}

// ---- Process-wide flags -----------------------------------------------------------------------

thread_local bool t_inEntry = false;
std::atomic<bool> g_eventsOff{false};
std::atomic<int> g_watchdogSeconds{120};
// Monotonic start of the processing in progress (0: none) and its signal (0: a C++ exception).
std::atomic<int64_t> g_processingSince{0};
std::atomic<int> g_processingSignal{0};
std::atomic<pid_t> g_waitingThread{0};
TReportTime g_startTime;

std::mutex g_warningMutex;
TTarvexLogErrorCode g_warningCode = eeNone;
TNoDestroy<std::string> g_warningText;

std::string Hex16(uintptr_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016lX", static_cast<unsigned long>(value));
  return text;
}

// ---- The exception's class and message ------------------------------------------------------

bool DerivesFrom(const std::type_info& base, const std::type_info* type, void* object, void** adjusted) {
  if (!type || type->__is_pointer_p()) return false;
  void* p = object;
  bool ok = base.__do_catch(type, &p, 1);
  if (ok && adjusted) *adjusted = p;
  return ok;
}

std::string MessageOf(const TExceptNotifyParams& p, bool& isException) {
  isException = true;
  if (p.SignalText) return p.SignalText;
  void* adjusted = nullptr;
  if (p.ExceptionObject && DerivesFrom(typeid(std::exception), p.ExceptionType, p.ExceptionObject, &adjusted))
    return static_cast<const std::exception*>(adjusted)->what();
  isException = false;
  return "Unknown error message.";
}

std::string ClassNameOf(const TExceptNotifyParams& p) {
  if (p.SignalClass) return p.SignalClass;
  if (p.ExceptionType) return PlainClassName(*p.ExceptionType);
  return "Unknown exception type";
}

// ---- Choice of the option set -----------------------------------------------------------------

TTarvexModuleData* DataOfAddress(uintptr_t address) {
  if (!address) return nullptr;
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(address), &info) || !info.dli_fbase) return nullptr;
  return FindModuleData(reinterpret_cast<TModuleHandle>(info.dli_fbase));
}

void ChooseOptionSet(const TExceptNotifyParams& p) {
  TFlowState& st = State();
  st.StepCode = 101;
  TTarvexModuleData* chosen = DataOfAddress(p.ExceptionAddress);
  st.StepCode = 102;
  TTarvexModuleData* fallback = FindModuleData(ReportingModuleHandle());
  if (!fallback) fallback = FindModuleData(MainModuleHandle());
  st.StepCode = 103;
  if (!chosen || !chosen->Options) chosen = fallback;
  if (!chosen || !chosen->Options) throw Exception("No option set.");
  if (chosen->Options->BehaviourFlags().Contains(bfUseMainModuleOptions))
    if (TTarvexModuleData* main = FindModuleData(MainModuleHandle()); main && main->Options) chosen = main;
  auto options = std::make_unique<TTarvexModuleOptions>(chosen->FileName);
  options->Assign(chosen->Options.get());
  st.StepCode = 104;
  options->SetReproduceText({});
  st.Options = std::move(options);
}

// ---- Events ---------------------------------------------------------------------------------------

void RaiseNotify(bool handled, bool& continueFlag) {
  DispatchEvent([&] {
    CallEach(handled ? "TarvexLog_HandledExceptionNotifyEvent" : "TarvexLog_ExceptionNotifyEvent",
             handled ? &TTarvexEventHandlers::HandledExceptionNotify : &TTarvexEventHandlers::ExceptionNotify,
             continueFlag);
  });
}

bool RaiseAction(int32_t action) {
  bool& done = State().DoneFlag;
  DispatchEvent([&] { CallEach("TarvexLog_ExceptionActionNotifyEvent", &TTarvexEventHandlers::ExceptionActionNotify, action, done); });
  return done;
}

bool RaiseError(int32_t error) {
  bool& retry = State().RetryFlag;
  retry = false;
  DispatchEvent([&] { CallEach("TarvexLog_ExceptionErrorNotifyEvent", &TTarvexEventHandlers::ExceptionErrorNotify, error, retry); });
  return retry;
}

// ---- Output ---------------------------------------------------------------------------------------

enum TOutputMode { omDialog, omConsole, omWeb };

TOutputMode ResolveOutput(int channel) {
  const bool web = FlowCgiProgram(), console = ConsoleProgram();
  switch (channel) {
    case 0: return web ? omWeb : console ? omConsole : omDialog;
    case 1: return console ? omConsole : omDialog;
    case 2: return omWeb;
    default: return omDialog;
  }
}

bool WriteReportPage(const std::string& text) {
  const TTarvexModuleOptions& options = *State().Options;
  return WriteWebPage(BuildHtmlPage(options, options.GetText(4) + "\r\n\r\n" + text, true));
}

// Output step; returns whether the first dialog was the detailed one.
bool ProduceOutput(int channel, TDialogKind kind, const std::string& reportText) {
  TFlowState& st = State();
  switch (ResolveOutput(channel)) {
    case omConsole:
      try {
        if (!WriteConsoleReport(reportText)) throw Exception(std::strerror(errno));
      } catch (...) {
        st.DoneFlag = false;
        ReportSectionWarning(eeShowError, "Console");
      }
      return false;
    case omWeb:
      st.DoneFlag = WriteReportPage(reportText);
      return false;
    case omDialog:
      break;
  }
  const bool detailed = kind == dkDetailed;
  try {
    auto ui = Unit(&TUnits::Ui);
    st.Dialog.Kind = dkNone;
    ui->ShowExceptionDialog(st.Record, kind, true, false, st.Dialog);
    while (st.Dialog.Kind != dkNone) {
      TDialogKind next = st.Dialog.Kind;
      st.Dialog.Kind = dkNone;
      ui->ShowExceptionDialog(st.Record, next, false, true, st.Dialog);
    }
    st.DoneFlag = true;
  } catch (...) {
    st.DoneFlag = false;
    ReportSectionWarning(eeShowError, "GUI");
  }
  return detailed;
}

bool DecideDelivery(bool duplicate) {
  const TTarvexModuleOptions& o = *State().Options;
  return (o.EmailMode() != emNone || o.WebMode() != wmNone) && !duplicate &&
         (State().Dialog.SendReport || o.DialogKind() == dkNone);
}

void Deliver(const std::string& reportText) {
  TFlowState& st = State();
  TTarvexModuleOptions& o = *st.Options;
  auto delivery = Unit(&TUnits::Delivery);
  st.DoneFlag = true;
  ClearWarning();
  delivery->BeginDelivery(o, reportText);
  // A failed e-mail does not skip the web route: the report would be lost for no reason.
  bool success = true;
  if (o.EmailMode() != emNone && RaiseAction(eaBeforeEmail)) {
    bool sent;
    while (!(sent = delivery->SendEmail(o, reportText)) && RaiseError(eaAfterEmail)) {
    }
    success = sent;
    RaiseAction(eaAfterEmail);
  }
  st.DoneFlag = true;
  if (o.WebMode() != wmNone && RaiseAction(eaBeforeWeb)) {
    bool sent;
    while (!(sent = delivery->SendWeb(o, reportText)) && RaiseError(eaAfterWeb)) {
    }
    success = success && sent;
    RaiseAction(eaAfterWeb);
  }
  delivery->EndDelivery(o, reportText, success);
}

void ApplyAutoCrashRule() {
  TFlowState& st = State();
  const TTarvexModuleOptions& o = *st.Options;
  if (o.AutoCrashAction() == xaNone || o.AutoCrashCount() <= 0) return;
  if (st.AutoCrashTimes.size() != static_cast<size_t>(o.AutoCrashCount())) return;
  if (st.AutoCrashTimes.back() - st.AutoCrashTimes.front() <= static_cast<int64_t>(o.AutoCrashMinutes()) * 60000)
    RequestExit(o.AutoCrashAction());
}

// ---- The pause rule -------------------------------------------------------------------------------

std::mutex g_pauseMutex;
TThreadPause& Paused() {
  static TThreadPause* pause = new TThreadPause;  // resumed explicitly, never destroyed
  return *pause;
}

// The application's own threads are the main thread and those of framework thread objects.
bool PauseRuleSelects(const TTarvexThreadRecord& thread, TBehaviourFlags flags) {
  const bool own = thread.MainThread || thread.ThreadObject != nullptr;
  if (!own) return flags.Contains(bfPauseOsThreads);
  return flags.Contains(bfPauseOwnThreads) && !(thread.MainThread && flags.Contains(bfKeepMainThreadRunning));
}

void PauseThreads(const std::vector<TTarvexThreadRecord>& registry, TBehaviourFlags flags, pid_t exceptionThread) {
  std::vector<pid_t> tids;
  const pid_t self = Gettid(), waiting = g_waitingThread.load();
  for (const TTarvexThreadRecord& thread : registry)
    if (thread.ThreadID != self && thread.ThreadID != exceptionThread && thread.ThreadID != waiting &&
        PauseRuleSelects(thread, flags))
      tids.push_back(thread.ThreadID);
  if (tids.empty()) return;
  std::lock_guard lock(g_pauseMutex);
  Paused().Pause(tids, std::chrono::seconds(1));  // a busy machine schedules a sleeping thread late
}

void ResumePausedThreads() {
  std::lock_guard lock(g_pauseMutex);
  Paused().Resume();
}

// ---- Delivery in a thread of its own -------------------------------------------------------------

// The send thread delivers after the processing has returned; the next exception waits for it
// once it holds the main lock, so the state it reads stays its own until it ends.
// A plain handle: a program may end, or a module holding a copy of the layer be unloaded,
// while it runs.
std::mutex g_sendMutex;
pthread_t g_sendThread{};
bool g_sendJoinable = false;
std::atomic<bool> g_sendPending{false};
std::atomic<pid_t> g_sendTid{0};

void WaitForSendThread() {
  std::lock_guard lock(g_sendMutex);
  if (!g_sendJoinable || pthread_equal(g_sendThread, pthread_self())) return;
  pthread_join(g_sendThread, nullptr);
  g_sendJoinable = false;
}

// What the processing leaves behind once its record is no longer handed out.
void FinishRecord() {
  TFlowState& st = State();
  st.Record.StackList = nullptr;
  st.Record.OptionSet = nullptr;
  ClearReportVariables();
}

void* SendThreadMain(void* arg) {
  std::unique_ptr<std::string> text(static_cast<std::string*>(arg));
  TLayerScope scope;
  g_sendTid = Gettid();
  ::pthread_setname_np(::pthread_self(), "tarvex-send");
  TFlowState& st = State();
  try {
    Deliver(*text);
    RemoveTemporaryFiles();
    ApplyAutoCrashRule();
    if (st.TerminatePending) ExitApplication(st.Options->TerminateButtonAction() == xaRestart);
  } catch (...) {
  }
  FinishRecord();
  g_sendTid = 0;
  g_sendPending = false;
  return nullptr;
}

// False when no thread could be started: the caller delivers itself.
bool StartSendThread(const std::string& textToSend) {
  TFlowState& st = State();
  WaitForSendThread();
  // The exception object is the application's again once the processing returns, and the
  // stack list lives in the processing; a C++ object cannot be copied by its dynamic type, so
  // the send thread's record keeps the class name and message instead.
  st.Record.RaisedObject = nullptr;
  st.Record.StackList = nullptr;
  st.RecordHanded = false;  // from now on handlers run in the send thread
  // A program that ends while a report is being delivered waits for it. Registered with the
  // first delivery, so that it runs before what the processing has created is destroyed.
  static std::once_flag atExit;
  std::call_once(atExit, [] { std::atexit([] { WaitForSendThread(); }); });
  std::lock_guard lock(g_sendMutex);
  TLayerThreadScope own;  // never registered, paused or scanned
  g_sendPending = true;
  auto* text = new (std::nothrow) std::string(textToSend);
  if (!text || pthread_create(&g_sendThread, nullptr, &SendThreadMain, text) != 0) {
    delete text;
    g_sendPending = false;
    return false;
  }
  g_sendJoinable = true;
  return true;
}

// ---- The processing flow ------------------------------------------------------------------------

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Section 8 with the given fields, inserted right after the general part; the general part then
// includes it.
void InsertReportSection(TBugReport& report, const std::string& title,
                         const std::vector<std::pair<std::string, std::string>>& fields) {
  TLogItem item(7);
  item.AddHeader(title);
  for (const auto& [name, value] : fields) item.AddItem(name, value);
  const std::string section = item.GetText() + "\r\n";
  const std::string rest = report.Text.substr(std::min(report.GeneralPart.size(), report.Text.size()));
  report.GeneralPart += section;
  report.Text = report.GeneralPart + rest;
}

// "name=value" lines: each names a field whose value is that of the first line of its name.
std::vector<std::pair<std::string, std::string>> CustomDataFields(const std::vector<std::string>& lines) {
  std::vector<std::pair<std::string, std::string>> fields;
  for (const std::string& line : lines) {
    const std::string name = Trimmed(line.substr(0, line.find('=')));
    std::string value;
    for (const std::string& other : lines)
      if (Trimmed(other.substr(0, other.find('='))) == name) {
        const size_t eq = other.find('=');
        value = eq == std::string::npos ? std::string() : Trimmed(other.substr(eq + 1));
        break;
      }
    fields.emplace_back(name, value);
  }
  return fields;
}

bool ProcessException(const TExceptNotifyParams& p) {
  TFlowState& st = State();
  bool result = false;
  bool sentInThread = false;
  try {
    st.StepCode = 1;
    const TReportTime exceptionTime = NowReportTime();
    st.ExceptionTime = exceptionTime;
    st.Record = {};
    st.Identifier.clear();
    st.Duplicate = false;
    st.Record.RaisedObject = p.ExceptionObject;
    st.Record.RaisedType = p.ExceptionType;
    st.Record.RaiseAddress = p.ExceptionAddress;
    st.Record.RaisingThreadId = static_cast<uint32_t>(p.ThreadID);
    bool isException = true;
    st.Record.ClassName = ClassNameOf(p);
    st.Record.Message = MessageOf(p, isException);

    ChooseOptionSet(p);
    TTarvexModuleOptions& o = *st.Options;

    st.StepCode = 2;
    st.CustomErrorMessage.clear();
    TTarvexExceptionFilter decision = DecidingFilter(nullptr);
    decision.Dialog = fdDefault;
    bool filterChoseDialog = false;
    TDialogKind dialogKind = o.DialogKind();

    st.StepCode = 201;
    if (p.Note != 2 && o.FiltersEnabled()) {
      const TTarvexExceptionFilter* match =
          p.ExceptionType ? FindExceptionFilter(o.ExceptionFilters(), *p.ExceptionType, p.Handled)
                          : FindExceptionFilter(o.ExceptionFilters(), std::vector<std::string>{st.Record.ClassName});
      decision = DecidingFilter(match);
      if (match) {
        switch (decision.Dialog) {
          case fdNone: dialogKind = dkNone, filterChoseDialog = true; break;
          case fdDefault: break;
          case fdMessageBox: dialogKind = dkMessageBox, filterChoseDialog = true; break;
          case fdClassic: dialogKind = dkClassic, filterChoseDialog = true; break;
          case fdDetailed: dialogKind = dkDetailed, filterChoseDialog = true; break;
        }
        std::string shown = ExpandTextVariables(decision.ShownMessage);
        if (!shown.empty()) st.CustomErrorMessage = shown;
      }
    }

    if (decision.Handler == hkStandard) return true;
    if (decision.Handler == hkNone) return false;

    // hkReporter.
    st.StepCode = 3;
    TThreadContext context;
    TExceptionThreadStack ex;
    ex.ThreadID = p.ThreadID;
    ex.ExceptionAddress = p.ExceptionAddress;
    if (p.Context && p.Context->Valid && p.Stack.Size) {
      context.ThreadID = p.ThreadID;
      context.Registers = *p.Context;
      context.Stack = p.Stack;
      ex.Context = &context;
    }
    ex.ReturnAddresses = {p.ReturnAddresses, p.ReturnAddressCount};
    ex.StackStart = p.StackStart;
    ex.StackTop = p.StackTop;
    st.StepCode = 4;
    std::vector<TTarvexThreadRecord> registry = ThreadRegistry().Snapshot();
    TReportException x;
    // A prepared call stack (the leak report's rows) is the whole list: no thread is walked.
    x.CallStack = p.PreparedEntries ? *p.PreparedEntries : BuildExceptionStacks(ex, registry, o.CallStackFlags());
    st.StepCode = 5;
    struct TResume {
      ~TResume() { ResumePausedThreads(); }  // also after an internal error
    } resume;
    if (p.Note != 2) PauseThreads(registry, o.BehaviourFlags(), static_cast<pid_t>(p.ThreadID));
    st.StepCode = 6;
    st.ContinueFlag = true;
    if (o.LogFlags().Contains(lfModulesAndProcesses)) RefreshModuleList();

    st.StepCode = 7;
    x.ClassName = st.Record.ClassName;
    x.Message = st.Record.Message;
    x.ShownMessage = st.CustomErrorMessage;
    x.IsException = isException;
    x.Address = p.ExceptionAddress;
    if (p.Context && p.Context->Valid) x.Context = *p.Context;
    if (p.AccessViolation && p.SignalInfo) {
      x.AccessViolation = true;
      x.FaultAddress = reinterpret_cast<uintptr_t>(p.SignalInfo->si_addr);
      x.WriteFault = p.WriteFault;
    }
    x.ActiveControlClass = p.ActiveControlClass;
    x.ActiveControlText = p.ActiveControlText;
    x.ConsoleOrWeb = ConsoleProgram();
    x.MainModuleFile = MainModuleFileName();
    st.Record.SystemRecord = p.SignalInfo;
    st.Record.ProcessorContext = p.Context;
    st.StepCode = 702;
    TLiveSnapshotOptions live;
    live.AskX11 = !p.SignalInfo && !ConsoleProgram();
    auto snapshot = MakeLiveSnapshot(g_startTime, exceptionTime, live);
    TBugReport report = BuildBugReport(o, x, *snapshot);
    struct TPublished {  // for the dialogs, while this processing runs
      TPublished(const TBugReport* report, const IReportSnapshot* snapshot) {
        State().Report = report, State().Snapshot = snapshot;
      }
      ~TPublished() { State().Report = nullptr, State().Snapshot = nullptr; }
    } published(&report, snapshot.get());
    std::string reportText = report.Text;
    st.StepCode = 703;
    st.Record.ReportText = reportText;
    st.Record.StackList = &x.CallStack;
    st.Record.OptionSet = &o;
    st.StepCode = 704;
    st.RecordHanded = true;
    st.Identifier = report.Identifier;
    st.Duplicate = Unit(&TUnits::Log)->IsDuplicate(o, st.Identifier, true);
    st.StepCode = 705;
    ClearWarning();
    st.StepCode = 706;
    SetReportVariables(ReportVariables(report));

    RaiseNotify(p.Handled, st.ContinueFlag);
    st.StepCode = 8;
    if (!st.ContinueFlag) {
      result = true;
    } else {
      auto screenshot = Unit(&TUnits::Screenshot);
      screenshot->Capture();
      if (o.AutoCrashAction() != xaNone) {
        st.AutoCrashTimes.push_back(NowMilliseconds());
        while (st.AutoCrashTimes.size() > static_cast<size_t>(std::max(o.AutoCrashCount(), 0)))
          st.AutoCrashTimes.pop_front();
      }
      std::vector<std::string> customData;
      DispatchEvent([&] { CallEach("TarvexLog_CustomDataRequestEventEx", &TTarvexEventHandlers::CustomDataRequest, customData); });
      if (!customData.empty() && o.ShowFields().test(47)) {
        InsertReportSection(report, o.GetText(91), CustomDataFields(customData));
        reportText = report.Text;
        st.Record.ReportText = reportText;
      }

      st.StepCode = 9;
      ++st.ErrorCount;
      st.StepCode = 10;
      st.LastExceptionMessage = report.LastMessage;
      st.StepCode = 11;
      if (!filterChoseDialog) dialogKind = o.DialogKind();

      const bool sendable = o.EmailMode() != emNone || o.WebMode() != wmNone;
      bool firstDetailed = false;
      st.Dialog.SendReport = sendable;
      st.Dialog.AttachScreenshot = o.SendFlags().Contains(sfAttachScreenshot);
      st.Dialog.Cancelled = false;
      if (dialogKind != dkNone) {
        st.StepCode = 12;
        st.DoneFlag = true;
        ClearWarning();
        if (RaiseAction(eaBeforeDialog)) {
          st.StepCode = 13;
          firstDetailed = ProduceOutput(p.Channel, dialogKind, reportText);
          if (!st.Dialog.UserEmail.empty()) {  // typed into the dialog: the report carries it
            report.Text = ReportTextWithEmail(report.Text, st.Dialog.UserEmail);
            report.GeneralPart = ReportTextWithEmail(report.GeneralPart, st.Dialog.UserEmail);
            reportText = report.Text;
            st.Record.ReportText = reportText;
          }
          st.StepCode = 14;
          RaiseAction(eaAfterDialog);
        }
      } else if (FlowCgiProgram()) {
        WriteReportPage(st.CustomErrorMessage.empty() ? st.LastExceptionMessage : st.CustomErrorMessage);
      }
      if (firstDetailed) Unit(&TUnits::Ui)->ShowReproduceRequest(o);
      if (o.LogFlags().Contains(lfLogReproduceText) && !o.ReproduceText().empty()) {
        InsertReportSection(report, o.GetText(123), {{std::string(), o.ReproduceText()}});
        reportText = report.Text;
        st.Record.ReportText = reportText;
      }

      bool deliver = DecideDelivery(st.Duplicate);
      if (deliver && o.SendFlags().Contains(sfAttachScreenshot))
        screenshot->Save(TemporaryFolder(true) + "/Screenshot.png");
      screenshot->Release();

      st.StepCode = 15;
      auto log = Unit(&TUnits::Log);
      if (o.LogFlags().Contains(lfResetLogOnNewVersion)) log->ResetOnNewVersion(o, report.MainModuleVersion);
      std::string textToSend = reportText;
      if (o.WriteLogFile()) {
        st.DoneFlag = true;
        if (RaiseAction(eaBeforeSaveLog)) {
          while (!log->SaveReport(o, reportText, st.Duplicate, textToSend) && RaiseError(eaAfterSaveLog)) {
          }
          RaiseAction(eaAfterSaveLog);
        }
      }
      if (st.Dialog.CopyToClipboard) Unit(&TUnits::Ui)->CopyToClipboard(reportText);
      st.StepCode = 16;
      if (DecideDelivery(st.Duplicate)) {
        if (!st.Synchronous && o.SendFlags().Contains(sfSendInThread)) sentInThread = StartSendThread(textToSend);
        if (!sentInThread) Deliver(textToSend);
      }
      if (!sentInThread) {
        RemoveTemporaryFiles();
        ApplyAutoCrashRule();
      }
      ResumePausedThreads();
      st.StepCode = 17;
      if (!st.TerminatePending && decision.Action != xaNone) RequestExit(decision.Action);
      if (o.BehaviourFlags().Contains(bfCallStandardHandler)) result = true;
    }
    st.StepCode = 18;
    if (p.Note != 2 && !sentInThread && st.TerminatePending) ExitApplication(o.TerminateButtonAction() == xaRestart);
  } catch (const std::exception& e) {
    ReportInternalError(st.StepCode, e.what(), PlainClassName(typeid(e)).c_str());
  } catch (...) {
    ReportInternalError(st.StepCode, nullptr, nullptr);
  }
  return result;
}

// ---- The exception thread -----------------------------------------------------------------------

constexpr size_t kExceptionThreadStack = 8 * 1024 * 1024;
constexpr size_t kTouchedStack = 1024 * 1024;

class TExceptionThread {
 public:
  bool Start() {
    std::lock_guard lock(mutex_);
    if (started_) return true;
    TLayerThreadScope own;  // never registered or stopped for a report
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kExceptionThreadStack);
    // Nothing meant for the application's threads is delivered here.
    sigset_t blocked, old;
    sigfillset(&blocked);
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) sigdelset(&blocked, sig);
    pthread_sigmask(SIG_SETMASK, &blocked, &old);
    const int rc = pthread_create(&thread_, &attr, &TExceptionThread::Main, this);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) return false;
    pthread_setname_np(thread_, "tarvex-except");
    started_ = true;
    return true;
  }

  void Stop() {
    bool stuck = false;
    {
      std::lock_guard lock(mutex_);
      if (!started_) return;
      stop_ = true;
      stuck = job_ != nullptr;  // abandoned by the watchdog: it may never return
    }
    wake_.notify_all();
    if (stuck) pthread_detach(thread_);
    else pthread_join(thread_, nullptr);
    std::lock_guard lock(mutex_);
    started_ = false;
    stop_ = false;
  }

  // False when the thread cannot take the exception (not started, or still busy with one it
  // was abandoned in): the caller then processes it itself.
  bool Available() {
    std::lock_guard lock(mutex_);
    return started_ && !job_;
  }

  pid_t Tid() const { return tid_.load(); }

  // Hands the exception over and waits, running the procedures the processing posts. The
  // watchdog abandons processing that stalls while no dialog is on screen.
  bool Run(const TExceptNotifyParams& params, bool mayPump) {
    {
      std::lock_guard lock(mutex_);
      job_ = &params;
      done_ = false;
      finished_.store(false);
    }
    wake_.notify_all();
    const int64_t since = NowSteady();
    TPendingCall& slot = PendingCall();
    // The GUI thread keeps its window painted while a dialog is on screen; input is dropped.
    const TGuiBridgeHooks gui = GuiBridgeHooks();
    bool pump = mayPump && gui.PumpEvents && gui.IsGuiThread && gui.IsGuiThread();
    for (;;) {
      if (pump && Unit(&TUnits::Ui)->DialogOnScreen()) pump = gui.PumpEvents();
      RunPendingCall();
      {
        std::lock_guard lock(mutex_);
        if (done_) {
          job_ = nullptr;
          return result_;
        }
      }
      {
        std::unique_lock wait(slot.Mutex);
        slot.Changed.wait_for(wait, std::chrono::milliseconds(10), [&] { return slot.Call || finished_.load(); });
      }
      std::lock_guard lock(mutex_);
      if (done_) continue;
      const int limit = g_watchdogSeconds.load();
      if (limit > 0 && NowSteady() - since > int64_t{limit} * 1000 && !Unit(&TUnits::Ui)->DialogOnScreen()) {
        abandoned_ = true;  // the thread clears the job when it ends at last
        ResumePausedThreads();
        return true;
      }
    }
  }

 private:
  static int64_t NowSteady() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  __attribute__((noinline)) static void TouchStack() {
    volatile char area[kTouchedStack];
    for (size_t i = 0; i < kTouchedStack; i += 4096) area[i] = 0;
    (void)area[0];
  }

  static void* Main(void* arg) {
    auto* self = static_cast<TExceptionThread*>(arg);
    self->tid_.store(Gettid());
    TouchStack();
    std::free(std::malloc(64));  // the thread's allocator state exists before it is needed
    TLayerScope scope;
    std::unique_lock lock(self->mutex_);
    for (;;) {
      self->wake_.wait(lock, [&] { return self->stop_ || (self->job_ && !self->done_); });
      if (self->stop_) break;
      const TExceptNotifyParams* job = self->job_;
      lock.unlock();
      bool result = ProcessException(*job);
      lock.lock();
      self->result_ = result;
      self->done_ = true;
      if (self->abandoned_) {
        self->abandoned_ = false;
        self->job_ = nullptr;
      }
      TPendingCall& slot = PendingCall();
      std::lock_guard wake(slot.Mutex);
      self->finished_.store(true);
      slot.Changed.notify_all();
    }
    return nullptr;
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<bool> finished_{false};
  pthread_t thread_{};
  std::atomic<pid_t> tid_{0};
  bool started_ = false, stop_ = false, done_ = false, abandoned_ = false, result_ = false;
  const TExceptNotifyParams* job_ = nullptr;
};

TExceptionThread& ExceptionThread() {
  static TExceptionThread* thread = new TExceptionThread;
  return *thread;
}

// The watchdog of signal processing: the faulting thread waits in its handler, so a stalled
// report would hang the process; it ends the way the signal would have ended it.
class TWatchdog {
 public:
  void Start() {
    std::lock_guard lock(mutex_);
    if (started_) return;
    TLayerThreadScope own;
    std::thread([this] { Main(); }).detach();
    started_ = true;
  }

 private:
  void Main() {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const int64_t since = g_processingSince.load();
      const int sig = g_processingSignal.load();
      const int limit = g_watchdogSeconds.load();
      if (!since || !sig || limit <= 0) continue;
      const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
      if (now - since <= int64_t{limit} * 1000 || Unit(&TUnits::Ui)->DialogOnScreen()) continue;
      struct sigaction dfl {};
      dfl.sa_handler = SIG_DFL;
      ::sigaction(sig, &dfl, nullptr);
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, sig);
      ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
      ::syscall(SYS_tgkill, ::getpid(), Gettid(), sig);
      ::_exit(128 + sig);
    }
  }
  std::mutex mutex_;
  bool started_ = false;
};

TWatchdog& Watchdog() {
  static TWatchdog* watchdog = new TWatchdog;
  return *watchdog;
}

// Address space kept for building a report when the program has used up its limit: the
// interception's reserve is enough for the raise, not for reading debug information (a new
// malloc heap alone reserves 64 MiB). Never touched, so it costs no memory.
constexpr size_t kReportReserve = 256 * 1024 * 1024;
std::mutex g_reserveMutex;
void* g_reportReserve = nullptr;

void ReleaseReportReserve() {
  std::lock_guard lock(g_reserveMutex);
  if (g_reportReserve) ::munmap(g_reportReserve, kReportReserve);
  g_reportReserve = nullptr;
}

void RetakeReportReserve() {
  std::lock_guard lock(g_reserveMutex);
  if (g_reportReserve) return;
  void* p = ::mmap(nullptr, kReportReserve, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  g_reportReserve = p == MAP_FAILED ? nullptr : p;
}

int64_t SteadyNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// ---- The notification entry's flow part -----------------------------------------------------------

bool FlowNotify(const TExceptNotifyParams& params) {
  if (!ExceptionLogInstalled()) return true;
  // The guard comes before the main lock: a nested exception of a thread that holds the lock
  // would otherwise wait for itself.
  if (t_inEntry) return false;
  t_inEntry = true;
  struct TGuard {
    ~TGuard() { t_inEntry = false; }
  } guard;

  // A fault of the processing itself: the thread waiting for it holds the main lock.
  TExceptionThread& thread = ExceptionThread();
  if (params.ThreadID != 0 && params.ThreadID == thread.Tid()) return true;
  // Likewise for the delivery in the background, which the next exception waits for.
  if (params.ThreadID != 0 && static_cast<pid_t>(params.ThreadID) == g_sendTid.load()) return true;

  std::unique_lock lock(ExceptionMainLock(), std::defer_lock);
  if (!lock.try_lock_for(std::chrono::seconds(60))) return true;
  WaitForSendThread();  // one exception at a time, its delivery included

  TTarvexModuleData* own = FindModuleData(ReportingModuleHandle());
  if (!own || !own->Options || !own->Options->ReportingActive()) return true;

  ReleaseReportReserve();
  struct TRetake {
    ~TRetake() { RetakeReportReserve(); }
  } retake;
  TFlowState& st = State();
  const bool signal = params.Source == nsSignal;
  g_processingSignal = signal && params.SignalInfo ? params.SignalInfo->si_signo : 0;
  g_processingSince = SteadyNow();
  bool result = true;
  if (signal || !thread.Available() || Gettid() == thread.Tid()) {
    st.Synchronous = true;
    result = ProcessException(params);
  } else {
    st.Synchronous = false;
    g_waitingThread = Gettid();
    // A main thread that the pause rule would stop does not dispatch events either.
    const TBehaviourFlags flags = own->Options->BehaviourFlags();
    result = thread.Run(params, !flags.Contains(bfPauseOwnThreads) || flags.Contains(bfKeepMainThreadRunning));
    g_waitingThread = 0;
  }
  g_processingSince = 0;
  g_processingSignal = 0;
  st.RecordHanded = false;
  st.Synchronous = false;
  if (!g_sendPending.load()) FinishRecord();
  return result;
}

void FlowInstalled() {
  RecordStartDirectory();
  // glibc loads its unwinder on first use; out of memory later, that load fails and ends the
  // process instead of unwinding.
  void* frames[2];
  ::backtrace(frames, 2);
  RetakeReportReserve();
  g_startTime = NowReportTime();
  ExceptionThread().Start();
  Watchdog().Start();

  SetExceptionProcessingQuery([] { return g_processingSince.load() != 0; });
  SetDebugPasswordRequest(
      [](const TTarvexModuleInfo& module, std::string& password) { return RequestDebugPassword(module.ModuleHandle, password); });
  TFreezeWatchHooks hooks;
  hooks.Start = &StartFreezeWatch;
  hooks.Stop = &StopFreezeWatch;
  SetFreezeWatchHooks(std::move(hooks));
  if (TTarvexModuleData* own = FindModuleData(ReportingModuleHandle()); own && own->Options)
    if (own->Options->ReportingActive() && own->Options->FreezeDetection()) StartFreezeWatch();
}

void FlowShutdown() {
  WaitForSendThread();
  RemoveTemporaryFiles();
  StopFreezeWatch();
  ExceptionThread().Stop();
}

const bool g_registered = [] {
  InstallExceptionFlow();
  return true;
}();

}  // namespace

extern "C" __attribute__((used)) const bool* TarvexLog_FlowAnchor() { return &g_registered; }

const char* LogErrorCodeName(TTarvexLogErrorCode code) {
  static const char* const kNames[] = {"eeNone",         "eeShowError",     "eeLogError",     "eeEmailMAPIError",
                                       "eeEmailShellError", "eeEmailSMTPError", "eeWebHTTPError", "eeWebHTTPSError",
                                       "eeWebFTPError",  "eeWebTrakerError"};
  return code <= eeWebTrakerError ? kNames[code] : "";
}

void DispatchEvent(const std::function<void()>& procedure) {
  if (g_eventsOff.load()) return;
  TFlowState& st = State();
  const pid_t waiting = g_waitingThread.load();
  if (st.RecordHanded.load() && !st.Synchronous.load() && waiting != 0 &&
      Gettid() != static_cast<pid_t>(st.Record.RaisingThreadId) && Gettid() != waiting) {
    std::function<void()> call = procedure;
    TPendingCall& slot = PendingCall();
    std::unique_lock lock(slot.Mutex);
    slot.Changed.wait(lock, [&] { return !slot.Call; });  // one procedure at a time
    slot.Call = &call;
    slot.Changed.notify_all();
    slot.Changed.wait(lock, [&] { return slot.Call != &call; });
  } else {
    try {
      procedure();
    } catch (...) {
    }
  }
  // A handler (also one of another module) may have changed the options or the log.
  if (st.RecordHanded.load() && st.Options && !st.Identifier.empty()) {
    try {
      st.Duplicate = Unit(&TUnits::Log)->IsDuplicate(*st.Options, st.Identifier, false);
    } catch (...) {
    }
  }
  if (st.Options) st.Options->RefreshFromShared();
}

void RaiseAttachedFilesRequest(std::vector<std::string>& files) {
  DispatchEvent(
      [&] { CallEach("TarvexLog_AttachedFilesRequestEvent", &TTarvexEventHandlers::AttachedFilesRequest, files); });
}

void RaiseCustomWebFieldsRequest(std::vector<std::string>& fields) {
  DispatchEvent(
      [&] { CallEach("TarvexLog_CustomWebFieldsRequestEvent", &TTarvexEventHandlers::CustomWebFieldsRequest, fields); });
}

bool RaiseExceptionAction(int32_t action) {
  bool done = true;
  DispatchEvent([&] { CallEach("TarvexLog_ExceptionActionNotifyEvent", &TTarvexEventHandlers::ExceptionActionNotify, action, done); });
  return done;
}

const TBugReport* CurrentBugReport() { return State().Report; }
const IReportSnapshot* CurrentReportSnapshot() { return State().Snapshot; }
bool CurrentReportIsDuplicate() { return State().Report && State().Duplicate; }
TReportTime CurrentExceptionTime() { return State().ExceptionTime; }
std::string ShownErrorMessage() {
  const TFlowState& st = State();
  return st.CustomErrorMessage.empty() ? st.LastExceptionMessage : st.CustomErrorMessage;
}

bool RaiseCustomButtonClick() {
  bool close = false;
  DispatchEvent([&] { CallEach("TarvexLog_CustomButtonClickEvent", &TTarvexEventHandlers::CustomButtonClick, close); });
  return close;
}

void SetEventsOff(bool off) { g_eventsOff.store(off); }

void ReportWarning(TTarvexLogErrorCode code, const std::string& text) {
  {
    std::lock_guard lock(g_warningMutex);
    g_warningCode = code;
    *g_warningText = text;
  }
  if (DebuggerAttached())
    WriteAll(2, Format("[WARNING] - Code: %s - Address: %s - Message: \"%s\"",
                       {LogErrorCodeName(code), Hex16(State().Record.RaiseAddress), text}) +
                    "\n");
}

void ReportSectionWarning(TTarvexLogErrorCode code, const std::string& section) {
  std::string message;
  bool isException = false;
  if (std::exception_ptr current = std::current_exception()) {
    try {
      std::rethrow_exception(current);
    } catch (const std::exception& e) {
      message = e.what();
      isException = true;
    } catch (...) {
    }
  }
  ReportWarning(code, isException ? Format("[%s] %s", {section, message}) : Format("General '%s' error.", {section}));
}

void ClearWarning() {
  std::lock_guard lock(g_warningMutex);
  g_warningCode = eeNone;
  g_warningText->clear();
}

TTarvexLogErrorCode LastWarningCode() {
  std::lock_guard lock(g_warningMutex);
  return g_warningCode;
}

std::string LastWarningText() {
  std::lock_guard lock(g_warningMutex);
  return *g_warningText;
}

void RequestExit(TExitAction action) {
  if (!ExceptionLogInstalled()) return;
  TFlowState& st = State();
  st.TerminatePending = true;
  if (st.Options) st.Options->SetTerminateButtonAction(action);
  else if (TTarvexModuleData* own = FindModuleData(ReportingModuleHandle()); own && own->Options)
    own->Options->SetTerminateButtonAction(action);
}

std::shared_ptr<IExceptionUi> ExceptionUi() { return Unit(&TUnits::Ui); }

void SetExceptionUi(std::shared_ptr<IExceptionUi> ui) {
  std::lock_guard lock(Units().Mutex);
  Units().Ui = ui ? std::move(ui) : std::make_shared<TPlainUi>();
}
void SetLogStore(std::shared_ptr<ILogStore> store) {
  std::lock_guard lock(Units().Mutex);
  Units().Log = store ? std::move(store) : std::make_shared<TPlainLogStore>();
}
void SetDelivery(std::shared_ptr<IDelivery> delivery) {
  std::lock_guard lock(Units().Mutex);
  Units().Delivery = delivery ? std::move(delivery) : std::make_shared<TPlainDelivery>();
}
void SetScreenshot(std::shared_ptr<IScreenshot> screenshot) {
  std::lock_guard lock(Units().Mutex);
  Units().Screenshot = screenshot ? std::move(screenshot) : std::make_shared<TPlainScreenshot>();
}

bool FlowCgiProgram() { return ConsoleProgram() && std::getenv("REQUEST_METHOD") != nullptr; }

void SetFlowClock(std::function<int64_t()> nowMilliseconds) {
  std::lock_guard lock(g_clockMutex);
  *g_clock = std::move(nowMilliseconds);
}

void SetFlowWatchdogSeconds(int seconds) { g_watchdogSeconds.store(seconds); }

void InstallExceptionFlow() {
  TNotifySink sink;
  sink.Notify = &FlowNotify;
  sink.Installed = &FlowInstalled;
  sink.Shutdown = &FlowShutdown;
  SetNotifySink(sink);
  if (ExceptionLogInstalled()) FlowInstalled();
}

int ProcessedErrorCount() { return State().ErrorCount; }
