// Memory errors found at a release, reported where the release is. Called from operator
// delete, which must not throw: the exception object is only handed to the flow.
#include <unistd.h>

#include "reporting/debuginfo/EMemory.h"
#include "reporting/debuginfo/EStackScan.h"
#include "reporting/interception/ExceptionLog.h"
#include "reporting/leaks/ELeaks.h"
#include "reporting/options/EModuleData.h"
#include "reporting/options/EModules.h"

void ReportMemoryError(TMemoryError kind, const uintptr_t* frames, size_t count) {
  if (count == 0 || !ExceptionLogInstalled()) return;
  TTarvexModuleData* own = FindModuleData(ReportingModuleHandle());
  if (!own || !own->Options) return;
  const bool multiFree = kind == TMemoryError::MultiFree;
  const std::string message = own->Options->GetText(multiFree ? 154 : 155);
  EMultiFree multi(message);
  EMemoryOverrun overrun(message);
  TProcessMemoryReader memory;
  TExceptNotifyParams p;
  p.Source = nsManager;
  p.Native = false;
  if (multiFree) {
    p.ExceptionObject = &multi;
    p.ExceptionType = &typeid(multi);
  } else {
    p.ExceptionObject = &overrun;
    p.ExceptionType = &typeid(overrun);
  }
  // The delete expression's call, as a throw's address is its raising call.
  p.ExceptionAddress = CallStartBefore(frames[0], memory);
  p.ReturnAddresses = frames;
  p.ReturnAddressCount = count;
  p.ThreadID = ::gettid();
  NotifyException(p);
}
