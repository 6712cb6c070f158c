#include "reporting/debuginfo/ECallStack.h"

#include <algorithm>

#include "reporting/interception/EThreadContext.h"

TLiveStackSymbols::TLiveStackSymbols() : code_(TLiveCodeRanges::Instance().Current()) {}

bool TLiveStackSymbols::IsCodeAddress(uintptr_t address) const { return RangesContain(*code_, address); }

const TTarvexModuleInfo* TLiveStackSymbols::ModuleOf(uintptr_t address) { return ModuleFromAddress(address); }

std::vector<TTarvexStackEntry> TLiveStackSymbols::Resolve(uintptr_t address, uint32_t threadId, bool firstEntry,
                                                          uint8_t stackRole) {
  return ResolveAddress(address, threadId, firstEntry, stackRole);
}

TEntryKinds VisibleKinds(TCallStackFlags flags) {
  TEntryKinds kinds = EntryKindBit(kEntryLine);
  if (flags.Contains(cfShowDllEntries)) kinds |= EntryKindBit(kEntryProcedure);
  if (flags.Contains(cfShowPackageEntries)) kinds |= EntryKindBit(kEntryUnit);
  return kinds;
}

TEntryKinds VisibleKinds(const TTarvexModuleOptions& options) { return VisibleKinds(options.CallStackFlags()); }

void ScanStack(TTarvexStackList& list, uintptr_t address, uintptr_t stackStart, uintptr_t stackEnd,
               const TStackScanOptions& options) {
  TLiveStackSymbols symbols;
  TProcessMemoryReader memory(symbols.CodeRanges());
  ScanStack(list, address, stackStart, stackEnd, options, memory, symbols);
}

TTarvexStackList BuildCallStack(uintptr_t address, uintptr_t stackStart, uintptr_t stackEnd,
                                TStackScanOptions options) {
  TTarvexStackList list;
  options.FollowStubs = true;
  ScanStack(list, address, stackStart, stackEnd, options);
  return list;
}

void AddUnwoundFrames(TStackEntrySink& sink, std::span<const TUnwoundFrame> frames, uintptr_t exceptionAddress,
                      IMemoryReader& memory) {
  bool first = true;
  if (exceptionAddress) {
    sink.Add(exceptionAddress, true);
    first = false;
  }
  for (size_t i = 0; i < frames.size() && !sink.Full(); ++i) {
    const TUnwoundFrame& f = frames[i];
    uintptr_t address = f.Activation ? f.Pc : CallStartBefore(f.Pc, memory);
    // The interception point's raise address is the first frame seen from its call site.
    if (i == 0 && exceptionAddress &&
        (address == exceptionAddress || f.Pc == exceptionAddress || CallStartBefore(f.Pc, memory) == exceptionAddress))
      continue;
    sink.Add(address, first);
    first = false;
  }
}

namespace {

// Unwound frames, then the scan from where unwinding stopped (its clean-up only over the
// scanned part: unwound frames are exact).
void AppendUnwoundThenScanned(TTarvexStackList& list, const TUnwindResult& unwound, uintptr_t exceptionAddress,
                              uintptr_t scanEnd, const TStackScanOptions& options, IMemoryReader& memory,
                              IStackSymbols& symbols) {
  TStackEntrySink sink(list, options, symbols);
  AddUnwoundFrames(sink, unwound.Frames, exceptionAddress, memory);
  if (unwound.Complete || sink.Full() || unwound.ResumeSp == 0) return;
  size_t firstScanned = list.size();
  ScanStackArea(sink, unwound.ResumeSp, scanEnd, options.FollowStubs, memory, symbols);
  CleanUpScannedEntries(list, firstScanned);
}

}  // namespace

TTarvexStackList BuildCurrentThreadStack(const TStackScanOptions& options, size_t skip) {
  TUnwindResult unwound = UnwindCurrentThread(skip + 1);
  TLiveStackSymbols symbols;
  TProcessMemoryReader memory(symbols.CodeRanges());
  TTarvexStackList list;
  AppendUnwoundThenScanned(list, unwound, 0, CurrentStackTop(), options, memory, symbols);
  return list;
}

void AppendContextStack(TTarvexStackList& list, const TThreadContext& context, uintptr_t exceptionAddress,
                        const TStackScanOptions& options) {
  const TCpuRegisters& r = context.Registers;
  if (!r.Valid || r.Rip == 0 || r.Rsp == 0) return;
  TLiveStackSymbols symbols;
  TProcessMemoryReader live(symbols.CodeRanges());
  TStackCopyReader memory(context.Stack, live);
  TUnwindResult unwound = UnwindContext(r, context.Stack, live);
  if (unwound.Frames.empty()) {
    // No call-frame unwinding at all: the first frame is the instruction pointer, the rest is scanned.
    unwound.Frames.push_back({r.Rip, r.Rsp, true});
    unwound.ResumeSp = r.Rsp;
    unwound.Complete = false;
  }
  // The thread runs again: beyond the copy its stack is no longer what was captured.
  uintptr_t scanEnd = context.Stack.Top;
  uintptr_t copyEnd = context.Stack.Start + context.Stack.Size;
  if (context.Stack.Bytes && unwound.ResumeSp >= context.Stack.Start && unwound.ResumeSp < copyEnd)
    scanEnd = std::min(scanEnd ? scanEnd : copyEnd, copyEnd);
  AppendUnwoundThenScanned(list, unwound, exceptionAddress, scanEnd, options, memory, symbols);
}

void AppendCreatorStack(TTarvexStackList& list, const TCreatorStack& creator, pid_t creatorThreadId) {
  if (creator.Copy.empty()) return;
  TStackScanOptions options;
  options.StackRole = 0;
  options.ThreadID = static_cast<uint32_t>(creatorThreadId);
  TLiveStackSymbols symbols;
  TProcessMemoryReader live(symbols.CodeRanges());
  TStackCopyReader memory(creator.View(), live);
  ScanStack(list, 0, creator.Start, creator.Start + creator.Copy.size(), options, memory, symbols);
}

TTarvexStackList BuildExceptionStacks(const TExceptionThreadStack& ex, std::span<const TTarvexThreadRecord> registry,
                                      TCallStackFlags flags, std::chrono::nanoseconds* stoppedFor) {
  if (stoppedFor) *stoppedFor = std::chrono::nanoseconds(0);
  TTarvexStackList list;
  TStackScanOptions options;
  options.ThreadID = static_cast<uint32_t>(ex.ThreadID);

  // 1. The exception thread.
  if (ex.PreparedStack) {
    list = *ex.PreparedStack;
  } else if (ex.Context && ex.Context->Registers.Valid) {
    AppendContextStack(list, *ex.Context, ex.ExceptionAddress, options);
  } else if (!ex.ReturnAddresses.empty()) {
    TLiveStackSymbols symbols;
    TProcessMemoryReader memory(symbols.CodeRanges());
    TStackEntrySink sink(list, options, symbols);
    std::vector<TUnwoundFrame> frames;
    for (uintptr_t pc : ex.ReturnAddresses) frames.push_back({pc, 0, false});
    AddUnwoundFrames(sink, frames, ex.ExceptionAddress, memory);
  } else {
    ScanStack(list, ex.ExceptionAddress, ex.StackStart, ex.StackTop, options);
  }

  // 2. The thread that created it.
  for (const auto& rec : registry)
    if (rec.ThreadID == ex.ThreadID && rec.CreatorStack) AppendCreatorStack(list, *rec.CreatorStack, rec.CreatorThreadID);

  // 3. The other included threads: all stopped and copied at once, then released.
  pid_t self = CurrentThreadId();
  std::vector<const TTarvexThreadRecord*> included;
  std::vector<pid_t> tids;
  std::vector<uintptr_t> tops;
  for (const auto& rec : registry) {
    if (rec.ThreadID == ex.ThreadID || rec.ThreadID == self || rec.MainThread || rec.StackTop == 0) continue;
    if (!flags.Contains(rec.ThreadObject ? cfOwnThreadStacks : cfOsThreadStacks)) continue;
    included.push_back(&rec);
    tids.push_back(rec.ThreadID);
    tops.push_back(rec.StackTop);
  }
  if (included.empty()) return list;
  TThreadCapture capture;
  capture.Capture(tids, tops);
  if (stoppedFor) *stoppedFor = capture.StoppedFor();
  const auto& captured = capture.Threads();
  for (size_t i = 0; i < included.size() && i < captured.size(); ++i) {
    const TTarvexThreadRecord& rec = *included[i];
    const TCapturedThread& t = captured[i];
    if (!t.Captured || t.Context.Registers.Rip == 0 || t.Context.Registers.Rsp == 0) continue;
    TStackScanOptions threadOptions;
    threadOptions.ThreadID = static_cast<uint32_t>(rec.ThreadID);
    AppendContextStack(list, t.Context, 0, threadOptions);
    if (rec.CreatorStack) AppendCreatorStack(list, *rec.CreatorStack, rec.CreatorThreadID);
  }
  return list;
}
