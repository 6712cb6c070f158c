// The handler registry, and events across modules: each module that carries a copy of the
// layer exports its event functions, and the copy that processes an exception calls those of
// the module that raised it before its own handlers.
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "reporting/flow/EFlow.h"
#include "reporting/flow/EFlowState.h"
#include "reporting/options/EModuleData.h"
#include "reporting/options/EModules.h"

namespace tarvex_flow {

namespace {

struct TRegistry {
  std::mutex Mutex;
  std::vector<std::pair<int, std::shared_ptr<TTarvexEventHandlers>>> Objects;
  std::shared_ptr<TTarvexEventHandlers> Global = std::make_shared<TTarvexEventHandlers>();
  int NextId = 1;
};
TRegistry& Registry() {
  static TRegistry* registry = new TRegistry;  // outlives static destructors: threads may still report
  return *registry;
}

// The stored data of a compatible copy: this layer's version rounded down to a hundred, and a
// hundred more.
constexpr uint32_t kFirstCompatibleVersion = 6000, kLastCompatibleVersion = 6100;

TModuleHandle ModuleOfAddress(uintptr_t address) {
  Dl_info info{};
  if (!address || !::dladdr(reinterpret_cast<void*>(address), &info) || !info.dli_fbase) return 0;
  return reinterpret_cast<TModuleHandle>(info.dli_fbase);
}

// The exported function `name` of another module that carries a compatible copy of the layer.
void* ModuleEventFunction(TModuleHandle module, const char* name) {
  if (!module || module == ReportingModuleHandle()) return nullptr;
  TTarvexModuleData* data = FindModuleData(module);
  if (!data) {
    LoadAllModulesOptions();  // loaded after the layer started
    data = FindModuleData(module);
  }
  if (!data || data->Block.Version < kFirstCompatibleVersion || data->Block.Version > kLastCompatibleVersion)
    return nullptr;
  void* handle = ::dlopen(data->FileName.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!handle) return nullptr;
  void* fn = ::dlsym(handle, name);
  ::dlclose(handle);  // the module stays loaded: NOLOAD only took another reference
  return fn;
}

TTarvexExceptionRecord FromEventRecord(const TTarvexEventRecord* abi) {
  TTarvexExceptionRecord record;
  if (!abi) return record;
  record.RaisedObject = abi->RaisedObject;
  record.RaisedType = abi->RaisedType;
  record.RaiseAddress = abi->RaiseAddress;
  record.RaisingThreadId = abi->RaisingThreadId;
  record.SystemRecord = abi->SystemRecord;
  record.ProcessorContext = abi->ProcessorContext;
  record.ReportText = abi->ReportText ? abi->ReportText : "";
  record.StackList = abi->StackList;
  record.OptionSet = abi->OptionSet;
  record.ClassName = abi->ClassName ? abi->ClassName : "";
  record.Message = abi->Message ? abi->Message : "";
  return record;
}

// Counted strings: a length byte, then the text.
constexpr int kMaxPassword = 255;
std::string FromCounted(const unsigned char* counted) { return {reinterpret_cast<const char*>(counted + 1), counted[0]}; }
void ToCounted(const std::string& text, unsigned char* counted, int maxLength) {
  const size_t n = std::min<size_t>(text.size(), static_cast<size_t>(std::clamp(maxLength, 0, kMaxPassword)));
  counted[0] = static_cast<unsigned char>(n);
  std::memcpy(counted + 1, text.data(), n);
}

}  // namespace

std::vector<std::shared_ptr<TTarvexEventHandlers>> HandlersInOrder() {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  std::vector<std::shared_ptr<TTarvexEventHandlers>> list;
  for (auto it = r.Objects.rbegin(); it != r.Objects.rend(); ++it) list.push_back(it->second);
  list.push_back(r.Global);
  return list;
}

void* RaisingModuleEventFunction(const char* name) {
  return ModuleEventFunction(ModuleOfAddress(State().Record.RaiseAddress), name);
}

TTarvexEventRecordHolder::TTarvexEventRecordHolder(const TTarvexExceptionRecord& record)
    : reportText_(record.ReportText), className_(record.ClassName), message_(record.Message) {
  Record.RaisedObject = record.RaisedObject;
  Record.RaiseAddress = record.RaiseAddress;
  Record.RaisingThreadId = record.RaisingThreadId;
  Record.SystemRecord = record.SystemRecord;
  Record.ProcessorContext = record.ProcessorContext;
  Record.ReportText = reportText_.c_str();
  Record.StackList = record.StackList;
  Record.OptionSet = record.OptionSet;
  Record.RaisedType = record.RaisedType;
  Record.ClassName = className_.c_str();
  Record.Message = message_.c_str();
}

bool RequestDebugPassword(uintptr_t moduleHandle, std::string& password) {
  password.clear();
  DispatchEvent([&] {
    if (void* ex = ModuleEventFunction(moduleHandle, "TarvexLog_PasswordRequestEventEx")) {
      TTarvexEventRecordHolder abi(State().Record);
      unsigned char counted[kMaxPassword + 1] = {};
      reinterpret_cast<decltype(&TarvexLog_PasswordRequestEventEx)>(ex)(&abi.Record, counted, kMaxPassword);
      password = FromCounted(counted);
    } else if (void* plain = ModuleEventFunction(moduleHandle, "TarvexLog_PasswordRequestEvent")) {
      unsigned char counted[kMaxPassword + 1] = {};
      reinterpret_cast<decltype(&TarvexLog_PasswordRequestEvent)>(plain)(counted, kMaxPassword);
      password = FromCounted(counted);
    }
    if (password.empty()) {
      int maxLength = kMaxPassword;
      CallHandlers(State().Record, &TTarvexEventHandlers::PasswordRequest, password, maxLength);
      if (password.size() > static_cast<size_t>(kMaxPassword)) password.resize(kMaxPassword);
    }
  });
  return !password.empty();
}

}  // namespace tarvex_flow

using namespace tarvex_flow;

int RegisterEventHandlers(TTarvexEventHandlers handlers) {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  r.Objects.emplace_back(r.NextId, std::make_shared<TTarvexEventHandlers>(std::move(handlers)));
  return r.NextId++;
}

void UnregisterEventHandlers(int id) {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  std::erase_if(r.Objects, [id](const auto& item) { return item.first == id; });
}

void SetGlobalEventHandlers(TTarvexEventHandlers handlers) {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  r.Global = std::make_shared<TTarvexEventHandlers>(std::move(handlers));
}

// ---- What other modules call -------------------------------------------------------------------

void TarvexLog_ExceptionNotifyEvent(const TTarvexEventRecord* record, bool* continueProcessing) {
  bool flag = continueProcessing ? *continueProcessing : true;
  CallHandlers(FromEventRecord(record), &TTarvexEventHandlers::ExceptionNotify, flag);
  if (continueProcessing) *continueProcessing = flag;
}

void TarvexLog_HandledExceptionNotifyEvent(const TTarvexEventRecord* record, bool* continueProcessing) {
  bool flag = continueProcessing ? *continueProcessing : true;
  CallHandlers(FromEventRecord(record), &TTarvexEventHandlers::HandledExceptionNotify, flag);
  if (continueProcessing) *continueProcessing = flag;
}

void TarvexLog_ExceptionActionNotifyEvent(const TTarvexEventRecord* record, int32_t action, bool* done) {
  bool flag = done ? *done : true;
  CallHandlers(FromEventRecord(record), &TTarvexEventHandlers::ExceptionActionNotify, action, flag);
  if (done) *done = flag;
}

void TarvexLog_ExceptionErrorNotifyEvent(const TTarvexEventRecord* record, int32_t error, bool* retry) {
  bool flag = retry ? *retry : false;
  CallHandlers(FromEventRecord(record), &TTarvexEventHandlers::ExceptionErrorNotify, error, flag);
  if (retry) *retry = flag;
}

void TarvexLog_PasswordRequestEvent(unsigned char* password, int32_t maxLength) {
  TarvexLog_PasswordRequestEventEx(nullptr, password, maxLength);
}

void TarvexLog_PasswordRequestEventEx(const TTarvexEventRecord* record, unsigned char* password, int32_t maxLength) {
  if (!password) return;
  std::string text = FromCounted(password);
  int limit = std::clamp(maxLength, 0, kMaxPassword);
  CallHandlers(FromEventRecord(record), &TTarvexEventHandlers::PasswordRequest, text, limit);
  ToCounted(text, password, std::clamp(maxLength, 0, kMaxPassword));
}

void TarvexLog_CustomDataRequestEventEx(const TTarvexEventRecord* record, std::vector<std::string>* lines) {
  if (lines) CallHandlers(FromEventRecord(record), &TTarvexEventHandlers::CustomDataRequest, *lines);
}

void TarvexLog_AttachedFilesRequestEvent(const TTarvexEventRecord* record, std::vector<std::string>* files) {
  if (files) CallHandlers(FromEventRecord(record), &TTarvexEventHandlers::AttachedFilesRequest, *files);
}

void TarvexLog_CustomWebFieldsRequestEvent(const TTarvexEventRecord* record, std::vector<std::string>* fields) {
  if (fields) CallHandlers(FromEventRecord(record), &TTarvexEventHandlers::CustomWebFieldsRequest, *fields);
}

void TarvexLog_CustomButtonClickEvent(const TTarvexEventRecord* record, bool* close) {
  bool flag = close ? *close : false;
  CallHandlers(FromEventRecord(record), &TTarvexEventHandlers::CustomButtonClick, flag);
  if (close) *close = flag;
}
