// A program's uncaught exception, logged and sent by e-mail through the whole chain: the flow,
// the prepared files, the archive, the SMTP route and the steps after delivery. The SMTP server
// on loopback accepts or refuses; the archive that arrives is opened by Python's zipfile.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/delivery/LogSamples.h"
#include "tests/support/SmtpTestServer.h"

namespace fs = std::filesystem;

namespace {

// The child's wait status; it ends itself by an alarm.
int RunChild(const std::vector<std::string>& args) {
  const pid_t pid = StartLogChild(args);
  return pid < 0 ? -1 : WaitChild(pid);
}

// What Python finds in the message: the attachment's name, then the archive's entries.
std::string AttachedArchive(const std::string& message, const std::string& folder) {
  const std::string mail = folder + "/message.eml", script = folder + "/read.py", out = folder + "/read.txt";
  std::ofstream(mail, std::ios::binary) << message;
  std::ofstream(script) << "import email, email.policy, io, sys, zipfile\n"
                           "m = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.default)\n"
                           "for part in m.iter_attachments():\n"
                           "    print(part.get_filename())\n"
                           "    z = zipfile.ZipFile(io.BytesIO(part.get_content()))\n"
                           "    for info in z.infolist():\n"
                           "        print(info.filename, z.read(info.filename).count(b'RouteError') > 0)\n";
  const std::string command = "/usr/bin/python3 " + script + " " + mail + " > " + out + " 2>&1";
  if (std::system(command.c_str()) != 0) return "python failed: " + ReadWholeFile(out);
  return ReadWholeFile(out);
}

TEST(Delivery, UncaughtExceptionArrivesByMailWithItsArchive) {
  SmtpTestServer server;
  TLogTestFolder dir;
  const int status = RunChild({"deliver", dir.Path(), std::to_string(server.Port()), "1"});
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
  ASSERT_EQ(server.SessionCount(), 1u);
  const SmtpSessionRecord session = server.Session(0);
  EXPECT_TRUE(session.Completed);
  EXPECT_NE(session.Message.find("Subject: Route failure"), std::string::npos);
  // The log copy and its XML export, both holding the report.
  EXPECT_EQ(AttachedArchive(session.Message, dir.Path()),
            "BugReport.zip\ndelivery_log_child.tlf True\ndelivery_log_child.xml True\n");
  // Delivered: nothing kept, nothing left in the log's folder but the log.
  for (const auto& e : fs::directory_iterator(dir.Path()))
    EXPECT_EQ(e.path().extension() == ".zip", false) << e.path();
}

TEST(Delivery, RefusedMailKeepsTheArchiveBesideTheLog) {
  SmtpTestServer server;
  server.AddRule("RCPT TO:", SmtpReply::Text("550 5.1.1 No such user\r\n"));
  TLogTestFolder dir;
  const int status = RunChild({"deliver", dir.Path(), std::to_string(server.Port()), "1"});
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
  EXPECT_GE(server.SessionCount(), 1u);
  std::vector<std::string> kept;
  for (const auto& e : fs::directory_iterator(dir.Path()))
    if (e.path().extension() == ".zip") kept.push_back(e.path().filename().string());
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].rfind("BugReport", 0), 0u) << kept[0];
}

}  // namespace
