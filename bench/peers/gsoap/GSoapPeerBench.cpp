// gSOAP on the distance call, under the scenario names of bench/SoapBench.cpp: encoding the
// request into memory, decoding the Axis-style answers from memory into the generated types,
// and complete calls with one kept-alive proxy against the responder in ZELK_BENCH_URL.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "ZelkDistanceVersion3SoapBinding.nsmap"
#include "bench/AxisAnswer.h"
#include "soapZelkDistanceVersion3SoapBindingProxy.h"

namespace {

struct Ports {
  std::string names[3] = {"Busan", "London", "Mobile"};
  ArrayOf_USCORExsd_USCOREstring array;
  Ports() {
    array.__ptr = names;
    array.__size = 3;
  }
};

// What the generated send_getDistance does, with the stream in place of the connection.
int EncodeRequest(soap* soap, ArrayOf_USCORExsd_USCOREstring* ports, std::ostream& out) {
  ns1__getDistance req;
  req._pinCode = "QXVJ";
  req._accessCode = "QXVJ";
  req._portNames = ports;
  req._PiracyCode = "001";
  soap->os = &out;
  soap_begin(soap);
  soap->encodingStyle = "http://schemas.xmlsoap.org/soap/encoding/";
  soap_serializeheader(soap);
  soap_serialize_ns1__getDistance(soap, &req);
  auto body = [&] {
    return soap_envelope_begin_out(soap) || soap_putheader(soap) || soap_body_begin_out(soap) ||
           soap_put_ns1__getDistance(soap, &req, "ns1:getDistance", "") || soap_body_end_out(soap) ||
           soap_envelope_end_out(soap);
  };
  bool failed = soap_begin_count(soap) || ((soap->mode & SOAP_IO_LENGTH) && body()) || soap_end_count(soap) ||
                soap_begin_send(soap) || body() || soap_end_send(soap);
  soap->os = nullptr;
  return failed ? soap->error : SOAP_OK;
}

void Encode(benchmark::State& state) {
  ZelkDistanceVersion3SoapBindingProxy proxy;
  Ports ports;
  std::ostringstream out;
  for (auto _ : state) {
    out.str(std::string());
    if (EncodeRequest(proxy.soap, &ports.array, out) != SOAP_OK) state.SkipWithError("encoding failed");
    benchmark::DoNotOptimize(out);
    soap_end(proxy.soap);
  }
}
BENCHMARK(Encode)->Unit(benchmark::kMicrosecond);

void DecodeAnswer(benchmark::State& state, const std::string& answer) {
  ZelkDistanceVersion3SoapBindingProxy proxy;
  const int sections = static_cast<int>(state.range(0));
  std::istringstream in;
  for (auto _ : state) {
    in.str(answer);
    in.clear();
    proxy.soap->is = &in;
    ns1__getDistanceResponse r;
    int rc = proxy.recv_getDistance(r);
    proxy.soap->is = nullptr;
    if (rc != SOAP_OK || !r._getDistanceReturn || !r._getDistanceReturn->sections ||
        r._getDistanceReturn->sections->__size != sections) {
      state.SkipWithError("bad decode");
    }
    // Frees what the answer was decoded into, as the other clients delete their result.
    proxy.destroy();
  }
}
void Decode(benchmark::State& state) { DecodeAnswer(state, bench::AxisAnswer(static_cast<int>(state.range(0)), 10)); }
BENCHMARK(Decode)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void DecodeInline(benchmark::State& state) {
  DecodeAnswer(state, bench::InlineAnswer(static_cast<int>(state.range(0)), 10));
}
BENCHMARK(DecodeInline)->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void CallPath(benchmark::State& state, const char* path) {
  const char* base = std::getenv("ZELK_BENCH_URL");
  if (!base) {
    state.SkipWithError("ZELK_BENCH_URL is not set");
    return;
  }
  const std::string url = std::string(base) + path;
  ZelkDistanceVersion3SoapBindingProxy proxy(SOAP_IO_KEEPALIVE);
  Ports ports;
  for (auto _ : state) {
    ns1__getDistanceResponse r;
    if (proxy.getDistance(url.c_str(), "", "QXVJ", "QXVJ", &ports.array, "001", r) != SOAP_OK) {
      std::ostringstream fault;
      proxy.soap_stream_fault(fault);
      state.SkipWithError(fault.str().c_str());
      break;
    }
    if (!r._getDistanceReturn || !r._getDistanceReturn->sections || r._getDistanceReturn->sections->__size != 2)
      state.SkipWithError("bad answer");
    proxy.destroy();
  }
}
void Call(benchmark::State& state) { CallPath(state, "/ZelkSystem/services/ZelkDistanceVersion3"); }
BENCHMARK(Call)->Unit(benchmark::kMicrosecond);

void CallInline(benchmark::State& state) { CallPath(state, "/inline/2"); }
BENCHMARK(CallInline)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
