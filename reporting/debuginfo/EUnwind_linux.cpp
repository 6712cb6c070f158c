#include <elfutils/libdwfl.h>
#include <link.h>
#include <unistd.h>
#include <unwind.h>

#include <mutex>

#include "reporting/debuginfo/EUnwind.h"

// ---- The current thread ------------------------------------------------------------------

namespace {

struct BacktraceState {
  TUnwindResult* Result;
  size_t Skip;
};

_Unwind_Reason_Code CollectFrame(_Unwind_Context* context, void* arg) {
  auto* state = static_cast<BacktraceState*>(arg);
  int beforeInstruction = 0;
  uintptr_t ip = _Unwind_GetIPInfo(context, &beforeInstruction);
  // The outermost frame leaves its return address undefined: the unwinder reports it as 0.
  if (ip == 0) {
    state->Result->Complete = true;
    return _URC_END_OF_STACK;
  }
  uintptr_t cfa = _Unwind_GetCFA(context);
  state->Result->ResumeSp = cfa;
  if (state->Skip > 0) {
    --state->Skip;
    return _URC_NO_REASON;
  }
  state->Result->Frames.push_back({ip, cfa, beforeInstruction != 0});
  return state->Result->Frames.size() >= kMaxUnwoundFrames ? _URC_END_OF_STACK : _URC_NO_REASON;
}

}  // namespace

__attribute__((noinline)) TUnwindResult UnwindCurrentThread(size_t skip) {
  TUnwindResult result;
  result.Frames.reserve(64);
  BacktraceState state{&result, skip + 1};  // this function's own frame
  _Unwind_Backtrace(&CollectFrame, &state);
  asm volatile("" ::: "memory");  // keeps this frame a real call (no tail call)
  return result;
}

// ---- Captured contexts -------------------------------------------------------------------

namespace {

// DWARF register numbers of x86-64.
enum : int { kDwRax, kDwRdx, kDwRcx, kDwRbx, kDwRsi, kDwRdi, kDwRbp, kDwRsp, kDwR8 };

// Debug files are not needed for unwinding (.eh_frame is in the loaded objects), and none is
// ever fetched from a server.
int NoDebuginfo(Dwfl_Module*, void**, const char*, Dwarf_Addr, const char*, const char*, GElf_Word, char**) {
  return -1;
}

char* gDebuginfoPath = nullptr;
const Dwfl_Callbacks kDwflCallbacks = {dwfl_linux_proc_find_elf, NoDebuginfo, dwfl_offline_section_address,
                                       &gDebuginfoPath};

// One Dwfl for the process, rebuilt when the loader's list changes; its state callbacks serve
// the context being unwound.
class TContextUnwinder {
 public:
  TUnwindResult Unwind(const TCpuRegisters& registers, const TStackCopyView& stack, IMemoryReader& memory) {
    std::lock_guard lock(mutex_);
    TUnwindResult result;
    if (!Prepare()) return result;
    registers_ = &registers;
    stack_ = stack;
    memory_ = &memory;
    int rc = dwfl_getthread_frames(dwfl_, ::getpid(), &OnFrame, &result);
    registers_ = nullptr;
    memory_ = nullptr;
    result.Complete = rc == 0;
    if (!result.Frames.empty()) result.ResumeSp = result.Frames.back().Sp;
    return result;
  }

 private:
  bool Prepare() {
    unsigned long long counts[2] = {0, 0};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
          auto* c = static_cast<unsigned long long*>(data);
          c[0] = info->dlpi_adds;
          c[1] = info->dlpi_subs;
          return 1;
        },
        counts);
    if (dwfl_ && counts[0] == adds_ && counts[1] == subs_) return true;
    if (dwfl_) dwfl_end(dwfl_);
    dwfl_ = dwfl_begin(&kDwflCallbacks);
    if (!dwfl_) return false;
    dwfl_report_begin(dwfl_);
    bool ok = dwfl_linux_proc_report(dwfl_, ::getpid()) == 0 && dwfl_report_end(dwfl_, nullptr, nullptr) == 0 &&
              dwfl_attach_state(dwfl_, nullptr, ::getpid(), &kThreadCallbacks, this);
    if (!ok) {
      dwfl_end(dwfl_);
      dwfl_ = nullptr;
      return false;
    }
    adds_ = counts[0];
    subs_ = counts[1];
    return true;
  }

  static pid_t NextThread(Dwfl*, void* arg, void** threadArg) {
    if (*threadArg) return 0;
    *threadArg = arg;
    return ::getpid();
  }
  static bool GetThread(Dwfl*, pid_t, void* arg, void** threadArg) {
    *threadArg = arg;
    return true;
  }
  static bool MemoryRead(Dwfl*, Dwarf_Addr address, Dwarf_Word* result, void* arg) {
    auto* self = static_cast<TContextUnwinder*>(arg);
    if (!self->memory_) return false;
    TStackCopyReader reader(self->stack_, *self->memory_);
    return reader.Read(address, result, sizeof *result);
  }
  static bool SetInitialRegisters(Dwfl_Thread* thread, void* threadArg) {
    auto* self = static_cast<TContextUnwinder*>(threadArg);
    if (!self->registers_) return false;
    const TCpuRegisters& r = *self->registers_;
    if (r.Full) {
      const Dwarf_Word regs[16] = {r.Rax, r.Rdx, r.Rcx, r.Rbx, r.Rsi, r.Rdi, r.Rbp, r.Rsp,
                                   r.R8,  r.R9,  r.R10, r.R11, r.R12, r.R13, r.R14, r.R15};
      if (!dwfl_thread_state_registers(thread, kDwRax, 16, regs)) return false;
    } else {
      // At a throw only what a call preserves is known; the others stay undefined.
      const std::pair<int, Dwarf_Word> known[] = {{kDwRbx, r.Rbx}, {kDwRbp, r.Rbp}, {kDwRsp, r.Rsp},
                                                  {12, r.R12},     {13, r.R13},     {14, r.R14},
                                                  {15, r.R15}};
      for (const auto& [reg, value] : known)
        if (!dwfl_thread_state_registers(thread, reg, 1, &value)) return false;
    }
    dwfl_thread_state_register_pc(thread, r.Rip);
    return true;
  }
  static int OnFrame(Dwfl_Frame* frame, void* arg) {
    auto* result = static_cast<TUnwindResult*>(arg);
    Dwarf_Addr pc = 0;
    bool activation = false;
    if (!dwfl_frame_pc(frame, &pc, &activation) || pc == 0) return DWARF_CB_ABORT;
    Dwarf_Word sp = 0;
    dwfl_frame_reg(frame, kDwRsp, &sp);
    result->Frames.push_back({pc, sp, activation});
    return result->Frames.size() >= kMaxUnwoundFrames ? DWARF_CB_ABORT : DWARF_CB_OK;
  }

  static constexpr Dwfl_Thread_Callbacks kThreadCallbacks = {&NextThread, &GetThread, &MemoryRead,
                                                            &SetInitialRegisters, nullptr, nullptr};

  std::mutex mutex_;
  Dwfl* dwfl_ = nullptr;
  unsigned long long adds_ = 0, subs_ = 0;
  const TCpuRegisters* registers_ = nullptr;
  TStackCopyView stack_;
  IMemoryReader* memory_ = nullptr;
};

TContextUnwinder& ContextUnwinder() {
  static TContextUnwinder* unwinder = new TContextUnwinder;  // kept until the process ends
  return *unwinder;
}

}  // namespace

TUnwindResult UnwindContext(const TCpuRegisters& registers, const TStackCopyView& stack, IMemoryReader& memory) {
  if (!registers.Valid || registers.Rip == 0 || registers.Rsp == 0) return {};
  return ContextUnwinder().Unwind(registers, stack, memory);
}
