// The SMTP route against the loopback SMTP server: the dialogue with and without login and TLS,
// what arrives, the recipients one by one, the failures with their warnings, cancel, and
// direct delivery through the DNS test server.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "delivery/ESockets.h"
#include "delivery/ESocketsDns.h"
#include "reporting/options/EPaths.h"
#include "reporting/options/ETextVars.h"
#include "tests/support/DnsTestServer.h"
#include "tests/support/SmtpTestServer.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

const std::string kBoundaryEnd = "\r\n--=_xcjvnxkbhvfkxzhfdbvzldjhfv--\r\n";

class RecordingUi final : public IExceptionUi {
 public:
  void ShowExceptionDialog(const TTarvexExceptionRecord&, TDialogKind, bool, bool, TDialogState&) override {}
  void ShowReproduceRequest(TTarvexModuleOptions&) override {}
  bool DialogOnScreen() const override { return false; }
  void ShowSendDialog(const TTarvexModuleOptions&, bool modal) override { Add(modal ? "show modal" : "show"); }
  void SetSendDialogMessageStep(const std::string& text, int current, int total) override {
    Add(std::to_string(current) + "/" + std::to_string(total) + " " + text);
  }
  void SetSendDialogPosition(int percent) override {
    std::lock_guard lock(mutex_);
    positions_.push_back(percent);
  }
  void CloseSendDialog() override { Add("close"); }
  bool SendDialogCancelled() override { return WindowClosed; }
  std::atomic<bool> WindowClosed{false};  // the user closed the progress window

  std::vector<std::string> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::vector<int> Positions() const {
    std::lock_guard lock(mutex_);
    return positions_;
  }

 private:
  void Add(std::string e) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(e));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
  std::vector<int> positions_;
};

class SmtpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_ = std::make_shared<RecordingUi>();
    SetExceptionUi(ui_);
    ClearWarning();
    CancelEmailSending(false);
    SetSmtpTimeouts(3000, 20000);
  }
  void TearDown() override {
    SetExceptionUi(nullptr);
    SetSmtpTimeouts(0, 0);
    SetSmtpLoopbackCountsAsRemote(false);
    CancelEmailSending(false);
    ClearWarning();
  }
  static TSmtpMail Mail(const SmtpTestServer& server) {
    TSmtpMail m;
    m.Host = "127.0.0.1";
    m.Port = static_cast<uint16_t>(server.Port());
    m.Sender = "reports@example.com";
    m.Recipients = "support@example.com";
    m.Subject = "Bug report";
    m.Body = "Body text";
    return m;
  }
  std::shared_ptr<RecordingUi> ui_;
};

// Commands with the machine's name left out of EHLO and HELO.
std::vector<std::string> Verbs(const SmtpSessionRecord& r) {
  std::vector<std::string> out;
  for (const std::string& c : r.Commands) out.push_back(c.rfind("EHLO ", 0) == 0 || c.rfind("HELO ", 0) == 0 ? c.substr(0, 4) : c);
  return out;
}

// The text part of a received message without attachments.
std::string TextPart(const std::string& message) {
  std::string head = "Content-Transfer-Encoding: 7bit\r\n\r\n";
  size_t start = message.find(head);
  if (start == std::string::npos || message.size() < kBoundaryEnd.size()) return "<no text part>";
  start += head.size();
  size_t end = message.size() - kBoundaryEnd.size();
  if (message.compare(end, kBoundaryEnd.size(), kBoundaryEnd) != 0) return "<no end>";
  return message.substr(start, end - start);
}

int ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  close(fd);
  return ntohs(a.sin_port);
}

const std::string kUser = "user", kUser64 = "dXNlcg==";
const std::string kPassword = "s3cret!", kPassword64 = "czNjcmV0IQ==";

TEST_F(SmtpTest, DialogueForEachKindOfLogin) {
  const std::string ehloWithTls = "250-smtp.test\r\n250-AUTH LOGIN\r\n250-STARTTLS\r\n250 8BITMIME\r\n";
  struct Case {
    const char* Name;
    SmtpServerOptions Options;
    std::vector<std::pair<std::string, SmtpReply>> Rules;
    std::string Host;
    bool Login;
    bool AllowPlain;
    std::vector<std::string> Expected;
    bool Tls;
  };
  SmtpServerOptions plain;
  SmtpServerOptions tls;
  tls.OfferStartTls = true;
  SmtpServerOptions ipv6;
  ipv6.Ipv6 = true;
  const std::vector<std::string> noLogin = {"EHLO", "RSET", "MAIL FROM:<reports@example.com>",
                                            "RCPT TO:<support@example.com>", "DATA"};
  const std::vector<std::string> login = {"EHLO", "RSET", "AUTH LOGIN", kUser64, kPassword64,
                                          "MAIL FROM:<reports@example.com>", "RCPT TO:<support@example.com>",
                                          "DATA"};
  std::vector<std::string> tlsLogin = login;
  tlsLogin.insert(tlsLogin.begin() + 1, {"STARTTLS", "EHLO"});
  const Case cases[] = {
      {"no login", plain, {}, "127.0.0.1", false, false, noLogin, false},
      {"no login over IPv6", ipv6, {}, "::1", false, false, noLogin, false},
      {"no login, EHLO unknown", plain, {{"EHLO", SmtpReply::Text("502 5.5.2 What?\r\n")}}, "127.0.0.1", false, false,
       {"EHLO", "HELO", "RSET", "MAIL FROM:<reports@example.com>", "RCPT TO:<support@example.com>", "DATA"}, false},
      {"login with STARTTLS, EHLO split across writes", tls,
       {{"EHLO", SmtpReply::Split(ehloWithTls, {7, 20, 41})}}, "localhost", true, false, tlsLogin, true},
      {"login without TLS to loopback", plain, {}, "127.0.0.1", true, false, login, false},
      {"login without TLS, allowed by the environment", plain, {}, "127.0.0.1", true, true, login, false},
      {"AUTH refused", plain, {{"AUTH", SmtpReply::Text("502 5.5.1 Not implemented\r\n")}}, "127.0.0.1", true, false,
       {"EHLO", "RSET", "AUTH LOGIN", "MAIL FROM:<reports@example.com>", "RCPT TO:<support@example.com>", "DATA"},
       false},
      {"user name refused", plain, {{kUser64, SmtpReply::Text("500 5.5.2 Bad\r\n")}}, "127.0.0.1", true, false,
       {"EHLO", "RSET", "AUTH LOGIN", kUser64, "MAIL FROM:<reports@example.com>", "RCPT TO:<support@example.com>",
        "DATA"},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ClearWarning();
    SmtpTestServer server(c.Options);
    for (const auto& [prefix, reply] : c.Rules) server.AddRule(prefix, reply);
    ScopedEnv cert("SSL_CERT_FILE", server.CertificateFile().c_str());
    // A remote-looking server proves that the environment, not loopback, allowed the login.
    SetSmtpLoopbackCountsAsRemote(c.AllowPlain);
    ScopedEnv allow(kAllowPlainAuthVariable, c.AllowPlain ? "1" : "");
    TSmtpMail mail = Mail(server);
    mail.Host = c.Host;
    if (c.Login) {
      mail.User = kUser;
      mail.Password = kPassword;
    }
    EXPECT_TRUE(SendSmtpMail(mail)) << LastWarningText();
    SetSmtpLoopbackCountsAsRemote(false);
    ASSERT_EQ(server.SessionCount(), 1u);
    SmtpSessionRecord r = server.Session(0);
    EXPECT_EQ(Verbs(r), c.Expected);
    EXPECT_EQ(r.Tls, c.Tls);
    EXPECT_TRUE(r.Completed);
    EXPECT_EQ(TextPart(r.Message), "Body text");
    if (c.Tls) {
      EXPECT_EQ(r.ClearBytes.find("AUTH"), std::string::npos);
      EXPECT_EQ(r.ClearBytes.find("Body text"), std::string::npos);
    }
  }
}

TEST_F(SmtpTest, ProgressStepsAndBar) {
  SmtpTestServer server;
  EXPECT_TRUE(SendSmtpMail(Mail(server)));
  EXPECT_EQ(ui_->Events(), (std::vector<std::string>{"1/1 Connecting with server...", "1/1 Connected with server.",
                                                     "1/1 Sending message..."}));
  std::vector<int> positions = ui_->Positions();
  ASSERT_FALSE(positions.empty());
  EXPECT_EQ(positions.front(), 0);
  EXPECT_EQ(positions.back(), 100);
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
}

TEST_F(SmtpTest, BodiesWithDotsArriveUnchanged) {
  SmtpTestServer server;
  for (std::string body : {".", "\r\n.\r\n", "\n.\n", "..", "a\n.\nb", ".\r\n", "..\r\n...", "\r.\r"}) {
    SCOPED_TRACE(::testing::PrintToString(body));
    size_t index = server.SessionCount();
    TSmtpMail mail = Mail(server);
    mail.Body = body;
    ASSERT_TRUE(SendSmtpMail(mail)) << LastWarningText();
    EXPECT_EQ(TextPart(server.Session(index).Message), NormalizeLineBreaks(body));
  }
}

TEST_F(SmtpTest, LargeAttachmentArrivesWhole) {
  std::string folder = (fs::temp_directory_path() / ("smtp-attach-" + std::to_string(getpid()))).string();
  fs::create_directories(folder);
  std::string path = folder + "/BugReport.zip";
  std::string content(300000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 % 251);
  std::ofstream(path, std::ios::binary) << content;
  SmtpTestServer server;
  TSmtpMail mail = Mail(server);
  mail.Attachments = {{path, "BugReport.zip"}};
  EXPECT_TRUE(SendSmtpMail(mail)) << LastWarningText();
  TMailMessage expected;
  expected.Attachments = mail.Attachments;
  std::string built = BuildMailMessage(expected);
  std::string tail = built.substr(built.find("--=_xcjvnxkbhvfkxzhfdbvzldjhfv\r\nContent-Type: application"));
  std::string message = server.Session(0).Message;
  ASSERT_GE(message.size(), tail.size());
  // The message source ends with the "." line, which the server strips.
  EXPECT_EQ(message.substr(message.size() - (tail.size() - 3)), tail.substr(0, tail.size() - 3));
  fs::remove_all(folder);
}

TEST_F(SmtpTest, MiddleRecipientRefused) {
  SmtpTestServer server;
  server.AddRule("RCPT TO:<b@", SmtpReply::Text("550 5.1.1 No such user\r\n"));
  TSmtpMail mail = Mail(server);
  mail.Recipients = "a@example.com, b@example.com;c@example.com";
  EXPECT_TRUE(SendSmtpMail(mail));
  ASSERT_EQ(server.SessionCount(), 3u);
  EXPECT_TRUE(server.Session(0).Completed);
  EXPECT_FALSE(server.Session(1).Completed);
  EXPECT_TRUE(server.Session(2).Completed);
  EXPECT_EQ(server.Session(2).Commands.back(), "DATA");
  EXPECT_EQ(LastWarningCode(), eeEmailSMTPError);
  EXPECT_NE(LastWarningText().find("550 5.1.1 No such user"), std::string::npos);
  std::vector<std::string> events = ui_->Events();
  for (const char* step : {"1/3 Connecting with server...", "2/3 Sending message...", "3/3 Sending message..."})
    EXPECT_NE(std::find(events.begin(), events.end(), step), events.end()) << step;
}

TEST_F(SmtpTest, AllRefusedGivesRedactedWarning) {
  SmtpTestServer server;
  server.AddRule("RCPT", SmtpReply::Text("550 5.7.1 Relaying denied\r\n"));
  TSmtpMail mail = Mail(server);
  mail.Recipients = "a@example.com;b@example.com";
  mail.User = kUser;
  mail.Password = kPassword;
  mail.Body = "SECRET-BODY";
  EXPECT_FALSE(SendSmtpMail(mail));
  EXPECT_EQ(server.SessionCount(), 2u);
  EXPECT_EQ(LastWarningCode(), eeEmailSMTPError);
  std::string warning = LastWarningText();
  EXPECT_EQ(warning.rfind("[SMTP] ", 0), 0u) << warning;
  EXPECT_NE(warning.find("550 5.7.1 Relaying denied"), std::string::npos) << warning;
  EXPECT_NE(warning.find("[password]"), std::string::npos) << warning;
  EXPECT_EQ(warning.find(kPassword64), std::string::npos) << warning;
  EXPECT_EQ(warning.find(kUser64), std::string::npos) << warning;
  EXPECT_LE(warning.size(), std::string("[SMTP] ").size() + 1024 + 3);
}

// The overall limit holds even when every single step is quick enough.
TEST_F(SmtpTest, FailuresBecomeWarnings) {
  struct Case {
    const char* Name;
    std::function<void(SmtpTestServer&, TSmtpMail&)> Arrange;
    std::string Expected;
  };
  std::string greeting(400, 'x');
  greeting = "220 " + greeting + "\r\n";
  std::vector<size_t> cuts;
  for (size_t i = 20; i < greeting.size(); i += 20) cuts.push_back(i);
  const Case cases[] = {
      {"silent greeting", [](SmtpTestServer& s, TSmtpMail&) { s.SetGreeting(SmtpReply::Stall()); }, "Socket timeout."},
      {"stall after MAIL", [](SmtpTestServer& s, TSmtpMail&) { s.AddRule("MAIL", SmtpReply::Stall()); },
       "Socket timeout."},
      {"slow greeting past the session limit",
       [&](SmtpTestServer& s, TSmtpMail&) {
         s.SetGreeting(SmtpReply::Split(greeting, cuts, 60));
         SetSmtpTimeouts(500, 400);
       },
       "Socket timeout."},
      {"greeting without 220", [](SmtpTestServer& s, TSmtpMail&) { s.SetGreeting(SmtpReply::Text("554 Go away\r\n")); },
       "554 Go away"},
      {"closed at the greeting", [](SmtpTestServer& s, TSmtpMail&) { s.SetGreeting(SmtpReply::Close()); },
       "Error into \"recv\""},
      {"drop in the middle of DATA", [](SmtpTestServer& s, TSmtpMail&) { s.AddRule("DATA", SmtpReply::DropInData(100)); },
       "Error into"},
      {"message refused", [](SmtpTestServer& s, TSmtpMail&) { s.AddRule(".", SmtpReply::Text("554 5.7.1 Spam\r\n")); },
       "554 5.7.1 Spam"},
      {"unresolvable host", [](SmtpTestServer&, TSmtpMail& m) { m.Host = "unresolvable host!"; }, "Connection error: "},
      {"refused connection", [](SmtpTestServer&, TSmtpMail& m) { m.Port = static_cast<uint16_t>(ClosedPort()); },
       "Connection error: \"Connection refused\""},
      {"login in clear text to a remote server",
       [](SmtpTestServer&, TSmtpMail& m) {
         SetSmtpLoopbackCountsAsRemote(true);
         m.User = kUser;
         m.Password = kPassword;
       },
       "the login is not sent in clear text"},
      {"recipient with a line break", [](SmtpTestServer&, TSmtpMail& m) { m.Recipients = "a@example.com\r\nRCPT TO:<evil@example.com>"; },
       "Invalid e-mail address"},
      {"recipient with angle brackets", [](SmtpTestServer&, TSmtpMail& m) { m.Recipients = "a@example.com>evil<"; },
       "Invalid e-mail address"},
      {"sender with a line break",
       [](SmtpTestServer&, TSmtpMail& m) { m.Sender = "x@example.com>\r\nRCPT TO:<evil@example.com"; },
       "Invalid e-mail address"},
      {"sender with a blank", [](SmtpTestServer&, TSmtpMail& m) { m.Sender = "\"X\" <x@example.com evil@example.com>"; },
       "Invalid e-mail address"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ClearWarning();
    SetSmtpTimeouts(500, 20000);
    SmtpTestServer server;
    TSmtpMail mail = Mail(server);
    mail.Attachments.clear();
    c.Arrange(server, mail);
    EXPECT_FALSE(SendSmtpMail(mail));
    SetSmtpLoopbackCountsAsRemote(false);
    EXPECT_EQ(LastWarningCode(), eeEmailSMTPError);
    EXPECT_NE(LastWarningText().find(c.Expected), std::string::npos) << LastWarningText();
    for (const SmtpSessionRecord& r : server.Sessions()) {
      EXPECT_EQ(r.Raw.find("evil"), std::string::npos);
      EXPECT_EQ(r.Raw.find(kPassword64), std::string::npos);
      EXPECT_EQ(r.Raw.find("AUTH"), std::string::npos);
    }
  }
}

TEST_F(SmtpTest, SubjectCannotAddHeaders) {
  SmtpTestServer server;
  TSmtpMail mail = Mail(server);
  mail.Subject = "Hi\r\nBcc: evil@example.com\nX-Evil: 1";
  ASSERT_TRUE(SendSmtpMail(mail));
  std::string message = server.Session(0).Message;
  EXPECT_EQ(message.find("\r\nBcc:"), std::string::npos);
  EXPECT_EQ(message.find("\r\nX-Evil:"), std::string::npos);
  EXPECT_NE(message.find("\r\nSubject: Hi  Bcc: evil@example.com X-Evil: 1\r\n"), std::string::npos);
}

TEST_F(SmtpTest, TlsCertificateIsChecked) {
  struct Case {
    const char* Name;
    bool Trusted;
    std::string Names;
    std::string Host;
  };
  const Case cases[] = {
      {"untrusted certificate", false, "DNS:localhost,IP:127.0.0.1", "localhost"},
      {"certificate for another host", true, "DNS:mail.example.org", "localhost"},
      {"certificate for another address", true, "DNS:localhost,IP:::1", "127.0.0.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ClearWarning();
    SmtpServerOptions options;
    options.OfferStartTls = true;
    options.CertificateNames = c.Names;
    SmtpTestServer server(options);
    std::string empty = fs::temp_directory_path() / "no-such-certificates";
    ScopedEnv file("SSL_CERT_FILE", c.Trusted ? server.CertificateFile().c_str() : empty.c_str());
    ScopedEnv dir("SSL_CERT_DIR", empty.c_str());
    TSmtpMail mail = Mail(server);
    mail.Host = c.Host;
    mail.User = kUser;
    mail.Password = kPassword;
    EXPECT_FALSE(SendSmtpMail(mail));
    EXPECT_NE(LastWarningText().find("TLS error"), std::string::npos) << LastWarningText();
    ASSERT_EQ(server.SessionCount(), 1u);
    EXPECT_EQ(server.Session(0).Raw.find("AUTH"), std::string::npos);
  }
}

// Stopped by the program, or by the user closing the progress window.
TEST_F(SmtpTest, CancelStopsAWaitingSession) {
  SetSmtpTimeouts(20000, 60000);
  const std::pair<const char*, std::function<void()>> ways[] = {
      {"program", [] { CancelEmailSending(); }},
      {"progress window", [this] { ui_->WindowClosed = true; }},
  };
  for (const auto& [label, cancel] : ways) {
    SCOPED_TRACE(label);
    CancelEmailSending(false);
    ui_->WindowClosed = false;
    ClearWarning();
    SmtpTestServer server;
    server.AddRule("MAIL", SmtpReply::Stall());
    TSmtpMail mail = Mail(server);
    mail.Recipients = "a@example.com;b@example.com";
    std::thread canceller([&] {
      while (server.SessionCount() == 0 || server.Session(0).Commands.size() < 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      cancel();
    });
    EXPECT_FALSE(SendSmtpMail(mail));
    canceller.join();
    EXPECT_EQ(LastWarningCode(), eeNone) << LastWarningText();
    EXPECT_EQ(server.SessionCount(), 1u);
  }
}

TEST_F(SmtpTest, ClientReadsWholeRepliesAndImplicitTls) {
  SmtpServerOptions options;
  options.ImplicitTls = true;
  SmtpTestServer server(options);
  const std::string greeting = "220-smtp.test\r\n220-second line\r\n220 last line\r\n";
  server.SetGreeting(SmtpReply::Split(greeting, {3, 17, 30}));
  ScopedEnv cert("SSL_CERT_FILE", server.CertificateFile().c_str());
  TTarvexClientSMTP smtp("localhost", 3000, static_cast<uint16_t>(server.Port()));
  smtp.SetImplicitTls(true);
  smtp.Connect();
  EXPECT_TRUE(smtp.Secure());
  EXPECT_EQ(smtp.LastReply(), greeting);
  EXPECT_EQ(smtp.Command("NOOP", {250}), 250);
  EXPECT_EQ(smtp.LastReply(), "250 OK\r\n");
}

TEST_F(SmtpTest, AddressesAndReplies) {
  EXPECT_EQ(SplitRecipients(" a@x.org, b@y.org;;c@z.org ;"), (std::vector<std::string>{"a@x.org", "b@y.org", "c@z.org"}));
  EXPECT_EQ(SmtpEnvelopeSender("\"Name\" <a@x.org>"), "a@x.org");
  EXPECT_EQ(SmtpEnvelopeSender("Name <a@x.org>"), "a@x.org");
  EXPECT_EQ(SmtpEnvelopeSender("a@x.org"), "a@x.org");
  EXPECT_EQ(SmtpFromValue("\"Support\" <s@x.org>"), "\"Support\" <s@x.org>");
  EXPECT_EQ(SmtpFromValue("a@x.org").substr(0, 1), "\"");
  EXPECT_NE(SmtpFromValue("a@x.org").find("\" <a@x.org>"), std::string::npos);
  EXPECT_EQ(SmtpReplyCode("250 OK"), 250);
  EXPECT_EQ(SmtpReplyCode("OK"), -1);
  EXPECT_EQ(SmtpExtensions("250-host\r\n250-starttls\r\n250 AUTH LOGIN\r\n"),
            (std::vector<std::string>{"STARTTLS", "AUTH LOGIN"}));
}

TEST_F(SmtpTest, DirectDeliveryGoesToTheMailExchanger) {
  struct Case {
    const char* Name;
    DnsReplyScript Reply;
    bool FirstRefuses;
    bool Sent;
    std::string Warning;
  };
  const Case cases[] = {
      {"exchanger found", DnsReplyScript::Answers({{10, "localhost"}}), false, true, ""},
      {"second exchanger after a failing first", DnsReplyScript::Answers({{10, "localhost"}, {5, "127.0.0.1"}}), true,
       true, ""},
      {"null MX", DnsReplyScript::Answers({{0, ""}}), false, false, "accepts no mail"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ClearWarning();
    DnsTestServer dns;
    dns.SetDefault(c.Reply);
    SetDnsServers({dns.Address()});
    SetDnsFallbackServer(dns.Address());
    SmtpTestServer server;
    if (c.FirstRefuses) server.AddRule("EHLO", SmtpReply::Text("554 5.7.1 Not here\r\n"), 0);
    SetSmtpDirectPort(static_cast<uint16_t>(server.Port()));
    TSmtpMail mail = Mail(server);
    mail.Direct = true;
    mail.Host = "ignored.example";
    mail.User = kUser;  // direct delivery never logs in
    mail.Recipients = "user@example.com";
    EXPECT_EQ(SendSmtpMail(mail), c.Sent) << LastWarningText();
    SetSmtpDirectPort(0);
    SetDnsServers({});
    SetDnsFallbackServer("");
    ASSERT_GE(dns.QueryCount(), 1u);
    EXPECT_EQ(dns.Queries()[0].Name, "example.com");
    if (c.Sent) {
      size_t last = c.FirstRefuses ? 1 : 0;
      ASSERT_EQ(server.SessionCount(), last + 1);
      EXPECT_TRUE(server.Session(last).Completed);
      EXPECT_EQ(Verbs(server.Session(last))[2], "MAIL FROM:<reports@example.com>");
      EXPECT_EQ(ui_->Events().front(), "1/1 Resolving DNS...");
    } else {
      EXPECT_EQ(server.SessionCount(), 0u);
      EXPECT_NE(LastWarningText().find(c.Warning), std::string::npos) << LastWarningText();
    }
  }
}

// The route as the delivery calls it: option texts expanded (the report itself is not), the
// report in the body, the archive under its decorated name, the progress window around it.
TEST_F(SmtpTest, EmailReportBySmtpClient) {
  SmtpTestServer server;
  std::string folder = (fs::temp_directory_path() / ("smtp-route-" + std::to_string(getpid()))).string();
  fs::create_directories(folder);
  std::ofstream(folder + "/BugReport.zip", std::ios::binary) << "zip";
  SetReportVariables({{"_ExceptMsg", "Boom"}, {"_MainModuleName", "app"}});
  TTarvexModuleOptions options;
  options.SetEmailMode(emSmtpClient);
  options.SetSmtpServer("127.0.0.1");
  options.SetSmtpServerPort(static_cast<uint16_t>(server.Port()));
  options.SetSmtpSender("\"Reports\" <reports@example.com>");
  options.SetEmailRecipients("support@example.com");
  options.SetEmailSubjectText("Crash: %_ExceptMsg%");
  options.SetEmailBodyText("Hello from %_MainModuleName%");
  options.SetEmailReportInBody(true);
  TSendFlags flags;
  flags.Include(sfComputerInFileNames);
  flags.Include(sfDateInFileNames);
  options.SetSendFlags(flags);
  TDeliveryContext context;
  context.Options = &options;
  context.ReportText = "Report with %_ExceptMsg% kept";
  context.Attachments = {folder + "/BugReport.zip"};
  bool sent = SendEmailReport(context);
  ClearReportVariables();
  fs::remove_all(folder);
  ASSERT_TRUE(sent) << LastWarningText();
  std::string message = server.Session(0).Message;
  EXPECT_NE(message.find("\r\nSubject: Crash: Boom\r\n"), std::string::npos);
  EXPECT_NE(message.find("\r\nFrom: \"Reports\" <reports@example.com>\r\n"), std::string::npos);
  EXPECT_NE(message.find("\r\n\r\nHello from app\r\n\r\n\r\nReport with %_ExceptMsg% kept\r\n"), std::string::npos);
  const std::string named = "filename=\"BugReport__" + ComputerName() + "__";
  size_t at = message.find(named);
  ASSERT_NE(at, std::string::npos);
  std::string date = message.substr(at + named.size(), 14);
  EXPECT_EQ(date.find_first_not_of("0123456789"), std::string::npos) << date;
  EXPECT_EQ(message.substr(at + named.size() + 14, 5), ".zip\"");
  std::vector<std::string> events = ui_->Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.front(), "show modal");
  EXPECT_EQ(events.back(), "close");
}

}  // namespace
