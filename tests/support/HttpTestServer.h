// A small HTTP/1.1 server on loopback for tests of HTTP clients.
//
// It listens on 127.0.0.1 (or ::1) on an ephemeral port, plain or with TLS, serves each connection on its own
// thread with keep-alive, records every request it reads (method, target, headers in the order
// received, body, and which connection it came on) and answers with scripted responses: the
// queued ones in order, then the default one. A response can also misbehave (stall, drop the
// connection mid-body, close without an answer, send raw bytes) to test failure paths.
//
//   HttpTestServer server;
//   server.Enqueue(HttpResponse::NotFound());
//   server.Enqueue(HttpResponse::Xml("<ok/>"));
//   client.Post(server.Url("/svc"), ...);
//   HttpRequestRecord r = server.Request(0);
//   EXPECT_EQ(r.Header("SOAPAction"), "\"\"");
//
// Recording happens before the answer is sent, so once a client call has returned, the
// request it made is visible. The destructor stops the server promptly, cutting stalls short.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using HttpHeaderList = std::vector<std::pair<std::string, std::string>>;

// One request as the server read it.
struct HttpRequestRecord {
  std::string Method;
  std::string Target;   // the request target as sent ("/path?q", or an absolute URL via a proxy)
  std::string Version;  // "HTTP/1.1"
  HttpHeaderList Headers;  // names as sent, in order; values without surrounding blanks
  std::string Body;        // decoded when the request came chunked
  int Connection = 0;      // 0 for the first accepted connection, 1 for the next, ...

  // The first value of a header (name compared without regard to case); empty when absent.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
  // The header names in the order received.
  std::vector<std::string> HeaderNames() const;
};

// What the server does with one request.
struct HttpResponse {
  enum class Behaviour {
    Normal,             // status line, headers (Content-Length added unless given), body
    Chunked,            // body in chunked transfer encoding, in pieces of ChunkSize
    StallAfterHeaders,  // headers, then StallMs of silence, then the body
    DropMidBody,        // headers announcing the whole body, half the body, then close
    CloseWithoutAnswer, // close the connection as soon as the request is read
    Raw,                // send Body as it is (no status line or headers), then close
    Repeat,             // headers (chunked unless Headers has Content-Length), then Body over and
                        // over until RepeatBytes are sent or the client goes away, then close
  };

  int Status = 200;
  std::string Reason = "OK";
  HttpHeaderList Headers;
  std::string Body;
  Behaviour Mode = Behaviour::Normal;
  int StallMs = 0;         // StallAfterHeaders
  int DelayMs = 0;         // silence before anything is sent, in every mode
  size_t ChunkSize = 1024; // Chunked
  size_t RepeatBytes = 0;  // Repeat: the body's length; nothing of that size is ever held
  bool Close = false;      // close the connection after this answer (adds "Connection: close")

  // 200 with Content-Type "text/xml; charset=utf-8".
  static HttpResponse Xml(std::string body, int status = 200, std::string reason = "OK");
  // A response with the given status, reason, Content-Type and body.
  static HttpResponse With(int status, std::string reason, std::string contentType, std::string body);
  static HttpResponse NotFound();
};

struct HttpTestServerOptions {
  bool Ipv6 = false;  // listen on ::1 instead of 127.0.0.1
  bool Tls = false;   // https with a self-signed certificate for "localhost" that no client trusts
  bool Record = true; // keep every request; a long-running responder turns it off
};

class HttpTestServer {
 public:
  // Computes the answer to a request; replaces the queue and the default when set.
  using Handler = std::function<HttpResponse(const HttpRequestRecord&)>;

  // Binds 127.0.0.1 (or ::1) on an ephemeral port and starts serving. Raises std::runtime_error
  // when the socket or TLS cannot be set up.
  explicit HttpTestServer(const HttpTestServerOptions& options = {});
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  // Whether this build can serve TLS (OpenSSL was found); tests of https skip otherwise.
  static bool TlsAvailable();

  int Port() const;
  // The server's certificate in PEM (empty without TLS): a client that takes it as its CA file
  // trusts the server under "localhost" and 127.0.0.1.
  std::string CertificatePem() const;
  // "http://127.0.0.1:PORT" + path ("https://" with TLS, "[::1]" with IPv6).
  std::string Url(std::string_view path = "/") const;
  // "127.0.0.1:PORT", for proxy settings.
  std::string HostPort() const;

  // Answers the next requests in order; after the queue, the default (200, empty XML body).
  void Enqueue(HttpResponse response);
  void SetDefault(HttpResponse response);
  void SetHandler(Handler handler);

  std::vector<HttpRequestRecord> Requests() const;
  HttpRequestRecord Request(size_t index) const;  // raises std::out_of_range
  size_t RequestCount() const;
  int ConnectionCount() const;
  void ClearRequests();

 private:
  struct State;
  std::shared_ptr<State> state_;
};
