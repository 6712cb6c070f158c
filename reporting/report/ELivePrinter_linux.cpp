// The default printer through libcups, loaded at run time when it is installed. Only a server
// on this machine is asked (a domain socket or loopback), and only by name: the default
// printer's name, then its make and model with one attribute request. Asking for the
// destination list instead could browse the network for printers.
#include <dlfcn.h>

#include <cstdlib>

#include "reporting/report/ESystemInfo.h"

namespace {

struct ipp_t;
struct ipp_attribute_t;
struct http_t;

constexpr int kIppTagOperation = 0x01, kIppTagText = 0x41, kIppTagKeyword = 0x44, kIppTagUri = 0x45;
constexpr int kIppOpGetPrinterAttributes = 0x000B;

struct TCups {
  const char* (*GetDefault)() = nullptr;
  ipp_t* (*NewRequest)(int) = nullptr;
  ipp_attribute_t* (*AddString)(ipp_t*, int, int, const char*, const char*, const char*) = nullptr;
  ipp_t* (*DoRequest)(http_t*, ipp_t*, const char*) = nullptr;
  ipp_attribute_t* (*FindAttribute)(ipp_t*, const char*, int) = nullptr;
  const char* (*GetString)(ipp_attribute_t*, int, const char**) = nullptr;
  void (*Delete)(ipp_t*) = nullptr;
  bool Complete() const { return GetDefault && NewRequest && AddString && DoRequest && FindAttribute && GetString && Delete; }
};

template <class F>
void Bind(void* lib, F& fn, const char* name) {
  fn = reinterpret_cast<F>(::dlsym(lib, name));
}

const TCups* Cups() {
  static const TCups* cups = []() -> const TCups* {
    void* lib = ::dlopen("libcups.so.2", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return nullptr;
    auto* c = new TCups;
    Bind(lib, c->GetDefault, "cupsGetDefault");
    Bind(lib, c->NewRequest, "ippNewRequest");
    Bind(lib, c->AddString, "ippAddString");
    Bind(lib, c->DoRequest, "cupsDoRequest");
    Bind(lib, c->FindAttribute, "ippFindAttribute");
    Bind(lib, c->GetString, "ippGetString");
    Bind(lib, c->Delete, "ippDelete");
    return c->Complete() ? c : nullptr;
  }();
  return cups;
}

// The server the library would ask, as its configuration names it.
std::string ConfiguredCupsServer() {
  if (const char* env = std::getenv("CUPS_SERVER"); env && *env) return env;
  if (const char* home = std::getenv("HOME"); home && *home) {
    std::string user = ParseCupsServerName(ReadTextFile(std::string(home) + "/.cups/client.conf"));
    if (!user.empty()) return user;
  }
  return ParseCupsServerName(ReadTextFile("/etc/cups/client.conf"));
}

}  // namespace

std::string DefaultPrinter() {
  try {
    if (!IsLocalCupsServer(ConfiguredCupsServer())) return {};
    const TCups* cups = Cups();
    if (!cups) return {};
    const char* name = cups->GetDefault();
    if (!name || !*name) return {};
    std::string printer = name;
    std::string uri = "ipp://localhost/printers/" + printer;
    if (ipp_t* request = cups->NewRequest(kIppOpGetPrinterAttributes)) {
      cups->AddString(request, kIppTagOperation, kIppTagUri, "printer-uri", nullptr, uri.c_str());
      cups->AddString(request, kIppTagOperation, kIppTagKeyword, "requested-attributes", nullptr,
                      "printer-make-and-model");
      if (ipp_t* response = cups->DoRequest(nullptr, request, "/")) {  // frees the request
        if (ipp_attribute_t* model = cups->FindAttribute(response, "printer-make-and-model", kIppTagText))
          if (const char* text = cups->GetString(model, 0, nullptr); text && *text) printer = text;
        cups->Delete(response);
      }
    }
    return printer;
  } catch (...) {
    return {};
  }
}
