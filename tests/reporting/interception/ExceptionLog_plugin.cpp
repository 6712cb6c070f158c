// A shared object loaded with dlopen after the layer is installed.
#include <stdexcept>

extern "C" __attribute__((noinline, visibility("default"))) void PluginThrow() {
  throw std::runtime_error("thrown in a plugin");
}
