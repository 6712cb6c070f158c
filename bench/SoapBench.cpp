// Figures for the SOAP runtime on the distance call: encoding the request, decoding answers
// of growing size in the multi-reference layout the service sends, and complete calls over
// loopback against a server that answers a fixed response.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/BenchScenarios.h"
#include "tests/support/HttpTestServer.h"

namespace {

using namespace bench;

void BM_EncodeDistanceRequest(benchmark::State& state) {
  Fixture& f = Setup();
  TIntfPtr<IOPConvert> conv(static_cast<IOPConvert*>(new TOPToSoapDomConvert));
  TInvContext ctx;
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = EncodeOnce(f, conv.Get(), ctx);
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["request_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeDistanceRequest);

void BM_DecodeDistanceAnswer(benchmark::State& state) {
  Fixture& f = Setup();
  TIntfPtr<IOPConvert> conv(static_cast<IOPConvert*>(new TOPToSoapDomConvert));
  std::string answer = AxisAnswer(static_cast<int>(state.range(0)), 10);
  TInvContext ctx;
  for (auto _ : state) {
    if (DecodeOnce(f, conv.Get(), ctx, answer) != static_cast<size_t>(state.range(0))) state.SkipWithError("bad decode");
  }
  state.counters["answer_bytes"] = static_cast<double>(answer.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * answer.size()));
}
BENCHMARK(BM_DecodeDistanceAnswer)->Arg(1)->Arg(10)->Arg(100);

void BM_CompleteCallOverLoopback(benchmark::State& state) {
  Setup();
  HttpTestServer server;
  server.SetDefault(HttpResponse::Xml(AxisAnswer(2, 10)));
  std::string url = server.Url("/ZelkSystem/services/ZelkDistanceVersion3");
  ArrayOf_xsd_string ports{u"Busan", u"London", u"Mobile"};
  for (auto _ : state) {
    TIntfPtr<ZelkDistance> proxy = GetZelkDistance(false, url);
    std::unique_ptr<GetDistReturn> r(proxy->getDistance(u"QXVJ", u"QXVJ", ports, u"001"));
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CompleteCallOverLoopback)->Unit(benchmark::kMicrosecond);

// The same proxy for every call: the connection is kept between calls.
void BM_CompleteCallSameProxy(benchmark::State& state) {
  Setup();
  HttpTestServer server;
  server.SetDefault(HttpResponse::Xml(AxisAnswer(2, 10)));
  TIntfPtr<ZelkDistance> proxy = GetZelkDistance(false, server.Url("/ZelkSystem/services/ZelkDistanceVersion3"));
  ArrayOf_xsd_string ports{u"Busan", u"London", u"Mobile"};
  for (auto _ : state) {
    std::unique_ptr<GetDistReturn> r(proxy->getDistance(u"QXVJ", u"QXVJ", ports, u"001"));
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CompleteCallSameProxy)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
