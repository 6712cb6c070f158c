// The loopback responder every client of the peer comparison calls (bench/peers/run.sh).
//
//   bench_responder            prints "http://127.0.0.1:PORT" and serves until stdin closes
#include <cstdio>
#include <iostream>
#include <string>

#include "bench/AnswerServer.h"

int main() {
  bench::AnswerServer server;
  std::printf("%s\n", server.Url().c_str());
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  return 0;
}
