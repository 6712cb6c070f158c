// The leak tests' program: links the hook, leaks or damages memory as its first argument says,
// and ends with exit(). Its log (second argument) then holds what the tracker reported. Lines
// "SITE name line" on standard output tell the test where the interesting calls are.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "delivery/ELogManager.h"
#include "reporting/flow/EFlow.h"
#include "tests/reporting/leaks/LeakFixtureLog.h"
#include "reporting/interception/ExceptionLog.h"

// At namespace scope, so that reports name them as they are.
struct TPlainObject {
  virtual ~TPlainObject() = default;
  int Value = 7;
};

struct TOwner {
  __attribute__((noinline)) TOwner() : Buffer(new char[100]) {}
  virtual ~TOwner() { delete[] Buffer; }
  char* Buffer;
};

namespace {

#define SITE(name) std::printf("SITE %s %d\n", name, __LINE__)

// Keeps a pointer alive as far as the compiler can tell.
__attribute__((noinline)) void Keep(void* p) { asm volatile("" : : "r"(p) : "memory"); }

template <int N>
__attribute__((noinline)) void LeakAt() {
  Keep(new char[N + 1]);  // sizes apart, so no two of these functions are merged
}
template <int... N>
void LeakEverywhere(std::integer_sequence<int, N...>) {
  (LeakAt<N>(), ...);
}

std::shared_ptr<ILogStore>* gLog = nullptr;

// Allocated by the loader's pre-initialisation, before tracking starts.
char* gEarly = nullptr;
void AllocateEarly(int, char**, char**) {
  gEarly = new char[64];
  gLog = new std::shared_ptr<ILogStore>(std::make_shared<TFixtureLog>());
}
__attribute__((section(".preinit_array"), used)) void (*gPreinit)(int, char**, char**) = &AllocateEarly;

struct THolder {
  ~THolder() { delete[] Block; }
  char* Block = nullptr;
};

void Flush() { std::fflush(stdout); }


// Each release in a function of its own: the compiler would merge the delete calls of main's
// branches into one.
__attribute__((noinline)) void DoubleFree() {
  char* p = new char[16];
  char* volatile again = p;  // the second release is the point
  delete[] p;
  SITE("double");
  delete[] again;
  asm volatile("" ::: "memory");  // not a tail call: the release's caller stays on the stack
}

__attribute__((noinline)) void Damage(const std::string& mode) {
  char* p = new char[16];
  Keep(p);
  char* v = p;
  asm volatile("" : "+r"(v));  // the writes outside the block are the point
  if (mode == "over1") v[16] = 1;
  if (mode == "over8") std::memset(v + 16, 2, 8);
  if (mode == "under1") v[-1] = 3;
  SITE("damaged");
  delete[] p;
  asm volatile("" ::: "memory");  // not a tail call
}

}  // namespace

int main(int argc, char** argv) {
  ::alarm(50);
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  std::strncpy(static_cast<TFixtureLog*>(gLog->get())->FileName, argv[2], 4095);
  SetLogStore(*gLog);

  if (mode == "none") {
    std::string text(100, 'x');  // freed again
    delete new TPlainObject;
  } else if (mode == "strings") {
    alignas(std::string) static unsigned char storage[2][sizeof(std::string)];
    for (auto& s : storage) {
      SITE("strings");
      new (s) std::string(40, 's');  // never destroyed: only its buffer leaks
    }
  } else if (mode == "child") {
    SITE("owner");
    Keep(new TOwner);
  } else if (mode == "origins") {
    LeakEverywhere(std::make_integer_sequence<int, 2100>());
  } else if (mode == "classes") {
    SITE("object");
    Keep(new TPlainObject);
    SITE("data");
    Keep(new char[24]);
  } else if (mode == "layer") {
    // The layer keeps what it is handed for the process's life: its blocks are not leaks,
    // though the layer's own frames are hidden and the first frame with a line is this one.
    SITE("layer");
    RegisterEventHandlers({});
  } else if (mode == "early") {
    delete[] gEarly;  // untracked: freed as it is, never reported
  } else if (mode == "static") {
    static THolder holder{new char[48]};  // destroyed before the report
  } else if (mode == "threads") {
    // Threads that go on allocating and freeing while exit runs the report.
    static std::atomic<bool> run{true};
    for (int i = 0; i < 2; ++i)
      std::thread([] {
        while (run.load()) {
          auto* s = new std::string(64, 't');
          delete s;
          void* p = ::operator new(24);
          ::operator delete(p);
        }
      }).detach();
    SITE("threads");
    Keep(new char[32]);
  } else if (mode == "fork") {
    SITE("fork");
    Keep(new char[16]);
    Flush();
    pid_t pid = ::fork();
    if (pid == 0) std::exit(0);  // runs the atexit handlers of the copy: no report
    int status = 0;
    ::waitpid(pid, &status, 0);
  } else if (mode == "double") {
    DoubleFree();
  } else if (mode == "over1" || mode == "over8" || mode == "under1") {
    Damage(mode);
  } else {
    return 2;
  }
  Flush();
  std::exit(0);
}
