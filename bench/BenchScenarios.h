// The scenarios the figures are taken on, shared by the benchmark and the counting driver.
#pragma once

#include <memory>
#include <string>

#include "bench/AxisAnswer.h"
#include "binding/ZelkDistance1.h"
#include "soap/OPToSOAPDomConv.h"
#include "soap/SOAPHTTPClient.h"

namespace bench {

struct Fixture {
  const TIntfMetaData& md = ZelkDistanceMetaData();
};
inline Fixture& Setup() {
  static Fixture f;
  return f;
}

// One request encoded; returns its size.
inline size_t EncodeOnce(Fixture& f, IOPConvert* conv, TInvContext& ctx) {
  static WideString pin = u"QXVJ", access = u"QXVJ", code = u"001";
  static ArrayOf_xsd_string ports{u"Busan", u"London", u"Mobile"};
  void* args[] = {&pin, &access, &ports, &code};
  ctx.SetMethodInfo(f.md.MDA[3]);
  for (int i = 0; i < 4; ++i) ctx.SetParamPointer(i, args[i]);
  std::unique_ptr<TStream> req = conv->BuildRequest(f.md, 3, ctx, nullptr);
  return static_cast<size_t>(req->Size());
}

// One answer decoded; returns the number of sections read.
inline size_t DecodeOnce(Fixture& f, IOPConvert* conv, TInvContext& ctx, const std::string& answer) {
  TMemoryStream in(answer);
  GetDistReturn* result = nullptr;
  ctx.SetMethodInfo(f.md.MDA[3]);
  ctx.SetResultPointer(&result);
  conv->ReadResponse(in, f.md, f.md.MDA[3], ctx, nullptr);
  size_t n = result ? result->sections.size() : 0;
  delete result;
  return n;
}

}  // namespace bench
