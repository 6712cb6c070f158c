// Runs one scenario a given number of times, for instruction counts under callgrind (run it
// with two counts and take the difference) and for allocation figures per operation.
//
//   soap_count encode|decodeN|inlineN|loopback|sameproxy|callinline ITERATIONS
//
// callinline is the CallInline benchmark: one proxy asking for /inline/2 of the responder
// whose base URL is in ZELK_BENCH_URL (run bench_responder apart, so that only the client is
// counted), else of one started here.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "bench/AnswerServer.h"
#include "bench/BenchScenarios.h"
#include "tests/support/HttpTestServer.h"

namespace {
std::atomic<long long> gAllocs{0}, gBytes{0}, gLive{0}, gPeak{0};
}  // namespace

// Counts every allocation; the size is kept in front of the block to account frees. Not
// inlined, so that the compiler does not pair the library's new with our free.
[[gnu::noinline]] void* operator new(std::size_t n) {
  void* p = std::malloc(n + 16);
  if (!p) throw std::bad_alloc();
  *static_cast<std::size_t*>(p) = n;
  gAllocs.fetch_add(1, std::memory_order_relaxed);
  gBytes.fetch_add(static_cast<long long>(n), std::memory_order_relaxed);
  long long live = gLive.fetch_add(static_cast<long long>(n), std::memory_order_relaxed) + static_cast<long long>(n);
  long long peak = gPeak.load(std::memory_order_relaxed);
  while (live > peak && !gPeak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
  }
  return static_cast<char*>(p) + 16;
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  if (!p) return;
  char* b = static_cast<char*>(p) - 16;
  gLive.fetch_sub(static_cast<long long>(*reinterpret_cast<std::size_t*>(b)), std::memory_order_relaxed);
  std::free(b);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

int main(int argc, char** argv) {
  using namespace bench;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s encode|decodeN|inlineN|loopback|sameproxy|callinline ITERATIONS\n", argv[0]);
    return 2;
  }
  const std::string what = argv[1];
  const long n = std::atol(argv[2]);
  Fixture& f = Setup();
  TIntfPtr<IOPConvert> conv(static_cast<IOPConvert*>(new TOPToSoapDomConvert));
  TInvContext ctx;
  std::string answer;
  std::unique_ptr<HttpTestServer> server;
  std::string url;
  ArrayOf_xsd_string ports{u"Busan", u"London", u"Mobile"};
  TIntfPtr<ZelkDistance> proxy;
  if (what.rfind("decode", 0) == 0) answer = AxisAnswer(std::atoi(what.c_str() + 6), 10);
  if (what.rfind("inline", 0) == 0) answer = InlineAnswer(std::atoi(what.c_str() + 6), 10);
  if (what == "loopback" || what == "sameproxy") {
    server = std::make_unique<HttpTestServer>();
    server->SetDefault(HttpResponse::Xml(AxisAnswer(2, 10)));
    url = server->Url("/ZelkSystem/services/ZelkDistanceVersion3");
    if (what == "sameproxy") proxy = GetZelkDistance(false, url);
  }
  std::unique_ptr<AnswerServer> answers;
  if (what == "callinline") {
    const char* base = std::getenv("ZELK_BENCH_URL");
    if (!base || !*base) answers = std::make_unique<AnswerServer>();
    proxy = GetZelkDistance(false, (answers ? answers->Url() : std::string(base)) + "/inline/2");
  }
  const long long allocs0 = gAllocs, bytes0 = gBytes, live0 = gLive;
  gPeak = live0;
  for (long i = 0; i < n; ++i) {
    if (what == "encode") {
      EncodeOnce(f, conv.Get(), ctx);
    } else if (!answer.empty()) {
      DecodeOnce(f, conv.Get(), ctx, answer);
    } else if (what == "loopback") {
      TIntfPtr<ZelkDistance> p = GetZelkDistance(false, url);
      std::unique_ptr<GetDistReturn> r(p->getDistance(u"QXVJ", u"QXVJ", ports, u"001"));
    } else if (what == "sameproxy" || what == "callinline") {
      std::unique_ptr<GetDistReturn> r(proxy->getDistance(u"QXVJ", u"QXVJ", ports, u"001"));
    } else {
      std::fprintf(stderr, "unknown scenario %s\n", what.c_str());
      return 2;
    }
  }
  if (n > 0)
    std::printf("%s: %lld allocations/op, %lld bytes allocated/op, peak %lld bytes live above start\n", what.c_str(),
                (gAllocs - allocs0) / n, (gBytes - bytes0) / n, gPeak - live0);
  return 0;
}
