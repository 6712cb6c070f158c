// The raise interception points: libstdc++'s __cxa_throw, __cxa_rethrow and
// std::rethrow_exception enter small thunks that record the raising call's registers and run
// the raise-time analysis before the real raise; __cxa_end_catch reports a handler that
// completed; the std::terminate handler reports what nothing caught.
//
// The entries are code-patched in libstdc++ itself rather than interposed by symbol: every
// caller reaches them (other modules, libstdc++'s own throws, objects loaded later with
// dlopen), whatever the link order or whether the layer lives in the executable or a library.
//
// A throw that the application catches costs one capture of return addresses and one decision
// (cached per thread): no allocation and no lock.
#include "reporting/interception/ERaiseHooks.h"

#include <capstone/capstone.h>
#include <dlfcn.h>
#include <link.h>
#include <unwind.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "reporting/debuginfo/EFastUnwind.h"
#include "reporting/interception/ECxxAbi.h"
#include "reporting/interception/EHook.h"
#include "reporting/interception/ERaiseAnalysis.h"
#include "reporting/interception/ESignals.h"
#include "reporting/interception/EThreads.h"
#include "reporting/interception/ExceptionLog.h"

namespace {

enum TRaiseKind : int { rkThrow = 0, rkRethrow = 1, rkRethrowException = 2 };

// Trampolines of the patched entries (the original behaviour); read by the thunks.
extern "C" {
__attribute__((visibility("hidden"), used)) void* tarvex_trampoline_throw = nullptr;
__attribute__((visibility("hidden"), used)) void* tarvex_trampoline_rethrow = nullptr;
__attribute__((visibility("hidden"), used)) void* tarvex_trampoline_rethrow_exception = nullptr;
void tarvex_thunk_throw();
void tarvex_thunk_rethrow();
void tarvex_thunk_rethrow_exception();
}

// Each thunk keeps the argument registers and the callee-saved registers of the raising call
// in a block on its stack, calls tarvex_on_raise(kind, block) and continues in the original.
// Block: rdi, rsi, rdx, rbx, rbp, r12, r13, r14, r15, then the return address the caller pushed.
#define TARVEX_RAISE_THUNK(name, kind, trampoline)          \
  ".text\n"                                                 \
  ".globl " #name "\n"                                      \
  ".hidden " #name "\n"                                     \
  ".type " #name ", @function\n" #name ":\n"                \
  ".cfi_startproc\n"                                        \
  "  subq $72, %rsp\n"                                      \
  "  .cfi_def_cfa_offset 80\n"                              \
  "  movq %rdi, 0(%rsp)\n"                                  \
  "  movq %rsi, 8(%rsp)\n"                                  \
  "  movq %rdx, 16(%rsp)\n"                                 \
  "  movq %rbx, 24(%rsp)\n"                                 \
  "  movq %rbp, 32(%rsp)\n"                                 \
  "  movq %r12, 40(%rsp)\n"                                 \
  "  movq %r13, 48(%rsp)\n"                                 \
  "  movq %r14, 56(%rsp)\n"                                 \
  "  movq %r15, 64(%rsp)\n"                                 \
  "  movl $" #kind ", %edi\n"                               \
  "  movq %rsp, %rsi\n"                                     \
  "  call tarvex_on_raise\n"                                \
  "  movq 0(%rsp), %rdi\n"                                  \
  "  movq 8(%rsp), %rsi\n"                                  \
  "  movq 16(%rsp), %rdx\n"                                 \
  "  addq $72, %rsp\n"                                      \
  "  .cfi_def_cfa_offset 8\n"                               \
  "  jmp *" #trampoline "(%rip)\n"                          \
  ".cfi_endproc\n"                                          \
  ".size " #name ", .-" #name "\n"

asm(TARVEX_RAISE_THUNK(tarvex_thunk_throw, 0, tarvex_trampoline_throw)
    TARVEX_RAISE_THUNK(tarvex_thunk_rethrow, 1, tarvex_trampoline_rethrow)
    TARVEX_RAISE_THUNK(tarvex_thunk_rethrow_exception, 2, tarvex_trampoline_rethrow_exception));

// Frames captured at first: most throws are caught within a few frames of the raise.
constexpr size_t kFirstCapture = 16;
constexpr size_t kSecondCapture = 64;
constexpr size_t kMaxCapture = 1024;

struct TThreadRaiseState {
  std::atomic<uint8_t> Analysing{0};
  uint8_t Notifying = 0;
  int LayerDepth = 0;
  // The last raise analysed on this thread.
  void* Object = nullptr;
  const std::type_info* Type = nullptr;
  uintptr_t Address = 0;
  uintptr_t Rsp = 0;
  TCpuRegisters Registers;
  size_t FrameCount = 0;
  uintptr_t Frames[kMaxCapture];
  // The object reported at its raise (not reported again by terminate, escape or app handler).
  void* ReportedObject = nullptr;
  // The last handled exception reported from this thread (class and address).
  const std::type_info* LastReportedType = nullptr;
  uintptr_t LastReportedAddress = 0;
};

TThreadRaiseState& State() {
  static thread_local TThreadRaiseState state;
  return state;
}

std::atomic<bool> g_active{false};          // the raise points are installed and reporting
std::atomic<bool> g_reportHandled{false};   // bfReportHandledExceptions
std::atomic<void*> g_lastObject{nullptr};
std::atomic<uintptr_t> g_lastAddress{0};
std::atomic<bool> g_lastNative{false};

// The raise-time stack snapshot, only taken while handled exceptions are reported (a swallowed
// exception is reported after its frames are gone).
struct TSnapshot {
  std::mutex Mutex;
  uint8_t* Buffer = nullptr;
  TStackCopyView View;
  pid_t ThreadID = 0;
};
TSnapshot g_snapshot;

void* (*g_endCatchOriginal)() = nullptr;
std::terminate_handler g_previousTerminate = nullptr;

// Modules whose frames stand between a thrower and libstdc++ without being either: the
// sanitizers' interceptors of __cxa_throw. Their address ranges are found once at
// installation (dladdr on every throw would search symbol tables).
struct TInterceptorRanges {
  uintptr_t Ranges[8][2] = {};
  size_t Count = 0;
};
TInterceptorRanges g_interceptors;

int CollectInterceptor(dl_phdr_info* info, size_t, void*) {
  const char* name = info->dlpi_name ? info->dlpi_name : "";
  const char* base = std::strrchr(name, '/');
  base = base ? base + 1 : name;
  if (std::strncmp(base, "libasan", 7) != 0 && std::strncmp(base, "libubsan", 8) != 0 &&
      std::strncmp(base, "libtsan", 7) != 0)
    return 0;
  for (int i = 0; i < info->dlpi_phnum && g_interceptors.Count < 8; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X)) continue;
    g_interceptors.Ranges[g_interceptors.Count][0] = info->dlpi_addr + ph.p_vaddr;
    g_interceptors.Ranges[g_interceptors.Count][1] = info->dlpi_addr + ph.p_vaddr + ph.p_memsz;
    ++g_interceptors.Count;
  }
  return 0;
}

bool IsInterceptorFrame(uintptr_t pc) {
  for (size_t i = 0; i < g_interceptors.Count; ++i)
    if (pc >= g_interceptors.Ranges[i][0] && pc < g_interceptors.Ranges[i][1]) return true;
  return false;
}

uintptr_t StackTopOfThread() {
  static thread_local uintptr_t top = 0;
  if (!top) top = CurrentStackTop();
  return top;
}

struct TCapture {
  uintptr_t* Out;
  size_t Max;
  size_t Count = 0;
  uintptr_t StartAt;  // frames before the one with this pc are the layer's own
  bool Started = false;
  bool Complete = true;
};

_Unwind_Reason_Code CaptureFrame(_Unwind_Context* context, void* arg) {
  auto* c = static_cast<TCapture*>(arg);
  int beforeInsn = 0;
  uintptr_t pc = _Unwind_GetIPInfo(context, &beforeInsn);
  if (!c->Started) {
    if (pc != c->StartAt) return _URC_NO_REASON;
    c->Started = true;
  }
  if (c->Count == c->Max) {
    c->Complete = false;
    return _URC_END_OF_STACK;
  }
  c->Out[c->Count++] = pc;
  return _URC_NO_REASON;
}

// The raising thread's return addresses from `returnAddress` outward; whether the end of the
// stack was reached.
// Inlined, like OnRaise, so that every capture walks two frames of the layer (the thunk and
// tarvex_on_raise) before the raising one: each frame walked costs a lookup of its FDE.
__attribute__((always_inline)) inline size_t CaptureFrames(uintptr_t returnAddress, uintptr_t* out, size_t max,
                                                           bool& complete) {
  TCapture capture{out, max, 0, returnAddress};
  _Unwind_Backtrace(CaptureFrame, &capture);
  if (!capture.Started) {  // unwinding could not pass the thunk: keep what is certain
    out[0] = returnAddress;
    complete = false;
    return 1;
  }
  complete = capture.Complete;
  size_t skip = 0;
  while (skip + 1 < capture.Count && IsInterceptorFrame(out[skip])) ++skip;
  if (skip) std::memmove(out, out + skip, (capture.Count - skip) * sizeof(uintptr_t));
  return capture.Count - skip;
}

// The raising thread's return addresses from the thrower's frame, as the thunk saw it: through
// the cached call-frame rules when every frame has a simple rule, else through the unwinder.
size_t CaptureRaiseFrames(uintptr_t returnAddress, uintptr_t callerRsp, uintptr_t rbp, uintptr_t* out, size_t max,
                          bool& complete) {
  uintptr_t top = StackTopOfThread();
  if (top > callerRsp) {
    TUnwindStart start{returnAddress, callerRsp, rbp, callerRsp, top};
    bool slow = false;
    size_t count = FastBacktrace(start, out, max, &complete, &slow);
    if (!slow && count) {
      size_t skip = 0;
      while (skip + 1 < count && IsInterceptorFrame(out[skip])) ++skip;
      if (skip) std::memmove(out, out + skip, (count - skip) * sizeof(uintptr_t));
      return count - skip;
    }
  }
  return CaptureFrames(returnAddress, out, max, complete);
}

void TakeSnapshot(pid_t tid, uintptr_t rsp) {
  std::lock_guard lock(g_snapshot.Mutex);
  g_snapshot.View = {};
  g_snapshot.ThreadID = tid;
  uintptr_t top = StackTopOfThread();
  if (!g_snapshot.Buffer || !top || rsp >= top) return;
  size_t size = std::min<size_t>(top - rsp, kStackSnapshotSize);
  std::memcpy(g_snapshot.Buffer, reinterpret_cast<const void*>(rsp), size);
  g_snapshot.View = {rsp, top, size, g_snapshot.Buffer};
}

bool Report(TNotifySource source, bool handled, void* object, const std::type_info* type, uintptr_t address,
            const uintptr_t* frames, size_t frameCount, const TCpuRegisters* regs, TStackCopyView stack) {
  TThreadRaiseState& s = State();
  TExceptNotifyParams p;
  p.Source = source;
  p.Handled = handled;
  p.ExceptionObject = object;
  p.ExceptionType = type;
  p.ExceptionAddress = address;
  p.ReturnAddresses = frames;
  p.ReturnAddressCount = frameCount;
  p.Context = regs;
  p.ThreadID = CurrentThreadId();
  p.StackTop = StackTopOfThread();
  p.StackStart = regs ? regs->Rsp : 0;
  p.Stack = stack;
  s.Notifying = 1;
  bool result = true;
  try {
    result = NotifyException(p);
  } catch (...) {
  }
  s.Notifying = 0;
  return result;
}

__attribute__((always_inline)) inline void OnRaise(int kind, uint64_t* block) {
  TThreadRaiseState& s = State();
  if (s.LayerDepth > 0 || s.Notifying) return;
  uint8_t expected = 0;
  if (!s.Analysing.compare_exchange_strong(expected, 1)) return;

  void* object = nullptr;
  const std::type_info* type = nullptr;
  if (kind == rkThrow) {
    object = reinterpret_cast<void*>(block[0]);
    type = reinterpret_cast<const std::type_info*>(block[1]);
  } else {
    tarvex_abi::CxaException* header = nullptr;
    if (kind == rkRethrow) {
      header = tarvex_abi::Globals()->caughtExceptions;
      if (header && !tarvex_abi::IsGnuException(&header->unwindHeader)) header = nullptr;  // forced unwind
      if (header) object = tarvex_abi::ObjectOf(header);
    } else {
      object = *reinterpret_cast<void**>(block[0]);  // the exception_ptr's primary object
    }
    if (object) type = tarvex_abi::HeaderOf(object)->exceptionType;
  }
  // A rethrow of what was reported already (a thread wrapper passing it on) is not news.
  if (!object || !type || (kind != rkThrow && object == s.ReportedObject)) {
    s.Analysing.store(0);
    return;
  }

  uintptr_t returnAddress = block[9];
  uintptr_t callerRsp = reinterpret_cast<uintptr_t>(block + 10);
  s.Registers = {};
  s.Registers.Rbx = block[3];
  s.Registers.Rbp = block[4];
  s.Registers.R12 = block[5];
  s.Registers.R13 = block[6];
  s.Registers.R14 = block[7];
  s.Registers.R15 = block[8];
  s.Registers.Rsp = callerRsp;
  s.Registers.Rip = returnAddress;
  s.Registers.Valid = true;

  // Most throws are decided within a few frames: more of the stack is walked only when the
  // part captured does not decide.
  bool complete = false;
  s.FrameCount = CaptureRaiseFrames(returnAddress, callerRsp, block[4], s.Frames, kFirstCapture, complete);
  s.Object = object;
  s.Type = type;
  // The raise address is worked out only for a report: decoding a call other than E8 takes the
  // disassembler's lock.
  s.Address = 0;
  s.Rsp = callerRsp;
  s.ReportedObject = nullptr;
  g_lastObject.store(object, std::memory_order_relaxed);
  g_lastAddress.store(returnAddress, std::memory_order_relaxed);
  g_lastNative.store(true, std::memory_order_relaxed);

  TRaiseDecision decision = AnalyseRaiseCached({s.Frames, s.FrameCount}, type, object, complete);
  for (size_t more : {kSecondCapture, kMaxCapture}) {
    if (decision.End != reUnknownBeyond) break;
    s.FrameCount = CaptureRaiseFrames(returnAddress, callerRsp, block[4], s.Frames, more, complete);
    decision = AnalyseRaiseCached({s.Frames, s.FrameCount}, type, object, complete);
  }
  // An unhandled exception is reported with its whole stack.
  if (!decision.Caught && !complete)
    s.FrameCount = CaptureRaiseFrames(returnAddress, callerRsp, block[4], s.Frames, kMaxCapture, complete);
  if (!decision.Caught) {
    s.ReportedObject = object;
    s.Address = RaiseAddressOf(s.Frames[0]);
    Report(nsRaise, false, object, type, s.Address, s.Frames, s.FrameCount, &s.Registers, {});
  } else if (g_reportHandled.load(std::memory_order_relaxed)) {
    TakeSnapshot(CurrentThreadId(), callerRsp);
  }
  s.Analysing.store(0);
}

}  // namespace

extern "C" __attribute__((visibility("hidden"), used)) void tarvex_on_raise(int kind, uint64_t* block) noexcept {
  int savedErrno = errno;
  if (g_active.load(std::memory_order_relaxed)) {
    try {
      OnRaise(kind, block);
    } catch (...) {
      State().Analysing.store(0);
    }
  }
  errno = savedErrno;
}

namespace {

// A handler completed: report the exception it swallowed, unless it was rethrown (negative
// handler count), another handler still holds it, the catch block is being left by another
// exception, or it is a foreign exception (thread cancellation).
void OnEndCatch() {
  TThreadRaiseState& s = State();
  if (s.LayerDepth > 0 || s.Notifying) return;
  tarvex_abi::CxaEhGlobals* globals = tarvex_abi::Globals();
  tarvex_abi::CxaException* header = globals->caughtExceptions;
  if (!header || !tarvex_abi::IsGnuException(&header->unwindHeader)) return;
  if (header->handlerCount != 1 || globals->uncaughtExceptions != 0) return;
  void* object = tarvex_abi::ObjectOf(header);
  const std::type_info* type = tarvex_abi::HeaderOf(object)->exceptionType;
  if (!type || object == s.ReportedObject) return;
  if (object == s.Object && !s.Address && s.FrameCount) s.Address = RaiseAddressOf(s.Frames[0]);
  uintptr_t address = object == s.Object ? s.Address : 0;
  if (type == s.LastReportedType && address == s.LastReportedAddress) return;
  s.LastReportedType = type;
  s.LastReportedAddress = address;
  s.ReportedObject = object;
  TStackCopyView stack;
  std::unique_lock lock(g_snapshot.Mutex);
  if (object == s.Object && g_snapshot.ThreadID == CurrentThreadId()) stack = g_snapshot.View;
  bool own = object == s.Object;
  Report(nsHandled, true, object, type, address, own ? s.Frames : nullptr, own ? s.FrameCount : 0,
         own ? &s.Registers : nullptr, stack);
}

void TarvexEndCatch() noexcept {
  if (g_reportHandled.load(std::memory_order_relaxed) && g_active.load(std::memory_order_relaxed)) {
    int savedErrno = errno;
    try {
      OnEndCatch();
    } catch (...) {
    }
    errno = savedErrno;
  }
  g_endCatchOriginal();
}

[[noreturn]] void TarvexTerminate() noexcept {
  int savedErrno = errno;
  if (g_active.load(std::memory_order_relaxed)) {
    try {
      TThreadRaiseState& s = State();
      tarvex_abi::CxaException* header = tarvex_abi::Globals()->caughtExceptions;
      if (header && tarvex_abi::IsGnuException(&header->unwindHeader) && s.LayerDepth == 0 && !s.Notifying) {
        void* object = tarvex_abi::ObjectOf(header);
        if (object != s.ReportedObject) {
          s.ReportedObject = object;
          // Nothing was unwound: the stack still holds the raise.
          bool complete = false;
          size_t n = object == s.Object ? s.FrameCount : 0;
          const std::type_info* type = tarvex_abi::HeaderOf(object)->exceptionType;
          if (n && !s.Address) s.Address = RaiseAddressOf(s.Frames[0]);
          Report(nsTerminate, false, object, type, object == s.Object ? s.Address : 0, n ? s.Frames : nullptr, n,
                 n ? &s.Registers : nullptr, {});
          (void)complete;
        }
        SuppressAbortReport();
      }
    } catch (...) {
    }
  }
  errno = savedErrno;
  if (g_previousTerminate) g_previousTerminate();
  std::abort();
}

void* LibraryFunction(const char* library, const char* name) {
  void* handle = ::dlopen(library, RTLD_NOW | RTLD_NOLOAD);
  if (!handle) return nullptr;
  void* fn = ::dlsym(handle, name);
  ::dlclose(handle);
  return fn;
}

}  // namespace

uintptr_t RaiseAddressOf(uintptr_t returnAddress) {
  if (!returnAddress) return 0;
  // A call ends at the return address; x86-64 calls are 2 to 8 bytes long. The most common
  // forms are tried first.
  const uint8_t* end = reinterpret_cast<const uint8_t*>(returnAddress);
  if (end[-5] == 0xE8) return returnAddress - 5;
  static csh handle = [] {
    csh h = 0;
    if (cs_open(CS_ARCH_X86, CS_MODE_64, &h) != CS_ERR_OK) return csh{0};
    return h;
  }();
  static std::mutex mutex;
  if (handle) {
    std::lock_guard lock(mutex);
    for (size_t len : {6, 2, 3, 4, 7, 8}) {
      const uint8_t* code = end - len;
      size_t size = len;
      uint64_t address = returnAddress - len;
      cs_insn* insn = cs_malloc(handle);
      bool ok = insn && cs_disasm_iter(handle, &code, &size, &address, insn) && size == 0 &&
                cs_insn_group(handle, insn, CS_GRP_CALL);
      if (insn) cs_free(insn, 1);
      if (ok) return returnAddress - len;
    }
  }
  return returnAddress - 5;
}

bool TarvexLastNative() { return g_lastNative.load(std::memory_order_relaxed); }
void* TarvexLastObject() { return g_lastObject.load(std::memory_order_relaxed); }

void SetReportHandled(bool on) { g_reportHandled.store(on, std::memory_order_relaxed); }

int& LayerDepth() { return State().LayerDepth; }

bool ExceptionAlreadyReported(void* object) { return object && State().ReportedObject == object; }
void MarkExceptionReported(void* object) { State().ReportedObject = object; }
bool ThreadIsNotifying() { return State().Notifying != 0; }

void InstallRaiseHooks() {
  static const char* kLibstdcxx = "libstdc++.so.6";
  void* throwFn = LibraryFunction(kLibstdcxx, "__cxa_throw");
  void* rethrowFn = LibraryFunction(kLibstdcxx, "__cxa_rethrow");
  void* rethrowExceptionFn = LibraryFunction(kLibstdcxx, "_ZSt17rethrow_exceptionNSt15__exception_ptr13exception_ptrE");
  void* endCatchFn = LibraryFunction(kLibstdcxx, "__cxa_end_catch");
  if (!g_snapshot.Buffer) g_snapshot.Buffer = new uint8_t[kStackSnapshotSize];
  g_interceptors = {};
  ::dl_iterate_phdr(&CollectInterceptor, nullptr);
  tarvex_trampoline_throw = PatchProcedure(throwFn, reinterpret_cast<void*>(&tarvex_thunk_throw), "__cxa_throw");
  tarvex_trampoline_rethrow =
      PatchProcedure(rethrowFn, reinterpret_cast<void*>(&tarvex_thunk_rethrow), "__cxa_rethrow");
  tarvex_trampoline_rethrow_exception = PatchProcedure(
      rethrowExceptionFn, reinterpret_cast<void*>(&tarvex_thunk_rethrow_exception), "std::rethrow_exception");
  g_endCatchOriginal = reinterpret_cast<void* (*)()>(
      PatchProcedure(endCatchFn, reinterpret_cast<void*>(&TarvexEndCatch), "__cxa_end_catch"));
  g_previousTerminate = std::set_terminate(&TarvexTerminate);
  g_active.store(true);
}

void RemoveRaiseHooks() {
  g_active.store(false);
  if (std::get_terminate() == &TarvexTerminate) std::set_terminate(g_previousTerminate);
  // The code patches themselves are undone with all others by RestoreAllPatches; the
  // trampolines stay valid for a thread still inside one.
}

void ActivateRaiseHooks(bool on) { g_active.store(on); }
