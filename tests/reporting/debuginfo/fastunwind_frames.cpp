// Compiled once per variant (FASTUNWIND_VARIANT names the namespace) with the variant's
// optimisation and frame-pointer flags.
#include <alloca.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>

#include "tests/reporting/debuginfo/fastunwind_fixture.h"

namespace FASTUNWIND_VARIANT {

// Every function is a real frame: no inlining, no tail call, no recursion turned into a loop.
#define FRAME __attribute__((noinline, noipa))
#define KEEP_FRAME() asm volatile("" ::: "memory")

FRAME int Recurse(int depth, TCaptureFn capture, TFrameCapture* c) {
  if (depth <= 0) {
    capture(c);
    KEEP_FRAME();
    return 0;
  }
  int result = Recurse(depth - 1, capture, c) + 1;
  KEEP_FRAME();
  return result;
}

FRAME int LargeFrame(int depth, TCaptureFn capture, TFrameCapture* c) {
  volatile char buffer[96 * 1024];
  buffer[0] = static_cast<char>(depth);
  buffer[sizeof(buffer) - 1] = buffer[0];
  int result = Recurse(depth, capture, c) + buffer[sizeof(buffer) - 1];
  KEEP_FRAME();
  return result;
}

FRAME int AllocaFrame(int depth, TCaptureFn capture, TFrameCapture* c) {
  size_t size = 1000 + static_cast<size_t>(depth) * 24;
  auto* block = static_cast<char*>(alloca(size));
  std::memset(block, depth, size);
  asm volatile("" : : "r"(block) : "memory");
  int result = Recurse(depth, capture, c) + block[size - 1];
  KEEP_FRAME();
  return result;
}

FRAME int ThroughStdFunction(int depth, TCaptureFn capture, TFrameCapture* c) {
  int result = 0;
  std::function<void()> call = [&] { result = Recurse(depth, capture, c); };
  call();
  KEEP_FRAME();
  return result;
}

FRAME int ThroughSortComparator(int depth, TCaptureFn capture, TFrameCapture* c) {
  int values[40];
  for (int i = 0; i < 40; ++i) values[i] = (i * 17) % 40;
  bool captured = false;
  std::sort(values, values + 40, [&](int a, int b) {
    if (!captured) {
      captured = true;
      Recurse(depth, capture, c);
    }
    return a < b;
  });
  KEEP_FRAME();
  return values[0];
}

// Through libstdc++'s and the C library's own code (__once_proxy, pthread_once).
FRAME int ThroughCallOnce(int depth, TCaptureFn capture, TFrameCapture* c) {
  std::once_flag once;
  int result = 0;
  std::call_once(once, [&] { result = Recurse(depth, capture, c); });
  KEEP_FRAME();
  return result;
}

}  // namespace FASTUNWIND_VARIANT
