// A console program that lets an exception escape: the layer, installed before main, reports
// it on standard output and the program ends as it would without the layer.
#include <cstdio>
#include <stdexcept>

#include "Tarvex.h"

namespace {

struct EConsumerFault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail() { throw EConsumerFault("The consumer gave up on purpose"); }

}  // namespace

int main() {
  std::printf("installed before main: %s\n", ExceptionLogInstalled() ? "yes" : "no");
  std::fflush(stdout);
  // A program may still install the layer itself: the call finds it installed.
  InstallExceptionLog();
  Fail();
}
