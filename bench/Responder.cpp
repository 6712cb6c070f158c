// The loopback responder every peer benchmark calls: it answers any POST with the distance
// answer of two sections, and POST /answer/N with the answer of N sections (N up to 1000),
// so that clients which can only decode what arrives over HTTP can be measured too.
//
//   bench_responder            prints "http://127.0.0.1:PORT" and serves until stdin closes
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <string>

#include "bench/AxisAnswer.h"
#include "tests/support/HttpTestServer.h"

int main() {
  std::map<int, std::string> answers;
  for (int n : {0, 1, 2, 10, 100, 1000}) answers[n] = bench::AxisAnswer(n, 10);
  std::mutex mu;

  HttpTestServerOptions options;
  options.Record = false;  // it runs for the whole benchmark
  HttpTestServer server(options);
  server.SetHandler([&](const HttpRequestRecord& r) {
    int sections = 2;
    if (r.Target.rfind("/answer/", 0) == 0) sections = std::atoi(r.Target.c_str() + 8);
    std::lock_guard<std::mutex> lock(mu);
    auto it = answers.find(sections);
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
