// The report as an Internet message: headers, a text part and the attached files in Base64.
//
// Plain ASCII content gives the original layout byte for byte. Content outside it is still
// sent correctly: a UTF-8 text part in quoted-printable, headers as RFC 2047 encoded words and
// file names as RFC 2231 parameters. Header values never carry control characters, so nothing
// can be injected into the header block.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view kMailBoundary = "=_xcjvnxkbhvfkxzhfdbvzldjhfv";

struct TMailAttachment {
  std::string Path;
  std::string DisplayName;  // the name the recipient sees
};

struct TMailMessage {
  std::string From;       // the From value, display name and address
  std::string Subject;
  std::string Recipient;  // one address, already checked
  std::string Body;       // any line breaks; sent with CR LF
  std::vector<TMailAttachment> Attachments;  // files that are missing are left out
  time_t Date = 0;         // shown in the process's time zone
  uint64_t MessageTick = 0;  // the Message-ID's number
};

// "Thu, 1 Dec 2026 09:05:03 +0530": English names, the zone's real offset at that time.
std::string MailDateText(time_t when);
// A millisecond count that stands for the system's tick count.
uint64_t MailTickCount();

// Control characters become blanks (header values and the designed subject rule).
std::string ReplaceControlCharacters(std::string_view text);
// True when every byte is below 128.
bool IsAscii(std::string_view text);

// Header encodings, exposed for tests. Encoded words of at most 75 characters, folded with
// CR LF and a blank; a UTF-8 sequence is never split.
std::string EncodeHeaderWords(std::string_view text);
// The From value with a non-ASCII display name as encoded words; the address stays.
std::string EncodeFromValue(std::string_view from);
// The body as quoted-printable lines of at most 76 characters; line breaks become CR LF.
std::string EncodeQuotedPrintable(std::string_view text);
// Bare CR and bare LF become CR LF.
std::string NormalizeLineBreaks(std::string_view text);

// The message as the bytes that follow DATA, produced piece by piece so that an attachment is
// never held whole: the text part first, then each file read as it is encoded. The SMTP dot
// rule and the final "." line are applied on the way.
class TMailMessageSource {
 public:
  explicit TMailMessageSource(const TMailMessage& message);
  ~TMailMessageSource();
  TMailMessageSource(const TMailMessageSource&) = delete;
  TMailMessageSource& operator=(const TMailMessageSource&) = delete;

  // The byte count of the whole transmission, known before the first piece (files are sized
  // when the source is made).
  uint64_t TotalSize() const;
  // Appends the next piece to `out` (cleared first); false when everything was given.
  // Raises Exception when a file cannot be read.
  bool Next(std::string& out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The whole message after DATA, for tests and small messages.
std::string BuildMailMessage(const TMailMessage& message);
