// A shared object with its own hidden copy of the layer: it forwards to the main module's.
#include <stdexcept>

#include "reporting/interception/ExceptionLog.h"
#include "reporting/options/EModules.h"

extern "C" __attribute__((visibility("default"))) int ForwardingInstall() {
  return (InstallExceptionLog() ? 1 : 0) + (ExceptionLogForwarding() ? 2 : 0);
}

// Hands a caught exception to this copy's ExceptionManager; returns what it answered.
extern "C" __attribute__((visibility("default"))) bool ForwardingReport() {
  try {
    throw std::logic_error("reported by a plugin");
  } catch (std::logic_error& e) {
    return ExceptionManager(&e, &typeid(e), nullptr, 0, ReportingModuleHandle());
  }
}
