#include "soap/HTTPWire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "soap/HTTPConnection.h"
#include "tests/support/TestSupport.h"

namespace {

// Records what an exchange is told, and serves a streamed body.
class Recorder : public THTTPExchange {
 public:
  explicit Recorder(std::string body = {}) : body_(std::move(body)) {}

  void BeforeSend(void* native) override { nativeHandle = native; }
  size_t ReadBody(char* buffer, size_t max) override {
    size_t n = std::min(max, body_.size() - at_);
    body_.copy(buffer, n, at_);
    at_ += n;
    return n;
  }
  void HeadersReceived(int status, const std::string& text, const std::string& contentType, int64_t length) override {
    log += Format("headers %d [%s] [%s] %d;", {status, text, contentType, TVarRec(length)});
    if (throwOnHeaders) Abort();
  }
  void BodyReceived(const char* data, size_t count) override { body.append(data, count); }

  void* nativeHandle = &nativeHandle;  // not called yet
  bool throwOnHeaders = false;
  std::string log;
  std::string body;

 private:
  std::string body_;
  size_t at_ = 0;
};

// Hands out a text a few bytes at a time.
class TextSource : public THTTPWireSource {
 public:
  TextSource(std::string text, size_t step) : text_(std::move(text)), step_(step) {}
  size_t Receive(char* buffer, size_t max) override {
    size_t n = std::min({max, step_, text_.size() - at_});
    text_.copy(buffer, n, at_);
    at_ += n;
    return n;
  }

 private:
  std::string text_;
  size_t step_;
  size_t at_ = 0;
};

const std::string kHead = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n";

struct ReaderCase {
  const char* name;
  std::string answer;
  std::string log;    // HeadersReceived calls
  std::string body;
  TWireEnd end;       // when no error
  std::string error;  // the EHTTPClientError text; empty: none
  bool pending = false;
};

// The reader alone: framing, interim answers, when the connection must close, and the
// failures with libcurl's texts. Each answer arrives whole and a byte at a time.
TEST(HTTPResponseReader, AnswersAndFailures) {
  const std::string ok = "headers 200 [OK] [text/xml] ";
  const ReaderCase cases[] = {
      {"Content-Length", kHead + "Content-Length: 5\r\n\r\n<ok/>", ok + "5;", "<ok/>", TWireEnd::Keep, ""},
      {"chunked with extensions and trailers",
       kHead + "Transfer-Encoding: chunked\r\n\r\n3;x=y\r\n<ok\r\nA \r\n/>01234567\r\n0\r\nX-Trailer: 1\r\n\r\n", ok + "-1;",
       "<ok/>01234567", TWireEnd::Keep, ""},
      {"chunked wins over a length", kHead + "Content-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n",
       ok + "99;", "ab", TWireEnd::Keep, ""},
      {"to the close", kHead + "\r\n<ok/> and more", ok + "-1;", "<ok/> and more", TWireEnd::Close, ""},
      {"other transfer coding: to the close", kHead + "Transfer-Encoding: gzip\r\n\r\nzz", ok + "-1;", "zz",
       TWireEnd::Close, ""},
      {"HTTP/1.0", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nab", "headers 200 [OK] [] 2;", "ab", TWireEnd::Close, ""},
      {"HTTP/1.0 keep-alive", "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 2\r\n\r\nab",
       "headers 200 [OK] [] 2;", "ab", TWireEnd::Keep, ""},
      {"Connection: close", kHead + "Connection: keep-alive, Close\r\nContent-Length: 2\r\n\r\nab", ok + "2;", "ab",
       TWireEnd::Close, ""},
      {"interim answers skipped",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nContent-Type: no\r\n\r\n" + kHead +
           "Content-Length: 2\r\n\r\nab",
       ok + "2;", "ab", TWireEnd::Keep, ""},
      {"204 without a body", "HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n\r\n", "headers 204 [No Content] [] 10;",
       "", TWireEnd::Keep, ""},
      {"304 without a body", "HTTP/1.1 304 Not Modified\r\n\r\n", "headers 304 [Not Modified] [] -1;", "",
       TWireEnd::Keep, ""},
      {"bare line feeds, folded and odd lines",
       "HTTP/1.1 404 Not  Found\nContent-Type: a\n b\nno colon\nContent-Type: c\nContent-Length: 1\n\nx",
       "headers 404 [Not  Found] [a] 1;", "x", TWireEnd::Keep, ""},
      {"no status text", "HTTP/1.1 500\r\nContent-Length: 0\r\n\r\n", "headers 500 [] [] 0;", "", TWireEnd::Keep, ""},
      {"bytes after the answer", kHead + "Content-Length: 2\r\n\r\nabHTTP/1.1 200", ok + "2;", "ab", TWireEnd::Keep, "",
       true},
      {"nothing", "", "", "", TWireEnd::Nothing, ""},
      {"not HTTP", "this is not HTTP\r\n\r\n", "", "", TWireEnd::Keep, "Received HTTP/0.9 when not allowed"},
      {"short not HTTP", "HTX", "", "", TWireEnd::Keep, "Received HTTP/0.9 when not allowed"},
      {"bad status line", "HTTP/1.1 two hundred\r\n\r\n", "", "", TWireEnd::Keep, "Unsupported HTTP version in response"},
      {"HTTP/2 status line", "HTTP/2 200\r\n\r\n", "", "", TWireEnd::Keep, "Unsupported HTTP version in response"},
      {"cut in the status line", "HTTP/1.1 2", "", "", TWireEnd::Keep, "Empty reply from server"},
      {"cut in the headers", kHead, "", "", TWireEnd::Keep, "Weird server reply"},
      {"cut in the body", kHead + "Content-Length: 10\r\n\r\nabc", ok + "10;", "abc", TWireEnd::Keep,
       "transfer closed with 7 bytes remaining to read"},
      {"cut in a chunk", kHead + "Transfer-Encoding: chunked\r\n\r\n5\r\nab", ok + "-1;", "ab", TWireEnd::Keep,
       "transfer closed with outstanding read data remaining"},
      {"cut before the last chunk", kHead + "Transfer-Encoding: chunked\r\n\r\n2\r\nab\r\n", ok + "-1;", "ab",
       TWireEnd::Keep, "transfer closed with outstanding read data remaining"},
      {"bad chunk size", kHead + "Transfer-Encoding: chunked\r\n\r\nzz\r\n<x/>", ok + "-1;", "", TWireEnd::Keep,
       "Illegal or missing hexadecimal sequence in chunked-encoding"},
      {"huge chunk size", kHead + "Transfer-Encoding: chunked\r\n\r\n10000000000000000\r\n", ok + "-1;", "",
       TWireEnd::Keep, "Too long hexadecimal number in chunked-encoding"},
      {"chunk without its line break", kHead + "Transfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n", ok + "-1;", "ab",
       TWireEnd::Keep, "Malformed encoding found in chunked-encoding"},
      {"chunk followed by anything but its line break",
       kHead + "Transfer-Encoding: chunked\r\n\r\n2\r\nab\r" + std::string(1000, 'x'), ok + "-1;", "ab", TWireEnd::Keep,
       "Malformed encoding found in chunked-encoding"},
      {"invalid Content-Length", kHead + "Content-Length: -3\r\n\r\nabc", "", "", TWireEnd::Keep,
       "Invalid Content-Length: value"},
      {"header line too long", kHead + "X-Big: " + std::string(200000, 'a') + "\r\n\r\n", "", "", TWireEnd::Keep,
       "Out of memory"},
      {"endless header line", kHead + "X-Big: " + std::string(1 << 20, 'a'), "", "", TWireEnd::Keep, "Out of memory"},
  };
  for (const ReaderCase& c : cases) {
    for (size_t step : {c.answer.size() + 1, size_t{1}}) {
      if (step == 1 && c.answer.size() > 10000) continue;  // a byte at a time proves nothing more there
      SCOPED_TRACE(std::string(c.name) + (step == 1 ? ", a byte at a time" : ""));
      TextSource source(c.answer, step);
      THTTPResponseReader reader(source);
      Recorder ex;
      std::string error;
      TWireEnd end = TWireEnd::Keep;
      try {
        end = reader.Read(ex);
      } catch (const EHTTPClientError& e) {
        error = e.Message();
      }
      EXPECT_EQ(error, c.error);
      EXPECT_EQ(ex.log, c.log);
      EXPECT_EQ(ex.body, c.body);
      if (c.error.empty()) {
        EXPECT_EQ(end, c.end);
        // Bytes that have not arrived yet are the socket's to notice before the next request.
        if (step > 1) {
          EXPECT_EQ(reader.Pending(), c.pending);
        }
      }
    }
  }
}

// A flood of headers or of interim answers stops at the limit instead of filling the memory.
TEST(HTTPResponseReader, HeadSizeIsBounded) {
  std::string many = kHead;
  while (many.size() < 400 * 1024) many += "X-A: " + std::string(48, 'a') + "\r\n";
  std::string interim;
  while (interim.size() < 400 * 1024) interim += "HTTP/1.1 100 Continue\r\nX-A: aaaaaaaa\r\n\r\n";
  for (const std::string& answer : {many, interim}) {
    TextSource source(answer + "\r\n", answer.size());
    THTTPResponseReader reader(source);
    Recorder ex;
    try {
      reader.Read(ex);
      ADD_FAILURE() << "no failure";
    } catch (const EHTTPClientError& e) {
      EXPECT_EQ(e.Message().rfind("Too large response headers: ", 0), 0u) << e.Message();
    }
    EXPECT_EQ(ex.log, "");
  }
}

// A loopback server that records every request byte for byte and answers with scripted raw
// bytes: the queued answers in order, then a small XML answer on a kept connection.
class RawServer {
 public:
  struct Answer {
    std::string bytes;
    bool close = false;  // close the connection after the bytes, without a word
  };

  explicit RawServer(bool ipv6 = false) : ipv6_(ipv6) {
    listen_ = ListenOnLoopback(ipv6, 8, port_);
    if (listen_ < 0) throw std::runtime_error("raw server: no socket");
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~RawServer() {
    stop_ = true;
    acceptor_.join();
    for (std::thread& t : threads_) t.join();
    ::close(listen_);
  }

  std::string Url(const std::string& path) const {
    return std::string(ipv6_ ? "http://[::1]:" : "http://127.0.0.1:") + std::to_string(port_) + path;
  }
  int Port() const { return port_; }
  void Enqueue(Answer a) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(std::move(a));
  }
  std::vector<std::string> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  // The connection (0, 1, ...) each request came on.
  std::vector<int> Connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
  }

 private:
  bool WaitReadable(int fd) const {
    pollfd p{fd, POLLIN, 0};
    while (!stop_)
      if (::poll(&p, 1, 50) > 0) return true;
    return false;
  }

  void Accept() {
    int index = 0;
    while (WaitReadable(listen_)) {
      int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) threads_.emplace_back([this, fd, i = index++] { Serve(fd, i); });
    }
  }

  // Reads requests until the client closes: the head, then Content-Length bytes.
  void Serve(int fd, int index) {
    std::string in;
    char block[65536];
    for (;;) {
      size_t end = in.find("\r\n\r\n");
      size_t need = std::string::npos;
      if (end != std::string::npos) {
        std::string head = LowerCase(in.substr(0, end));
        size_t at = head.find("\r\ncontent-length:");
        need = end + 4 + (at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 17, nullptr, 10));
      }
      if (need != std::string::npos && in.size() >= need) {
        Answer a{"HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 5\r\n\r\n<ok/>"};
        {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.push_back(in.substr(0, need));
          connections_.push_back(index);
          if (!answers_.empty()) {
            a = answers_.front();
            answers_.pop_front();
          }
        }
        in.erase(0, need);
        if (!a.bytes.empty() && ::send(fd, a.bytes.data(), a.bytes.size(), MSG_NOSIGNAL) < 0) break;
        if (a.close) break;
        continue;
      }
      if (!WaitReadable(fd)) break;
      ssize_t n = ::recv(fd, block, sizeof block, 0);
      if (n <= 0) break;
      in.append(block, static_cast<size_t>(n));
    }
    ::close(fd);
  }

  bool ipv6_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::vector<std::thread> threads_;  // one per connection, added by the acceptor alone
  mutable std::mutex mutex_;
  std::deque<Answer> answers_;
  std::vector<std::string> requests_;
  std::vector<int> connections_;
};

// The environment's proxies would take requests off loopback, and send them through libcurl.
class HTTPWirePathTest : public ::testing::Test {
 protected:
  static THTTPRequest Post(const std::string& url, const std::string* body) {
    THTTPRequest r;
    r.URL = url;
    r.Headers = {"SOAPAction: \"\"", "Content-Type: text/xml; charset=\"utf-8\""};
    r.SingleBody = body;
    r.IdleFallback = 5000;
    return r;
  }
  static std::unique_ptr<THTTPClientConnection> Open(const std::string& agent = "Quorand SOAP 1.2") {
    THTTPConnectSettings s;
    s.Agent = agent;
    return THTTPClientConnection::Open(s);
  }
  // Runs a request; returns the error text, empty on success. `libcurl` forces the libcurl path.
  static std::string Run(THTTPClientConnection& c, THTTPRequest r, Recorder& ex, bool libcurl) {
    r.BeforeSendHook = libcurl;
    try {
      c.Perform(r, ex);
    } catch (const EHTTPClientError& e) {
      return e.Message();
    }
    EXPECT_EQ(ex.nativeHandle == nullptr, !libcurl) << "not on the path asked for";
    return {};
  }

  ScopedEnv noProxy{"no_proxy", "*"};
  ScopedEnv noProxyUpper{"NO_PROXY", "*"};
};

// The request bytes on the wire path are the ones libcurl writes for the same request.
TEST_F(HTTPWirePathTest, RequestBytesAsLibcurlWritesThem) {
  std::string xml = "<Envelope>" + std::string(300, 'e') + "</Envelope>";
  std::string empty;
  std::string big(2500, 's');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  struct Case {
    const char* name;
    std::string path;
    bool ipv6;
    std::string agent;
    bool get;
    std::vector<std::string> headers;
    const std::string* body;
    bool streamed;
  } cases[] = {
      {"soap post", "/soap", false, "Quorand SOAP 1.2", false, {"SOAPAction: \"\"", "Content-Type: text/xml; charset=\"utf-8\""}, &xml, false},
      {"mime post, empty action", "/svc/x", false, "Quorand SOAP 1.2", false,
       {"MIME-Version: 1.0", "SOAPAction:", "Content-Type: multipart/related; boundary=MIME42"}, &xml, false},
      {"odd header lines, no content type", "/a%20b?wsdl&x=1", false, "", false,
       {"X-Empty;", "  X-Padded: v  ", "NoColon", "X-Break: a\r\nb", ":nameless", "X-Tail: a:", "Accept:"}, &empty,
       false},
      {"no body", "/", false, "Agent\r\nX-Injected: 1", false, {"Content-Type: text/xml"}, nullptr, false},
      {"streamed", "/stream", false, "Quorand SOAP 1.2", false, {"SOAPAction: \"urn:a#b\"", "Content-Type: text/xml"},
       &big, true},
      {"get", "/doc?wsdl", false, "Quorand SOAP 1.2", true, {"Accept: */*"}, nullptr, false},
      {"ipv6", "/six", true, "Quorand SOAP 1.2", false, {"Content-Type: text/xml"}, &xml, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawServer server(c.ipv6);
    std::string sent[2];
    for (bool libcurl : {true, false}) {
      auto conn = Open(c.agent);
      THTTPRequest r = Post(server.Url(c.path), c.body);
      r.Get = c.get;
      r.Headers = c.headers;
      if (c.streamed) {
        r.SingleBody = nullptr;
        r.Streamed = true;
        r.StreamedSize = static_cast<int64_t>(c.body->size());
        r.PieceSize = 1000;
      }
      Recorder ex(c.streamed ? *c.body : std::string());
      EXPECT_EQ(Run(*conn, r, ex, libcurl), "");
      EXPECT_EQ(ex.body, "<ok/>");
      ASSERT_EQ(server.Requests().size(), libcurl ? 1u : 2u);
      sent[libcurl] = server.Requests().back();
    }
    EXPECT_EQ(sent[false], sent[true]);
  }
  // By name, too: "localhost" is what the Host header carries.
  RawServer server;
  std::string sent[2];
  for (bool libcurl : {true, false}) {
    auto conn = Open();
    Recorder ex;
    EXPECT_EQ(Run(*conn, Post("http://localhost:" + std::to_string(server.Port()) + "/n", &xml), ex, libcurl), "");
    sent[libcurl] = server.Requests().back();
  }
  EXPECT_EQ(sent[false], sent[true]);
}

// The same answer seen through either path: the same calls of the exchange, the same body, and
// the same failure text.
TEST_F(HTTPWirePathTest, AnswersAsTheLibcurlPathSeesThem) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\n";
  struct Case {
    const char* name;
    std::string answer;  // sent, then the connection closes
  } cases[] = {
      {"Content-Length", head + "Content-Length: 5\r\n\r\n<ok/>"},
      {"chunked with trailers", head + "Transfer-Encoding: chunked\r\n\r\n3;ext\r\n<ok\r\n2\r\n/>\r\n0\r\nX-T: 1\r\n\r\n"},
      {"to the close", head + "\r\n<ok/><more/>"},
      {"HTTP/1.0", "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 5\r\n\r\n<ok/>"},
      {"100 Continue first", "HTTP/1.1 100 Continue\r\n\r\n" + head + "Content-Length: 5\r\n\r\n<ok/>"},
      {"fault status", "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/xml\r\nContent-Length: 3\r\n\r\n<f>"},
      {"204", "HTTP/1.1 204 No Content\r\n\r\n"},
      {"folded and repeated headers",
       "HTTP/1.1 200 Fine\r\nContent-Type: text/xml\r\n ; charset=x\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nab"},
      {"not HTTP", "this is not HTTP\r\n\r\n"},
      {"bad status line", "HTTP/1.1 two hundred\r\n\r\n<x/>"},
      {"closed without an answer", ""},
      {"cut in the status line", "HTTP/1.1 2"},
      {"cut in the body", head + "Content-Length: 5000\r\n\r\n" + std::string(2500, 'x')},
      {"cut in a chunk", head + "Transfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\n"},
      {"bad chunk size", head + "Transfer-Encoding: chunked\r\n\r\nzz\r\n<x/>"},
      {"invalid Content-Length", head + "Content-Length: abc\r\n\r\nabc"},
      {"header line too long", head + "X-Big: " + std::string(200000, 'a') + "\r\nContent-Length: 3\r\n\r\nabc"},
      {"too many headers", [&head] {
         std::string many = head;
         for (int i = 0; i < 10000; ++i) many += "X-A: " + std::string(48, 'a') + "\r\n";
         return many + "Content-Length: 3\r\n\r\nabc";
       }()},
  };
  std::string xml = "<x/>";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string seen[2];
    for (bool libcurl : {true, false}) {
      RawServer server;
      server.Enqueue({c.answer, true});
      auto conn = Open();
      Recorder ex;
      std::string error = Run(*conn, Post(server.Url("/"), &xml), ex, libcurl);
      seen[libcurl] = ex.log + " body [" + ex.body + "] error [" + error + "]";
    }
    EXPECT_EQ(seen[false], seen[true]);
  }
}

// A kept connection: reused while the answers allow it, closed after "Connection: close", an
// answer to the close or a failure; a connection the server dropped while idle or after taking
// the request is replaced once; a broken answer after any byte is an error. Both paths alike.
TEST_F(HTTPWirePathTest, KeptConnection) {
  using A = RawServer::Answer;
  const std::string ok = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 5\r\n\r\n<ok/>";
  struct Case {
    const char* name;
    std::vector<A> answers;        // for the second and later calls; the first gets the default
    std::string error;             // of the second call
    std::vector<int> connections;  // of the requests the server saw, the third call's included
  } cases[] = {
      {"kept", {}, "", {0, 0, 0}},
      {"Connection: close", {{"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 5\r\n\r\n<ok/>"}}, "", {0, 0, 1}},
      {"HTTP/1.0", {{"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\n<ok/>"}}, "", {0, 0, 1}},
      {"closed by the server after an answer", {{ok, true}}, "", {0, 0, 1}},
      {"closed by the server on the request: sent again", {{"", true}}, "", {0, 0, 1, 1}},
      {"closed twice: not a third time", {{"", true}, {"", true}}, "Empty reply from server", {0, 0, 1, 2}},
      {"closed mid-answer", {{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n<ok", true}},
       "transfer closed with 7 bytes remaining to read", {0, 0, 1}},
      {"stall", {{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n<ok"}}, "Timeout was reached", {0, 0, 1}},
  };
  std::string xml = "<x/>";
  for (const Case& c : cases) {
    for (bool libcurl : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (libcurl ? ", libcurl" : ", wire"));
      RawServer server;
      auto conn = Open();
      THTTPRequest r = Post(server.Url("/k"), &xml);
      r.Timeouts.Receive = 300;
      Recorder first, second, third;
      ASSERT_EQ(Run(*conn, r, first, libcurl), "");
      for (const A& a : c.answers) server.Enqueue(a);
      EXPECT_EQ(Run(*conn, r, second, libcurl), c.error);
      if (c.error.empty()) {
        EXPECT_EQ(second.body, "<ok/>");
      }
      EXPECT_EQ(Run(*conn, r, third, libcurl), "");
      EXPECT_EQ(third.body, "<ok/>");
      EXPECT_EQ(server.Connections(), c.connections);
    }
  }
}

// An exception of the exchange comes out unchanged, and the connection is not used again.
TEST_F(HTTPWirePathTest, ExchangeFailureDropsTheConnection) {
  RawServer server;
  auto conn = Open();
  std::string xml = "<x/>";
  Recorder first, failing, after;
  failing.throwOnHeaders = true;
  EXPECT_EQ(Run(*conn, Post(server.Url("/"), &xml), first, false), "");
  EXPECT_THROW(Run(*conn, Post(server.Url("/"), &xml), failing, false), EAbort);
  EXPECT_EQ(Run(*conn, Post(server.Url("/"), &xml), after, false), "");
  EXPECT_EQ(server.Connections(), (std::vector<int>{0, 0, 1}));
}

// Only a plain, direct request without credentials or a hook takes the wire path.
TEST_F(HTTPWirePathTest, WhichRequestsTakeTheWirePath) {
  RawServer server;
  std::string xml = "<x/>";
  auto settings = [](std::string proxy, std::string byPass, std::string user) {
    THTTPConnectSettings s;
    s.Proxy = std::move(proxy);
    s.ProxyByPass = std::move(byPass);
    s.UserName = std::move(user);
    return s;
  };
  struct Case {
    const char* name;
    THTTPConnectSettings settings;
    const char* envProxy;  // http_proxy
    const char* noProxy;   // no_proxy and NO_PROXY
    std::vector<std::string> headers;
    bool wire;
  } cases[] = {
      {"plain", {}, nullptr, nullptr, {}, true},
      {"credentials", settings("", "", "alice"), nullptr, nullptr, {}, false},
      {"proxy list", settings("127.0.0.1:1", "", ""), nullptr, nullptr, {}, false},
      {"proxy list for https only", settings("https=127.0.0.1:1", "", ""), nullptr, nullptr, {}, true},
      {"proxy list bypassed", settings("127.0.0.1:1", "127.0.0.*", ""), nullptr, nullptr, {}, true},
      {"environment proxy", {}, "http://127.0.0.1:1", nullptr, {}, false},
      {"environment proxy, host excluded", {}, "http://127.0.0.1:1", "127.0.0.1", {}, true},
      {"environment proxy, other host excluded", {}, "http://127.0.0.1:1", "example.org", {}, false},
      {"a header libcurl writes itself", {}, nullptr, nullptr, {"Connection: close"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv proxy("http_proxy", c.envProxy);
    ScopedEnv noProxyLower("no_proxy", c.noProxy);
    ScopedEnv noProxyUpper("NO_PROXY", c.noProxy);
    auto conn = THTTPClientConnection::Open(c.settings);
    THTTPRequest r = Post(server.Url("/"), &xml);
    r.Headers.insert(r.Headers.end(), c.headers.begin(), c.headers.end());
    Recorder ex;
    try {
      conn->Perform(r, ex);
    } catch (const EHTTPClientError&) {  // a proxy at port 1 refuses: the path is what counts
    }
    EXPECT_EQ(ex.nativeHandle == nullptr, c.wire);
  }
}

}  // namespace
