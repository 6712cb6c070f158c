// The e-mail routes and the SMTP session.
#include "delivery/ESockets.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <ctime>
#include <exception>

#include "delivery/EMailClient.h"
#include "delivery/ESocketsDns.h"
#include "reporting/options/EPaths.h"
#include "reporting/options/ETextVars.h"
#include "reporting/options/ETexts.h"
#include "reporting/report/EReportSnapshot.h"

namespace {

constexpr int kDefaultStepMs = 30000;
constexpr int kDefaultSessionMs = 600000;
constexpr int kMxTimeoutMs = 30000;
constexpr size_t kMaxReply = 64 * 1024;

std::atomic<bool> g_cancel{false};
std::atomic<int> g_stepMs{kDefaultStepMs};
std::atomic<int> g_sessionMs{kDefaultSessionMs};
std::atomic<uint16_t> g_directPort{25};
std::atomic<bool> g_loopbackRemote{false};

// Texts of the message table used for the steps.
enum : int { kTextResolving = 112, kTextConnecting = 114, kTextConnected = 115, kTextSending = 116 };

std::string Base64Text(std::string_view text) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  auto at = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(text[k])); };
  for (; i + 3 <= text.size(); i += 3) {
    uint32_t v = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
    for (int shift : {18, 12, 6, 0}) out += kAlphabet[(v >> shift) & 63];
  }
  if (i < text.size()) {
    uint32_t v = at(i) << 16 | (i + 1 < text.size() ? at(i + 1) << 8 : 0);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < text.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// The machine's name as the EHLO argument: only the characters a domain may hold.
std::string LocalHostName() {
  char name[256] = "";
  gethostname(name, sizeof name - 1);
  std::string out;
  for (const char* p = name; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    out += (std::isalnum(c) || c == '.' || c == '-' || c == '_') ? static_cast<char>(c) : '-';
  }
  return out.empty() ? "localhost" : out;
}

// The user's full name (the GECOS field up to its first comma), else the login name.
std::string UserDisplayName() {
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return {};
  std::string full = found->pw_gecos ? found->pw_gecos : "";
  full = full.substr(0, full.find(','));
  return full.empty() ? std::string(found->pw_name ? found->pw_name : "") : full;
}

bool PlainAuthAllowed() {
  const char* value = getenv(kAllowPlainAuthVariable);
  return value != nullptr && std::string_view(value) == "1";
}

bool HasExtension(const std::vector<std::string>& extensions, std::string_view keyword) {
  for (const std::string& e : extensions)
    if (e == keyword || (e.size() > keyword.size() && e.compare(0, keyword.size(), keyword) == 0 &&
                         e[keyword.size()] == ' '))
      return true;
  return false;
}

class TProgress {
 public:
  TProgress(const TTarvexModuleOptions* texts, int current, int total)
      : ui_(ExceptionUi()), texts_(texts), current_(current), total_(total) {}
  void Step(int textIndex) {
    if (ui_) ui_->SetSendDialogMessageStep(texts_ ? texts_->GetText(textIndex) : DefaultCustomizedText(textIndex),
                                           current_, total_);
  }
  void Position(int percent) {
    if (ui_) ui_->SetSendDialogPosition(percent);
  }

 private:
  std::shared_ptr<IExceptionUi> ui_;
  const TTarvexModuleOptions* texts_;
  int current_, total_;
};

// One SMTP session for one recipient.
void RunSession(const TSmtpMail& mail, const std::string& host, uint16_t port, bool login,
                const std::string& recipient, TProgress& progress) {
  progress.Step(kTextConnecting);
  if (!ValidMailAddress(recipient))
    throw ETarvexSocketError(Format("Invalid e-mail address: \"%s\".", {ReplaceControlCharacters(recipient)}));
  std::string from = SmtpFromValue(mail.Sender);
  std::string envelope = SmtpEnvelopeSender(from);
  if (!envelope.empty() && !ValidMailAddress(envelope))
    throw ETarvexSocketError(Format("Invalid e-mail address: \"%s\".", {ReplaceControlCharacters(envelope)}));

  TTarvexClientSMTP smtp(host, g_stepMs.load(), port);
  smtp.SetDeadline(TTarvexClientSocket::TClock::now() + std::chrono::milliseconds(g_sessionMs.load()));
  smtp.Connect();
  progress.Step(kTextConnected);

  // EHLO also without a login, to learn whether the server offers STARTTLS; a server that
  // does not know it is greeted with HELO.
  const std::string local = LocalHostName();
  std::vector<std::string> extensions;
  if (smtp.Command("EHLO " + local, {250, 500, 502}) == 250) {
    extensions = SmtpExtensions(smtp.LastReply());
  } else {
    if (login) smtp.RaiseError(smtp.SocketLog());
    smtp.Command("HELO " + local, {250});
  }
  if (!smtp.Secure() && HasExtension(extensions, "STARTTLS")) {
    smtp.Command("STARTTLS", {220});
    smtp.StartTls();
    smtp.Command("EHLO " + local, {250});
  }
  smtp.Command("RSET", {250});
  if (login) {
    if (!smtp.Secure() && (!smtp.PeerIsLoopback() || g_loopbackRemote) && !PlainAuthAllowed())
      smtp.RaiseError("The server offers no encryption: the login is not sent in clear text.");
    static const std::string kUserLine = "[user name]\r\n", kPasswordLine = "[password]\r\n";
    // A refused AUTH ends the login: the credentials are never sent after it.
    if (smtp.Command("AUTH LOGIN", {334, 500, 502}) == 334 &&
        smtp.Command(Base64Text(mail.User), {334, 500, 502}, &kUserLine) == 334)
      smtp.Command(Base64Text(mail.Password), {235, 500, 502}, &kPasswordLine);
  }
  smtp.Command("MAIL FROM:<" + envelope + ">", {250});
  progress.Step(kTextSending);
  smtp.Command("RCPT TO:<" + recipient + ">", {250, 251});
  smtp.Command("DATA", {354});

  TMailMessage message;
  message.From = from;
  message.Subject = mail.Subject;
  message.Recipient = recipient;
  message.Body = mail.Body;
  message.Attachments = mail.Attachments;
  message.Date = time(nullptr);
  message.MessageTick = MailTickCount();
  TMailMessageSource source(message);
  const uint64_t total = std::max<uint64_t>(1, source.TotalSize());
  const std::string placeholder = Format("[message of %d bytes]\r\n", {static_cast<int64_t>(source.TotalSize())});
  const std::string nothing;
  uint64_t sent = 0;
  std::string piece;
  while (source.Next(piece)) {
    smtp.SendText(piece, sent == 0 ? &placeholder : &nothing);
    sent += piece.size();
    progress.Position(static_cast<int>(std::min<uint64_t>(100, sent * 100 / total)));
  }
  smtp.ReadReply();
  if (SmtpReplyCode(smtp.LastReply()) != 250) smtp.RaiseError(smtp.SocketLog());
  smtp.Disconnect();  // no closing command, as the original dialogue
}

// When the exception happened, in the zone it carries; the time of the call without a report.
TReportTime ReportExceptionTime(const TDeliveryContext& context) {
  if (context.ExceptionTime.UnixSeconds != 0) return context.ExceptionTime;
  if (const IReportSnapshot* snapshot = CurrentReportSnapshot()) return snapshot->ExceptionTime();
  TReportTime when{static_cast<int64_t>(time(nullptr)), 0};
  struct tm local {};
  time_t now = static_cast<time_t>(when.UnixSeconds);
  localtime_r(&now, &local);
  when.UtcOffsetSeconds = static_cast<int32_t>(local.tm_gmtoff);
  return when;
}

// The name the recipient sees: decorated like a kept archive.
std::string AttachmentDisplayName(const std::string& path, const TTarvexModuleOptions& options,
                                  const TReportTime& when) {
  std::string name = ExtractFileName(path);
  std::string ext = ExtractFileExt(name);
  std::string out = name.substr(0, name.size() - ext.size());
  if (options.SendFlags().Contains(sfComputerInFileNames)) out += "__" + ComputerName();
  if (options.SendFlags().Contains(sfDateInFileNames)) {
    time_t shifted = static_cast<time_t>(when.UnixSeconds + when.UtcOffsetSeconds);
    struct tm t {};
    gmtime_r(&shifted, &t);
    char digits[32];
    std::snprintf(digits, sizeof digits, "%04d%02d%02d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
    out += "__" + std::string(digits);
  }
  return out + ext;
}

}  // namespace

// ---- SMTP client --------------------------------------------------------------------------------

TTarvexClientSMTP::TTarvexClientSMTP(std::string host, int timeoutMs, uint16_t port)
    : TTarvexClientSocket(std::move(host), timeoutMs, true, port), implicitTls_(port == 465) {}

void TTarvexClientSMTP::Connect() {
  pending_.clear();
  TTarvexClientSocket::Connect();
  if (implicitTls_) StartTls();
  ReadReply();
  if (SmtpReplyCode(lastReply_) != 220) RaiseError(socketLog_);
}

void TTarvexClientSMTP::Disconnect() {
  pending_.clear();
  TTarvexClientSocket::Disconnect();
}

std::string TTarvexClientSMTP::ReadReply() {
  for (;;) {
    size_t position = 0;
    for (size_t end; (end = pending_.find('\n', position)) != std::string::npos;) {
      std::string_view line(pending_.data() + position, end - position);
      position = end + 1;
      bool continued = line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                       std::isdigit(static_cast<unsigned char>(line[1])) &&
                       std::isdigit(static_cast<unsigned char>(line[2])) && line[3] == '-';
      if (!continued) {
        lastReply_ = pending_.substr(0, position);
        pending_.erase(0, position);
        return lastReply_;
      }
    }
    if (pending_.size() > kMaxReply) RaiseError("The server's reply is too long.");
    if (!Receive(pending_, StepDeadline())) RaiseError("Socket timeout.");
  }
}

int TTarvexClientSMTP::Command(std::string_view text, std::initializer_list<int> accepted, const std::string* logAs) {
  std::string line(text);
  if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) line += "\r\n";
  bool startTls = UpperCase(text) == "STARTTLS";
  SendText(line, logAs);
  ReadReply();
  // Whatever the server sent after its answer to STARTTLS was sent in clear text: it must not
  // be taken for a reply inside TLS.
  if (startTls) pending_.clear();
  int code = SmtpReplyCode(lastReply_);
  if (std::find(accepted.begin(), accepted.end(), code) == accepted.end()) RaiseError(socketLog_);
  return code;
}

int SmtpReplyCode(std::string_view reply) {
  size_t n = 0;
  while (n < reply.size() && n < 9 && std::isdigit(static_cast<unsigned char>(reply[n]))) ++n;
  return n == 0 ? -1 : std::stoi(std::string(reply.substr(0, n)));
}

std::vector<std::string> SmtpExtensions(std::string_view ehloReply) {
  std::vector<std::string> out;
  bool first = true;
  while (!ehloReply.empty()) {
    size_t end = ehloReply.find('\n');
    std::string_view line = ehloReply.substr(0, end);
    ehloReply = end == std::string_view::npos ? std::string_view() : ehloReply.substr(end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (!first && line.size() > 4) out.push_back(UpperCase(line.substr(4)));
    first = false;
  }
  return out;
}

bool ValidMailAddress(std::string_view address) {
  if (address.empty()) return false;
  for (unsigned char c : address)
    if (c <= 0x20 || c == 0x7F || c == '<' || c == '>') return false;
  return true;
}

std::vector<std::string> SplitRecipients(std::string_view recipients) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= recipients.size()) {
    size_t end = recipients.find_first_of(",;", start);
    if (end == std::string_view::npos) end = recipients.size();
    std::string_view one = recipients.substr(start, end - start);
    while (!one.empty() && (one.front() == ' ' || one.front() == '\t')) one.remove_prefix(1);
    while (!one.empty() && (one.back() == ' ' || one.back() == '\t')) one.remove_suffix(1);
    if (!one.empty()) out.emplace_back(one);
    start = end + 1;
  }
  return out;
}

std::string SmtpFromValue(std::string_view sender) {
  if (sender.find_first_of("\"<") != std::string_view::npos) return ReplaceControlCharacters(sender);
  std::string name;
  for (char c : ReplaceControlCharacters(UserDisplayName()))
    if (c != '"' && c != '\\') name += c;
  return "\"" + name + "\" <" + ReplaceControlCharacters(sender) + ">";
}

std::string SmtpEnvelopeSender(std::string_view fromValue) {
  // The address in the last angle brackets; a bare address is taken whole.
  size_t open = fromValue.rfind('<');
  if (open != std::string_view::npos) {
    size_t close = fromValue.find('>', open);
    if (close != std::string_view::npos) return std::string(fromValue.substr(open + 1, close - open - 1));
  }
  while (!fromValue.empty() && fromValue.front() == ' ') fromValue.remove_prefix(1);
  while (!fromValue.empty() && fromValue.back() == ' ') fromValue.remove_suffix(1);
  return std::string(fromValue);
}

void CancelEmailSending(bool cancel) { g_cancel = cancel; }
bool EmailSendingCancelled() {
  if (g_cancel.load(std::memory_order_relaxed)) return true;
  const std::shared_ptr<IExceptionUi> ui = ExceptionUi();
  return ui && ui->SendDialogCancelled();
}

void SetSmtpTimeouts(int stepMs, int sessionMs) {
  g_stepMs = stepMs > 0 ? stepMs : kDefaultStepMs;
  g_sessionMs = sessionMs > 0 ? sessionMs : kDefaultSessionMs;
}

void SetSmtpDirectPort(uint16_t port) { g_directPort = port != 0 ? port : 25; }
void SetSmtpLoopbackCountsAsRemote(bool remote) { g_loopbackRemote = remote; }

// ---- The routes ---------------------------------------------------------------------------------

bool SendSmtpMail(const TSmtpMail& mail) {
  const std::vector<std::string> recipients = SplitRecipients(mail.Recipients);
  const bool login = !mail.User.empty() || !mail.Password.empty();
  bool success = false;
  const int count = static_cast<int>(recipients.size());
  for (int i = 0; i < count && !EmailSendingCancelled(); ++i) {
    const std::string& recipient = recipients[static_cast<size_t>(i)];
    TProgress progress(mail.Texts, i + 1, count);
    progress.Position(0);
    try {
      if (!mail.Direct) {
        RunSession(mail, mail.Host, mail.Port, login, recipient, progress);
      } else {
        progress.Step(kTextResolving);
        std::vector<std::string> hosts = FindMailExchanger(recipient, kMxTimeoutMs);
        if (hosts.empty())
          throw ETarvexSocketError(Format("The domain of \"%s\" accepts no mail.", {ReplaceControlCharacters(recipient)}));
        // The next exchanger is tried only when one cannot be reached or fails.
        for (size_t h = 0; h < hosts.size(); ++h) {
          try {
            RunSession(mail, hosts[h], g_directPort.load(), false, recipient, progress);
            break;
          } catch (const ETarvexSocketError&) {
            if (h + 1 == hosts.size()) throw;
          }
        }
      }
      success = true;
    } catch (const EAbort&) {
      break;  // the user cancelled: no warning, nothing more is tried
    } catch (const std::exception&) {
      ReportSectionWarning(eeEmailSMTPError, "SMTP");
    }
  }
  return success;
}

bool SendEmailReport(TDeliveryContext& context) {
  const TTarvexModuleOptions& o = *context.Options;
  g_cancel = false;
  const std::string lineBreaks = "\r\n\r\n\r\n";
  switch (o.EmailMode()) {
    case emClient: {
      std::string body = o.EmailBodyText();
      if (o.EmailReportInBody()) body += lineBreaks + context.ReportText;
      return SendMailClientMail(o.EmailRecipients(), o.EmailSubjectText(), body, context.Attachments) ||
             SendMailtoLink(o.EmailRecipients(), o.EmailSubjectText(), o.EmailBodyText());
    }
    case emSmtpClient:
    case emSmtpDirect: {
      std::shared_ptr<IExceptionUi> ui = ExceptionUi();
      if (ui) ui->ShowSendDialog(o, !o.SendFlags().Contains(sfSendInThread));
      bool sent = false;
      try {
        TSmtpMail mail;
        mail.Direct = o.EmailMode() == emSmtpDirect;
        mail.Sender = o.SmtpSender();
        mail.Host = o.SmtpServer();
        mail.Port = o.SmtpServerPort();
        mail.User = o.SmtpAuthUser();
        mail.Password = o.SmtpAuthPassword();
        mail.Recipients = o.EmailRecipients();
        // Only the option texts are expanded: the report may hold "%" of its own.
        mail.Subject = ExpandTextVariables(o.EmailSubjectText());
        mail.Body = ExpandTextVariables(o.EmailBodyText());
        if (o.EmailReportInBody()) mail.Body += lineBreaks + context.ReportText;
        const TReportTime when = ReportExceptionTime(context);
        for (const std::string& path : context.Attachments)
          mail.Attachments.push_back({path, AttachmentDisplayName(path, o, when)});
        mail.Texts = &o;
        sent = SendSmtpMail(mail);
      } catch (const std::exception&) {
        ReportSectionWarning(eeEmailSMTPError, "SMTP");
      }
      if (ui) ui->CloseSendDialog();
      return sent;
    }
    default:
      return false;
  }
}
