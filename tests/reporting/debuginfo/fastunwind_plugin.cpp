// A shared object loaded with dlopen: frames of code the process did not start with.
#include "tests/reporting/debuginfo/fastunwind_fixture.h"

extern "C" __attribute__((visibility("default"), noinline, noipa)) int fastunwind_plugin_recurse(int depth,
                                                                                              TCaptureFn capture,
                                                                                              TFrameCapture* c) {
  if (depth <= 0) {
    capture(c);
    asm volatile("" ::: "memory");
    return 0;
  }
  int result = fastunwind_plugin_recurse(depth - 1, capture, c) + 1;
  asm volatile("" ::: "memory");
  return result;
}
