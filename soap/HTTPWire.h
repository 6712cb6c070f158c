// HTTP/1.1 on a kept plain connection, without sockets: the head of a request byte for byte as
// libcurl writes it for the transport's options, and a reader of answers over a byte source.
// Failures raise EHTTPClientError with the texts libcurl gives for the same answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class THTTPExchange;

// One header line, whatever the text it was built from: a line break inside a value (say, a
// SOAP action taken from a service description) would start a header of its own.
std::string SingleLine(std::string text);
// A header line as libcurl takes it: "Name;" sends a header with an empty value, where
// "Name:" would remove it.
std::string CurlHeaderLine(const std::string& line);

// What the transport reads of a response head, line by line as they arrive: the status line,
// the first Content-Type and the last valid Content-Length (-1 when none).
struct THTTPResponseHead {
  int Status = 0;
  std::string StatusText;
  std::string ContentType;
  bool ContentTypeSeen = false;
  int64_t ContentLength = -1;

  // "HTTP/1.1 404 Not Found": starts a new response (an interim one is followed by another).
  void StatusLine(std::string_view line);
  // A header line without its line break.
  void HeaderLine(std::string_view line);
};

// The request line and headers, appended to `out`: Host, User-Agent (when `agent` is not
// empty), the transport's `headers` as libcurl sends them, Content-Length unless `get`, and
// the blank line. `target` is the path and query, `host` the Host header's value.
void AppendRequestHead(std::string& out, bool get, std::string_view target, std::string_view host,
                       std::string_view agent, const std::vector<std::string>& headers, int64_t contentLength);

// Whether a header line of the transport is one that libcurl writes or treats on its own
// (Host, Content-Length, Connection, ...): such a request is left to libcurl.
bool IsSpecialHeader(std::string_view line);

// Where an answer's bytes come from.
class THTTPWireSource {
 public:
  virtual ~THTTPWireSource() = default;
  // Up to `max` bytes into `buffer`; 0 at the end of the stream. Raises on a failure.
  virtual size_t Receive(char* buffer, size_t max) = 0;
};

enum class TWireEnd {
  Nothing,  // the stream ended before any byte of an answer
  Keep,     // a complete answer; the connection may carry the next request
  Close,    // a complete answer after which the connection must be closed
};

// Reads answers from one connection. Sizes are bounded: a header line above kMaxHeaderLine or
// response heads above kMaxHeaders fail instead of growing the buffer.
class THTTPResponseReader {
 public:
  static constexpr size_t kMaxHeaderLine = 100 * 1024;
  static constexpr size_t kMaxHeaders = 300 * 1024;
  static constexpr size_t kBlock = 16384;

  explicit THTTPResponseReader(THTTPWireSource& source) : source_(source) {}

  // One answer (interim 1xx ones skipped): HeadersReceived with the final head, then the body
  // through BodyReceived.
  TWireEnd Read(THTTPExchange& exchange);
  // Bytes already received after the last answer: the connection cannot be trusted with the next.
  bool Pending() const { return begin_ < end_; }
  // Forgets what was buffered, for a new connection.
  void Reset() { begin_ = end_ = 0; }

 private:
  bool Fill();  // more bytes into the buffer; false at the end of the stream
  // The next line without its line break; false at the end of the stream before one.
  bool ReadLine(std::string_view& line, size_t limit);
  enum class Framing { None, Length, Chunked, ToClose };
  // The final head; false when the stream ended before any byte of it.
  bool ReadHead(THTTPResponseHead& head, bool& close, Framing& framing, int64_t& length);
  void ExpectStatusLine();
  void ReadLength(int64_t length, THTTPExchange& exchange);
  void ReadChunked(THTTPExchange& exchange);
  void ReadToClose(THTTPExchange& exchange);
  void Deliver(size_t count, THTTPExchange& exchange);

  THTTPWireSource& source_;
  THTTPResponseHead head_;  // kept: its texts keep their room from one answer to the next
  std::string buffer_;
  size_t begin_ = 0, end_ = 0;
  size_t received_ = 0;  // bytes of the current answer
  size_t headerBytes_ = 0;
};
