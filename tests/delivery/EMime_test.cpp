// The message builder: the designed bytes for ASCII content (golden files), the encodings for
// everything else (read back by Python's email package), Base64 lines and header cleaning.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "delivery/ESocketsMime.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "mime-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no temporary folder");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string File(const std::string& name, const std::string& bytes) const {
    std::string path = path_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + 3) & 0xFF);
  return s;
}

// What a mail reader gets: the "." line removed and the dot rule undone.
std::string Received(const std::string& data) {
  std::string out;
  std::string_view d(data);
  EXPECT_TRUE(d.size() >= 5 && d.substr(d.size() - 5) == "\r\n.\r\n");
  d.remove_suffix(3);
  bool lineStart = true;
  for (char c : d) {
    if (lineStart && c == '.') {
      lineStart = false;
      continue;
    }
    out += c;
    lineStart = c == '\n';
  }
  return out;
}

std::string Base64Decode(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t v = 0;
  int bits = 0;
  for (char c : text) {
    size_t k = kAlphabet.find(c);
    if (k == std::string::npos) continue;
    v = (v << 6) | static_cast<uint32_t>(k);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((v >> bits) & 0xFF);
    }
  }
  return out;
}

TMailMessage AsciiMessage(const std::string& attachment) {
  TMailMessage m;
  m.From = "\"Test User\" <reports@example.com>";
  m.Subject = "Bug report: Access violation";
  m.Recipient = "support@example.com";
  m.Body = "Please look at this.\n.\nA line with a single dot came before.\r\n.hidden starts with a dot";
  m.Attachments = {{attachment, "BugReport__PC__20261210190545.zip"}};
  m.Date = 1796900000;  // 2026-12-10 10:53:20 UTC
  m.MessageTick = 4242;
  return m;
}

// The designed layout in two zones, one of them half an hour off the hour.
TEST(MailMessage, AsciiMessageMatchesGoldenFileInEachZone) {
  struct Case {
    const char* Name;
    const char* Tz;
    const char* Golden;
  };
  const Case cases[] = {
      {"Kolkata +0530", "IST-5:30", "message-kolkata.eml"},
      {"New York -0500", "EST5EDT,M3.2.0,M11.1.0", "message-newyork.eml"},
  };
  TempFolder folder;
  std::string attachment = folder.File("BugReport.zip", Bytes(100));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    ScopedTZ tz(c.Tz);
    std::string built = BuildMailMessage(AsciiMessage(attachment));
    std::string golden = std::string(DELIVERY_EMAIL_DIR) + "/" + c.Golden;
    if (getenv("ZELK_UPDATE_GOLDEN")) std::ofstream(golden, std::ios::binary) << built;
    EXPECT_EQ(built, ReadFile(golden));
  }
}

TEST(MailMessage, DateCarriesTheZonesRealOffset) {
  struct Case {
    const char* Tz;
    time_t When;
    const char* Expected;
  };
  const Case cases[] = {
      {"UTC0", 1796900000, "Thu, 10 Dec 2026 10:53:20 +0000"},
      {"IST-5:30", 1796900000, "Thu, 10 Dec 2026 16:23:20 +0530"},
      {"NST3:30", 1796900000, "Thu, 10 Dec 2026 07:23:20 -0330"},
      {"NPT-5:45", 0, "Thu, 1 Jan 1970 05:45:00 +0545"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Tz);
    ScopedTZ tz(c.Tz);
    EXPECT_EQ(MailDateText(c.When), c.Expected);
  }
}

// Files of every size around the line and read-block boundaries come back whole, in lines of
// 80 characters, and the announced size is the size sent.
TEST(MailMessage, AttachmentsAreBase64LinesOfEighty) {
  TempFolder folder;
  for (size_t size : {size_t{0}, size_t{1}, size_t{59}, size_t{60}, size_t{61}, size_t{100}, size_t{61440},
                      size_t{61441}, size_t{200000}}) {
    SCOPED_TRACE(size);
    std::string content = Bytes(size);
    TMailMessage m;
    m.From = "a@example.com";
    m.Recipient = "b@example.com";
    m.Attachments = {{folder.File("data.bin", content), "data.bin"}};
    TMailMessageSource source(m);
    std::string all, piece;
    while (source.Next(piece)) all += piece;
    EXPECT_EQ(all.size(), source.TotalSize());

    std::string head = "filename=\"data.bin\"\r\n\r\n";
    size_t start = all.find(head);
    ASSERT_NE(start, std::string::npos);
    start += head.size();
    size_t end = all.find("--=_xcjvnxkbhvfkxzhfdbvzldjhfv--", start);
    std::string encoded = all.substr(start, end - start);
    std::vector<size_t> lengths;
    for (size_t p = 0; p < encoded.size();) {
      size_t e = encoded.find("\r\n", p);
      ASSERT_NE(e, std::string::npos);
      lengths.push_back(e - p);
      p = e + 2;
    }
    for (size_t i = 0; i + 1 < lengths.size(); ++i) EXPECT_EQ(lengths[i], 80u);
    EXPECT_EQ(Base64Decode(encoded), content);
    if (size == 100) {
      EXPECT_EQ(lengths, (std::vector<size_t>{80, 56}));
    }
  }
}

TEST(MailMessage, MissingAttachmentIsLeftOut) {
  TMailMessage m;
  m.Attachments = {{"/nonexistent/folder/file.zip", "file.zip"}};
  std::string built = BuildMailMessage(m);
  EXPECT_EQ(built.find("file.zip"), std::string::npos);
  EXPECT_NE(built.find("--=_xcjvnxkbhvfkxzhfdbvzldjhfv--\r\n.\r\n"), std::string::npos);
}

TEST(MailMessage, PngAttachmentsAreImages) {
  TempFolder folder;
  TMailMessage m;
  m.Attachments = {{folder.File("Shot.PnG", "x"), "Shot.PnG"}, {folder.File("a.zip", "y"), "a.zip"}};
  std::string built = BuildMailMessage(m);
  EXPECT_NE(built.find("Content-Type: image/png;\r\n        name=\"Shot.PnG\""), std::string::npos);
  EXPECT_NE(built.find("Content-Type: application/octet-stream;\r\n        name=\"a.zip\""), std::string::npos);
}

// Line breaks in header values cannot start a header of their own.
TEST(MailMessage, HeaderInjectionIsCleaned) {
  struct Case {
    const char* Name;
    TMailMessage Message;
  };
  TempFolder folder;
  const std::string file = folder.File("a.zip", "data");
  auto with = [](auto change) {
    TMailMessage m;
    m.From = "\"A\" <a@example.com>";
    m.Subject = "s";
    m.Recipient = "b@example.com";
    change(m);
    return m;
  };
  const Case cases[] = {
      {"subject CR LF", with([](TMailMessage& m) { m.Subject = "Hi\r\nBcc: evil@example.com"; })},
      {"subject bare LF", with([](TMailMessage& m) { m.Subject = "Hi\nBcc: evil@example.com"; })},
      {"subject bare CR", with([](TMailMessage& m) { m.Subject = "Hi\rBcc: evil@example.com"; })},
      {"non-ASCII subject", with([](TMailMessage& m) { m.Subject = "Gr\xC3\xBC\xC3\x9F\r\nBcc: evil@example.com"; })},
      {"sender", with([](TMailMessage& m) { m.From = "\"A\r\nBcc: evil@example.com\" <a@example.com>"; })},
      {"recipient", with([](TMailMessage& m) { m.Recipient = "b@example.com>\r\nBcc: <evil@example.com"; })},
      {"file name", with([&](TMailMessage& m) { m.Attachments = {{file, "x\"\r\nBcc: evil@example.com"}}; })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string built = BuildMailMessage(c.Message);
    std::string headers = built.substr(0, built.find("\r\n\r\n") + 2);
    EXPECT_EQ(built.find("\r\nBcc:"), std::string::npos);
    // Date, From, Subject (maybe folded), To, Content-Type, MIME-Version, Message-ID.
    int starts = 0;
    for (size_t p = 0; p < headers.size(); p = headers.find("\r\n", p) + 2)
      if (headers[p] != ' ') ++starts;
    EXPECT_EQ(starts, 7);
  }
}

TEST(MailMessage, BareLineBreaksBecomeCrLf) {
  EXPECT_EQ(NormalizeLineBreaks("a\rb\nc\r\nd\n\re"), "a\r\nb\r\nc\r\nd\r\n\r\ne");
  TMailMessage m;
  m.Body = "one\ntwo\rthree";
  std::string built = BuildMailMessage(m);
  EXPECT_NE(built.find("\r\n\r\none\r\ntwo\r\nthree\r\n"), std::string::npos);
}

TEST(MailMessage, QuotedPrintableKeepsLinesShortAndBlanksVisible) {
  struct Case {
    const char* Name;
    std::string Text;
    std::string Expected;
  };
  const Case cases[] = {
      {"plain", "abc", "abc"},
      {"equals sign", "a=b", "a=3Db"},
      {"trailing blank", "a \r\nb\t", "a=20\r\nb=09"},
      {"UTF-8", "\xC3\xBC", "=C3=BC"},
      {"long line", std::string(80, 'x'), std::string(75, 'x') + "=\r\n" + std::string(5, 'x')},
      {"escape not split", std::string(74, 'x') + "\xC3\xBC",
       std::string(74, 'x') + "=\r\n=C3=BC"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(EncodeQuotedPrintable(c.Text), c.Expected);
  }
}

// A message with non-ASCII everywhere is read back by Python's email package as it was meant.
TEST(MailMessage, NonAsciiMessageReadsBackInPython) {
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "/usr/bin/python3 is missing";
  TempFolder folder;
  const std::string subject = "St\xC3\xB6rung im Modul \xE4\xBE\x8B\xE5\xA4\x96 " + std::string(40, 'z') +
                              " \xF0\x9F\x90\x9E Ende";
  const std::string name = "J\xC3\xBCrgen M\xC3\xBCller";
  const std::string fileName = "Bericht \xC3\xBC \"quoted\" " + std::string(50, 'n') + ".zip";
  const std::string body = "Gr\xC3\xBC\xC3\x9F" "e\n.\nLine with = and trailing blank \n" + std::string(120, 'w');
  const std::string content = Bytes(1000);
  TMailMessage m;
  m.From = "\"" + name + "\" <reports@example.com>";
  m.Subject = subject;
  m.Recipient = "support@example.com";
  m.Body = body;
  m.Attachments = {{folder.File("BugReport.zip", content), fileName}};
  m.Date = 1796900000;
  std::string eml = folder.File("message.eml", Received(BuildMailMessage(m)));
  std::string out = folder.Path() + "/parsed.txt";
  std::string script = folder.File("parse.py", R"(
import email, email.policy, sys
msg = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.default)
parts = list(msg.iter_parts())
att = parts[1]
with open(sys.argv[2], 'wb') as f:
    for value in (str(msg['subject']), msg['from'].addresses[0].display_name, msg['from'].addresses[0].addr_spec,
                  parts[0].get_content(), att.get_filename()):
        f.write(value.encode('utf-8') + b'\0')
    f.write(att.get_content())
)");
  std::string command = "/usr/bin/python3 " + script + " " + eml + " " + out;
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::string parsed = ReadFile(out);
  std::vector<std::string> fields;
  for (int i = 0; i < 5; ++i) {
    size_t end = parsed.find('\0');
    fields.push_back(parsed.substr(0, end));
    parsed.erase(0, end + 1);
  }
  EXPECT_EQ(fields[0], subject);
  EXPECT_EQ(fields[1], name);
  EXPECT_EQ(fields[2], "reports@example.com");
  EXPECT_EQ(fields[3], NormalizeLineBreaks(body) + "\r\n");
  EXPECT_EQ(fields[4], fileName);
  EXPECT_EQ(parsed, content);
}

TEST(MailMessage, EncodedWordsNeverSplitACharacter) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += "\xE2\x82\xAC";  // 120 bytes of three-byte characters
  std::string encoded = EncodeHeaderWords(text);
  std::string joined;
  size_t p = 0;
  while ((p = encoded.find("=?UTF-8?B?", p)) != std::string::npos) {
    size_t end = encoded.find("?=", p + 10);
    EXPECT_LE(end + 2 - p, 75u);
    std::string word = Base64Decode(encoded.substr(p + 10, end - p - 10));
    EXPECT_EQ(word.size() % 3, 0u) << word.size();
    joined += word;
    p = end + 2;
  }
  EXPECT_EQ(joined, text);
}

}  // namespace
