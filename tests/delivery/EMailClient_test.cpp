// The mail program route with recording scripts standing in for xdg-email and xdg-open: the
// arguments they get, what they inherit, how their exit codes and hangs end the route, and the
// outbox the attachments are copied to.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "delivery/EMailClient.h"
#include "reporting/flow/EFlow.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class MailClient : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mailclient-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    cache_.emplace("XDG_CACHE_HOME", (dir_ / "cache").c_str());
    // A descriptor without close-on-exec, far above what a shell opens: the helper must not
    // have it.
    const int fd = open("/dev/null", O_RDONLY);
    leaked_ = fcntl(fd, F_DUPFD, 60);
    close(fd);
    ASSERT_GE(leaked_, 60);
    SetMailClientPrograms(Script("email", 0), Script("open", 0));
    SetMailClientWaitMs(5000);
    ClearWarning();
  }
  void TearDown() override {
    SetMailClientPrograms("", "");
    SetMailClientWaitMs(0);
    close(leaked_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // A script that records its arguments (NUL-separated), its standard input, whether it got
  // the leaked descriptor and its process id, then exits with `code` or hangs.
  std::string Script(const std::string& name, int code, bool hang = false) {
    const fs::path path = dir_ / (name + "-" + std::to_string(code) + (hang ? "-hang" : "") + ".sh");
    const std::string base = (dir_ / name).string();
    std::ostringstream s;
    s << "#!/bin/sh\n"
      << ": > '" << base << ".tmp'\n"
      << "for a in \"$@\"; do printf '%s\\0' \"$a\" >> '" << base << ".tmp'; done\n"
      << "readlink /proc/$$/fd/0 > '" << base << ".stdin'\n"
      << "if [ -e /proc/$$/fd/" << leaked_ << " ]; then echo leaked > '" << base << ".leak'; fi\n"
      << "echo $$ > '" << base << ".pid'\n"
      << "mv '" << base << ".tmp' '" << base << ".args'\n"
      << (hang ? "exec sleep 30\n" : "") << "exit " << code << "\n";
    WriteFile(path, s.str());
    fs::permissions(path, fs::perms::owner_all);
    return path.string();
  }

  // The arguments the named script got; nullopt when it did not run.
  std::optional<Args> Recorded(const std::string& name) const {
    const fs::path path = dir_ / (name + ".args");
    if (!fs::exists(path)) return std::nullopt;
    Args args;
    std::string all = ReadFile(path);
    for (size_t pos = 0; pos < all.size();) {
      const size_t end = all.find('\0', pos);
      args.push_back(all.substr(pos, end - pos));
      pos = end + 1;
    }
    EXPECT_FALSE(fs::exists(dir_ / (name + ".leak"))) << "the helper inherited a descriptor";
    EXPECT_EQ(ReadFile(dir_ / (name + ".stdin")), "/dev/null\n");
    return args;
  }

  void ForgetRuns() {
    for (const char* name : {"email", "open"}) fs::remove(dir_ / (std::string(name) + ".args"));
  }

  fs::path dir_;
  std::optional<ScopedEnv> cache_;
  ScopedEnv display_{"DISPLAY", ":77"};
  ScopedEnv wayland_{"WAYLAND_DISPLAY", nullptr};
  ScopedEnv cgi_{"REQUEST_METHOD", nullptr};
  int leaked_ = -1;
};

TEST_F(MailClient, HandsTheMessageToXdgEmail) {
  ScopedEnv variable("ZELK_MAIL_TEST_VERSION", "4.2");
  WriteFile(dir_ / "BugReport.zip", std::string("PK\3\4 zip bytes", 14));
  WriteFile(dir_ / "Screenshot.png", "png bytes");
  const std::string recipients = "a@example.com; b@example.com,-x@evil.example, c d@example.com ,e@example.com?attach=x";
  ASSERT_TRUE(SendMailClientMail(recipients, "Bug in %ZELK_MAIL_TEST_VERSION%\r\n\r\nnow", "Line 1\r\nLine 2",
                                 {(dir_ / "BugReport.zip").string(), (dir_ / "missing.txt").string(),
                                  (dir_ / "Screenshot.png").string()}));
  EXPECT_EQ(LastWarningCode(), eeNone);
  const std::optional<Args> args = Recorded("email");
  ASSERT_TRUE(args.has_value());
  ASSERT_EQ(args->size(), 11u);
  EXPECT_EQ(Args(args->begin(), args->begin() + 5), Args({"--utf8", "--subject", "Bug in 4.2 now", "--body", "Line 1\r\nLine 2"}));
  EXPECT_EQ((*args)[5], "--attach");
  EXPECT_EQ((*args)[7], "--attach");
  EXPECT_EQ(Args(args->begin() + 9, args->end()), Args({"a@example.com", "b@example.com"}));

  // The attachments are copies in a private outbox: the report's clean-up cannot take them away.
  const fs::path zip = (*args)[6], png = (*args)[8];
  EXPECT_EQ(zip.filename(), "BugReport.zip");
  EXPECT_EQ(png.filename(), "Screenshot.png");
  EXPECT_EQ(zip.parent_path(), png.parent_path());
  EXPECT_EQ(zip.parent_path().parent_path(), fs::path(MailOutboxFolder()));
  EXPECT_EQ(fs::path(MailOutboxFolder()), dir_ / "cache/TarvexLog/outbox");
  fs::remove(dir_ / "BugReport.zip");
  EXPECT_EQ(ReadFile(zip), std::string("PK\3\4 zip bytes", 14));
  EXPECT_EQ(ReadFile(png), "png bytes");
  for (const fs::path& p : {dir_ / "cache/TarvexLog", dir_ / "cache/TarvexLog/outbox", zip.parent_path()})
    EXPECT_EQ(fs::status(p).permissions() & fs::perms::all, fs::perms::owner_all) << p;
  EXPECT_EQ(fs::status(zip).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(MailClient, SameNamedAttachmentsAreBothKept) {
  fs::create_directories(dir_ / "one");
  fs::create_directories(dir_ / "two");
  WriteFile(dir_ / "one/report.txt", "first");
  WriteFile(dir_ / "two/report.txt", "second");
  ASSERT_TRUE(SendMailClientMail("a@example.com", "", "", {(dir_ / "one/report.txt").string(), (dir_ / "two/report.txt").string()}));
  const Args args = Recorded("email").value();
  ASSERT_EQ(args, Args({"--utf8", "--attach", args[2], "--attach", args[4], "a@example.com"}));
  EXPECT_EQ(ReadFile(args[2]), "first");
  EXPECT_EQ(ReadFile(args[4]), "second");
}

TEST_F(MailClient, OutboxPrunesOnlyItsOwnOldCopies) {
  const fs::path outbox = dir_ / "cache/TarvexLog/outbox";
  for (const char* name : {"mail-old111", "mail-new222", "unrelated"}) {
    fs::create_directories(outbox / name);
    WriteFile(outbox / name / "BugReport.zip", "x");
  }
  const auto eightDaysAgo = fs::file_time_type::clock::now() - std::chrono::hours(24 * 8);
  fs::last_write_time(outbox / "mail-old111", eightDaysAgo);
  fs::last_write_time(outbox / "unrelated", eightDaysAgo);
  WriteFile(dir_ / "BugReport.zip", "zip");
  ASSERT_TRUE(SendMailClientMail("a@example.com", "s", "b", {(dir_ / "BugReport.zip").string()}));
  EXPECT_FALSE(fs::exists(outbox / "mail-old111"));
  EXPECT_TRUE(fs::exists(outbox / "mail-new222/BugReport.zip"));
  EXPECT_TRUE(fs::exists(outbox / "unrelated/BugReport.zip"));
}

TEST_F(MailClient, OutboxThroughALinkIsRefused) {
  fs::create_directories(dir_ / "cache");
  fs::create_directories(dir_ / "elsewhere");
  fs::create_directory_symlink(dir_ / "elsewhere", dir_ / "cache/TarvexLog");
  WriteFile(dir_ / "BugReport.zip", "zip");
  EXPECT_FALSE(SendMailClientMail("a@example.com", "s", "b", {(dir_ / "BugReport.zip").string()}));
  EXPECT_EQ(LastWarningCode(), eeEmailMAPIError);
  EXPECT_EQ(LastWarningText(), "Cannot send the MAPI message.");
  EXPECT_TRUE(fs::is_empty(dir_ / "elsewhere"));
  EXPECT_FALSE(Recorded("email").has_value());
}

TEST_F(MailClient, OpensTheMailtoLink) {
  ASSERT_TRUE(SendMailtoLink("a@example.com;b@example.com, <c@example.com>", "Crash: 1/2 _x",
                             "Hello w\xC3\xB6rld\r\n100% done-"));
  EXPECT_EQ(LastWarningCode(), eeNone);
  EXPECT_EQ(Recorded("open"), Args({"mailto:a@example.com,b@example.com?Subject=Crash%3A%201%2F2%20%5Fx&Body=Hello%20w\xC3\xB6rld%0D%0A100%25%20done-"}));
}

TEST_F(MailClient, LongLinkIsCutBetweenCharacters) {
  for (const std::string& unit : {std::string("\xC3\xA9"), std::string("?"), std::string("a?")}) {
    SCOPED_TRACE(unit);
    ForgetRuns();
    std::string body;
    while (body.size() < 40000) body += unit;
    ASSERT_TRUE(SendMailtoLink("a@example.com", "s", body));
    const std::string link = Recorded("open").value().at(0);
    EXPECT_LE(link.size(), 32u * 1024);
    EXPECT_GT(link.size(), 32u * 1024 - 3);
    const std::string tail = link.substr(link.find("&Body=") + 6);
    const size_t lastPercent = tail.rfind('%');
    if (lastPercent != std::string::npos) {
      EXPECT_LE(lastPercent + 3, tail.size());
    }
    EXPECT_NE(static_cast<unsigned char>(tail.back()), 0xC3);
  }
}

struct ExitCase {
  const char* Name;
  int Code;
  bool Hang;
  bool Expected;
  const char* MailWarning;
  const char* LinkWarning;
};

TEST_F(MailClient, HelperExitCodes) {
  const ExitCase cases[] = {
      {"status 0", 0, false, true, "", ""},
      {"status 1", 1, false, false, "Cannot send the MAPI message.", "The mail program ended with exit code 1."},
      {"status 3 (no mail program)", 3, false, false, "Cannot send the MAPI message.",
       "The mail program ended with exit code 3."},
      {"status 127", 127, false, false, "Cannot send the MAPI message.", "The mail program ended with exit code 127."},
      {"hangs", 0, true, false, "Cannot send the MAPI message.", "The mail program did not end within 300 ms."},
  };
  for (const ExitCase& c : cases) {
    SCOPED_TRACE(c.Name);
    SetMailClientPrograms(Script("email", c.Code, c.Hang), Script("open", c.Code, c.Hang));
    SetMailClientWaitMs(c.Hang ? 300 : 5000);
    for (bool link : {false, true}) {
      SCOPED_TRACE(link ? "mailto" : "xdg-email");
      ClearWarning();
      ForgetRuns();
      const auto start = std::chrono::steady_clock::now();
      const bool sent = link ? SendMailtoLink("a@example.com", "s", "b") : SendMailClientMail("a@example.com", "s", "b", {});
      const auto waited = std::chrono::steady_clock::now() - start;
      EXPECT_EQ(sent, c.Expected);
      EXPECT_EQ(LastWarningCode(), c.Expected ? eeNone : link ? eeEmailShellError : eeEmailMAPIError);
      EXPECT_EQ(LastWarningText(), link ? c.LinkWarning : c.MailWarning);
      EXPECT_TRUE(Recorded(link ? "open" : "email").has_value());
      if (c.Hang) {
        // Not waited for to the end; the hanging helper is ours to stop.
        EXPECT_LT(waited, std::chrono::seconds(10));
        const pid_t pid = std::stoi(ReadFile(dir_ / (link ? "open.pid" : "email.pid")));
        EXPECT_EQ(kill(pid, 0), 0) << "left running";
        kill(pid, SIGKILL);
      }
    }
  }
}

struct RefusalCase {
  const char* Name;
  const char* Display;
  const char* Wayland;
  const char* RequestMethod;
  const char* EmailProgram;
  const char* MailWarning;
  const char* LinkWarning;
};

TEST_F(MailClient, RefusedAtOnce) {
  const RefusalCase cases[] = {
      {"no display", nullptr, nullptr, nullptr, nullptr, "Cannot LogOn into the MAPI service.",
       "No display to show the mail program on."},
      {"empty display", "", "", nullptr, nullptr, "Cannot LogOn into the MAPI service.",
       "No display to show the mail program on."},
      {"CGI program", ":77", nullptr, "GET", nullptr, "Cannot LogOn into the MAPI service.",
       "No display to show the mail program on."},
      {"helper missing", ":77", nullptr, nullptr, "/nonexistent/xdg-email", "Cannot open the MAPI dll.",
       "No such file or directory"},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.Name);
    ScopedEnv display("DISPLAY", c.Display), wayland("WAYLAND_DISPLAY", c.Wayland), cgi("REQUEST_METHOD", c.RequestMethod);
    if (c.EmailProgram) SetMailClientPrograms(c.EmailProgram, std::string(c.EmailProgram) + "-open");
    ClearWarning();
    EXPECT_FALSE(SendMailClientMail("a@example.com", "s", "b", {}));
    EXPECT_EQ(LastWarningCode(), eeEmailMAPIError);
    EXPECT_EQ(LastWarningText(), c.MailWarning);
    ClearWarning();
    EXPECT_FALSE(SendMailtoLink("a@example.com", "s", "b"));
    EXPECT_EQ(LastWarningCode(), eeEmailShellError);
    EXPECT_EQ(LastWarningText(), c.LinkWarning);
    EXPECT_FALSE(Recorded("email").has_value());
    EXPECT_FALSE(Recorded("open").has_value());
  }
}

TEST_F(MailClient, WaylandAloneIsADisplay) {
  ScopedEnv display("DISPLAY", nullptr), wayland("WAYLAND_DISPLAY", "wayland-0");
  EXPECT_TRUE(SendMailtoLink("a@example.com", "s", "b"));
}

}  // namespace
