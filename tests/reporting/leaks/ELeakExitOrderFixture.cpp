// The exit-order tests' program: links the hook and holds blocks in static objects of its own,
// some freed by their destructors and one kept, then ends with exit() and the status its first
// argument asks for. Its log (second argument) holds the leak report, which runs after every
// static destructor. Lines "SITE name line" on standard output tell the test where the
// allocations are.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "delivery/ELogManager.h"
#include "reporting/flow/EFlow.h"
#include "tests/reporting/leaks/LeakFixtureLog.h"

namespace {

__attribute__((noinline)) void Keep(void* p) { asm volatile("" : : "r"(p) : "memory"); }

// Namespace-scope objects: made after tracking has started, destroyed before the report.
struct TFreesAtExit {
  __attribute__((noinline)) TFreesAtExit() : Block(new char[40]) { Keep(Block); }
  ~TFreesAtExit() { delete[] Block; }
  char* Block;
};
TFreesAtExit gFrees;

int gKeptLine = 0;
struct TKeepsAtExit {
  __attribute__((noinline)) TKeepsAtExit() {
    gKeptLine = __LINE__ + 1;
    Block = new char[56];
    Keep(Block);
  }
  ~TKeepsAtExit() { Keep(Block); }  // the block stays: a leak
  char* Block;
};
TKeepsAtExit gKeeps;

// Function-local: made in main, destroyed before the report.
struct TLocalFreesAtExit {
  __attribute__((noinline)) TLocalFreesAtExit() : Block(new char[72]) { Keep(Block); }
  ~TLocalFreesAtExit() { delete[] Block; }
  char* Block;
};
__attribute__((noinline)) void MakeLocalStatic() {
  static TLocalFreesAtExit local;
  Keep(local.Block);
}

std::shared_ptr<ILogStore>* gLog = nullptr;
void MakeLog(int, char**, char**) { gLog = new std::shared_ptr<ILogStore>(std::make_shared<TFixtureLog>()); }
__attribute__((section(".preinit_array"), used)) void (*gPreinit)(int, char**, char**) = &MakeLog;

}  // namespace

// Arguments: status, log file, and "threads" for threads that allocate while exit runs.
int main(int argc, char** argv) {
  ::alarm(50);
  if (argc < 3) return 2;
  const int status = std::atoi(argv[1]);
  std::strncpy(static_cast<TFixtureLog*>(gLog->get())->FileName, argv[2], 4095);
  SetLogStore(*gLog);
  MakeLocalStatic();
  std::printf("SITE kept %d\n", gKeptLine - 1);
  if (argc > 3 && std::strcmp(argv[3], "threads") == 0) {
    for (int i = 0; i < 2; ++i)
      std::thread([] {
        for (;;) {
          auto* s = new std::string(64, 't');
          delete s;
          void* p = ::operator new(24);
          ::operator delete(p);
        }
      }).detach();
    ::usleep(10000);  // the threads run before exit starts
  }
  std::fflush(stdout);
  std::exit(status);
}
