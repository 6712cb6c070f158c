// zelk-distance-cli: the distance query of the window's button, for scripts and operators.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "app/DistanceReport.h"
#include "app/Units.h"
#include "runtime/ClassNames.h"

namespace {

const char kUsage[] =
    "Usage: zelk-distance-cli [--url URL] [--option N]\n"
    "Asks the distance service for the route Busan -> London -> Mobile and prints the report.\n"
    "\n"
    "  --url URL    the service endpoint (default: $ZELK_DISTANCE_URL, else the built-in one)\n"
    "  --option N   the anti-piracy route option, 0 to 4 (default 0):\n"
    "                 0 The shortest route\n"
    "                 1 250NM outer route from Somalia east coast\n"
    "                 2 600NM outer route from Somalia east coast\n"
    "                 3 JWLA015 (2nd Aug 2010)\n"
    "                 4 JWLA016 (16th Dec 2010)\n"
    "               any other number sends an empty route code\n"
    "  --help       this text\n";

bool ParseInt(const char* s, int& out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string url;
  int option = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if ((a == "--url" || a == "--option") && i + 1 >= argc) {
      std::fprintf(stderr, "zelk-distance-cli: %s needs a value\n%s", a.c_str(), kUsage);
      return 2;
    }
    if (a == "--url") {
      url = argv[++i];
    } else if (a == "--option") {
      if (!ParseInt(argv[++i], option)) {
        std::fprintf(stderr, "zelk-distance-cli: --option takes a whole number, not '%s'\n", argv[i]);
        return 2;
      }
    } else {
      std::fprintf(stderr, "zelk-distance-cli: unknown argument '%s'\n%s", a.c_str(), kUsage);
      return 2;
    }
  }

  InitializeUnits();
  int status = 0;
  try {
    std::unique_ptr<GetDistReturn> result = QueryDistance(option, url);
    if (!result) throw Exception("The distance service returned no result");
    // Lines are printed only once the whole report is built: nothing reaches stdout on failure.
    std::string out;
    WriteReport(*result, [&](const std::string& line) { out += line + "\n"; });
    std::fputs(out.c_str(), stdout);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", PlainClassName(typeid(e)).c_str(), e.what());
    status = 1;
  } catch (...) {
    const std::type_info* t = CurrentExceptionType();
    std::fprintf(stderr, "%s\n", t ? PlainClassName(*t).c_str() : "unknown exception");
    status = 1;
  }
  FinalizeUnits();
  return status;
}
