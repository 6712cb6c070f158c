// Decodes arbitrary bytes as the answer to the distance service's getDistance: a result,
// a fault or the runtime's exception, and nothing left behind (the leak checker watches).
#include <cstddef>
#include <cstdint>

#include "binding/ZelkDistance1.h"
#include "soap/IntfInfo.h"
#include "soap/OPToSOAPDomConv.h"

namespace {

const TIntfMethEntry& GetDistance() {
  static const TIntfMethEntry* me = [] {
    for (const TIntfMethEntry& e : ZelkDistanceMetaData().MDA)
      if (e.Name == "getDistance") return &e;
    __builtin_trap();
  }();
  return *me;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TIntfMethEntry& me = GetDistance();
  TIntfPtr<IOPConvert> converter(static_cast<IOPConvert*>(new TOPToSoapDomConvert()));
  GetDistReturn* result = nullptr;
  WideString pin, access, code;
  ArrayOf_xsd_string ports;
  TInvContext context;
  context.SetMethodInfo(me);
  context.SetResultPointer(&result);
  void* args[] = {&pin, &access, &ports, &code};
  for (int i = 0; i < 4; ++i) context.SetParamPointer(i, args[i]);
  TMemoryStream stream(std::string(reinterpret_cast<const char*>(data), size));
  try {
    converter->ReadResponse(stream, ZelkDistanceMetaData(), me, context, nullptr);
  } catch (const Exception&) {
  }
  delete result;
  return 0;
}
