// Figures for the SOAP runtime on the distance call: encoding the request, decoding answers of
// growing size in both layouts Axis writes, and complete calls over loopback. The scenario
// names are those of the peer benchmarks in bench/peers/, whose driver joins the tables.
// Calls go to the responder whose base URL is in ZELK_BENCH_URL, else to one started here.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "bench/AnswerServer.h"
#include "bench/BenchScenarios.h"

namespace {

using namespace bench;

void Encode(benchmark::State& state) {
  Fixture& f = Setup();
  TIntfPtr<IOPConvert> conv(static_cast<IOPConvert*>(new TOPToSoapDomConvert));
  TInvContext ctx;
  for (auto _ : state) benchmark::DoNotOptimize(EncodeOnce(f, conv.Get(), ctx));
}
BENCHMARK(Encode)->Unit(benchmark::kMicrosecond);

void DecodeAnswer(benchmark::State& state, const std::string& answer) {
  Fixture& f = Setup();
  TIntfPtr<IOPConvert> conv(static_cast<IOPConvert*>(new TOPToSoapDomConvert));
  const auto sections = static_cast<size_t>(state.range(0));
  TInvContext ctx;
  for (auto _ : state)
    if (DecodeOnce(f, conv.Get(), ctx, answer) != sections) state.SkipWithError("bad decode");
}

// Every complex value and number a multiRef element, as the service sends it.
void Decode(benchmark::State& state) { DecodeAnswer(state, AxisAnswer(static_cast<int>(state.range(0)), 10)); }
BENCHMARK(Decode)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Every value in place, no multi-references: what every peer can decode.
void DecodeInline(benchmark::State& state) {
  DecodeAnswer(state, InlineAnswer(static_cast<int>(state.range(0)), 10));
}
BENCHMARK(DecodeInline)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// One proxy for all calls: the connection is kept between them.
void CallPath(benchmark::State& state, const char* path) {
  Setup();
  TIntfPtr<ZelkDistance> proxy = GetZelkDistance(false, BaseUrl() + path);
  ArrayOf_xsd_string ports{u"Busan", u"London", u"Mobile"};
  for (auto _ : state) {
    std::unique_ptr<GetDistReturn> r(proxy->getDistance(u"QXVJ", u"QXVJ", ports, u"001"));
    if (!r || r->sections.size() != 2) state.SkipWithError("bad answer");
  }
}
void Call(benchmark::State& state) { CallPath(state, "/ZelkSystem/services/ZelkDistanceVersion3"); }
BENCHMARK(Call)->Unit(benchmark::kMicrosecond);
void CallInline(benchmark::State& state) { CallPath(state, "/inline/2"); }
BENCHMARK(CallInline)->Unit(benchmark::kMicrosecond);

// A new proxy for every call, as the window's button does.
void CallNewProxy(benchmark::State& state) {
  Setup();
  const std::string url = BaseUrl() + "/ZelkSystem/services/ZelkDistanceVersion3";
  ArrayOf_xsd_string ports{u"Busan", u"London", u"Mobile"};
  for (auto _ : state) {
    TIntfPtr<ZelkDistance> proxy = GetZelkDistance(false, url);
    std::unique_ptr<GetDistReturn> r(proxy->getDistance(u"QXVJ", u"QXVJ", ports, u"001"));
    if (!r || r->sections.size() != 2) state.SkipWithError("bad answer");
  }
}
BENCHMARK(CallNewProxy)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
