// A log file of arbitrary bytes: loaded, searched, its fields read and rewritten, saved as text
// and exported as XML. Besides "no crash", a loaded log must save to a text that loads back to
// the same entries.
#include <cstddef>
#include <cstdint>
#include <string>

#include "delivery/ELogManager.h"

namespace {

[[noreturn]] void Broken() { __builtin_trap(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  TLogFile log("", false);
  log.LoadText(text);
  const int count = log.Count();
  const std::string saved = log.GetAllText();
  TLogFile again("", false);
  again.LoadText(saved);
  if (again.Count() != count || again.GetAllText() != saved) Broken();
  for (int i = 0; i < count && i < 4; ++i) {
    log.FindEntry({"2.7"}, {log.GetField("2.7", i)});
    log.FindEntry({"1.3", "2.6"}, {log.GetField("1.3", i), "a: b\r\n\r\nc"});
    log.SetField("2.8", log.GetField("2.8", i) + "1", i, "Count");
    log.SetField("2.99", "x: y\r\n\r\n z", i, "Added");
    log.SetField("1.1", "", i, "Start");
    log.SetField("7", "no dot", i, "Name");
    log.GetVersion(i);
  }
  (void)log.GetAllText();
  (void)log.GetXML();
  log.Add(text, 3);
  log.SaveToXML("/dev/null");
  return 0;
}
