// The loopback responder every peer benchmark calls: it answers any POST with the distance
// answer of two sections, POST /answer/N with the answer of N sections (N in 0, 1, 2, 10,
// 100, 1000) and POST /inline/N with the same answer written without multi-references, so
// that clients which can only decode what arrives over HTTP can be measured too.
//
//   bench_responder            prints "http://127.0.0.1:PORT" and serves until stdin closes
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "bench/AxisAnswer.h"
#include "tests/support/HttpTestServer.h"

int main() {
  std::map<std::pair<bool, int>, std::string> answers;
  for (int n : {0, 1, 2, 10, 100, 1000}) {
    answers[{false, n}] = bench::AxisAnswer(n, 10);
    answers[{true, n}] = bench::InlineAnswer(n, 10);
  }
  std::mutex mu;

  HttpTestServerOptions options;
  options.Record = false;  // it runs for the whole benchmark
  HttpTestServer server(options);
  server.SetHandler([&](const HttpRequestRecord& r) {
    int sections = 2;
    bool inlined = false;
    if (r.Target.rfind("/answer/", 0) == 0) {
      sections = std::atoi(r.Target.c_str() + 8);
    } else if (r.Target.rfind("/inline/", 0) == 0) {
      sections = std::atoi(r.Target.c_str() + 8);
      inlined = true;
    }
    std::lock_guard<std::mutex> lock(mu);
    auto it = answers.find({inlined, sections});
    if (it == answers.end()) return HttpResponse::NotFound();
    return HttpResponse::Xml(it->second);
  });
  std::printf("%s\n", server.Url("").c_str());
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  return 0;
}
