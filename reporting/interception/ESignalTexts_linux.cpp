// The runtime's exception class and message for a fatal signal.
#include <dlfcn.h>

#include <cstring>

#include "reporting/interception/ESignals.h"
#include "runtime/SysUtils.h"

namespace {

struct TSignalClass {
  int Signal;
  int Code;  // si_code, or 0 for any code not listed before it
  const char* ClassName;
  const char* Message;
};

// First match wins; the entry with Code 0 closes each signal's list.
constexpr TSignalClass kClasses[] = {
    {SIGFPE, FPE_INTDIV, "EDivByZero", "Division by zero"},
    {SIGFPE, FPE_INTOVF, "EIntOverflow", "Integer overflow"},
    {SIGFPE, FPE_FLTDIV, "EZeroDivide", "Floating point division by zero"},
    {SIGFPE, FPE_FLTOVF, "EOverflow", "Floating point overflow"},
    {SIGFPE, FPE_FLTUND, "EUnderflow", "Floating point underflow"},
    {SIGFPE, 0, "EInvalidOp", "Invalid floating point operation"},
    {SIGILL, ILL_PRVOPC, "EPrivilege", "Privileged instruction"},
    {SIGILL, ILL_PRVREG, "EPrivilege", "Privileged instruction"},
    {SIGILL, 0, "EIllegalInstruction", "Illegal instruction"},
    {SIGABRT, 0, "EAbnormalTermination", "Abnormal program termination"},
};

const TSignalClass* FindClass(const TSignalReport& report) {
  for (const TSignalClass& c : kClasses) {
    // A code sent by a process (si_code <= 0) never names a processor condition.
    if (c.Signal == report.Signal && (c.Code == 0 || (!report.Raised && c.Code == report.Info.si_code))) return &c;
  }
  return nullptr;
}

bool IsAccessViolation(const TSignalReport& report) {
  return (report.Signal == SIGSEGV && !report.StackOverflow) || report.Signal == SIGBUS;
}

// File part of the object that contains the address, "" when none does.
std::string ModuleNameAt(uintptr_t address) {
  Dl_info info{};
  if (address == 0 || dladdr(reinterpret_cast<void*>(address), &info) == 0 || !info.dli_fname) return {};
  const char* slash = std::strrchr(info.dli_fname, '/');
  return slash ? slash + 1 : info.dli_fname;
}

}  // namespace

std::string SignalClassName(const TSignalReport& report) {
  if (report.Signal == SIGSEGV && report.StackOverflow) return "EStackOverflow";
  if (IsAccessViolation(report)) return "EAccessViolation";
  const TSignalClass* c = FindClass(report);
  return c ? c->ClassName : "";
}

std::string SignalMessage(const TSignalReport& report) {
  if (report.Signal == SIGSEGV && report.StackOverflow) return "Stack overflow";
  if (IsAccessViolation(report)) {
    const uintptr_t rip = report.Context.Registers.Rip;
    const auto faultAddress = reinterpret_cast<uintptr_t>(report.Info.si_addr);
    const char* access = (report.ErrorCode & 2) ? "Write" : "Read";
    const std::string module = ModuleNameAt(rip);
    if (module.empty()) return Format("Access violation at address %p. %s of address %p", {rip, access, faultAddress});
    return Format("Access violation at address %p in module '%s'. %s of address %p",
                  {rip, module, access, faultAddress});
  }
  const TSignalClass* c = FindClass(report);
  return c ? c->Message : "";
}
