// A snapshot with every value fixed: clock and zone, system values, modules, processes,
// threads, memory bytes and symbols. A report built over it is fully determined, so its text
// can be compared with golden files.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "reporting/report/EReportSnapshot.h"

// Readable memory made of byte blocks; everything else is unreadable.
class TFakeMemory final : public IMemoryReader {
 public:
  void Add(uintptr_t address, std::vector<uint8_t> bytes);
  bool Read(uintptr_t address, void* dst, size_t size) override;
  bool IsReadable(uintptr_t address, size_t size) override;

 private:
  const std::vector<uint8_t>* BlockFor(uintptr_t address, size_t size, uintptr_t& start) const;
  std::map<uintptr_t, std::vector<uint8_t>> blocks_;
};

// A procedure the fake resolver knows: [Start, End), with line steps at offsets from Start.
struct TFakeFunction {
  uintptr_t Start = 0, End = 0;
  std::string Unit, Class, Procedure;
  int32_t FirstLine = 0;
  std::vector<std::pair<uintptr_t, int32_t>> Lines;  // offset, line; ascending
};

class TFakeSnapshot final : public IReportSnapshot {
 public:
  TReportTime Start, Now;
  int64_t UpTimeMilliseconds = 0;
  std::function<int32_t(int64_t)> ZoneAt;  // empty: the offset at Now everywhere
  TSystemValues SystemValues;
  std::vector<TProcessRow> ProcessRows;
  std::vector<TThreadRow> ThreadRows;
  std::vector<TFakeFunction> Functions;
  mutable TFakeMemory Bytes;

  // A module mapped over [row.Handle, row.Handle + mappedSize); its record is what stack
  // entries point to. Rows are kept sorted by handle.
  const TTarvexModuleInfo* AddModule(TModuleRow row, uint64_t mappedSize);
  const TTarvexModuleInfo* ModuleInfo(uintptr_t address) const;

  // The entry the resolver gives for an address: kind 4 inside a known procedure, 1 inside a
  // module, else 0.
  TTarvexStackEntry Entry(uintptr_t address, uint32_t threadId, uint8_t stackRole = 1, bool firstEntry = false) const;

  TReportTime StartTime() const override { return Start; }
  TReportTime ExceptionTime() const override { return Now; }
  int32_t UtcOffsetAt(int64_t unixSeconds) const override;
  int64_t SystemUpTimeMilliseconds() const override { return UpTimeMilliseconds; }
  TSystemValues System() const override { return SystemValues; }
  std::vector<TModuleRow> Modules() const override;
  std::vector<TProcessRow> Processes() const override { return ProcessRows; }
  std::vector<TThreadRow> Threads() const override { return ThreadRows; }
  IMemoryReader& Memory() const override { return Bytes; }
  TTarvexStackEntry Resolve(uintptr_t address) const override { return Entry(address, 0); }
  std::optional<TModuleRow> ModuleOf(uintptr_t address) const override;

 private:
  struct TFakeModule {
    TModuleRow Row;
    uint64_t MappedSize = 0;
    std::unique_ptr<TTarvexModuleInfo> Info;
  };
  std::vector<TFakeModule> modules_;
};

// The scene of the golden reports: a write through a null pointer in the main module's
// TDistanceQuery::Run on the main thread, two more threads (one registered with a creator's
// stack, one unknown), three modules, three processes, two network adapters; registers, stack
// and code bytes around the fault.
struct TFakeScene {
  TFakeSnapshot Snapshot;
  TReportException Exception;
};

// Addresses of the scene.
constexpr uintptr_t kFakeMainBase = 0x0000555555554000;
constexpr uintptr_t kFakeSoapBase = 0x00007F3A12340000;
constexpr uintptr_t kFakeLibcBase = 0x00007F3A12800000;
constexpr uintptr_t kFakeRunAddress = kFakeMainBase + 0x1A40;       // TDistanceQuery::Run
constexpr uintptr_t kFakeExceptionAddress = kFakeRunAddress + 0x1A;  // mov dword ptr [rax], 0x2a
constexpr uintptr_t kFakeStackPointer = 0x00007FFD5E6F0E30;
constexpr uint32_t kFakeMainThread = 4242, kFakeSendThread = 4243, kFakeUnknownThread = 4250;

std::unique_ptr<TFakeScene> MakeFakeScene();
