// Built as C++14: later language levels no longer accept throw() lists on functions, but
// code built so is still loaded into processes and its tables carry negative filters.
#include "tests/reporting/interception/ERaiseCases.h"

namespace raise_cases {

namespace {

volatile int gAfterCall;

// The throw() list must not be part of the shared declarations, which later levels read.
[[gnu::noinline]] void AllowingBase(void (*inner)()) throw(Base) {
  inner();
  gAfterCall = 1;
}

[[gnu::noinline]] void AllowingOther(void (*inner)()) throw(Other) {
  inner();
  gAfterCall = 2;
}

[[gnu::noinline]] void AllowingNothing(void (*inner)()) throw() {
  inner();
  gAfterCall = 3;
}

}  // namespace

void CallAllowingBase(void (*inner)()) {
  AllowingBase(inner);
  gAfterCall = 4;
}

void CallAllowingOther(void (*inner)()) {
  AllowingOther(inner);
  gAfterCall = 5;
}

void CallAllowingNothing(void (*inner)()) {
  AllowingNothing(inner);
  gAfterCall = 6;
}

}  // namespace raise_cases
