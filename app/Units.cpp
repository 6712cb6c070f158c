#include "app/Units.h"

#include "binding/ZelkDistance1.h"
#include "soap/InvokeRegistry.h"
#include "soap/UDDIInquiry.h"

void InitializeUnits() {
  // Reporting layer: its place is first; its units hook in here as they are built.
  InitializeUDDIInquiry();  // first registry access: creates both registries
  GetInvokableRegistry();   // the registry unit finds them created
  InitializeZelkDistance1();
}

void FinalizeUnits() {
  // Reverse order: the binding has nothing to undo; the registry unit frees the registries.
  DestroyRegistries();
}
