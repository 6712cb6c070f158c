#include "soap/SOAPHTTPTrans.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "soap/HTTPConnection.h"
#include "soap/InvokeRegistry.h"
#include "tests/soap/ServerCertificate.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestSupport.h"

namespace {

using B = HttpResponse::Behaviour;

class ITransportProbe : public IInvokable {
  ZELK_INTERFACE(ITransportProbe, "{7A0C3E55-2B19-4F6D-9E84-1D5C6B7A8F02}")
};
class ITransportPlain : public IInvokable {
  ZELK_INTERFACE(ITransportPlain, "{7A0C3E55-2B19-4F6D-9E84-1D5C6B7A8F03}")
};

}  // namespace

ZELK_INTERFACE_INFO(ITransportProbe, IInvokable, "TransportTest", ZELK_METHOD("ping", ccStdCall, nullptr))
ZELK_INTERFACE_INFO(ITransportPlain, IInvokable, "TransportTest", ZELK_METHOD("ping", ccStdCall, nullptr))

namespace {

// Catches the transport exception a call must raise.
template <class F>
ESOAPHTTPException CatchHTTP(F&& call) {
  try {
    call();
  } catch (const ESOAPHTTPException& e) {
    return e;
  }
  ADD_FAILURE() << "no ESOAPHTTPException raised";
  return ESOAPHTTPException("(none)", -1);
}

// An owned transport against a fresh loopback server; the environment's proxies are off so
// that nothing leaves the machine.
class HTTPTransportTest : public ::testing::Test {
 protected:
  HTTPTransportTest() {
    THTTPReqResp::SetProcessTimeouts({});
    http->SetURL(server.Url("/soap"));
  }
  ~HTTPTransportTest() override { THTTPReqResp::SetProcessTimeouts({}); }

  std::string Post(const std::string& body, THTTPReqResp* transport = nullptr) {
    TMemoryStream response;
    (transport ? transport : http)->ExchangeText(body, response);
    return response.DataString();
  }

  ScopedEnv noProxy{"no_proxy", "*"};
  ScopedEnv noProxyUpper{"NO_PROXY", "*"};
  HttpTestServer server;
  TComponent owner;
  THTTPReqResp* http = new THTTPReqResp(&owner);
};

TEST_F(HTTPTransportTest, Defaults) {
  THTTPReqResp fresh(&owner);
  EXPECT_EQ(fresh.Agent(), "Quorand SOAP 1.2");
  EXPECT_TRUE(fresh.UseUTF8InHeader());
  EXPECT_EQ(fresh.InvokeOptions(), TSOAPInvokeOptions{soAutoCheckAccessPointViaUDDI});
  EXPECT_EQ(fresh.ConnectTimeout() + fresh.SendTimeout() + fresh.ReceiveTimeout(), 0);
  EXPECT_EQ(fresh.URL(), "");
  EXPECT_EQ(fresh.MaxResponseSize(), int64_t{64} << 20);
}

TEST_F(HTTPTransportTest, UrlSchemes) {
  const std::string port = std::to_string(server.Port());
  struct Case {
    std::string url;
    bool accepted;
  } cases[] = {
      {"ftp://127.0.0.1:" + port + "/soap", false},
      {"file:///etc/passwd", false},
      {"127.0.0.1:" + port + "/soap", false},
      {"no url at all", false},
      {"http://127.0.0.1:" + port + "/soap", true},
      {"HTTPS://127.0.0.1:" + port + "/soap", true},
      {"", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    THTTPReqResp t(&owner);
    if (c.accepted) {
      t.SetURL(c.url);
      EXPECT_EQ(t.URL(), c.url);
    } else {
      ESOAPHTTPException e = CatchHTTP([&] { t.SetURL(c.url); });
      EXPECT_EQ(e.Message(), "Invalid url '" + c.url + "' - only supports 'http' and 'https' schemes");
      EXPECT_EQ(e.StatusCode(), 0);
    }
  }
  EXPECT_EQ(server.ConnectionCount(), 0);
}

TEST_F(HTTPTransportTest, SendsOnlyTheNamedHeaders) {
  EXPECT_EQ(Post("<Envelope/>"), "<ok/>");
  ASSERT_EQ(server.RequestCount(), 1u);
  HttpRequestRecord r = server.Request(0);
  EXPECT_EQ(r.Method, "POST");
  EXPECT_EQ(r.Target, "/soap");
  EXPECT_EQ(r.Version, "HTTP/1.1");
  EXPECT_EQ(r.Body, "<Envelope/>");
  std::vector<std::string> names = r.HeaderNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Content-Length", "Content-Type", "Host", "SOAPAction", "User-Agent"}));
  EXPECT_EQ(r.Header("User-Agent"), "Quorand SOAP 1.2");
  EXPECT_EQ(r.Header("Content-Type"), "text/xml; charset=\"utf-8\"");
  EXPECT_EQ(r.Header("SOAPAction"), "\"\"");
  EXPECT_EQ(r.Header("Host"), server.HostPort());
}

TEST_F(HTTPTransportTest, SoapActionAndContentTypeForms) {
  struct Case {
    const char* name;
    std::string action;
    TSOAPInvokeOptions options;
    bool utf8;
    bool sent;
    std::string expected;
    std::string contentType;
  } cases[] = {
      {"empty action", "", {}, true, true, "\"\"", "text/xml; charset=\"utf-8\""},
      {"empty, no value", "", {soNoValueForEmptySOAPAction}, true, true, "", "text/xml; charset=\"utf-8\""},
      {"no header", "urn:a#b", {soNoSOAPActionHeader}, true, false, "", "text/xml; charset=\"utf-8\""},
      {"quoted", "urn:svc#getDistance", {}, false, true, "\"urn:svc#getDistance\"", "text/xml"},
      {"literal quotes", "\"\"", {soNoValueForEmptySOAPAction}, true, true, "\"\"", "text/xml; charset=\"utf-8\""},
      {"line break", "urn:a\r\nX-Injected: 1", {}, true, true, "\"urn:a  X-Injected: 1\"", "text/xml; charset=\"utf-8\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.ClearRequests();
    http->SetSoapAction(c.action);
    http->SetInvokeOptions(c.options);
    http->SetUseUTF8InHeader(c.utf8);
    Post("<x/>");
    HttpRequestRecord r = server.Request(0);
    EXPECT_EQ(r.HasHeader("SOAPAction"), c.sent);
    EXPECT_EQ(r.Header("SOAPAction"), c.expected);
    EXPECT_EQ(r.Header("Content-Type"), c.contentType);
    EXPECT_FALSE(r.HasHeader("X-Injected"));
  }
}

// Up to 32768 bytes go out in one piece; anything larger in pieces of 32768, reported one by
// one through OnPostingData.
TEST_F(HTTPTransportTest, SingleAndStreamedBodies) {
  struct Case {
    size_t size;
    std::vector<std::pair<int64_t, int64_t>> pieces;
  } cases[] = {
      {0, {}},
      {32768, {}},
      {32769, {{32768, 32769}, {32769, 32769}}},
      {40960, {{32768, 40960}, {40960, 40960}}},
      {100000, {{32768, 100000}, {65536, 100000}, {98304, 100000}, {100000, 100000}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    server.ClearRequests();
    std::string body(c.size, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
    std::vector<std::pair<int64_t, int64_t>> events;
    http->OnPostingData = [&](int64_t sent, int64_t total) { events.emplace_back(sent, total); };
    Post(body);
    EXPECT_EQ(events, c.pieces);
    HttpRequestRecord r = server.Request(0);
    EXPECT_EQ(r.Body, body);
    EXPECT_EQ(r.Header("Content-Length"), std::to_string(c.size));
    EXPECT_FALSE(r.HasHeader("Expect"));
    EXPECT_FALSE(r.HasHeader("Transfer-Encoding"));
  }
}

TEST_F(HTTPTransportTest, StatusRules) {
  struct Case {
    int status;
    const char* reason;
    bool fails;
  } cases[] = {
      {200, "OK", false},
      {202, "Accepted", false},
      {500, "Internal Server Error", false},
      {301, "Moved Permanently", true},
      {307, "Temporary Redirect", true},
      {401, "Unauthorized", true},
      {404, "Not Found", true},
      {503, "Service Unavailable", true},
      {599, "", true},
  };
  const std::string fault = "<Envelope><Body><Fault><faultstring>boom</faultstring></Fault></Body></Envelope>";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    HttpResponse answer = HttpResponse::Xml(fault, c.status, c.reason);
    answer.Headers.emplace_back("Location", server.Url("/elsewhere"));
    server.Enqueue(answer);
    TMemoryStream response;
    if (!c.fails) {
      http->ExchangeText("<x/>", response);
      EXPECT_EQ(response.DataString(), fault);
      continue;
    }
    ESOAPHTTPException e = CatchHTTP([&] { http->ExchangeText("<x/>", response); });
    EXPECT_EQ(e.Message(), Format("%s (%d) - '%s'", {c.reason, c.status, http->URL()}));
    EXPECT_EQ(e.StatusCode(), c.status);
    EXPECT_EQ(response.DataString(), "");  // nothing of the error page is kept
  }
  EXPECT_EQ(server.RequestCount(), std::size(cases));  // no redirect followed
}

TEST_F(HTTPTransportTest, ContentTypeRule) {
  struct Case {
    std::string contentType;
    bool fails;
  } cases[] = {
      {"text/html", true},
      {"TEXT/PLAIN", true},
      {"text/html; charset=utf-8", false},
      {"text/xml", false},
      {"application/soap+xml", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.contentType);
    server.Enqueue(HttpResponse::With(200, "OK", c.contentType, "<x/>"));
    if (c.fails) {
      ESOAPHTTPException e = CatchHTTP([&] { Post("<x/>"); });
      EXPECT_EQ(e.Message(),
                "Received content of invalid Content-Type setting: " + c.contentType + " - SOAP expects \"text/xml\"");
      EXPECT_EQ(e.StatusCode(), 0);
    } else {
      EXPECT_EQ(Post("<x/>"), "<x/>");
      EXPECT_EQ(http->ResponseContentType(), c.contentType);
    }
  }
}

TEST_F(HTTPTransportTest, MimeBoundaryOfTheAnswer) {
  struct Case {
    std::string contentType;
    std::string boundary;
  } cases[] = {
      {"multipart/related; boundary=\"abc\"", "abc"},
      {"Multipart/Related; type=\"text/xml\"; boundary=MIME_b1; start=\"<soap>\"", "MIME_b1"},
      {"multipart/related; BOUNDARY=xyz", "xyz"},
      {"multipart/mixed; boundary=abc", ""},
      {"text/xml; charset=utf-8", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.contentType);
    http->SetMimeBoundary("left over");
    server.Enqueue(HttpResponse::With(200, "OK", c.contentType, "--abc--"));
    Post("<x/>");
    EXPECT_EQ(http->GetMimeBoundary(), c.boundary);
  }
}

// The connection survives successful calls and is dropped after any failure; the next call
// then works on a new one.
TEST_F(HTTPTransportTest, ConnectionKeptUntilAFailure) {
  Post("<1/>");
  Post("<2/>");
  server.Enqueue(HttpResponse::NotFound());
  CatchHTTP([&] { Post("<3/>"); });
  Post("<4/>");
  std::vector<HttpRequestRecord> r = server.Requests();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[1].Connection, r[0].Connection);
  EXPECT_EQ(r[2].Connection, r[0].Connection);
  EXPECT_NE(r[3].Connection, r[2].Connection);

  http->SetURL(http->URL());  // setting the URL disconnects too
  Post("<5/>");
  EXPECT_NE(server.Request(4).Connection, r[3].Connection);
}

TEST_F(HTTPTransportTest, ClientFailuresAndRecovery) {
  HttpResponse drop = HttpResponse::Xml(std::string(5000, 'x'));
  drop.Mode = B::DropMidBody;
  HttpResponse silent;
  silent.Mode = B::CloseWithoutAnswer;
  HttpResponse garbage;
  garbage.Mode = B::Raw;
  garbage.Body = "this is not HTTP\r\n\r\n";
  HttpResponse stall = HttpResponse::Xml("<late/>");
  stall.Mode = B::StallAfterHeaders;
  stall.StallMs = 5000;
  HttpResponse slowStart = HttpResponse::Xml("<late/>");
  slowStart.DelayMs = 5000;
  HttpResponse longLength = HttpResponse::Xml(std::string(100, 'x'));
  longLength.Headers.emplace_back("Content-Length", "5000");  // and the connection stays open
  HttpResponse badChunks;
  badChunks.Mode = B::Raw;
  badChunks.Body = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n<x/>";
  HttpResponse badStatusLine;
  badStatusLine.Mode = B::Raw;
  badStatusLine.Body = "HTTP/1.1 two hundred\r\n\r\n<x/>";
  struct Case {
    const char* name;
    HttpResponse answer;
  } cases[] = {
      {"dropped mid-body", drop},
      {"closed without answer", silent},
      {"garbage", garbage},
      {"stall after headers", stall},
      {"no answer in time", slowStart},
      {"Content-Length beyond the body", longLength},
      {"broken chunked encoding", badChunks},
      {"garbage status line", badStatusLine},
  };
  http->SetReceiveTimeout(300);
  http->SetSoapAction("urn:probe");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.Enqueue(c.answer);
    // On a fresh connection: libcurl resends once when a reused one closes without a word.
    http->SetURL(http->URL());
    ESOAPHTTPException e = CatchHTTP([&] { Post("<x/>"); });
    EXPECT_EQ(e.StatusCode(), 0);
    const std::string tail = " - URL:" + http->URL() + " - SOAPAction:urn:probe";
    ASSERT_GT(e.Message().size(), tail.size());
    EXPECT_EQ(e.Message().substr(e.Message().size() - tail.size()), tail);
    EXPECT_EQ(Post("<again/>"), "<ok/>");
  }
}

// Time-outs are process-wide: the one a transport sets applies to every other one.
TEST_F(HTTPTransportTest, TimeoutsApplyToTheWholeProcess) {
  http->SetReceiveTimeout(250);
  Post("<x/>");
  EXPECT_EQ(THTTPReqResp::ProcessTimeouts().Receive, 250);

  THTTPReqResp other(&owner);
  other.SetURL(server.Url("/other"));
  HttpResponse stall = HttpResponse::Xml("<late/>");
  stall.Mode = B::StallAfterHeaders;
  stall.StallMs = 5000;
  server.Enqueue(stall);
  ESOAPHTTPException e = CatchHTTP([&] { Post("<x/>", &other); });
  EXPECT_NE(e.Message().find("Timeout was reached"), std::string::npos) << e.Message();
}

// With every time-out at 0 a stalled answer still ends: at the client's own idle limit.
TEST_F(HTTPTransportTest, StallWithoutTimeoutEndsAtTheClientIdleLimit) {
  EXPECT_EQ(THTTPReqResp::ClientIdleTimeout(), 60000);
  struct RestoreIdle {
    ~RestoreIdle() { THTTPReqResp::SetClientIdleTimeout(60000); }
  } restore;
  THTTPReqResp::SetClientIdleTimeout(300);
  HttpResponse stall = HttpResponse::Xml("<late/>");
  stall.Mode = B::StallAfterHeaders;
  stall.StallMs = 5000;
  server.Enqueue(stall);
  ESOAPHTTPException e = CatchHTTP([&] { Post("<x/>"); });
  EXPECT_NE(e.Message().find("Timeout was reached"), std::string::npos) << e.Message();
  EXPECT_EQ(THTTPReqResp::ProcessTimeouts().Receive, 0);
  EXPECT_EQ(Post("<again/>"), "<ok/>");
}

// A peer that takes the connection but never reads: the send stalls once the socket buffers
// are full, and the send limit ends it.
TEST_F(HTTPTransportTest, SendTimeout) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  http->SetURL("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/deaf");
  http->SetSendTimeout(300);
  ESOAPHTTPException e = CatchHTTP([&] { Post(std::string(64 << 20, 'q')); });
  EXPECT_NE(e.Message().find("Timeout was reached"), std::string::npos) << e.Message();
  close(fd);
}

TEST_F(HTTPTransportTest, EventsAndChunkedAnswer) {
  std::string body(70000, 'r');
  HttpResponse chunked = HttpResponse::Xml(body);
  chunked.Mode = B::Chunked;
  chunked.ChunkSize = 7000;
  server.Enqueue(chunked);

  int beforePost = 0;
  http->OnBeforePost = [&](THTTPReqResp& sender, void* request) {
    ++beforePost;
    EXPECT_EQ(&sender, http);
    EXPECT_NE(request, nullptr);
    EXPECT_EQ(server.RequestCount(), 0u);  // nothing sent yet
  };
  int64_t read = 0;
  http->OnReceivingData = [&](int64_t count, int64_t total) {
    EXPECT_EQ(count, total);
    read += count;
  };
  EXPECT_EQ(Post("<x/>"), body);
  EXPECT_EQ(beforePost, 1);
  EXPECT_EQ(read, static_cast<int64_t>(body.size()));
}

TEST_F(HTTPTransportTest, HandlerExceptionStopsTheCallAndDisconnects) {
  Post("<warm/>");
  http->OnPostingData = [](int64_t, int64_t) { Abort(); };
  EXPECT_THROW(Post(std::string(40000, 'b')), EAbort);
  http->OnPostingData = nullptr;
  Post("<x/>");
  std::vector<HttpRequestRecord> r = server.Requests();
  EXPECT_NE(r.back().Connection, r.front().Connection);
}

// A stream that announces more than it delivers.
class ShortStream : public TMemoryStream {
 public:
  using TMemoryStream::TMemoryStream;
  size_t Read(void* buffer, size_t count) override {
    return Position() >= 32768 ? 0 : TMemoryStream::Read(buffer, std::min<size_t>(count, 32768));
  }
};

TEST_F(HTTPTransportTest, StreamedBodyEndingEarly) {
  ShortStream request(std::string(50000, 's'));
  TMemoryStream response;
  ESOAPHTTPException e = CatchHTTP([&] { http->Exchange(request, response); });
  EXPECT_EQ(e.Message(), "Invalid HTTP Request: Length is 0");
  EXPECT_EQ(e.StatusCode(), 0);
  EXPECT_EQ(Post("<x/>"), "<ok/>");
}

// A Content-Length shorter than the body: the answer is what was announced (the decoder then
// finds it incomplete), and the bytes after it are never read as the next answer.
TEST_F(HTTPTransportTest, ShortContentLength) {
  HttpResponse answer = HttpResponse::Xml("<ok/><ok/>HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n<evil>");
  answer.Headers.emplace_back("Content-Length", "8");
  server.Enqueue(answer);
  EXPECT_EQ(Post("<x/>"), "<ok/><ok");
  server.Enqueue(HttpResponse::Xml("<second/>"));
  EXPECT_EQ(Post("<y/>"), "<second/>");
}

// The answer's size limit: announced sizes fail before the body, counted ones as soon as
// the limit is passed; the server's gigabyte is never read, and the next call reconnects.
TEST_F(HTTPTransportTest, ResponseSizeLimit) {
  const size_t gigabyte = size_t{1} << 30;
  HttpResponse announced = HttpResponse::Xml(std::string(4096, 'a'));
  announced.Mode = B::Repeat;
  announced.RepeatBytes = gigabyte;
  announced.Headers.emplace_back("Content-Length", std::to_string(gigabyte));
  HttpResponse chunked = announced;
  chunked.Headers.pop_back();
  HttpResponse atTheLimit = chunked;
  atTheLimit.RepeatBytes = 1 << 20;
  struct Case {
    const char* name;
    HttpResponse answer;
    int64_t limit;
    const char* error;  // null: the answer arrives whole
  } cases[] = {
      {"announced by Content-Length", announced, 1 << 20, "Response exceeds 1048576 bytes"},
      {"counted in a chunked answer", chunked, 1 << 20, "Response exceeds 1048576 bytes"},
      {"exactly the limit", atTheLimit, 1 << 20, nullptr},
      {"no limit", atTheLimit, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    http->SetMaxResponseSize(c.limit);
    server.Enqueue(c.answer);
    if (!c.error) {
      EXPECT_EQ(Post("<x/>").size(), c.answer.RepeatBytes);
      continue;
    }
    TMemoryStream response;
    ESOAPHTTPException e = CatchHTTP([&] { http->ExchangeText("<x/>", response); });
    EXPECT_EQ(e.Message(), c.error);
    EXPECT_EQ(e.StatusCode(), 0);
    EXPECT_LE(response.Size(), c.limit);
    EXPECT_EQ(Post("<again/>"), "<ok/>");
  }
  // The document loader keeps the limit too.
  http->SetMaxResponseSize(1 << 20);
  server.Enqueue(chunked);
  TMemoryStream document;
  EXPECT_EQ(CatchHTTP([&] { http->GetDocument(document); }).Message(), "Response exceeds 1048576 bytes");
}

TEST_F(HTTPTransportTest, Credentials) {
  http->SetUserName("alice");
  http->SetPassword("s3cret");
  Post("<x/>");
  EXPECT_EQ(server.Request(0).Header("Authorization"), "Basic YWxpY2U6czNjcmV0");
}

TEST_F(HTTPTransportTest, ProxyAndBypassList) {
  HttpTestServer proxy;
  http->SetProxy(proxy.HostPort());
  http->SetURL("http://service.invalid/ZelkSystem/services/X");
  Post("<via proxy/>");
  ASSERT_EQ(proxy.RequestCount(), 1u);
  EXPECT_EQ(proxy.Request(0).Target, "http://service.invalid/ZelkSystem/services/X");
  EXPECT_EQ(proxy.Request(0).Body, "<via proxy/>");
  std::vector<std::string> names = proxy.Request(0).HeaderNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Content-Length", "Content-Type", "Host", "SOAPAction", "User-Agent"}));

  http->SetURL(server.Url("/direct"));
  http->SetProxyByPass("*.example.org; 127.0.0.*");
  Post("<direct/>");
  EXPECT_EQ(proxy.RequestCount(), 1u);
  ASSERT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(server.Request(0).Target, "/direct");
}

TEST(HTTPProxyLists, SchemeAndBypassMatching) {
  EXPECT_EQ(ProxyForScheme("gate:3128", "https"), "gate:3128");
  EXPECT_EQ(ProxyForScheme("http=plain:80 https=secure:443", "https"), "secure:443");
  EXPECT_EQ(ProxyForScheme("http=plain:80;https=secure:443", "http"), "plain:80");
  EXPECT_EQ(ProxyForScheme("https=secure:443", "http"), "");
  struct Case {
    const char* list;
    const char* host;
    bool bypassed;
  } cases[] = {
      {"<local>", "intranet", true},       {"<local>", "intranet.corp", false},
      {"*.corp; other", "a.b.corp", true}, {"*.corp other", "other", true},
      {"*.corp", "corp", false},           {"127.0.0.*", "127.0.0.1", true},
      {"HOST.example", "host.EXAMPLE", true}, {"", "anything", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.list) + " / " + c.host);
    EXPECT_EQ(ProxyBypassed(c.list, c.host), c.bypassed);
  }
}

TEST_F(HTTPTransportTest, Ipv6Loopback) {
  HttpTestServer v6({.Ipv6 = true});
  http->SetURL(v6.Url("/six"));
  EXPECT_EQ(Post("<x/>"), "<ok/>");
  EXPECT_EQ(v6.Request(0).Target, "/six");
}

// The servers' certificates are self-signed for "localhost" and 127.0.0.1, not ::1. Nothing
// of the request may reach a server whose certificate was refused.
TEST_F(HTTPTransportTest, Certificates) {
  if (!HttpTestServer::TlsAvailable()) GTEST_SKIP() << "test support built without TLS";
  ScopedIgnoreSigPipe refusals;
  HttpTestServer v4({.Tls = true});
  HttpTestServer v6({.Ipv6 = true, .Tls = true});
  TempTextFile trusted(v4.CertificatePem() + v6.CertificatePem());
  const std::string byName = "https://localhost:" + std::to_string(v4.Port()) + "/secure";
  const std::string otherName = v6.Url("/secure");  // a name the certificate does not carry
  struct Case {
    const char* name;
    HttpTestServer& server;
    std::string url;
    const char* certFile;  // SSL_CERT_FILE; nullptr: unset
    TSOAPInvokeOptions options;
    const char* failure;  // libcurl's message the exception starts with; nullptr: the call works
  } cases[] = {
      {"defaults, unknown authority", v4, byName, nullptr, THTTPReqResp::kDefaultInvokeOptions,
       "SSL certificate problem: self-signed certificate"},
      {"trusted through SSL_CERT_FILE", v4, byName, trusted.Path().c_str(), THTTPReqResp::kDefaultInvokeOptions,
       nullptr},
      {"soIgnoreInvalidCerts", v4, byName, nullptr, {soIgnoreInvalidCerts}, nullptr},
      {"trusted, for another host name", v6, otherName, trusted.Path().c_str(),
       THTTPReqResp::kDefaultInvokeOptions, "SSL: no alternative certificate subject name matches target host name '::1'"},
      {"another host name, ignored", v6, otherName, nullptr, {soIgnoreInvalidCerts}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv certFile("SSL_CERT_FILE", c.certFile);
    ScopedEnv certDir("SSL_CERT_DIR", nullptr);
    THTTPReqResp t(&owner);
    t.SetInvokeOptions(c.options);
    t.SetURL(c.url);
    const size_t before = c.server.RequestCount();
    if (!c.failure) {
      EXPECT_EQ(Post("<x/>", &t), "<ok/>");
      TMemoryStream doc;
      t.GetDocument(doc);
      EXPECT_EQ(doc.DataString(), "<ok/>");
      EXPECT_EQ(c.server.RequestCount(), before + 2);
      continue;
    }
    for (bool get : {false, true}) {
      ESOAPHTTPException e = CatchHTTP([&] {
        TMemoryStream doc;
        if (get) t.GetDocument(doc);
        else Post("<x/>", &t);
      });
      EXPECT_EQ(e.StatusCode(), 0);
      EXPECT_EQ(e.Message(), std::string(c.failure) + " - URL:" + c.url + " - SOAPAction:\"\"");
    }
    EXPECT_EQ(c.server.RequestCount(), before);
  }
}

TEST_F(HTTPTransportTest, GetDocument) {
  THTTPReqResp empty(&owner);
  ESOAPHTTPException e = CatchHTTP([&] {
    TMemoryStream s;
    empty.GetDocument(s);
  });
  EXPECT_EQ(e.Message(), "No URL was specified for 'GET'");

  server.Enqueue(HttpResponse::With(200, "OK", "text/html", "<html/>"));
  server.Enqueue(HttpResponse::With(200, "OK", "text/plain", "plain"));
  TMemoryStream first, second;
  http->GetDocument(first);  // a GET takes any content type
  http->GetDocument(second);
  EXPECT_EQ(first.DataString(), "<html/>");
  EXPECT_EQ(second.DataString(), "plain");
  std::vector<HttpRequestRecord> r = server.Requests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].Method, "GET");
  EXPECT_EQ(r[0].Body, "");
  std::vector<std::string> names = r[0].HeaderNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Accept", "Host", "User-Agent"}));
  EXPECT_EQ(r[0].Header("Accept"), "*/*");
  EXPECT_NE(r[1].Connection, r[0].Connection);  // dropped after each document

  server.Enqueue(HttpResponse::NotFound());
  TMemoryStream third;
  EXPECT_EQ(CatchHTTP([&] { http->GetDocument(third); }).StatusCode(), 404);
}

TEST_F(HTTPTransportTest, StreamLoader) {
  TIntfPtr<IStreamLoader> loader = IntfCast<IStreamLoader>(static_cast<IStreamLoader*>(new TStreamLoader()));
  server.Enqueue(HttpResponse::With(200, "OK", "text/xml", "<definitions/>"));
  loader->SetUserName("bob");
  loader->SetPassword("pw");
  loader->SetTimeout(2000);
  TMemoryStream doc;
  loader->Load("  HTTP://127.0.0.1:" + std::to_string(server.Port()) + "/svc?wsdl  ", doc);
  EXPECT_EQ(doc.DataString(), "<definitions/>");
  EXPECT_EQ(server.Request(0).Target, "/svc?wsdl");
  EXPECT_EQ(server.Request(0).Header("Authorization"), "Basic Ym9iOnB3");
  EXPECT_EQ(THTTPReqResp::ProcessTimeouts().Receive, 2000);

  char path[] = "/tmp/zelk-loader-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "local file", 10), 10);
  close(fd);
  TMemoryStream local;
  loader->Load(std::string(" ") + path + " ", local);
  EXPECT_EQ(local.DataString(), "local file");
  unlink(path);
}

TEST_F(HTTPTransportTest, UDDIFallback) {
  struct Case {
    const char* name;
    bool armed;
    int firstStatus;
    std::string answer;  // the lookup's answer; "throw" raises
    bool secondFails;
    int expectedStatus;  // -1: the call succeeds
  } cases[] = {
      {"new access point", true, 404, "/moved", false, -1},
      {"gone, 410", true, 410, "/moved", false, -1},
      {"405", true, 405, "/moved", false, -1},
      {"not a lookup status", true, 403, "/moved", false, 403},
      {"lookup yields nothing", true, 404, "", false, 0},
      {"lookup fails", true, 404, "throw", false, 0},
      {"same access point", true, 404, "/soap", false, 0},
      {"asked only once", true, 404, "/moved", true, 404},
      {"not armed", false, 404, "/moved", false, 404},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    http->SetURL(server.Url("/soap"));
    http->SetUDDIOperator(c.armed ? "http://127.0.0.1:1/inquire" : "");
    http->SetUDDIBindingKey(u"uuid:binding");
    int lookups = 0;
    http->SetUDDILookup([&](const std::string& op, const WideString& key) -> std::string {
      ++lookups;
      EXPECT_EQ(op, "http://127.0.0.1:1/inquire");
      EXPECT_EQ(key, u"uuid:binding");
      if (c.answer == "throw") throw ESOAPHTTPException("registry down");
      return c.answer.empty() ? "" : server.Url(c.answer);
    });
    server.Enqueue(HttpResponse::With(c.firstStatus, "Gone Away", "text/html", "x"));
    if (c.secondFails) server.Enqueue(HttpResponse::NotFound());
    if (c.expectedStatus < 0) {
      EXPECT_EQ(Post("<x/>"), "<ok/>");
      EXPECT_EQ(http->URL(), server.Url(c.answer));
      EXPECT_EQ(server.Requests().back().Target, c.answer);
    } else {
      ESOAPHTTPException e = CatchHTTP([&] { Post("<x/>"); });
      EXPECT_EQ(e.StatusCode(), c.expectedStatus);
      EXPECT_EQ(e.Message().substr(0, 9), c.expectedStatus == 404 && c.secondFails ? "Not Found" : "Gone Away");
    }
    EXPECT_EQ(lookups, c.armed && c.firstStatus != 403 ? 1 : 0);
  }
}

// A description view with a fixed endpoint.
class FakeView : public TWSDLView {
 public:
  std::string endpoint;
  std::string user;
  std::string Service() const override { return "ZelkService"; }
  std::string Port() const override { return "ZelkPort"; }
  std::string WSDLFileName() const override { return "zelk.wsdl"; }
  std::string EndpointURL() override { return endpoint; }
  std::string SoapAction(const std::string& op) override { return "urn:view#" + op; }
  void SetUserName(const std::string& u) override { user = u; }
  void SetPassword(const std::string&) override {}
  void SetProxy(const std::string&) override {}
};

// Records the header lines of the envelope's part.
class FakeMimeHandler : public IMimeAttachmentHandler {
 public:
  std::vector<std::string> lines;
  HRESULT QueryInterface(const TGUID&, void** obj) override {
    *obj = nullptr;
    return E_NOINTERFACE;
  }
  int32_t _AddRef() override { return 1; }
  int32_t _Release() override { return 1; }
  void CreateMimeStream(TStream&, const TSoapDataList&) override {}
  void AddSoapHeader(const std::string& line) override { lines.push_back(line); }
  TStream& GetMIMEStream() override { return stream; }
  std::string GetMIMEBoundary() override { return "MIMEBoundary42"; }
  void SetMIMEBoundary(const std::string&) override {}
  void ProcessMultiPartForm(TStream&, TStream&, const std::string&, TSoapDataList&, const std::string&) override {}
  TMemoryStream stream;
};

class HTTPPrepareCallTest : public HTTPTransportTest {
 protected:
  static void SetUpTestSuite() {
    TInvokableClassRegistry* inv = GetInvokableRegistry();
    inv->AddInterface(TypeInfo<ITransportProbe>(), u"urn:probe");
    inv->SetDefaultSoapAction(TypeInfo<ITransportProbe>(), "urn:probe/%operationName%");
    inv->AddInterface(TypeInfo<ITransportPlain>(), u"urn:plain");
  }
  TIntfMetaData Meta(PTypeInfo info) {
    TIntfMetaData md;
    md.Info = info;
    return md;
  }
  static TIntfMethEntry Ping() {
    TIntfMethEntry e;
    e.Name = "ping";
    return e;
  }
  TIntfMethEntry me = Ping();
};

TEST_F(HTTPPrepareCallTest, ActionFromTheRegistry) {
  http->PrepareCall(Meta(TypeInfo<ITransportProbe>()), me, 0, nullptr);
  EXPECT_EQ(http->SoapAction(), "urn:probe/ping");
  http->PrepareCall(Meta(TypeInfo<ITransportPlain>()), me, 0, nullptr);
  EXPECT_EQ(http->SoapAction(), "urn:plain#ping");
  Post("<x/>");
  EXPECT_EQ(server.Request(0).Header("SOAPAction"), "\"urn:plain#ping\"");
}

TEST_F(HTTPPrepareCallTest, EndpointFromTheDescription) {
  THTTPReqResp t(&owner);
  ESOAPHTTPException e = CatchHTTP([&] { t.PrepareCall(Meta(TypeInfo<ITransportProbe>()), me, 0, nullptr); });
  EXPECT_EQ(e.Message(),
            "No WSDL or URL property was set in the THTTPRIO component. You must set the WSDL or URL property "
            "before invoking the Web Service");

  FakeView view;
  t.SetWSDLView(&view);
  t.SetUserName("carol");
  EXPECT_EQ(view.user, "carol");
  e = CatchHTTP([&] { t.PrepareCall(Meta(TypeInfo<ITransportProbe>()), me, 0, nullptr); });
  EXPECT_EQ(e.Message(), "Unable to retrieve the URL endpoint for Service/Port 'ZelkService'/'ZelkPort' from WSDL 'zelk.wsdl'");

  view.endpoint = server.Url("/from-wsdl");
  t.PrepareCall(Meta(TypeInfo<ITransportProbe>()), me, 0, nullptr);
  EXPECT_EQ(t.URL(), view.endpoint);
  EXPECT_EQ(t.SoapAction(), "urn:view#ping");
  Post("<x/>", &t);
  EXPECT_EQ(server.Request(0).Target, "/from-wsdl");
}

TEST_F(HTTPPrepareCallTest, MimeBinding) {
  FakeMimeHandler handler;
  http->PrepareCall(Meta(TypeInfo<ITransportProbe>()), me, 0, &handler);
  EXPECT_EQ(handler.lines, (std::vector<std::string>{"Content-Type: text/xml; charset=\"utf-8\"",
                                                     "SOAPAction: \"urn:probe/ping\""}));
  EXPECT_EQ(http->GetMimeBoundary(), "MIMEBoundary42");
  Post("--MIMEBoundary42--");
  HttpRequestRecord r = server.Request(0);
  EXPECT_EQ(r.Header("Content-Type"), "multipart/related; boundary=MIMEBoundary42");
  EXPECT_EQ(r.Header("MIME-Version"), "1.0");
  EXPECT_EQ(r.Header("SOAPAction"), "\"urn:probe/ping\"");

  http->PrepareCall(Meta(TypeInfo<ITransportProbe>()), me, 0, nullptr);  // back to plain SOAP
  Post("<x/>");
  EXPECT_EQ(server.Request(1).Header("Content-Type"), "text/xml; charset=\"utf-8\"");
  EXPECT_FALSE(server.Request(1).HasHeader("MIME-Version"));
}

TEST(HTTPReqRespLifetime, OwnedIgnoresReleasesUnownedDiesWithItsLastReference) {
  TComponent owner;
  auto* owned = new THTTPReqResp(&owner);
  { TIntfPtr<IWebNode> ref = Supports<IWebNode>(static_cast<IWebNode*>(owned)); }
  owned->SetSoapAction("still alive");  // a sanitizer build catches a premature delete
  EXPECT_EQ(owned->SoapAction(), "still alive");

  auto* unowned = new THTTPReqResp();
  TIntfPtr<IHTTPReqResp> access = Supports<IHTTPReqResp>(static_cast<IWebNode*>(unowned));
  ASSERT_TRUE(access);
  EXPECT_EQ(access->GetHTTPReqResp(), unowned);
  TIntfPtr<IWebNode> node = Supports<IWebNode>(static_cast<IWebNode*>(unowned));
  access.Reset();
  node.Reset();  // the last reference: a leak checker reports the object if it survives
}

}  // namespace
