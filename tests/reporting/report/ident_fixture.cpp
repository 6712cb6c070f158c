// A program that fails in Fail() and prints the report identifier of its own stack, resolved
// by the real resolver. Built three times: as it is; from a copy with code inserted at the
// marker above the failing procedure (the build writes it, under the same file name); and with
// OTHER_LINE, failing on another line of the procedure.
#include <cstdio>

#include "reporting/debuginfo/ECallStack.h"
#include "reporting/interception/EThreads.h"
#include "reporting/report/EReport.h"

//@IDENT_EXTRA_LINES@

__attribute__((noinline)) int Fail(int depth) {
  volatile int x = depth * 2;
  TStackScanOptions options;
  options.ThreadID = static_cast<uint32_t>(CurrentThreadId());
#ifndef OTHER_LINE
  TTarvexStackList stack = BuildCurrentThreadStack(options);
#else
  x = x + 1;
  TTarvexStackList stack =
      BuildCurrentThreadStack(options);
#endif
  size_t lines = 0;
  for (const TTarvexStackEntry& e : stack)
    if (e.EntryKind == kEntryLine && e.ThreadID == options.ThreadID) {
      ++lines;
      std::printf("entry %s %s %d[%d]\n", e.UnitName.c_str(), e.ProcedureName.c_str(), e.LineNumber, e.LineOffset);
    }
  std::string id = ReportIdentifier(ReportIdentifierText("ident_fixture", "ident_fixture", "EFixture", stack));
  std::printf("lines %zu\nid %s\n", lines, id.c_str());
  return x;
}

__attribute__((noinline)) int Outer(int depth) {
  int r = Fail(depth + 1);
  return r + 1;
}

int main() {
  int r = Outer(1);
  return r > 0 ? 0 : 1;
}
