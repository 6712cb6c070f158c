// Call stacks of the live process: what a report lists for the exception thread, the thread
// that created it, and every other included thread. Frames come from call-frame unwinding
// where it works; the stack scan continues where it stops, and reads the creators' stack
// copies.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "reporting/debuginfo/EDebug.h"
#include "reporting/debuginfo/EStackScan.h"
#include "reporting/debuginfo/EUnwind.h"
#include "reporting/interception/EContext.h"
#include "reporting/interception/EThreads.h"

// The module list's code ranges and ResolveAddress, for the scan.
class TLiveStackSymbols final : public IStackSymbols {
 public:
  TLiveStackSymbols();
  bool IsCodeAddress(uintptr_t address) const override;
  const TTarvexModuleInfo* ModuleOf(uintptr_t address) override;
  std::vector<TTarvexStackEntry> Resolve(uintptr_t address, uint32_t threadId, bool firstEntry,
                                         uint8_t stackRole) override;
  const std::shared_ptr<const TAddressRanges>& CodeRanges() const { return code_; }

 private:
  std::shared_ptr<const TAddressRanges> code_;
};

// The kinds a report shows: kind 4 always, kind 2 with cfShowDllEntries, kind 3 with
// cfShowPackageEntries.
TEntryKinds VisibleKinds(const TTarvexModuleOptions& options);
TEntryKinds VisibleKinds(TCallStackFlags flags);

// The scan over this process's memory (stubs followed as options.FollowStubs says).
void ScanStack(TTarvexStackList& list, uintptr_t address, uintptr_t stackStart, uintptr_t stackEnd,
               const TStackScanOptions& options);
// A new list from ScanStack with stubs followed.
TTarvexStackList BuildCallStack(uintptr_t address, uintptr_t stackStart, uintptr_t stackEnd,
                                TStackScanOptions options);

// Entries for unwound frames: a return address stands for the call that ends there, found by
// its bytes (resolved inside the call, on its own line); an activation for itself. When
// `exceptionAddress` is not 0 it is the first entry, and a first frame at it is not repeated.
void AddUnwoundFrames(TStackEntrySink& sink, std::span<const TUnwoundFrame> frames, uintptr_t exceptionAddress,
                      IMemoryReader& memory);

// The calling thread's stack: unwound, then scanned from where unwinding stopped up to the
// thread's stack top. `skip` innermost frames (besides this function's) are left out.
TTarvexStackList BuildCurrentThreadStack(const TStackScanOptions& options, size_t skip = 0);

// A captured context (another thread's, or the exception thread's at raise): unwound over its
// registers and stack copy, then scanned from where unwinding stopped. Appends to `list`.
void AppendContextStack(TTarvexStackList& list, const TThreadContext& context, uintptr_t exceptionAddress,
                        const TStackScanOptions& options);

// A creator's stack copy, scanned (StackRole 0, the creator's thread id).
void AppendCreatorStack(TTarvexStackList& list, const TCreatorStack& creator, pid_t creatorThreadId);

// What the interception point knows of the exception thread.
struct TExceptionThreadStack {
  pid_t ThreadID = 0;
  uintptr_t ExceptionAddress = 0;                // start of the raising call, or the faulting instruction
  const TTarvexStackList* PreparedStack = nullptr;  // used as it is when given
  const TThreadContext* Context = nullptr;      // registers and stack copy at raise (or the snapshot)
  std::span<const uintptr_t> ReturnAddresses;   // without a context: unwound at raise, innermost first
  uintptr_t StackStart = 0, StackTop = 0;       // without either: the live area to scan
};

// The stacks of one exception, in this order: the exception thread; its creator's stack copy;
// then every other registered thread that `flags` include (cfOwnThreadStacks for framework
// threads, cfOsThreadStacks for the others; never the main thread nor the calling thread),
// each followed by its creator's copy. The other threads are all stopped and copied first and
// released before anything is unwound or resolved; one that does not answer is skipped.
// `stoppedFor`, when given, receives how long the other threads were stopped.
TTarvexStackList BuildExceptionStacks(const TExceptionThreadStack& exceptionThread,
                                      std::span<const TTarvexThreadRecord> registry, TCallStackFlags flags,
                                      std::chrono::nanoseconds* stoppedFor = nullptr);
