// A program whose code the stored line table must describe exactly: free functions, methods,
// an inlined function and a lambda. It prints where its functions start, relative to its load
// bias, one "name offset" line each.
#include <link.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fixture {

__attribute__((always_inline)) inline int Square(int v) {
  int r = v * v;
  return r + (v & 1);
}

class TShape {
 public:
  explicit TShape(int side) : side_(side) {}
  __attribute__((noinline)) int Area() const { return Square(side_) + 1; }
  __attribute__((noinline)) int Scaled(int factor) const {
    int total = 0;
    for (int i = 0; i < factor; ++i) total += Area() ^ i;
    return total;
  }

 private:
  int side_;
};

}  // namespace fixture

__attribute__((noinline)) int FreeFunction(int n) {
  int sum = 0;
  for (int i = 0; i < n; ++i) sum += fixture::Square(i + n);
  return sum;
}

__attribute__((noinline)) int WithLambda(int n) {
  auto twice = [n](int v) __attribute__((noinline)) { return fixture::Square(v) * 2 + n; };
  int r = 0;
  for (int i = 0; i < n; ++i) r += twice(i);
  return r;
}

namespace {

uintptr_t LoadBias() {
  uintptr_t bias = 0;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* out) {
        *static_cast<uintptr_t*>(out) = info->dlpi_addr;
        return 1;  // the first object is the program
      },
      &bias);
  return bias;
}

void Print(const char* name, const void* code) {
  std::printf("%s %llx\n", name, static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(code) - LoadBias()));
}

}  // namespace

int main(int argc, char**) {
  fixture::TShape shape(argc + 2);
  int result = FreeFunction(argc + 3) + shape.Scaled(argc + 1) + WithLambda(argc + 2);
  Print("FreeFunction", reinterpret_cast<const void*>(&FreeFunction));
  Print("WithLambda", reinterpret_cast<const void*>(&WithLambda));
  // A pointer to a non-virtual member starts with the code address.
  auto area = &fixture::TShape::Area;
  const void* areaCode = nullptr;
  std::memcpy(&areaCode, &area, sizeof areaCode);
  Print("TShape::Area", areaCode);
  Print("main", reinterpret_cast<const void*>(&main));
  std::printf("result %d\n", result);
  return result == 0 ? EXIT_FAILURE : EXIT_SUCCESS;
}
