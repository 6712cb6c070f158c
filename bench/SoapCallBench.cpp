// Where a complete call's time goes besides encoding and decoding: the transport alone
// (THTTPReqResp posting a ready request; on its own HTTP/1.1 path, and made to go through
// libcurl by a send hook), libcurl alone on the same request, and the floor,
// one blocking loopback round trip of the same bytes. The responder is the one whose base URL
// is in ZELK_BENCH_URL (bench/peers/run.sh starts it), else one started here.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/AnswerServer.h"
#include "bench/BenchScenarios.h"
#include "soap/SOAPHTTPTrans.h"

namespace {

using namespace bench;

const char* const kPath = "/inline/2";

// The request body the distance call sends.
const std::string& Body() {
  static const std::string body = [] {
    Fixture& f = Setup();
    TIntfPtr<IOPConvert> conv(static_cast<IOPConvert*>(new TOPToSoapDomConvert));
    WideString pin = u"QXVJ", access = u"QXVJ", code = u"001";
    ArrayOf_xsd_string ports{u"Busan", u"London", u"Mobile"};
    void* args[] = {&pin, &access, &ports, &code};
    TInvContext ctx;
    ctx.SetMethodInfo(f.md.MDA[3]);
    for (int i = 0; i < 4; ++i) ctx.SetParamPointer(i, args[i]);
    std::unique_ptr<TStream> req = conv->BuildRequest(f.md, 3, ctx, nullptr);
    req->SetPosition(0);
    return req->ReadRest();
  }();
  return body;
}

// The transport posting a ready request on a kept connection.
void ExchangeOn(benchmark::State& state, bool libcurl) {
  TIntfPtr<IHTTPReqResp> node(new THTTPReqResp());
  THTTPReqResp& t = *node->GetHTTPReqResp();
  t.SetURL(BaseUrl() + kPath);
  if (libcurl) t.OnBeforePost = [](THTTPReqResp&, void*) {};  // a hook needs libcurl's handle
  const std::string& body = Body();
  for (auto _ : state) {
    TMemoryStream response;
    t.ExchangeText(body, response);
    if (response.Size() < 1000) state.SkipWithError("short answer");
  }
}
void Exchange(benchmark::State& state) { ExchangeOn(state, false); }
BENCHMARK(Exchange)->Unit(benchmark::kMicrosecond);
void ExchangeViaLibcurl(benchmark::State& state) { ExchangeOn(state, true); }
BENCHMARK(ExchangeViaLibcurl)->Unit(benchmark::kMicrosecond);

size_t Collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// libcurl's easy interface on the same request, with nothing of ours around it.
void CurlEasy(benchmark::State& state) {
  CURL* h = curl_easy_init();
  const std::string url = BaseUrl() + kPath;
  curl_slist* headers = nullptr;
  for (const char* line : {"SOAPAction: \"\"", "Content-Type: text/xml; charset=\"utf-8\"", "Accept:", "Expect:"})
    headers = curl_slist_append(headers, line);
  std::string response;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_USERAGENT, THTTPReqResp::kDefaultAgent);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, Body().data());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(Body().size()));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
  for (auto _ : state) {
    response.clear();
    if (curl_easy_perform(h) != CURLE_OK || response.size() < 1000) state.SkipWithError("curl failed");
  }
  curl_easy_cleanup(h);
  curl_slist_free_all(headers);
}
BENCHMARK(CurlEasy)->Unit(benchmark::kMicrosecond);

// The floor: the same request bytes in one send on a kept connection, the answer read with
// blocking reads until its Content-Length is in.
void RawRoundTrip(benchmark::State& state) {
  const std::string base = BaseUrl();  // http://127.0.0.1:PORT
  const std::string hostPort = base.substr(base.find("//") + 2);
  const int port = std::atoi(hostPort.c_str() + hostPort.find(':') + 1);
  const std::string request = std::string("POST ") + kPath + " HTTP/1.1\r\nHost: " + hostPort +
                              "\r\nUser-Agent: " + THTTPReqResp::kDefaultAgent +
                              "\r\nSOAPAction: \"\"\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nContent-Length: " +
                              std::to_string(Body().size()) + "\r\n\r\n" + Body();
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    state.SkipWithError("connect failed");
    ::close(fd);
    return;
  }
  std::string in(1 << 16, '\0');
  for (auto _ : state) {
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
      state.SkipWithError("send failed");
      break;
    }
    size_t got = 0, need = 0;
    for (;;) {
      ssize_t n = ::recv(fd, in.data() + got, in.size() - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
      if (!need) {
        std::string_view head(in.data(), got);
        size_t end = head.find("\r\n\r\n");
        size_t cl = head.find("Content-Length: ");
        if (end == std::string_view::npos || cl == std::string_view::npos) continue;
        need = end + 4 + static_cast<size_t>(std::atol(in.data() + cl + 16));
      }
      if (got >= need) break;
    }
    if (!need || got < need) {
      state.SkipWithError("short answer");
      break;
    }
  }
  ::close(fd);
}
BENCHMARK(RawRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
