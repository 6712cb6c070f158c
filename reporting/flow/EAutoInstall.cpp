// The layer installs itself in a program that carries reporting data, right before `main`,
// so that a program needs no call of its own.
//
// Why not a constructor function: the layer's units are static libraries, and the order in
// which their static objects are initialised is the link order, which puts this unit before
// the interception's and the runtime's. Installing from a constructor would let their later
// initialisation overwrite what the installation set up. Instead the link option
// `--wrap=main` (carried by the layer's link interface) sends the start code to __wrap_main
// below, which runs after every static object of the program exists; that reference is also
// what links this unit in.
//
// Only an executable has a `main`: a shared object with its own copy of the layer installs it
// itself (InstallExceptionLog), and forwards to the main module's copy when that one exists.
#include "reporting/interception/ExceptionLog.h"
#include "reporting/options/EModules.h"
#include "reporting/options/EStoredData.h"

extern "C" int __real_main(int argc, char** argv, char** envp);

namespace {

void AutoInstallExceptionLog() {
  // A program without embedded options stays untouched: nothing is read or patched beyond
  // the look for its block.
  if (FindStoredBlock(ModuleFileName(ReportingModuleHandle())).Place == TStoredPlace::None) return;
  try {
    InstallExceptionLog();  // a later call of the program's own returns at once
  } catch (...) {
    // A failed installation leaves the program running as it would without the layer.
  }
}

}  // namespace

extern "C" int __wrap_main(int argc, char** argv, char** envp) {
  AutoInstallExceptionLog();
  return __real_main(argc, argv, envp);
}
