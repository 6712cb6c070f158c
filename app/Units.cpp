#include "app/Units.h"

#include "binding/ZelkDistance1.h"
#include "reporting/interception/ExceptionLog.h"
#include "soap/InvokeRegistry.h"
#include "soap/UDDIInquiry.h"

void InitializeUnits() {
  // The reporting layer first: every loaded module's stored options, then its interception
  // points, so that whatever fails from here on is reported. Without reporting data the layer
  // stays passive.
  InstallExceptionLog();
  InitializeUDDIInquiry();  // first registry access: creates both registries
  GetInvokableRegistry();   // the registry unit finds them created
  InitializeZelkDistance1();
}

void FinalizeUnits() {
  // Reverse order: the binding has nothing to undo; the registry unit frees the registries.
  DestroyRegistries();
  ShutdownExceptionLog();
}
