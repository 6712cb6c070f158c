// A program that dies of a signal with the layer's handlers installed. Its output, written with
// write(2) only, tells the parent what the callback saw and what the handler installed before
// ours did:
//   signal_child <fault> <previous> [suppress-abort] [callback-faults]
// fault: null-write, stack-overflow, div-zero, float-div, illegal, abort, worker-null-write,
// two-workers (two threads at once, each faulting twice)
// previous: siginfo, plain (a handler installed before ours), aborting (one that calls abort),
// returning (one that returns twice without repairing anything, then restores the default),
// recovering (one that leaves by siglongjmp), none (the default disposition).
#include <errno.h>
#include <fenv.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "reporting/interception/ESignals.h"

namespace {

constexpr uint64_t kMarker = 0x5A454C4B1234ABCDULL;
// The errno the faulting code leaves; the previous handler must still see it.
constexpr int kFaultErrno = ERANGE;
bool gCallbackFaults = false;

void Say(const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// "<prefix><decimal>\n" in one write (lines of concurrent threads stay whole), for handlers.
void SayNumber(const char* prefix, long value) {
  char line[96];
  size_t n = std::min(std::strlen(prefix), sizeof line - 24);
  std::memcpy(line, prefix, n);
  char digits[24];
  size_t d = 0;
  unsigned long v = value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
  do digits[d++] = static_cast<char>('0' + v % 10); while ((v /= 10) != 0);
  if (value < 0) line[n++] = '-';
  while (d > 0) line[n++] = digits[--d];
  line[n++] = '\n';
  ::write(STDOUT_FILENO, line, n);
}

bool StackHolds(const TStackCopyView& stack, uint64_t value) {
  for (size_t i = 0; i + sizeof value <= stack.Size; i += sizeof value) {
    uint64_t word;
    std::memcpy(&word, stack.Bytes + i, sizeof word);
    if (word == value) return true;
  }
  return false;
}

void OnSignal(const TSignalReport& report) {
  Say("report " + SignalClassName(report) + ": " + SignalMessage(report) + "\n");
  Say(std::string("thread ") + (report.Context.ThreadID == ::getpid() ? "main" : "worker") + "\n");
  if (report.Context.Registers.Full && report.Info.si_signo == report.Signal) Say("registers\n");
  if (StackHolds(report.Context.Stack, kMarker)) Say("stack marker\n");
  if (report.Context.Registers.R10 == kMarker) Say("r10 marker\n");
  uint64_t xmm7;  // FXSAVE: XMM0 at byte 160, 16 bytes each
  std::memcpy(&xmm7, report.Context.Fp.FxSave + 160 + 7 * 16, sizeof xmm7);
  if (report.Context.Fp.Valid && xmm7 == kMarker) Say("xmm7 marker\n");
  if (gCallbackFaults) asm volatile("movl $1, (%0)" : : "r"(static_cast<int*>(nullptr)) : "memory");
}

void ReportErrno() {
  Say(errno == kFaultErrno ? "errno kept\n" : "errno changed\n");
}

// Handlers installed before the layer's: they report, put the default back and let the signal
// take its course (a fault by executing the instruction again, a sent signal by a new raise).
void PreviousSiginfo(int sig, siginfo_t* info, void*) {
  ReportErrno();
  SayNumber("previous siginfo ", sig);
  ::signal(sig, SIG_DFL);
  if (info->si_code <= 0) ::raise(sig);
}

void PreviousPlain(int sig) {
  ReportErrno();
  SayNumber("previous plain ", sig);
  ::signal(sig, SIG_DFL);
  if (sig == SIGABRT) ::raise(sig);
}

void PreviousAborting(int sig) {
  SayNumber("previous aborting ", sig);
  ::abort();
}

void PreviousReturning(int sig) {
  static int calls = 0;
  SayNumber("previous returning ", sig);
  if (++calls == 3) ::signal(sig, SIG_DFL);
}

thread_local sigjmp_buf tRecovery;

void PreviousRecovering(int sig) {
  SayNumber("previous recovering ", sig);
  ::siglongjmp(tRecovery, 1);
}

// The faults. Each keeps the marker in its frame; null-write and div-zero are written in
// assembly so that neither the compiler nor the sanitizers turn them into something else.
__attribute__((noinline)) void NullWrite() {
  volatile uint64_t marker = kMarker;
  errno = kFaultErrno;
  asm volatile("movq %0, %%r10\n\tmovq %0, %%xmm7\n\tmovl $1, (%1)"
               :
               : "r"(static_cast<uint64_t>(marker)), "r"(static_cast<int*>(nullptr))
               : "r10", "xmm7", "memory");
}

__attribute__((noinline)) void DivZero() {
  volatile uint64_t marker = kMarker;
  (void)marker;
  errno = kFaultErrno;
  asm volatile("movl $1, %%eax\n\tcltd\n\txorl %%ecx, %%ecx\n\tidivl %%ecx" ::: "eax", "ecx", "edx", "cc");
}

__attribute__((noinline)) void FloatDiv() {
  volatile uint64_t marker = kMarker;
  (void)marker;
  feenableexcept(FE_DIVBYZERO);
  errno = kFaultErrno;
  volatile double zero = 0.0;
  volatile double result = 1.0 / zero;
  (void)result;
}

__attribute__((noinline)) void Illegal() {
  volatile uint64_t marker = kMarker;
  (void)marker;
  errno = kFaultErrno;
  asm volatile("ud2");
}

__attribute__((noinline)) void Abort() {
  volatile uint64_t marker = kMarker;
  (void)marker;
  errno = kFaultErrno;
  ::abort();
}

volatile uint64_t gDepthLimit = UINT64_MAX;  // never reached: the stack ends first

__attribute__((noinline)) uint64_t Recurse(uint64_t depth) {
  volatile uint64_t frame[64];
  for (auto& word : frame) word = kMarker;
  errno = kFaultErrno;
  if (depth == gDepthLimit) return 0;
  return Recurse(depth + 1) + frame[depth % 64];  // not a tail call
}

void* Worker(void*) {
  SetupThreadAltStack();
  NullWrite();
  return nullptr;
}

void WorkerNullWrite() {
  pthread_t thread;
  if (::pthread_create(&thread, nullptr, Worker, nullptr) != 0) ::_exit(3);
  ::pthread_join(thread, nullptr);
}

pthread_barrier_t gStart;

void* RecoveringWorker(void*) {
  SetupThreadAltStack();
  ::pthread_barrier_wait(&gStart);
  for (int i = 0; i < 2; ++i) {
    if (sigsetjmp(tRecovery, 1) == 0) NullWrite();
    else Say("recovered\n");
  }
  ReleaseThreadAltStack();
  return nullptr;
}

void TwoWorkers() {
  ::pthread_barrier_init(&gStart, nullptr, 2);
  pthread_t threads[2];
  for (pthread_t& t : threads)
    if (::pthread_create(&t, nullptr, RecoveringWorker, nullptr) != 0) ::_exit(3);
  for (pthread_t t : threads) ::pthread_join(t, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string fault = argv[1], previous = argv[2];
  bool suppressAbort = false;
  for (int i = 3; i < argc; ++i) {
    suppressAbort |= std::strcmp(argv[i], "suppress-abort") == 0;
    gCallbackFaults |= std::strcmp(argv[i], "callback-faults") == 0;
  }

  struct sigaction sa {};
  sigemptyset(&sa.sa_mask);
  if (previous == "siginfo") {
    sa.sa_sigaction = PreviousSiginfo;
    sa.sa_flags = SA_SIGINFO;
  } else if (previous == "plain") {
    sa.sa_handler = PreviousPlain;
  } else if (previous == "aborting") {
    sa.sa_handler = PreviousAborting;
  } else if (previous == "returning") {
    sa.sa_handler = PreviousReturning;
  } else if (previous == "recovering") {
    sa.sa_handler = PreviousRecovering;
  } else {
    sa.sa_handler = SIG_DFL;
  }
  for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) ::sigaction(sig, &sa, nullptr);
  // Only the fault-handling kinds are also SIGABRT's handler (an aborting one would loop).
  if (previous == "siginfo" || previous == "plain") ::sigaction(SIGABRT, &sa, nullptr);

  if (!InstallSignalHandlers(OnSignal)) return 4;
  if (suppressAbort) SuppressAbortReport();

  if (fault == "null-write") NullWrite();
  else if (fault == "stack-overflow") Recurse(0);
  else if (fault == "div-zero") DivZero();
  else if (fault == "float-div") FloatDiv();
  else if (fault == "illegal") Illegal();
  else if (fault == "abort") Abort();
  else if (fault == "worker-null-write") WorkerNullWrite();
  else if (fault == "two-workers") TwoWorkers();
  else return 2;
  Say("survived\n");
  return 0;
}
