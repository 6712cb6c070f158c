// A shared object with its own copy of the reporting layer, for tests of the shared block
// between copies in one process.
#include <cstring>

#include "reporting/options/ECore.h"
#include "reporting/options/EModuleData.h"
#include "reporting/options/EModules.h"

extern "C" {

__attribute__((visibility("default"))) uintptr_t tl_copy_handle() { return ReportingModuleHandle(); }

__attribute__((visibility("default"))) void tl_copy_load() { LoadAllModulesOptions(); }

__attribute__((visibility("default"))) int tl_copy_set_subject(const char* subject) {
  try {
    CurrentTarvexLogOptions().SetEmailSubjectText(subject);
    return 1;
  } catch (...) {
    return 0;
  }
}

// The e-mail subject of the record this copy keeps for `handle`, refreshed from the shared
// block first when `refresh` is set; 0 when it has no record.
__attribute__((visibility("default"))) int tl_copy_subject_of(uintptr_t handle, int refresh, char* buf, size_t size) {
  TTarvexModuleData* data = FindModuleData(handle);
  if (!data) return 0;
  if (refresh) data->Options->RefreshFromShared();
  std::strncpy(buf, data->Options->EmailSubjectText().c_str(), size - 1);
  buf[size - 1] = 0;
  return 1;
}
}
