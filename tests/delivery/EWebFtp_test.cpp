#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "delivery/EWebTools.h"
#include "tests/support/WebTestServer.h"

extern char** environ;

namespace {

// pyftpdlib on loopback: user "joe", password "secret"; "nopassive" refuses EPSV and PASV,
// "readonly" refuses STOR. Every command is written to the log file.
constexpr const char* kServer = R"PY(
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
logging.basicConfig(level=logging.CRITICAL)
root, mode, log = sys.argv[1], sys.argv[2], sys.argv[3]
auth = DummyAuthorizer()
auth.add_user("joe", "secret", root, perm="elr" if mode == "readonly" else "elradfmw")
class Handler(FTPHandler):
    def pre_process_command(self, line, cmd, arg):
        with open(log, "a") as f:
            f.write(cmd + "\n")
        FTPHandler.pre_process_command(self, line, cmd, arg)
    def ftp_EPSV(self, line):
        if mode == "nopassive":
            self.respond("502 Passive mode refused.")
        else:
            FTPHandler.ftp_EPSV(self, line)
    def ftp_PASV(self, line):
        if mode == "nopassive":
            self.respond("502 Passive mode refused.")
        else:
            FTPHandler.ftp_PASV(self, line)
Handler.authorizer = auth
server = FTPServer(("127.0.0.1", 0), Handler)
print(server.address[1], flush=True)
server.serve_forever()
)PY";

class FtpServer {
 public:
  FtpServer(const std::string& root, const std::string& mode, const std::string& log) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const char* argv[] = {"/usr/bin/python3", "-c", kServer, root.c_str(), mode.c_str(), log.c_str(), nullptr};
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    char c;
    while (pid_ > 0 && poll(&p, 1, 20000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    port_ = line.empty() ? 0 : std::stoi(line);
  }
  ~FtpServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  int Port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class FtpUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/python3";
    std::filesystem::create_directory(root());
    std::filesystem::create_directory(root() + "/incoming");
    SetWebSettings({5, 5, 20, "", 8u << 20});
  }
  void TearDown() override { SetWebSettings({}); }
  std::string root() const { return folder.Path() + "/root"; }
  std::string log() const { return folder.Path() + "/commands.log"; }

  TUploadRequest Request(int port, std::vector<std::string> files) {
    TUploadRequest r;
    r.Host = "127.0.0.1";
    r.Port = static_cast<uint16_t>(port);
    r.Path = "incoming";
    r.User = "joe";
    r.Password = "secret";
    r.Files = std::move(files);
    for (const std::string& f : r.Files) r.DisplayNames.push_back(f.substr(f.find_last_of('/') + 1));
    r.Progress = [this](int kind, int64_t total, int64_t done) { progress.push_back({kind, total, done}); };
    return r;
  }
  std::vector<std::array<int64_t, 3>> progress;
  WebTempFolder folder;
};

TEST_F(FtpUpload, StoresEachFileInPassiveModeOnOneConnection) {
  FtpServer server(root(), "normal", log());
  ASSERT_NE(server.Port(), 0);
  std::string zip(5000, 'z');
  std::string a = folder.Write("BugReport.zip", zip);
  std::string b = folder.Write("Screenshot.png", "png");
  TUploadRequest r = Request(server.Port(), {a, folder.Path() + "/missing.txt", b});
  std::string text;
  ASSERT_EQ(UploadFtp(r, text), 0) << text;
  EXPECT_EQ(ReadFile(root() + "/incoming/BugReport.zip"), zip);
  EXPECT_EQ(ReadFile(root() + "/incoming/Screenshot.png"), "png");
  std::string commands = ReadFile(log());
  EXPECT_EQ(commands.find("USER"), commands.rfind("USER")) << "one control connection:\n" << commands;
  EXPECT_NE(commands.find("EPSV"), std::string::npos) << commands;
  EXPECT_EQ(commands.find("PORT"), std::string::npos) << commands;
  EXPECT_EQ(commands.find("MKD"), std::string::npos) << commands;
  EXPECT_EQ(commands.find("CWD"), std::string::npos) << commands;
  size_t stor = commands.find("STOR");
  ASSERT_NE(stor, std::string::npos);
  EXPECT_NE(commands.find("STOR", stor + 1), std::string::npos) << commands;
  // Before connecting, connected, then bytes over all files up to the total.
  ASSERT_GE(progress.size(), 3u);
  EXPECT_EQ(progress.front()[0], 0);
  EXPECT_EQ(progress[1][0], 1);
  EXPECT_EQ(progress.back()[0], 2);
  EXPECT_EQ(progress.back()[1], 5003);
  EXPECT_EQ(progress.back()[2], 5003);
}

struct FtpFailure {
  const char* Name;
  const char* Mode;
  const char* Password;
  int Code;
  const char* TextStart;
};

class FtpUploadFailure : public FtpUpload, public ::testing::WithParamInterface<FtpFailure> {};

TEST_P(FtpUploadFailure, GivesCodeAndServerReply) {
  const FtpFailure& c = GetParam();
  FtpServer server(root(), c.Mode, log());
  ASSERT_NE(server.Port(), 0);
  TUploadRequest r = Request(server.Port(), {folder.Write("BugReport.zip", "zip")});
  r.Password = c.Password;
  std::string text;
  EXPECT_EQ(UploadFtp(r, text), c.Code);
  EXPECT_EQ(text.rfind(c.TextStart, 0), 0u) << text;
  EXPECT_FALSE(std::filesystem::exists(root() + "/incoming/BugReport.zip"));
}

INSTANTIATE_TEST_SUITE_P(
    Servers, FtpUploadFailure,
    ::testing::Values(FtpFailure{"WrongPassword", "normal", "wrong", 12003, "530 "},
                      FtpFailure{"PassiveRefused", "nopassive", "secret", 12112,
                                 "Passive mode is not available on the server."},
                      FtpFailure{"UploadRefused", "readonly", "secret", 12003, "550 "}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(FtpUpload, EmptyAttachmentListMakesNoConnection) {
  TUploadRequest r = Request(RefusedLoopbackPort(), {});
  std::string text;
  EXPECT_EQ(UploadFtp(r, text), 0);
  EXPECT_TRUE(progress.empty());
}

TEST_F(FtpUpload, RefusedPortIsWarnedThroughTheRoute) {
  TTarvexModuleOptions options;
  options.SetWebMode(wmFtp);
  options.SetWebAddress("ftp://127.0.0.1/incoming");
  options.SetWebServerPort(static_cast<uint32_t>(RefusedLoopbackPort()));
  TDeliveryContext context;
  context.Options = &options;
  context.Attachments = {folder.Write("BugReport.zip", "zip")};
  ClearWarning();
  EXPECT_FALSE(SendWebReport(context));
  EXPECT_EQ(LastWarningCode(), eeWebFTPError);
  EXPECT_EQ(LastWarningText(), "FTP error code: 12029 (The attempt to connect to the server failed.)");
}

}  // namespace
