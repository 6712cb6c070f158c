// A program with embedded reporting options: reports what it found at start-up.
#include <cstdio>

#include "reporting/options/ECore.h"
#include "reporting/options/EModuleData.h"

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
