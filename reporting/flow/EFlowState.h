// State shared by the flow's units: one set for the process, touched only under the main lock
// by the processing thread, or by the waiting thread while the processing thread waits.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "reporting/flow/EFlow.h"
#include "reporting/report/EReportSnapshot.h"
#include "runtime/FileHandle_linux.h"

namespace tarvex_flow {

struct TFlowState {
  TTarvexExceptionRecord Record;
  // The record is handed to the dispatch (from the report on until the entry ends).
  std::atomic<bool> RecordHanded{false};
  std::atomic<bool> Synchronous{false};
  std::atomic<int> StepCode{0};
  bool ContinueFlag = true;
  bool DoneFlag = true;
  bool RetryFlag = false;
  int ErrorCount = 0;
  std::string LastExceptionMessage;
  std::string CustomErrorMessage;
  TDialogState Dialog;
  const TBugReport* Report = nullptr;  // published while the processing runs
  const IReportSnapshot* Snapshot = nullptr;
  std::string Identifier;  // the report identifier of the exception in progress
  bool Duplicate = false;  // the log holds a report with the same identifier
  bool TerminatePending = false;
  std::deque<int64_t> AutoCrashTimes;  // monotonic milliseconds, oldest first
  TReportTime ExceptionTime;           // of the exception being processed or delivered
  std::unique_ptr<TTarvexModuleOptions> Options;  // the current option set
};

TFlowState& State();

// The pending-call slot: one procedure handed to the waiting thread.
// Its condition variable also wakes the waiting thread when the processing ends.
struct TPendingCall {
  std::mutex Mutex;
  std::condition_variable Changed;
  std::function<void()>* Call = nullptr;
};
TPendingCall& PendingCall();
// Runs the posted procedure, when there is one (the waiting thread).
bool RunPendingCall();

int64_t NowMilliseconds();

// The handler registry in calling order: objects from the last registered to the first, then
// the global handlers.
std::vector<std::shared_ptr<TTarvexEventHandlers>> HandlersInOrder();

// Calls this module's handlers of one event; a handler's error does not reach the caller.
template <class F, class... A>
void CallHandlers(const TTarvexExceptionRecord& record, F TTarvexEventHandlers::*member, A&... args) {
  for (auto& handlers : HandlersInOrder()) {
    const F& handler = (*handlers).*member;
    if (!handler) continue;
    try {
      handler(record, args...);
    } catch (...) {
    }
  }
}

// The exported event function `name` of the module that raised the current exception, when
// that is another module whose stored data comes from a compatible version of the layer.
void* RaisingModuleEventFunction(const char* name);

// A record in the exported layout, with the strings it points to.
struct TTarvexEventRecordHolder {
  explicit TTarvexEventRecordHolder(const TTarvexExceptionRecord& record);
  TTarvexEventRecordHolder(const TTarvexEventRecordHolder&) = delete;
  TTarvexEventRecordHolder& operator=(const TTarvexEventRecordHolder&) = delete;
  TTarvexEventRecord Record{};

 private:
  std::string reportText_, className_, message_;
};

// Asks for the password of a module's stored debug information: that module's exported
// functions when it is another module, this module's handlers otherwise or when they gave none.
bool RequestDebugPassword(uintptr_t moduleHandle, std::string& password);

// Output.
bool WriteConsoleReport(const std::string& reportText);
// The internal-error procedure; `section` is the step code.
void ReportInternalError(int section, const char* message, const char* className);

// The process's private folder for per-exception temporary files (mkdtemp in $TMPDIR, made on
// first use when `make`); empty when there is none.
std::string TemporaryFolder(bool make);
// Deletes the temporary files after the delivery, and the folder with them.
void RemoveTemporaryFiles();

// The working directory when the layer started (restart).
void RecordStartDirectory();
bool DebuggerAttached();

}  // namespace tarvex_flow
