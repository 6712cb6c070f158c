#include "soap/HTTPWire.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/Strings.h"
#include "soap/HTTPConnection.h"

namespace {

constexpr std::string_view kStatusPrefix = "HTTP/";

[[noreturn]] void Fail(CURLcode code) { throw EHTTPClientError(curl_easy_strerror(code)); }
[[noreturn]] void Fail(const char* text) { throw EHTTPClientError(text); }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view TrimView(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

bool StartsWithText(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

// "Name" followed by ':' or ';', as libcurl looks for a header among the given ones.
bool NamesHeader(std::string_view line, std::string_view name) {
  return line.size() > name.size() && StartsWithText(line, name) && (line[name.size()] == ':' || line[name.size()] == ';');
}

// Appends a header line of the transport as libcurl sends it, or nothing for a line libcurl
// drops (a removal such as "Accept:", or no header at all). The line first takes the form
// the libcurl path hands over (CurlHeaderLine), then libcurl's own rule applies.
void AppendHeader(std::string& out, std::string_view given) {
  std::string_view t = TrimView(given);
  if (t.empty()) return;
  const size_t at = out.size();
  out.append(t);
  std::replace_if(out.begin() + static_cast<std::ptrdiff_t>(at), out.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  if (out.back() == ':') out.back() = ';';
  std::string_view line(out.data() + at, out.size() - at);
  size_t colon = line.find(':');
  bool send = false;
  if (colon == std::string_view::npos) {
    // "Name;" alone sends "Name:" with an empty value.
    size_t semi = line.find(';');
    if (semi != std::string_view::npos && semi + 1 == line.size() && semi > 0) {
      out.back() = ':';
      send = true;
    }
  } else if (colon > 0) {
    std::string_view value = line.substr(colon + 1);
    send = std::any_of(value.begin(), value.end(), [](char c) { return !IsBlank(c); });
  }
  if (send)
    out.append("\r\n");
  else
    out.resize(at);
}

bool HasToken(std::string_view list, std::string_view token) {
  while (!list.empty()) {
    size_t comma = list.find(',');
    if (SameText(TrimView(list.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

bool LastTokenIs(std::string_view list, std::string_view token) {
  size_t comma = list.rfind(',');
  return SameText(TrimView(comma == std::string_view::npos ? list : list.substr(comma + 1)), token);
}

}  // namespace

std::string SingleLine(std::string text) {
  std::replace_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return text;
}

std::string CurlHeaderLine(const std::string& line) {
  std::string trimmed = Trim(SingleLine(line));
  if (!trimmed.empty() && trimmed.back() == ':') return trimmed.substr(0, trimmed.size() - 1) + ";";
  return trimmed;
}

void THTTPResponseHead::StatusLine(std::string_view line) {
  size_t sp1 = line.find(' ');
  std::string_view rest = sp1 == std::string_view::npos ? std::string_view() : line.substr(sp1 + 1);
  size_t sp2 = rest.find(' ');
  std::string code(rest.substr(0, sp2));
  Status = std::atoi(code.c_str());
  if (sp2 == std::string_view::npos)
    StatusText.clear();
  else
    StatusText.assign(rest.substr(sp2 + 1));
  ContentType.clear();
  ContentTypeSeen = false;
  ContentLength = -1;
}

void THTTPResponseHead::HeaderLine(std::string_view line) {
  if (!ContentTypeSeen && line.size() > 13 && SameText(line.substr(0, 13), "Content-Type:")) {
    ContentType.assign(TrimView(line.substr(13)));
    ContentTypeSeen = true;
  } else if (line.size() > 15 && SameText(line.substr(0, 15), "Content-Length:")) {
    // Only for the size limit: the framing is decided by whoever reads the body.
    std::string digits(TrimView(line.substr(15)));
    char* end = nullptr;
    errno = 0;
    long long n = std::strtoll(digits.c_str(), &end, 10);
    if (!digits.empty() && *end == '\0' && errno == 0 && n >= 0) ContentLength = n;
  }
}

bool IsSpecialHeader(std::string_view line) {
  line = TrimView(line);
  for (std::string_view name : {"Host", "User-Agent", "Content-Length", "Transfer-Encoding", "Expect", "Connection",
                                "Authorization", "Cookie", "Referer", "Accept-Encoding", "TE", "Proxy-Connection",
                                "Proxy-Authorization", "Keep-Alive", "Upgrade"})
    if (NamesHeader(line, name)) return true;
  return false;
}

void AppendRequestHead(std::string& out, bool get, std::string_view target, std::string_view host,
                       std::string_view agent, const std::vector<std::string>& headers, int64_t contentLength) {
  out.append(get ? "GET " : "POST ").append(target).append(" HTTP/1.1\r\nHost: ").append(host).append("\r\n");
  if (!agent.empty()) out.append("User-Agent: ").append(agent).append("\r\n");
  bool ownType = false;
  for (const std::string& h : headers) {
    AppendHeader(out, h);
    ownType = ownType || NamesHeader(TrimView(h), "Content-Type");
  }
  if (get) {
    out.append("\r\n");
    return;
  }
  char digits[24];
  int n = std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(contentLength));
  out.append("Content-Length: ").append(digits, static_cast<size_t>(n)).append("\r\n");
  if (!ownType) out.append("Content-Type: application/x-www-form-urlencoded\r\n");
  out.append("\r\n");
}

bool THTTPResponseReader::Fill() {
  if (begin_ == end_) begin_ = end_ = 0;
  if (buffer_.size() < kBlock) buffer_.resize(kBlock);
  if (end_ == buffer_.size()) {
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    } else {
      // Only a header or chunk line longer than the buffer gets here, and ReadLine bounds it.
      buffer_.resize(buffer_.size() * 2);
    }
  }
  size_t n = source_.Receive(buffer_.data() + end_, buffer_.size() - end_);
  end_ += n;
  received_ += n;
  return n > 0;
}

bool THTTPResponseReader::ReadLine(std::string_view& line, size_t limit) {
  size_t scanned = 0;  // bytes after begin_ known to hold no line break
  for (;;) {
    const char* start = buffer_.data() + begin_;
    if (const void* nl = std::memchr(start + scanned, '\n', end_ - begin_ - scanned)) {
      size_t len = static_cast<size_t>(static_cast<const char*>(nl) - start);
      line = std::string_view(start, len);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      begin_ += len + 1;
      return true;
    }
    scanned = end_ - begin_;
    if (scanned > limit) Fail(CURLE_OUT_OF_MEMORY);
    if (!Fill()) return false;
  }
}

// libcurl looks at the first bytes of every response: anything but "HTTP/" is an answer from
// before HTTP/1.0, which it refuses.
void THTTPResponseReader::ExpectStatusLine() {
  while (end_ - begin_ < kStatusPrefix.size() && Fill()) {
  }
  size_t n = std::min(end_ - begin_, kStatusPrefix.size());
  if (std::string_view(buffer_.data() + begin_, n) != kStatusPrefix.substr(0, n))
    Fail("Received HTTP/0.9 when not allowed");
}

bool THTTPResponseReader::ReadHead(THTTPResponseHead& head, bool& close, Framing& framing, int64_t& length) {
  headerBytes_ = 0;
  for (;;) {
    std::string_view line;
    if (received_ == 0 && begin_ == end_ && !Fill()) return false;
    ExpectStatusLine();
    if (!ReadLine(line, kMaxHeaderLine)) Fail("Empty reply from server");
    headerBytes_ += line.size() + 2;
    // "HTTP/1.x NNN" and then a blank or the end.
    bool valid = line.size() >= 12 && (line.substr(0, 8) == "HTTP/1.1" || line.substr(0, 8) == "HTTP/1.0") &&
                 line[8] == ' ' && std::all_of(line.begin() + 9, line.begin() + 12, [](char c) { return c >= '0' && c <= '9'; }) &&
                 (line.size() == 12 || line[12] == ' ');
    if (!valid) Fail("Unsupported HTTP version in response");
    const bool http10 = line[7] == '0';
    head.StatusLine(line);
    bool closeToken = false, keepAliveToken = false, chunked = false, encoded = false;
    length = -1;
    for (;;) {
      if (!ReadLine(line, kMaxHeaderLine)) Fail(CURLE_WEIRD_SERVER_REPLY);
      headerBytes_ += line.size() + 2;
      if (headerBytes_ > kMaxHeaders)
        throw EHTTPClientError(Format("Too large response headers: %d > %d", {TVarRec(static_cast<int64_t>(headerBytes_)),
                                                                               TVarRec(static_cast<int64_t>(kMaxHeaders))}));
      if (line.empty()) break;
      // A folded continuation line belongs to the header before it, which keeps its first part
      // only, as the libcurl path reads it.
      if (line[0] == ' ' || line[0] == '\t') continue;
      head.HeaderLine(line);
      size_t colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      std::string_view name = TrimView(line.substr(0, colon)), value = TrimView(line.substr(colon + 1));
      if (SameText(name, "Content-Length")) {
        if (value.empty() || value.size() > 18 || !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
          Fail("Invalid Content-Length: value");
        length = std::strtoll(std::string(value).c_str(), nullptr, 10);
      } else if (SameText(name, "Transfer-Encoding")) {
        encoded = true;
        chunked = LastTokenIs(value, "chunked");
      } else if (SameText(name, "Connection")) {
        closeToken = closeToken || HasToken(value, "close");
        keepAliveToken = keepAliveToken || HasToken(value, "keep-alive");
      }
    }
    if (head.Status < 200) continue;  // interim: the final answer follows
    if (head.Status == 204 || head.Status == 304)
      framing = Framing::None;
    else if (chunked)
      framing = Framing::Chunked;
    else if (encoded || length < 0)
      framing = Framing::ToClose;  // a body without a length ends with the connection
    else
      framing = length == 0 ? Framing::None : Framing::Length;
    close = framing == Framing::ToClose || closeToken || (http10 && !keepAliveToken);
    return true;
  }
}

void THTTPResponseReader::Deliver(size_t count, THTTPExchange& exchange) {
  const char* data = buffer_.data() + begin_;
  begin_ += count;
  exchange.BodyReceived(data, count);
}

void THTTPResponseReader::ReadLength(int64_t length, THTTPExchange& exchange) {
  while (length > 0) {
    if (begin_ == end_ && !Fill())
      throw EHTTPClientError(Format("transfer closed with %d bytes remaining to read", {TVarRec(length)}));
    size_t n = static_cast<size_t>(std::min<int64_t>(length, static_cast<int64_t>(end_ - begin_)));
    length -= static_cast<int64_t>(n);
    Deliver(n, exchange);
  }
}

void THTTPResponseReader::ReadChunked(THTTPExchange& exchange) {
  static const char* const kTruncated = "transfer closed with outstanding read data remaining";
  for (;;) {
    std::string_view line;
    if (!ReadLine(line, kMaxHeaderLine)) Fail(kTruncated);
    size_t digits = 0;
    int64_t size = 0;
    while (digits < line.size() && std::isxdigit(static_cast<unsigned char>(line[digits]))) {
      if (digits == 16) Fail("Too long hexadecimal number in chunked-encoding");
      char c = line[digits++];
      int v = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
      size = size * 16 + v;
    }
    std::string_view rest = line.substr(digits);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    if (digits == 0 || size < 0 || (!rest.empty() && rest.front() != ';'))
      Fail("Illegal or missing hexadecimal sequence in chunked-encoding");
    if (size == 0) break;
    while (size > 0) {
      if (begin_ == end_ && !Fill()) Fail(kTruncated);
      size_t n = static_cast<size_t>(std::min<int64_t>(size, static_cast<int64_t>(end_ - begin_)));
      size -= static_cast<int64_t>(n);
      Deliver(n, exchange);
    }
    // The chunk's line break, and nothing else.
    auto next = [&]() {
      if (begin_ == end_ && !Fill()) Fail(kTruncated);
      return buffer_[begin_++];
    };
    char c = next();
    if (c == '\r') c = next();
    if (c != '\n') Fail("Malformed encoding found in chunked-encoding");
  }
  // Trailers: read and bounded like headers, not used.
  for (;;) {
    std::string_view line;
    if (!ReadLine(line, kMaxHeaderLine)) Fail(kTruncated);
    headerBytes_ += line.size() + 2;
    if (headerBytes_ > kMaxHeaders) Fail(CURLE_OUT_OF_MEMORY);
    if (line.empty()) return;
  }
}

void THTTPResponseReader::ReadToClose(THTTPExchange& exchange) {
  do {
    if (end_ > begin_) Deliver(end_ - begin_, exchange);
  } while (Fill());
}

TWireEnd THTTPResponseReader::Read(THTTPExchange& exchange) {
  received_ = end_ - begin_;
  THTTPResponseHead& head = head_;
  bool close = false;
  Framing framing = Framing::None;
  int64_t length = -1;
  if (!ReadHead(head, close, framing, length)) return TWireEnd::Nothing;
  exchange.HeadersReceived(head.Status, head.StatusText, head.ContentType, head.ContentLength);
  switch (framing) {
    case Framing::None:
      break;
    case Framing::Length:
      ReadLength(length, exchange);
      break;
    case Framing::Chunked:
      ReadChunked(exchange);
      break;
    case Framing::ToClose:
      ReadToClose(exchange);
      break;
  }
  return close ? TWireEnd::Close : TWireEnd::Keep;
}
