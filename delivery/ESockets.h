// E-mail delivery: the route choice, the SMTP client and the small socket class under it.
//
// The socket is non-blocking underneath; every wait is bounded by the step timeout, by the
// session's overall deadline and by the cancel request of the progress window. Replies are read
// as SMTP lines (a reply ends with its last "ddd " line), never by waiting for quiet. TLS is
// used when the server offers STARTTLS, and from the start on port 465; the certificate and
// the host name are checked against the system's store (SSL_CERT_FILE and SSL_CERT_DIR are
// honoured).
//
// The logs shown in warnings hold what was sent and received, except the credentials and the
// message itself, which appear as placeholders.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "delivery/EDelivery.h"
#include "delivery/ESocketsError.h"
#include "delivery/ESocketsMime.h"

// Set to "1" to allow a login in clear text to a server other than loopback that offers no
// STARTTLS. Without it such a session fails before the credentials are sent.
inline constexpr const char* kAllowPlainAuthVariable = "TARVEX_SMTP_ALLOW_PLAIN_AUTH";

// One TCP (or UDP) client connection.
class TTarvexClientSocket {
 public:
  using TErrorCallback = std::function<void(const std::string& fullText)>;
  using TSentCallback = std::function<void(uint64_t sent, uint64_t total)>;
  using TClock = std::chrono::steady_clock;

  TTarvexClientSocket(std::string host, int timeoutMs, bool stream, uint16_t port);
  virtual ~TTarvexClientSocket();
  TTarvexClientSocket(const TTarvexClientSocket&) = delete;
  TTarvexClientSocket& operator=(const TTarvexClientSocket&) = delete;

  // Resolves the host (IPv6 and IPv4, each address in turn) and connects. A name that does not
  // resolve fails.
  virtual void Connect();
  // Closes the connection and clears both logs.
  virtual void Disconnect();

  // Sends all of it (in pieces of at most 1024 bytes for the progress callback). `logAs`, when
  // given, stands in the socket log for what was sent.
  void SendBuffer(const void* data, size_t size, const std::string* logAs = nullptr);
  void SendText(std::string_view text, const std::string* logAs = nullptr);
  // What has arrived, without waiting; empty when nothing.
  std::string ReadAvailable();
  // Waits up to the timeout for something to arrive; may return empty.
  std::string ReadResponse();
  // As ReadResponse, but raises "Socket timeout." when nothing arrived.
  std::string ReadResponseOrFail();

  // Wraps the connection in TLS, checking the certificate against the host name (or address).
  void StartTls();
  bool Secure() const;
  // The connected peer is this machine (127.0.0.0/8, ::1).
  bool PeerIsLoopback() const;

  const std::string& Host() const { return host_; }
  uint16_t Port() const { return port_; }
  bool Connected() const { return fd_ >= 0; }
  const std::string& SocketLog() const { return socketLog_; }
  const std::string& ErrorLog() const { return errorLog_; }
  void SetQuietErrors(bool quiet) { quietErrors_ = quiet; }
  void SetErrorCallback(TErrorCallback callback) { onError_ = std::move(callback); }
  void SetSentCallback(TSentCallback callback) { onSent_ = std::move(callback); }
  // No wait goes past this point, whatever the step timeout.
  void SetDeadline(TClock::time_point deadline) { deadline_ = deadline; }

  // Raises ETarvexSocketError (EAbort with quiet errors) with the text and the logs.
  [[noreturn]] void RaiseError(const std::string& text);

 protected:
  // Receives into `out` what is there; false when nothing came before the wait ended (the
  // step timeout, or `until` when earlier). Raises on a closed connection.
  bool Receive(std::string& out, TClock::time_point until);
  void AppendSocketLog(std::string_view text);
  TClock::time_point StepDeadline() const;

  std::string host_;
  uint16_t port_;
  int timeoutMs_;
  bool stream_;
  int fd_ = -1;
  std::string socketLog_;
  std::string errorLog_;
  bool quietErrors_ = false;
  TErrorCallback onError_;
  TSentCallback onSent_;
  TClock::time_point deadline_ = TClock::time_point::max();

 private:
  enum class TWait { Read, Write };
  // Waits until the socket can go on; false when `until` (or the deadline) came first. A
  // cancel raises EAbort.
  bool Wait(TWait what, TClock::time_point until);

  struct TTls;
  std::unique_ptr<TTls> tls_;
  bool peerLoopback_ = false;
};

// The SMTP client: its Connect expects the greeting (220).
class TTarvexClientSMTP : public TTarvexClientSocket {
 public:
  TTarvexClientSMTP(std::string host, int timeoutMs, uint16_t port);

  void Connect() override;
  void Disconnect() override;
  // Sends the command (CR LF added when missing) and reads the reply; raises with the socket log
  // when its code is not accepted. Returns the reply's code. `logAs` stands in the log for the
  // command (credentials).
  int Command(std::string_view text, std::initializer_list<int> accepted, const std::string* logAs = nullptr);
  // Reads one whole reply (all its lines); raises "Socket timeout." when it does not come.
  std::string ReadReply();
  // The last reply as read.
  const std::string& LastReply() const { return lastReply_; }
  // TLS from the first byte; on by default for port 465.
  void SetImplicitTls(bool on) { implicitTls_ = on; }

 private:
  bool implicitTls_;
  std::string pending_;  // received past the end of the last reply
  std::string lastReply_;
};

// The leading decimal digits of a reply; -1 without any.
int SmtpReplyCode(std::string_view reply);
// The keywords of an EHLO reply (upper case), e.g. "STARTTLS", "AUTH LOGIN PLAIN".
std::vector<std::string> SmtpExtensions(std::string_view ehloReply);

// An address usable in MAIL FROM / RCPT TO: not empty, no control characters, blanks or angle
// brackets.
bool ValidMailAddress(std::string_view address);
// The recipients split at "," and ";", each trimmed of blanks; empty ones dropped.
std::vector<std::string> SplitRecipients(std::string_view recipients);

// One SMTP delivery, each recipient in a session of its own.
struct TSmtpMail {
  bool Direct = false;     // to each recipient's mail exchanger, port 25, no login
  std::string Sender;      // SmtpSender
  std::string Host;
  uint16_t Port = 25;
  std::string User;
  std::string Password;
  std::string Recipients;  // separated by "," or ";"
  std::string Subject;     // final texts: %NAME% references already expanded
  std::string Body;
  std::vector<TMailAttachment> Attachments;
  const TTarvexModuleOptions* Texts = nullptr;  // the step texts; null: the default texts
};
// True when at least one recipient's session succeeded. Each failure is reported as the
// warning eeEmailSMTPError (section "SMTP"); a cancel ends the delivery without a warning.
bool SendSmtpMail(const TSmtpMail& mail);

// The From value for SmtpSender: as it is when it holds a double quote or "<", else the user's
// full name (or login name) in quotes with the address; and the envelope sender taken of it.
std::string SmtpFromValue(std::string_view sender);
std::string SmtpEnvelopeSender(std::string_view fromValue);

// The progress window's cancel: the running delivery stops at its next wait. Cleared (false)
// when a delivery starts.
void CancelEmailSending(bool cancel = true);
bool EmailSendingCancelled();

// Test hooks: the step timeout and the overall limit of one session (milliseconds; 0 restores
// the defaults of 30 s and 10 min), and the port of direct delivery (0 restores 25).
void SetSmtpTimeouts(int stepMs, int sessionMs);
void SetSmtpDirectPort(uint16_t port);
// Test hook: loopback servers are treated like remote ones by the clear-text login rule.
void SetSmtpLoopbackCountsAsRemote(bool remote);
