// A program with embedded reporting options: reports what it found at start-up.
#include <cstdio>

#include "reporting/ECore.h"
#include "reporting/EModuleData.h"

int main() {
  LoadAllModulesOptions();
  try {
    TTarvexModuleOptionsEx& own = CurrentTarvexLogOptions();
    std::printf("options: %s\n", own.EmailSubjectText().c_str());
  } catch (const EAssertionFailed& e) {
    std::printf("no options:%s\n", e.what());
  }
  return 0;
}
