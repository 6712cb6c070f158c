// The cost of throw/catch at several depths, without the layer and with it installed (every
// raise then runs the raise-time analysis), and their ratio. Goal: at most 1.5.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <vector>

#include "reporting/interception/ExceptionLog.h"

namespace {

size_t g_news = 0;

__attribute__((noinline)) void Throw(int depth) {
  if (depth <= 1) throw std::runtime_error("bench");
  Throw(depth - 1);
  asm volatile("");  // keeps the recursion a real call chain
}

// Nanoseconds per throw/catch, best of several rounds.
double Measure(int depth) {
  constexpr int kRounds = 3, kIterations = 20000;
  double best = 1e300;
  for (int r = 0; r < kRounds; ++r) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kIterations; ++i) {
      try {
        Throw(depth);
      } catch (const std::exception&) {
      }
    }
    double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / kIterations;
    if (ns < best) best = ns;
  }
  return best;
}

size_t AllocationsPerThrow(int depth) {
  size_t before = g_news;
  for (int i = 0; i < 1000; ++i) {
    try {
      Throw(depth);
    } catch (const std::exception&) {
    }
  }
  return (g_news - before) / 1000;
}

}  // namespace

void* operator new(size_t size) {
  ++g_news;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

// Rounds alternate between the program without the layer and with it installed, so that the
// machine's slow phases touch both alike; each side keeps its best round.
int main() {
  const std::vector<int> depths{1, 10, 50};
  constexpr int kRounds = 5;
  std::vector<double> plain(depths.size(), 1e300), layer(depths.size(), 1e300);
  std::vector<size_t> plainAllocations(depths.size()), layerAllocations(depths.size());
  for (int round = 0; round < kRounds; ++round) {
    for (size_t i = 0; i < depths.size(); ++i) {
      plain[i] = std::min(plain[i], Measure(depths[i]));
      plainAllocations[i] = AllocationsPerThrow(depths[i]);
    }
    if (!InstallExceptionLog()) {
      std::fprintf(stderr, "the layer did not install (no reporting data in this binary)\n");
      return 1;
    }
    for (size_t i = 0; i < depths.size(); ++i) {
      layer[i] = std::min(layer[i], Measure(depths[i]));
      layerAllocations[i] = AllocationsPerThrow(depths[i]);
    }
    ShutdownExceptionLog();
  }
  std::printf("%-8s %14s %14s %8s %18s %18s\n", "depth", "plain ns", "layer ns", "ratio", "plain allocations",
              "layer allocations");
  for (size_t i = 0; i < depths.size(); ++i)
    std::printf("%-8d %14.0f %14.0f %8.2f %18zu %18zu\n", depths[i], plain[i], layer[i], layer[i] / plain[i],
                plainAllocations[i], layerAllocations[i]);
  return 0;
}
