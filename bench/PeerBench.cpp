// This runtime's side of the comparison with other SOAP clients: the same scenarios, under the
// same names, as the peer benchmarks in bench/peers/, so that bench/peers/run.sh can join the
// tables. Complete calls go to the responder whose base URL is in ZELK_BENCH_URL.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/BenchScenarios.h"

namespace {

using namespace bench;

void Encode(benchmark::State& state) {
  Fixture& f = Setup();
  TIntfPtr<IOPConvert> conv(static_cast<IOPConvert*>(new TOPToSoapDomConvert));
  TInvContext ctx;
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = EncodeOnce(f, conv.Get(), ctx);
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(Encode)->Unit(benchmark::kMicrosecond);

void DecodeAnswer(benchmark::State& state, const std::string& answer) {
  Fixture& f = Setup();
  TIntfPtr<IOPConvert> conv(static_cast<IOPConvert*>(new TOPToSoapDomConvert));
  const int sections = static_cast<int>(state.range(0));
  TInvContext ctx;
  for (auto _ : state) {
    if (DecodeOnce(f, conv.Get(), ctx, answer) != static_cast<size_t>(sections)) state.SkipWithError("bad decode");
  }
}
void Decode(benchmark::State& state) { DecodeAnswer(state, AxisAnswer(static_cast<int>(state.range(0)), 10)); }
BENCHMARK(Decode)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Every value in place, no multi-references: what every peer can decode.
void DecodeInline(benchmark::State& state) {
  DecodeAnswer(state, InlineAnswer(static_cast<int>(state.range(0)), 10));
}
BENCHMARK(DecodeInline)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void CallPath(benchmark::State& state, const char* path) {
  Setup();
  const char* base = std::getenv("ZELK_BENCH_URL");
  if (!base) {
    state.SkipWithError("ZELK_BENCH_URL is not set");
    return;
  }
  TIntfPtr<ZelkDistance> proxy = GetZelkDistance(false, std::string(base) + path);
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

}  // namespace

BENCHMARK_MAIN();
