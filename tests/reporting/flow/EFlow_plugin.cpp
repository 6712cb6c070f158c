// A shared object with its own copy of the layer: its handlers hear of exceptions raised in it
// through its exported event functions, which the program's copy calls.
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "reporting/flow/EFlow.h"

namespace {

void Say(const std::string& text) {
  std::string line = text + "\n";
  (void)!::write(1, line.data(), line.size());
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void PluginRegister() {
  TTarvexEventHandlers h;
  h.ExceptionNotify = [](const TTarvexExceptionRecord& r, bool&) {
    Say("PLUGIN notify " + r.ClassName + ": " + r.Message + (r.ReportText.empty() ? " without" : " with") +
        " report");
  };
  h.ExceptionActionNotify = [](const TTarvexExceptionRecord&, int32_t action, bool&) {
    Say("PLUGIN action " + std::to_string(action));
  };
  h.CustomDataRequest = [](const TTarvexExceptionRecord&, std::vector<std::string>& lines) {
    lines.push_back("Plugin=loaded");
  };
  RegisterEventHandlers(std::move(h));
}

extern "C" __attribute__((noinline, visibility("default"))) void PluginThrow() {
  throw std::runtime_error("thrown in a plugin");
}
