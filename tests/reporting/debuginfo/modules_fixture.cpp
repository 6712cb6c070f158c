// A shared object with known code: built with -g -O1 and probed by the module tests.
#include "tests/reporting/debuginfo/modules_fixture.h"

#include "reporting/debuginfo/EDebug.h"

TARVEX_VERSION_NOTE(1, 2, 3, 4, "Modules fixture");

namespace {
TFixtureProbe* g_probes = nullptr;
volatile int g_sink = 0;
}  // namespace

// The probe call and its line, on one line.
#define PROBE(which) Probe(which, __LINE__)

extern "C" __attribute__((noinline, visibility("default"))) int Probe(int which, int line) {
  g_probes[which].Address = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
  g_probes[which].Line = line;
  __asm__ volatile("");
  return g_sink + which;
}

constexpr int kFreeLine = __LINE__ + 1;
__attribute__((noinline)) int FreeFunction(int a) {
  int r = PROBE(fcFree) + a;
  g_sink = r;
  return r * 2;
}

namespace fx {

constexpr int kNamespacedLine = __LINE__ + 1;
__attribute__((noinline)) int Namespaced(int a) {
  int r = PROBE(fcNamespaced) + a;
  g_sink = r;
  return r * 3;
}

class TWidget {
 public:
  __attribute__((noinline)) int Method(int a);
  __attribute__((noinline)) int WithLambda(int a);
  int value = 5;
};

constexpr int kMethodLine = __LINE__ + 1;
int TWidget::Method(int a) {
  int r = PROBE(fcMethod) + a + value;
  g_sink = r;
  return r * 5;
}

constexpr int kLambdaLine = __LINE__ + 2;
int TWidget::WithLambda(int a) {
  auto add = [this](int b) __attribute__((noinline)) {
    int r = PROBE(fcLambda) + b + value;
    g_sink = r;
    return r;
  };
  int r = add(a);
  g_sink = r;
  return r + 1;
}

}  // namespace fx

constexpr int kInnerLine = __LINE__ + 1;
__attribute__((always_inline)) inline int Inner(int a) {
  int r = PROBE(fcInlined) * a;
  g_sink = r;
  return r;
}

constexpr int kOuterCallLine = __LINE__ + 3;
__attribute__((noinline)) int Outer(int a) {
  g_sink = a;
  int r = Inner(a + 1);
  g_sink = r;
  return r + 7;
}

template <int N>
__attribute__((always_inline)) inline int Nest(int a) {
  if constexpr (N == 0) {
    int r = PROBE(fcDeepInlined) * a;
    g_sink = r;
    return r;
  } else {
    int r = Nest<N - 1>(a + 1);
    g_sink = r;
    return r + N;
  }
}

__attribute__((noinline)) int DeepOuter(int a) {
  g_sink = a;
  int r = Nest<kDeepNesting>(a);
  g_sink = r;
  return r;
}

extern "C" __attribute__((visibility("default"))) int FixtureRun(TFixtureProbe* probes) {
  g_probes = probes;
  fx::TWidget widget;
  int total = FreeFunction(1) + fx::Namespaced(2) + widget.Method(3) + Outer(4) + widget.WithLambda(5) + DeepOuter(6);
  probes[fcFree].DeclLine = kFreeLine;
  probes[fcNamespaced].DeclLine = fx::kNamespacedLine;
  probes[fcMethod].DeclLine = fx::kMethodLine;
  probes[fcInlined].DeclLine = kInnerLine;
  probes[fcInlined].OuterLine = kOuterCallLine;
  probes[fcLambda].DeclLine = fx::kLambdaLine;
  return total;
}
