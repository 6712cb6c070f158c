#include "tests/reporting/debuginfo/stack_fixtures.h"

#include <poll.h>
#include <sys/select.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

#include "reporting/interception/EThreadContext.h"
#include "reporting/interception/EThreads.h"

// Each call is followed by an empty asm statement, so it is never a tail call and its frame
// stays on the stack.
#define KEEP_FRAME() asm volatile("" ::: "memory")

const int kInnerCallLine = __LINE__ + 3;
__attribute__((noinline)) TTarvexStackList StackFixtureInner(TStackProbe probe, void* context) {
  KEEP_FRAME();
  TTarvexStackList list = probe(context);
  KEEP_FRAME();
  return list;
}

const int kMiddleCallLine = __LINE__ + 3;
__attribute__((noinline)) TTarvexStackList StackFixtureMiddle(TStackProbe probe, void* context) {
  KEEP_FRAME();
  TTarvexStackList list = StackFixtureInner(probe, context);
  KEEP_FRAME();
  return list;
}

const int kOuterCallLine = __LINE__ + 3;
__attribute__((noinline)) TTarvexStackList StackFixtureOuter(TStackProbe probe, void* context) {
  KEEP_FRAME();
  TTarvexStackList list = StackFixtureMiddle(probe, context);
  KEEP_FRAME();
  return list;
}

__attribute__((noinline)) TTarvexStackList StackFixtureRecurse(int depth, TStackProbe probe, void* context) {
  KEEP_FRAME();
  TTarvexStackList list = depth > 0 ? StackFixtureRecurse(depth - 1, probe, context) : probe(context);
  KEEP_FRAME();
  return list;
}

// ---- Blocked threads ---------------------------------------------------------------------

using Thread = TBlockedThreads::Thread;

// Each blocks until its pipe is closed; a call interrupted by the suspension signal is made
// again.
const int kReadLine = __LINE__ + 4;
__attribute__((noinline)) void StackFixtureBlockInRead(Thread* t) {
  char c;
  t->Ready = true;
  while (::read(t->Pipe[0], &c, 1) < 0 && errno == EINTR) {
  }
  KEEP_FRAME();
}

const int kPollLine = __LINE__ + 4;
__attribute__((noinline)) void StackFixtureBlockInPoll(Thread* t) {
  pollfd p{t->Pipe[0], POLLIN, 0};
  t->Ready = true;
  while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
  KEEP_FRAME();
}

const int kSelectLine = __LINE__ + 7;
__attribute__((noinline)) void StackFixtureBlockInSelect(Thread* t) {
  t->Ready = true;
  for (;;) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(t->Pipe[0], &set);
    int n = ::select(t->Pipe[0] + 1, &set, nullptr, nullptr, nullptr);
    if (n >= 0 || errno != EINTR) break;
  }
  KEEP_FRAME();
}

namespace {

struct Kind {
  const char* Function;
  int Line;
  void (*Run)(Thread*);
};
const Kind kKinds[] = {{"StackFixtureBlockInRead", kReadLine, &StackFixtureBlockInRead},
                       {"StackFixtureBlockInPoll", kPollLine, &StackFixtureBlockInPoll},
                       {"StackFixtureBlockInSelect", kSelectLine, &StackFixtureBlockInSelect}};

struct StartArg {
  Thread* T;
  const Kind* K;
};

}  // namespace

const int kThreadMainCallLine = __LINE__ + 10;
void* StackFixtureThreadMain(void* p) {
  std::unique_ptr<StartArg> arg(static_cast<StartArg*>(p));
  arg->T->Tid = CurrentThreadId();
  if (arg->T->BlocksSuspendSignal) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SuspendSignal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
  }
  arg->K->Run(arg->T);
  KEEP_FRAME();
  return nullptr;
}

namespace {

// Sleeping in the kernel: state S in the thread's stat line.
bool Sleeping(pid_t tid) {
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(f, line);
  size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'S';
}

}  // namespace

void TBlockedThreads::Start(int count, bool lastBlocksSuspendSignal) {
  for (int i = 0; i < count; ++i) {
    auto t = std::make_unique<Thread>();
    const Kind& kind = kKinds[i % std::size(kKinds)];
    t->Function = kind.Function;
    t->Line = kind.Line;
    t->BlocksSuspendSignal = lastBlocksSuspendSignal && i == count - 1;
    if (::pipe(t->Pipe) != 0) return;
    auto* arg = new StartArg{t.get(), &kind};
    if (TarvexPthreadCreate(&::pthread_create, &t->Handle, nullptr, &StackFixtureThreadMain, arg) != 0) {
      delete arg;
      return;
    }
    threads_.push_back(std::move(t));
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (auto& t : threads_)
    while ((!t->Ready || !Sleeping(t->Tid)) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void TBlockedThreads::Stop() {
  for (auto& t : threads_) {
    ::close(t->Pipe[1]);
    pthread_join(t->Handle, nullptr);
    ::close(t->Pipe[0]);
  }
  threads_.clear();
}

std::vector<TBlockedThreads::Thread*> TBlockedThreads::Threads() const {
  std::vector<Thread*> out;
  for (const auto& t : threads_) out.push_back(t.get());
  return out;
}
