// A loopback server that answers as the distance service does, for the benchmarks: any POST
// gets the answer of two sections, POST /answer/N the answer of N sections and POST /inline/N
// the same answer written without multi-references (N in 0, 1, 2, 10, 100, 1000), so that
// clients which can only decode what arrives over HTTP can be measured too.
#pragma once

#include <cstdlib>
#include <map>
#include <string>
#include <utility>

#include "bench/AxisAnswer.h"
#include "tests/support/HttpTestServer.h"

namespace bench {

class AnswerServer {
 public:
  AnswerServer() : server_(Options()) {
    for (int n : {0, 1, 2, 10, 100, 1000}) {
      answers_[{false, n}] = AxisAnswer(n, 10);
      answers_[{true, n}] = InlineAnswer(n, 10);
    }
    // Read only from here on: the handler needs no lock of its own.
    server_.SetHandler([this](const HttpRequestRecord& r) {
      int sections = 2;
      bool inlined = false;
      if (r.Target.rfind("/answer/", 0) == 0) {
        sections = std::atoi(r.Target.c_str() + 8);
      } else if (r.Target.rfind("/inline/", 0) == 0) {
        sections = std::atoi(r.Target.c_str() + 8);
        inlined = true;
      }
      auto it = answers_.find({inlined, sections});
      return it == answers_.end() ? HttpResponse::NotFound() : HttpResponse::Xml(it->second);
    });
  }

  // "http://127.0.0.1:PORT", without a trailing slash.
  std::string Url() const { return server_.Url(""); }

 private:
  static HttpTestServerOptions Options() {
    HttpTestServerOptions options;
    options.Record = false;  // it serves whole benchmark runs
    return options;
  }

  std::map<std::pair<bool, int>, std::string> answers_;  // before the server, which uses it
  HttpTestServer server_;
};

// The responder the benchmarks talk to: ZELK_BENCH_URL's (the one the peers share), else a
// server of this process made on first use.
inline std::string BaseUrl() {
  if (const char* url = std::getenv("ZELK_BENCH_URL"); url && *url) return url;
  static AnswerServer server;
  return server.Url();
}

}  // namespace bench
