// The socket under a kept plain HTTP connection: sends and receives with idle limits, the
// time a send or receive may go without moving a byte.
#pragma once

#include <sys/uio.h>

#include <cstddef>

#include "soap/HTTPWire.h"

class THTTPWireSocket final : public THTTPWireSource {
 public:
  // Takes a connected socket (still owned by whoever opened it) and makes it non-blocking.
  void Attach(int fd);
  void Detach() { fd_ = -1; }
  bool Attached() const { return fd_ >= 0; }
  // Milliseconds; 0 or less waits without end.
  void SetIdleLimits(int sendMs, int receiveMs) {
    sendLimit_ = sendMs;
    receiveLimit_ = receiveMs;
  }
  // Whether a kept connection can carry a request: the peer has not closed it and nothing
  // unasked for is waiting on it.
  bool Usable() const;
  // Sends every byte of the pieces; false when the peer had gone before any of them was taken
  // (a kept connection the server closed). Raises EHTTPClientError on a failure or time-out.
  bool Send(iovec* pieces, int count);
  // THTTPWireSource: a reset before any byte of the answer counts as its end.
  size_t Receive(char* buffer, size_t max) override;

 private:
  // Waits for `events`; raises the time-out when the limit passes first.
  void Wait(short events, int limitMs) const;

  int fd_ = -1;
  int sendLimit_ = 0;
  int receiveLimit_ = 0;
  bool answerDue_ = false;  // a request went out: wait for the answer before trying to read
  size_t answered_ = 0;     // bytes received since the last request went out
};
