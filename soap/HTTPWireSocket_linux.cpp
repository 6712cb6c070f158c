#include "soap/HTTPWireSocket.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "soap/HTTPConnection.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Failure(const char* what, int error) {
  throw EHTTPClientError(std::string(what) + std::strerror(error));
}

}  // namespace

void THTTPWireSocket::Attach(int fd) {
  fd_ = fd;
  answerDue_ = false;
  answered_ = 0;
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

bool THTTPWireSocket::Usable() const {
  char c;
  ssize_t n = ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

void THTTPWireSocket::Wait(short events, int limitMs) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    int timeout = -1;
    if (limitMs > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeout = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd p{fd_, events, 0};
    int n = ::poll(&p, 1, timeout);
    if (n > 0) return;  // ready, or an error or hang-up the next call reports
    if (n == 0) throw EHTTPClientError(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
    if (errno != EINTR) Failure("poll failure: ", errno);
  }
}

bool THTTPWireSocket::Send(iovec* pieces, int count) {
  bool any = false;
  answerDue_ = true;
  answered_ = 0;
  while (count > 0) {
    msghdr m{};
    m.msg_iov = pieces;
    m.msg_iovlen = static_cast<size_t>(count);
    ssize_t n = ::sendmsg(fd_, &m, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        Wait(POLLOUT, sendLimit_);
        continue;
      }
      if (!any && (errno == EPIPE || errno == ECONNRESET)) return false;
      Failure("Send failure: ", errno);
    }
    any = any || n > 0;
    size_t done = static_cast<size_t>(n);
    while (count > 0 && done >= pieces->iov_len) {
      done -= pieces->iov_len;
      ++pieces;
      --count;
    }
    if (count > 0) {
      pieces->iov_base = static_cast<char*>(pieces->iov_base) + done;
      pieces->iov_len -= done;
    }
  }
  return true;
}

size_t THTTPWireSocket::Receive(char* buffer, size_t max) {
  for (;;) {
    // Right after a request the answer cannot be there yet: wait first instead of a read
    // that finds nothing.
    if (answerDue_) {
      Wait(POLLIN, receiveLimit_);
      answerDue_ = false;
    }
    ssize_t n = ::recv(fd_, buffer, max, 0);
    if (n >= 0) {
      answered_ += static_cast<size_t>(n);
      return static_cast<size_t>(n);
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      answerDue_ = true;
      continue;
    }
    if (errno == ECONNRESET && answered_ == 0) return 0;
    Failure("Recv failure: ", errno);
  }
}
