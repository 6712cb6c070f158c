#include "delivery/ESocketsMime.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "runtime/SysUtils.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";
// The Message-ID's host: a reserved name that can never be a real machine.
constexpr std::string_view kMessageIdHost = "tarvex.invalid";
constexpr size_t kBase64LineLength = 80;
// 80 Base64 characters come from 60 bytes; files are read in whole lines' worth.
constexpr size_t kFileReadBytes = 60 * 1024;
// Longer lines are not allowed in a 7bit part; such a body goes as quoted-printable.
constexpr size_t kMaxPlainLine = 998;
constexpr size_t kMaxPlainSubject = 900;

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void AppendBase64(std::string& out, const unsigned char* data, size_t size) {
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += kBase64Alphabet[(v >> 6) & 63];
    out += kBase64Alphabet[v & 63];
  }
  if (i < size) {
    uint32_t v = uint32_t{data[i]} << 16;
    if (i + 1 < size) v |= uint32_t{data[i + 1]} << 8;
    out += kBase64Alphabet[(v >> 18) & 63];
    out += kBase64Alphabet[(v >> 12) & 63];
    out += i + 1 < size ? kBase64Alphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
}

std::string Base64(std::string_view text) {
  std::string out;
  AppendBase64(out, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  return out;
}

// The bytes an encoded file takes: lines of 80 characters, each with CR LF; an empty file
// still ends its part with one line break.
uint64_t EncodedFileSize(uint64_t size) {
  if (size == 0) return 2;
  uint64_t chars = (size + 2) / 3 * 4;
  return chars + (chars + kBase64LineLength - 1) / kBase64LineLength * 2;
}

// Lines that begin with "." get one more; `text` starts at the beginning of a line.
std::string StuffDots(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  bool lineStart = true;
  for (char c : text) {
    if (lineStart && c == '.') out += '.';
    out += c;
    lineStart = c == '\n';
  }
  return out;
}

bool HasLongLine(std::string_view text) {
  size_t run = 0;
  for (char c : text) {
    run = (c == '\r' || c == '\n') ? 0 : run + 1;
    if (run > kMaxPlainLine) return true;
  }
  return false;
}

size_t Utf8SequenceLength(unsigned char lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

bool NeedsParameterEncoding(std::string_view value) {
  for (unsigned char c : value)
    if (c >= 0x80 || c < 0x20 || c == 0x7F || c == '"' || c == '\\') return true;
  return false;
}

// A file-name parameter: quoted as designed, or RFC 2231 (percent-encoded UTF-8, in sections
// when long) when the name cannot be quoted as it is.
std::string FileParameter(std::string_view name, std::string_view value) {
  const std::string indent(8, ' ');
  if (!NeedsParameterEncoding(value)) return indent + std::string(name) + "=\"" + std::string(value) + "\"";
  static const char kHex[] = "0123456789ABCDEF";
  std::vector<std::string> sections(1);
  for (size_t i = 0; i < value.size();) {
    size_t n = Utf8SequenceLength(static_cast<unsigned char>(value[i]));
    std::string piece;
    for (size_t k = 0; k < n && i < value.size(); ++k, ++i) {
      unsigned char c = static_cast<unsigned char>(value[i]);
      if (std::isalnum(c) || std::strchr("!#$&+-.^_`|~", c) != nullptr) {
        piece += static_cast<char>(c);
      } else {
        piece += '%';
        piece += kHex[c >> 4];
        piece += kHex[c & 15];
      }
    }
    if (sections.back().size() + piece.size() > 60) sections.emplace_back();
    sections.back() += piece;
  }
  std::string out;
  for (size_t i = 0; i < sections.size(); ++i) {
    if (i > 0) out += ";\r\n";
    out += indent + std::string(name) + (sections.size() == 1 ? "*=" : "*" + std::to_string(i) + "*=");
    if (i == 0) out += "UTF-8''";
    out += sections[i];
  }
  return out;
}

bool EndsWithCaseless(std::string_view text, std::string_view tail) {
  if (text.size() < tail.size()) return false;
  for (size_t i = 0; i < tail.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(text[text.size() - tail.size() + i])) != tail[i]) return false;
  return true;
}

std::string AttachmentHeader(const TMailAttachment& attachment) {
  std::string type = EndsWithCaseless(attachment.Path, ".PNG") ? "image/png" : "application/octet-stream";
  std::string out;
  out += kCrLf;
  out += "--" + std::string(kMailBoundary) + "\r\n";
  out += "Content-Type: " + type + ";\r\n";
  out += FileParameter("name", attachment.DisplayName) + "\r\n";
  out += "Content-Transfer-Encoding: base64\r\n";
  out += "Content-Disposition: attachment;\r\n";
  out += FileParameter("filename", attachment.DisplayName) + "\r\n";
  out += kCrLf;
  return out;
}

std::string MessageHead(const TMailMessage& m) {
  std::string subject = ReplaceControlCharacters(m.Subject);
  if (!IsAscii(subject) || subject.size() > kMaxPlainSubject) subject = EncodeHeaderWords(subject);
  std::string body = NormalizeLineBreaks(m.Body);
  bool plain = IsAscii(body) && !HasLongLine(body);

  std::string out;
  out += "Date: " + MailDateText(m.Date) + "\r\n";
  out += "From: " + ReplaceControlCharacters(EncodeFromValue(ReplaceControlCharacters(m.From))) + "\r\n";
  out += "Subject: " + subject + "\r\n";
  out += "To: <" + ReplaceControlCharacters(m.Recipient) + ">\r\n";
  out += "Content-Type: multipart/mixed; boundary=\"" + std::string(kMailBoundary) + "\";\r\n";
  out += "MIME-Version: 1.0\r\n";
  out += "Message-ID: <" + std::to_string(m.MessageTick) + "@" + std::string(kMessageIdHost) + ">\r\n";
  out += kCrLf;
  out += "This is a multi-part message in MIME format\r\n";
  out += kCrLf;
  out += "--" + std::string(kMailBoundary) + "\r\n";
  if (plain) {
    out += "Content-Type: text/plain\r\n";
    out += "Content-Transfer-Encoding: 7bit\r\n";
  } else {
    out += "Content-Type: text/plain; charset=UTF-8\r\n";
    out += "Content-Transfer-Encoding: quoted-printable\r\n";
  }
  out += kCrLf;
  out += plain ? body : EncodeQuotedPrintable(body);
  out += kCrLf;
  return out;
}

}  // namespace

std::string ReplaceControlCharacters(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return out;
}

bool IsAscii(std::string_view text) {
  for (unsigned char c : text)
    if (c >= 0x80) return false;
  return true;
}

std::string MailDateText(time_t when) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm t {};
  tzset();
  localtime_r(&when, &t);
  int offset = static_cast<int>(t.tm_gmtoff / 60);
  int magnitude = std::abs(offset) % (100 * 60);
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d%02d", offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  return Format("%s, %d %s %d %0.2d:%0.2d:%0.2d %s", {kDays[t.tm_wday], t.tm_mday, kMonths[t.tm_mon],
                                                      t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec,
                                                      std::string(zone)});
}

uint64_t MailTickCount() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

std::string NormalizeLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      out += kCrLf;
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += kCrLf;
    } else {
      out += c;
    }
  }
  return out;
}

std::string EncodeHeaderWords(std::string_view text) {
  // 45 bytes give 60 Base64 characters: "=?UTF-8?B?" + 60 + "?=" is 72, under the limit of 75.
  constexpr size_t kWordBytes = 45;
  std::string out;
  for (size_t i = 0; i < text.size() || (i == 0 && out.empty());) {
    size_t end = i;
    while (end < text.size()) {
      size_t n = Utf8SequenceLength(static_cast<unsigned char>(text[end]));
      if (end + n - i > kWordBytes && end > i) break;
      end = std::min(text.size(), end + n);
    }
    if (!out.empty()) out += "\r\n ";
    out += "=?UTF-8?B?" + Base64(text.substr(i, end - i)) + "?=";
    if (end == i) break;
    i = end;
  }
  return out;
}

std::string EncodeFromValue(std::string_view from) {
  if (IsAscii(from)) return std::string(from);
  size_t open = from.rfind('<');
  if (open == std::string_view::npos) return std::string(from);
  std::string_view name = from.substr(0, open);
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
  return EncodeHeaderWords(name) + " " + std::string(from.substr(open));
}

std::string EncodeQuotedPrintable(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string normalized = NormalizeLineBreaks(text);
  std::string out;
  out.reserve(normalized.size() + normalized.size() / 8);
  size_t lineStart = 0;
  while (lineStart <= normalized.size()) {
    size_t lineEnd = normalized.find("\r\n", lineStart);
    bool last = lineEnd == std::string::npos;
    if (last) lineEnd = normalized.size();
    size_t column = 0;
    for (size_t i = lineStart; i < lineEnd; ++i) {
      unsigned char c = static_cast<unsigned char>(normalized[i]);
      bool trailingBlank = (c == ' ' || c == '\t') && i + 1 == lineEnd;
      std::string piece;
      if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !trailingBlank)) {
        piece = static_cast<char>(c);
      } else {
        piece = {'=', kHex[c >> 4], kHex[c & 15]};
      }
      if (column + piece.size() > 75) {
        out += "=\r\n";
        column = 0;
      }
      out += piece;
      column += piece.size();
    }
    if (last) break;
    out += kCrLf;
    lineStart = lineEnd + 2;
  }
  return out;
}

// ---- The message source ----------------------------------------------------------------------

struct TMailMessageSource::State {
  struct Part {
    std::string Text;  // given first
    int Fd = -1;       // then this file in Base64, when open
    uint64_t FileSize = 0;
    bool Started = false;
  };
  std::vector<Part> Parts;
  size_t Current = 0;
  bool TextGiven = false;
  uint64_t Total = 0;
  std::vector<unsigned char> Buffer;

  ~State() {
    for (Part& p : Parts)
      if (p.Fd >= 0) close(p.Fd);
  }
};

TMailMessageSource::TMailMessageSource(const TMailMessage& message) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.Parts.push_back({StuffDots(MessageHead(message))});
  for (const TMailAttachment& a : message.Attachments) {
    int fd = open(a.Path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0) continue;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      continue;
    }
    s.Parts.push_back({AttachmentHeader(a), fd, static_cast<uint64_t>(st.st_size)});
  }
  s.Parts.push_back({"--" + std::string(kMailBoundary) + "--\r\n.\r\n"});
  for (const State::Part& p : s.Parts) s.Total += p.Text.size() + (p.Fd >= 0 ? EncodedFileSize(p.FileSize) : 0);
}

TMailMessageSource::~TMailMessageSource() = default;

uint64_t TMailMessageSource::TotalSize() const { return state_->Total; }

bool TMailMessageSource::Next(std::string& out) {
  State& s = *state_;
  out.clear();
  while (s.Current < s.Parts.size()) {
    State::Part& p = s.Parts[s.Current];
    if (!s.TextGiven) {
      s.TextGiven = true;
      if (!p.Text.empty()) {
        out.swap(p.Text);
        return true;
      }
    }
    if (p.Fd >= 0) {
      s.Buffer.resize(kFileReadBytes);
      size_t filled = 0;
      while (filled < s.Buffer.size()) {
        ssize_t n = read(p.Fd, s.Buffer.data() + filled, s.Buffer.size() - filled);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Exception("Cannot read the file to attach: \"%s\"", {std::string(std::strerror(errno))});
        if (n == 0) break;
        filled += static_cast<size_t>(n);
      }
      bool atEnd = filled < s.Buffer.size();
      if (filled > 0) {
        std::string encoded;
        AppendBase64(encoded, s.Buffer.data(), filled);
        out.reserve(encoded.size() + encoded.size() / kBase64LineLength * 2 + 2);
        for (size_t i = 0; i < encoded.size(); i += kBase64LineLength) {
          out.append(encoded, i, kBase64LineLength);
          out += kCrLf;
        }
        p.Started = true;
      }
      if (atEnd) {
        close(p.Fd);
        p.Fd = -1;
        // An empty file still closes its part with a line break.
        if (!p.Started) out += kCrLf;
        ++s.Current;
        s.TextGiven = false;
      }
      if (!out.empty()) return true;
      continue;
    }
    ++s.Current;
    s.TextGiven = false;
  }
  return false;
}

std::string BuildMailMessage(const TMailMessage& message) {
  TMailMessageSource source(message);
  std::string all, piece;
  all.reserve(source.TotalSize());
  while (source.Next(piece)) all += piece;
  return all;
}
