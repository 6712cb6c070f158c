// A small SMTP server on loopback for tests of SMTP clients.
//
// It listens on 127.0.0.1 (or ::1) on an ephemeral port and serves one connection after the
// other. By default it answers like a willing server (EHLO with its extensions, AUTH LOGIN,
// MAIL, RCPT, DATA, STARTTLS when offered); rules replace the answer to commands that begin
// with a given text, and can misbehave: a reply split across writes, a stall, a drop in the
// middle of DATA, a closed connection. Everything a client sends is recorded: the bytes as they
// came (and those that came before TLS), the command lines and the message after DATA.
//
//   SmtpTestServer server;
//   server.AddRule("RCPT TO:<bob@", SmtpReply::Text("550 5.1.1 No such user\r\n"));
//   ... a client sends to 127.0.0.1:server.Port() ...
//   EXPECT_EQ(server.Session(0).Commands[0], "EHLO host");
//
// Recording happens before the answer is sent. The destructor stops the server promptly,
// cutting stalls short.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One answer of the server.
struct SmtpReply {
  enum class Action {
    Send,        // Pieces, one write each, PieceDelayMs apart
    Stall,       // nothing, until the client goes away or the server stops
    Close,       // close the connection without an answer
    DropInData,  // (for DATA) "354", then read DropAfterBytes of the message and close
  };
  Action Mode = Action::Send;
  std::vector<std::string> Pieces;
  int PieceDelayMs = 20;
  size_t DropAfterBytes = 0;

  static SmtpReply Text(std::string text);
  // The same bytes in several writes, cut at the given offsets.
  static SmtpReply Split(const std::string& text, std::vector<size_t> cuts, int delayMs = 20);
  static SmtpReply Stall();
  static SmtpReply Close();
  static SmtpReply DropInData(size_t afterBytes);
};

struct SmtpServerOptions {
  bool Ipv6 = false;
  // Offers STARTTLS (when not yet in TLS) with a certificate for "localhost", 127.0.0.1 and ::1
  // made when the server starts; CertificateFile() names it for SSL_CERT_FILE.
  bool OfferStartTls = false;
  bool ImplicitTls = false;  // TLS from the first byte, as on port 465
  bool OfferAuth = true;     // "AUTH LOGIN" among the EHLO extensions
  // The names the certificate is good for (OpenSSL's subjectAltName syntax).
  std::string CertificateNames = "DNS:localhost,IP:127.0.0.1,IP:::1";
  // Off: the message bytes are read and dropped (Raw and the message fields stay empty), for
  // large deliveries in benchmarks.
  bool KeepMessages = true;
  std::string Greeting = "220 smtp.test ESMTP ready\r\n";
};

// One connection as the server saw it.
struct SmtpSessionRecord {
  std::string Raw;          // every byte received (after TLS decryption)
  std::string ClearBytes;   // the bytes received before TLS began (all of Raw without TLS)
  std::vector<std::string> Commands;  // command lines without CR LF, DATA contents excluded
  std::string Data;         // the bytes after DATA as sent, up to and including the "." line
  std::string Message;      // Data without the "." line and with the dot rule undone
  bool Tls = false;
  bool Completed = false;   // the message was accepted
};

class SmtpTestServer {
 public:
  // Raises std::runtime_error when the socket or TLS cannot be set up.
  explicit SmtpTestServer(const SmtpServerOptions& options = {});
  ~SmtpTestServer();
  SmtpTestServer(const SmtpTestServer&) = delete;
  SmtpTestServer& operator=(const SmtpTestServer&) = delete;

  int Port() const;
  std::string CertificateFile() const;  // empty without TLS

  // Commands that begin with `prefix` (compared without case) get `reply`; the latest rule
  // added wins. Rules with `session` apply only to that connection (0 for the first). The
  // prefix "." answers the end of a message.
  void AddRule(std::string prefix, SmtpReply reply, int session = -1);
  void SetGreeting(SmtpReply reply);

  std::vector<SmtpSessionRecord> Sessions() const;
  SmtpSessionRecord Session(size_t index) const;  // raises std::out_of_range
  size_t SessionCount() const;

  struct State;  // shared with the serving thread

 private:
  std::shared_ptr<State> state_;
};
