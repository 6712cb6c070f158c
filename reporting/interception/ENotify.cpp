// The notification entry. It keeps a record of each exception it receives (what the
// interception tests read), then hands the exception to the processing flow when one is
// registered.
#include <cxxabi.h>

#include <mutex>

#include "reporting/interception/ERaiseHooks.h"
#include "reporting/interception/ExceptionLog.h"
#include "runtime/ClassNames.h"
#include "runtime/SysUtils.h"

namespace {

struct TRecords {
  std::timed_mutex Mutex;
  std::vector<TNotifyRecord> Items;
};

TRecords& Records() {
  static TRecords* records = new TRecords;  // outlives static destructors: threads may still report
  return *records;
}

std::atomic<TNotifyRecordHook> g_hook{nullptr};
std::atomic<bool (*)(const TExceptNotifyParams&)> g_sinkNotify{nullptr};
std::atomic<void (*)()> g_sinkInstalled{nullptr};
std::atomic<void (*)()> g_sinkShutdown{nullptr};

bool DerivesFrom(const std::type_info& base, const std::type_info* type, void* object, void** adjusted) {
  if (!type) return false;
  void* p = object;
  if (type->__is_pointer_p()) return false;
  bool ok = base.__do_catch(type, &p, 1);
  if (ok && adjusted) *adjusted = p;
  return ok;
}

std::string MessageOf(const TExceptNotifyParams& p) {
  if (p.SignalText) return p.SignalText;
  void* adjusted = nullptr;
  if (p.ExceptionObject && DerivesFrom(typeid(std::exception), p.ExceptionType, p.ExceptionObject, &adjusted))
    return static_cast<const std::exception*>(adjusted)->what();
  return {};
}

std::string ClassNameOf(const TExceptNotifyParams& p) {
  if (p.SignalClass) return p.SignalClass;
  if (p.ExceptionType) return PlainClassName(*p.ExceptionType);
  return {};
}

}  // namespace

bool NotifyException(const TExceptNotifyParams& params) {
  TLayerScope scope;
  // The silent exception unwinds without a report.
  if (DerivesFrom(typeid(EAbort), params.ExceptionType, params.ExceptionObject, nullptr)) return true;
  ReleaseAddressReserve();
  TNotifyRecord record;
  record.Source = params.Source;
  record.Handled = params.Handled;
  record.Channel = params.Channel;
  record.ThreadID = params.ThreadID;
  record.ClassName = ClassNameOf(params);
  record.Message = MessageOf(params);
  record.ExceptionAddress = params.ExceptionAddress;
  record.ReturnAddresses.assign(params.ReturnAddresses, params.ReturnAddresses + params.ReturnAddressCount);
  record.Signal = params.SignalInfo ? params.SignalInfo->si_signo : 0;
  record.StackBytes = params.Stack.Size;
  TRecords& records = Records();
  // A thread that crashed while holding the lock must not stop the report of its crash.
  bool locked = records.Mutex.try_lock_for(std::chrono::seconds(2));
  records.Items.push_back(record);
  if (locked) records.Mutex.unlock();
  if (TNotifyRecordHook hook = g_hook.load()) hook(record);
  bool result = false;
  if (auto notify = g_sinkNotify.load()) result = notify(params);
  RetakeAddressReserve();
  return result;
}

std::vector<TNotifyRecord> NotifyRecords() {
  TRecords& records = Records();
  std::lock_guard lock(records.Mutex);
  return records.Items;
}

void SetNotifyRecordHook(TNotifyRecordHook hook) { g_hook.store(hook); }

void SetNotifySink(const TNotifySink& sink) {
  g_sinkNotify.store(sink.Notify);
  g_sinkInstalled.store(sink.Installed);
  g_sinkShutdown.store(sink.Shutdown);
}

void NotifySinkInstalled() {
  if (auto installed = g_sinkInstalled.load()) installed();
}

void NotifySinkShutdown() {
  if (auto shutdown = g_sinkShutdown.load()) shutdown();
}
