// The module list: one record per module the layer has met, made from what the loader and
// the file say (EModuleImage.h) and from the module's stored reporting data.
#include <algorithm>

#include "reporting/debuginfo/EModuleImage.h"
#include "reporting/options/EModuleData.h"
#if ZELK_HAVE_STORED_DEBUG
#include "reporting/debuginfo/EDebugStored.h"
#endif

namespace {

struct TModuleListState {
  std::recursive_mutex mutex;
  TTarvexModulesList records;  // sorted by handle
  TTarvexModulesList retired;  // kept so that references in old stack lists stay valid
  std::string debugRoot = "/usr/lib/debug";
  TDebugPasswordRequest passwordRequest;
  uint64_t generation = 0;  // the loader's, when unloaded modules were last dropped
};

TModuleListState& State() {
  static auto* state = new TModuleListState;  // outlives every static destructor that reports
  return *state;
}

TTarvexModulesList::iterator Find(TTarvexModulesList& list, TModuleHandle handle) {
  auto it = std::lower_bound(list.begin(), list.end(), handle,
                             [](const auto& record, TModuleHandle h) { return record->ModuleHandle < h; });
  return it != list.end() && (*it)->ModuleHandle == handle ? it : list.end();
}

void Retire(TModuleListState& state, TTarvexModulesList::iterator it) {
  TTarvexModuleInfo& record = **it;
  record.Retired = true;
  record.StoredDebugInfo.reset();
  record.OtherDebugSource.reset();
  record.ExportedProcs = {};
  state.retired.push_back(std::move(*it));
  state.records.erase(it);
}

void Insert(TModuleListState& state, std::unique_ptr<TTarvexModuleInfo> record) {
  auto at = std::lower_bound(state.records.begin(), state.records.end(), record->ModuleHandle,
                             [](const auto& r, TModuleHandle h) { return r->ModuleHandle < h; });
  state.records.insert(at, std::move(record));
}

// Light examination: what the loader knows, the file's facts and the stored data's numbers.
void ExamineLight(TTarvexModuleInfo& record, const TModuleImage& image) {
  record.ModuleHandle = image.Handle;
  record.LoadBias = image.LoadBias;
  record.FileName = image.FileName;
  record.BuildId = image.BuildId;
  record.CodeRanges = image.CodeRanges;
  record.LoadRanges = image.LoadRanges;
  TModuleFileFacts facts = StatModuleFile(image.FileName);
  record.FileSize = facts.Size;
  record.LastModified = facts.LastModified;
  TModuleFileInfo file = ReadModuleFile(image.FileName, image.LoadBias, false);
  record.FileDescription = file.FileDescription;
  record.FileVersion = file.FileVersion;
  if (record.BuildId.empty()) record.BuildId = file.BuildId;

  TTarvexModuleData* data = FindModuleData(image.Handle);
  if (!data) {
    LoadAllModulesOptions();
    data = FindModuleData(image.Handle);
  }
  if (data && data->FileName == image.FileName) {
    record.DataVersion = data->Block.Version;
    record.CompileTime = data->Block.CompileTime;
    record.ModuleOptions = data->Options.get();
  } else {
    record.DataVersion = kStoredDataVersion;
    record.CompileTime = 0;
    record.ModuleOptions = nullptr;
  }
}

void OpenStoredDebugInfo(TModuleListState& state, TTarvexModuleInfo& record) {
#if ZELK_HAVE_STORED_DEBUG
  TTarvexModuleData* data = FindModuleData(record.ModuleHandle);
  if (!data || data->FileName != record.FileName || data->Block.DebugInfo.empty()) return;
  std::string password;
  auto source = MakeStoredDebugSource(record, data->Block.DebugInfo, password);
  if (!source) return;
  // Names enciphered under a password: ask for it until it opens them or the asker gives up.
  for (int tries = 0; !source->NamesReadable() && state.passwordRequest && tries < 3; ++tries) {
    if (!state.passwordRequest(record, password)) break;
    auto retry = MakeStoredDebugSource(record, data->Block.DebugInfo, password);
    if (retry) source = std::move(retry);
  }
  record.DebugPassword = source->NamesReadable() ? password : std::string();
  record.DebugPasswordValid = source->NamesReadable();
  record.StoredDebugInfo = std::move(source);
#else
  (void)state;
  (void)record;
#endif
}

// Full examination: exports, kind, stored debug information, else the other sources.
void ExamineFull(TModuleListState& state, TTarvexModuleInfo& record, const TModuleImage& image) {
  ExamineLight(record, image);
  TModuleFileInfo file = ReadModuleFile(image.FileName, image.LoadBias, !image.Main);
  record.ExportedProcs = std::move(file.Exports);
  record.ModuleKind = image.Main ? 1 : 3;
  OpenStoredDebugInfo(state, record);
  if (!record.StoredDebugInfo) {
    record.OtherDebugSource = MakeDwarfDebugSource(record);
    if (!record.OtherDebugSource) record.OtherDebugSource = MakeSymtabDebugSource(record);
  }
}

// Drops the records of modules that are no longer loaded.
void DropUnloaded(TModuleListState& state, const std::vector<TModuleImage>& images) {
  for (size_t i = state.records.size(); i-- > 0;) {
    const TTarvexModuleInfo& record = *state.records[i];
    bool loaded = std::any_of(images.begin(), images.end(), [&](const TModuleImage& image) {
      return image.Handle == record.ModuleHandle && image.FileName == record.FileName &&
             image.LoadBias == record.LoadBias;
    });
    if (!loaded) Retire(state, state.records.begin() + static_cast<ptrdiff_t>(i));
  }
}

// A record found by address must not be one of an object unloaded since: whenever the
// loader's counts moved, the unloaded ones are dropped first.
void Sync(TModuleListState& state) {
  uint64_t generation = LoaderGeneration();
  if (generation == state.generation) return;
  DropUnloaded(state, LoadedModuleImages());
  state.generation = generation;
}

const TTarvexModuleInfo* FromImage(TModuleListState& state, const TModuleImage& image) {
  auto it = Find(state.records, image.Handle);
  if (it != state.records.end()) {
    TTarvexModuleInfo& record = **it;
    if (record.FileName == image.FileName && record.LoadBias == image.LoadBias) {
      if (record.ModuleKind == 0) ExamineFull(state, record, image);
      return &record;
    }
    // Another object now lives at that address.
    Retire(state, it);
  }
  auto record = std::make_unique<TTarvexModuleInfo>();
  ExamineFull(state, *record, image);
  const TTarvexModuleInfo* result = record.get();
  Insert(state, std::move(record));
  return result;
}

}  // namespace

bool TTarvexModuleInfo::Contains(uintptr_t address) const {
  return std::any_of(LoadRanges.begin(), LoadRanges.end(),
                     [&](const auto& r) { return address >= r.first && address < r.second; });
}

const TTarvexFunctionInfo* TTarvexModuleInfo::ExportAt(uintptr_t address) const {
  auto it = std::upper_bound(ExportedProcs.begin(), ExportedProcs.end(), address,
                             [](uintptr_t a, const TTarvexFunctionInfo& f) { return a < f.Address; });
  // Aliases share an address; any of them holding the address will do.
  while (it != ExportedProcs.begin()) {
    --it;
    if (address < it->Address + std::max<uint64_t>(it->CodeLength, 1)) return &*it;
    if (it->CodeLength != 0) break;
  }
  return nullptr;
}

const TTarvexModuleInfo* ModuleFromHandle(TModuleHandle handle) {
  if (!handle) return nullptr;
  try {
    TModuleImage image;
    if (!ModuleImageOf(handle, image)) return nullptr;
    TModuleListState& state = State();
    std::lock_guard lock(state.mutex);
    return FromImage(state, image);
  } catch (...) {
    return nullptr;
  }
}

const TTarvexModuleInfo* ModuleFromAddress(uintptr_t address) {
  if (!address) return nullptr;
  try {
    TModuleListState& state = State();
    {
      std::lock_guard lock(state.mutex);
      Sync(state);
      for (const auto& record : state.records)
        if (record->ModuleKind != 0 && record->Contains(address)) return record.get();
    }
    TModuleImage image;
    if (!ModuleImageAt(address, image)) return nullptr;
    std::lock_guard lock(state.mutex);
    return FromImage(state, image);
  } catch (...) {
    return nullptr;
  }
}

void RefreshModuleList() {
  try {
    TModuleListState& state = State();
    std::lock_guard lock(state.mutex);
    uint64_t generation = LoaderGeneration();
    std::vector<TModuleImage> images = LoadedModuleImages();
    DropUnloaded(state, images);
    state.generation = generation;
    for (const TModuleImage& image : images) {
      if (Find(state.records, image.Handle) != state.records.end()) continue;
      auto record = std::make_unique<TTarvexModuleInfo>();
      ExamineLight(*record, image);
      record->ModuleKind = 0;
      Insert(state, std::move(record));
    }
  } catch (...) {
  }
}

void DropChangedModules() {
  try {
    TModuleListState& state = State();
    std::lock_guard lock(state.mutex);
    for (size_t i = state.records.size(); i-- > 0;) {
      const TTarvexModuleInfo& record = *state.records[i];
      TModuleFileFacts facts = StatModuleFile(record.FileName);
      bool changed = !facts.Exists || facts.LastModified != record.LastModified || facts.Size != record.FileSize;
      // A file put back with its old time stamp still shows by its build-id.
      if (!changed && !record.BuildId.empty()) changed = FileBuildId(record.FileName) != record.BuildId;
      if (changed) Retire(state, state.records.begin() + static_cast<ptrdiff_t>(i));
    }
  } catch (...) {
  }
}

std::unique_lock<std::recursive_mutex> LockModuleList() { return std::unique_lock(State().mutex); }

const TTarvexModulesList& ModuleList() { return State().records; }

void SetDebugFileRoot(const std::string& root) {
  std::lock_guard lock(State().mutex);
  State().debugRoot = root;
}

std::string DebugFileRoot() {
  std::lock_guard lock(State().mutex);
  return State().debugRoot;
}

void SetDebugPasswordRequest(TDebugPasswordRequest request) {
  std::lock_guard lock(State().mutex);
  State().passwordRequest = std::move(request);
}
