// A console program that forgets two blocks made on one line and frees a third: the leak
// tracker reports the first two at exit, as one origin counted twice.
#include <cstdio>
#include <string>

namespace {

std::string* volatile gKept[2];

[[gnu::noinline]] void Forget() {
  for (int i = 0; i < 2; ++i) gKept[i] = new std::string(100, 'x');  // the leak
}

}  // namespace

int main() {
  Forget();
  delete new std::string(100, 'y');
  std::puts("leaking consumer done");
  return 0;
}
