// Types thrown by the raise-analysis tests, shared with the cases that need an older language
// level (throw() lists on functions).
#pragma once

namespace raise_cases {

struct Base {
  virtual ~Base() = default;
  int b = 1;
};
struct Derived : Base {
  int d = 2;
};
struct Other {
  virtual ~Other() = default;
};

// Frames with a throw() list around `inner`: allowing Base, allowing only Other,
// and the empty one. Each is a frame of its own.
void CallAllowingBase(void (*inner)());
void CallAllowingOther(void (*inner)());
void CallAllowingNothing(void (*inner)());

}  // namespace raise_cases
