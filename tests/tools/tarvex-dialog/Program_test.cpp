// The real tarvex-dialog program over a socket pair on descriptor 3, as the core starts it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "reporting/ui/EDialogProtocol.h"
#include "tests/tools/tarvex-dialog/FixedMetrics.h"

extern char** environ;

using namespace tarvex_dialog;

namespace {

// A started helper and our end of its socket.
class TRunningHelper {
 public:
  explicit TRunningHelper(std::vector<std::string> env) {
    int pair[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    fd_ = pair[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], 3);
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      if (entry.rfind("QT_QPA_PLATFORM=", 0) != 0 && entry.rfind("TARVEX_DIALOG_", 0) != 0) env.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char program[] = TARVEX_DIALOG;
    char* argv[] = {program, nullptr};
    EXPECT_EQ(::posix_spawn(&pid_, program, &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);
  }
  ~TRunningHelper() {
    if (fd_ >= 0) ::close(fd_);
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  void Send(const std::string& frame) {
    ASSERT_EQ(::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
  }

  // The next message other than Alive; false on end of stream or time-out.
  bool Receive(TMessage& message, int timeoutMs = 20000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (buffer_.size() >= kFrameHeaderBytes) {
        const uint32_t length = FramePayloadLength(buffer_.data());
        if (buffer_.size() >= kFrameHeaderBytes + length) {
          message = DecodePayload(std::string_view(buffer_).substr(kFrameHeaderBytes, length));
          buffer_.erase(0, kFrameHeaderBytes + length);
          if (message.Kind == mkAlive) {
            ++alive_;
            continue;
          }
          return true;
        }
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char chunk[65536];
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  int Alive() const { return alive_; }

  // Closes our end and returns the helper's exit status (-1: killed after the deadline).
  int CloseAndWait(int timeoutMs = 10000) {
    ::close(fd_);
    fd_ = -1;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (std::chrono::steady_clock::now() < until) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      ::usleep(10000);
    }
    return -1;
  }

 private:
  int fd_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int alive_ = 0;
  std::string buffer_;
};

}  // namespace

TEST(Program, WithoutItsSocketItRefusesToStart) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 3, "/dev/null", O_RDONLY, 0);  // so that the close cannot fail
  posix_spawn_file_actions_addclose(&actions, 3);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  char program[] = TARVEX_DIALOG;
  char* argv[] = {program, nullptr};
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, program, &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST(Program, OffscreenIsRefusedOutsideTests) {
  TRunningHelper helper({"QT_QPA_PLATFORM=offscreen"});
  TMessage message;
  EXPECT_FALSE(helper.Receive(message)) << "said " << message.Kind;  // ends without Ready
  EXPECT_EQ(helper.CloseAndWait(), 2);
}

TEST(Program, ReadyRequestShownResult) {
  const std::filesystem::path dump =
      std::filesystem::temp_directory_path() / ("tarvex-dialog-geometry-" + std::to_string(::getpid()));
  TRunningHelper helper(
      {"QT_QPA_PLATFORM=offscreen", "TARVEX_DIALOG_ALLOW_OFFSCREEN=1", "TARVEX_DIALOG_GEOMETRY=" + dump.string()});
  TMessage message;
  ASSERT_TRUE(helper.Receive(message));
  ASSERT_EQ(message.Kind, mkReady);
  EXPECT_EQ(message.Reader().Int(smVersion), static_cast<int64_t>(kProtocolVersion));

  // A classic dialog that nobody answers: it closes itself after a second.
  TDialogRequest q = test::Request(2, dcSendBox | dcEmailBox | dcReproduceBox, dcSendBox, "List index out of bounds");
  q.AutoCloseSeconds = 1;
  q.Email = "me@example";  // invalid: must not keep the unattended dialog open
  q.ReproduceText = "typed before";
  helper.Send(q.Encode());
  ASSERT_TRUE(helper.Receive(message));
  ASSERT_EQ(message.Kind, mkShown);
  ASSERT_TRUE(helper.Receive(message));
  ASSERT_EQ(message.Kind, mkDialogResult);
  const TDialogResult r = TDialogResult::Decode(message.Reader());
  EXPECT_EQ(r.How, chAutoClose);
  EXPECT_EQ(r.Email, "me@example");
  EXPECT_EQ(r.ReproduceText, "typed before");

  // The geometry dump names the controls for scripted clicks.
  std::ifstream in(dump);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("window "), std::string::npos);
  EXPECT_NE(text.str().find("c1000 "), std::string::npos);
  EXPECT_NE(text.str().find(" 1 &Don't Send"), std::string::npos);
  std::filesystem::remove(dump);

  // The clipboard is filled and confirmed.
  helper.Send(EncodeClipboard("report text"));
  ASSERT_TRUE(helper.Receive(message));
  EXPECT_EQ(message.Kind, mkDone);
  EXPECT_EQ(helper.CloseAndWait(), 0);
}

TEST(Program, DamagedFrameEndsTheHelper) {
  TRunningHelper helper({"QT_QPA_PLATFORM=offscreen", "TARVEX_DIALOG_ALLOW_OFFSCREEN=1"});
  TMessage message;
  ASSERT_TRUE(helper.Receive(message));
  ASSERT_EQ(message.Kind, mkReady);
  helper.Send(std::string("\x01\x00\x00\x00", 4) + "x");  // a payload shorter than a kind
  EXPECT_FALSE(helper.Receive(message, 10000));
  EXPECT_EQ(helper.CloseAndWait(), 0);
}

TEST(Program, EachWindowsConversation) {
  // What the core sends, then the answer it waits for before it goes on.
  struct TStep {
    std::vector<std::string> Send;
    TMessageKind Answer;
  };
  struct TCase {
    const char* Name;
    std::vector<TStep> Steps;
    bool AliveSeen;  // a window up for two seconds says it is alive
  };
  TDialogRequest detailed = test::Request(3, dcSendBox | dcCopyBox | dcModulesPages, dcSendBox);
  detailed.Style = dsStartDetailed | dsOwnLook;
  detailed.AutoCloseSeconds = 2;
  TReproduceRequest reproduce;
  reproduce.Caption = "Request";
  reproduce.Label = "Please describe the steps to reproduce the error:";
  reproduce.Button = "&OK";
  reproduce.Text = "opened the file";
  reproduce.AutoCloseSeconds = 1;
  TProgressOpen progress;
  progress.Caption = "Send.";
  TCase cases[] = {
      {"detailed dialog left alone", {{{detailed.Encode()}, mkShown}, {{}, mkDialogResult}}, true},
      {"reproduce request left alone", {{{reproduce.Encode()}, mkShown}, {{}, mkReproduceResult}}, false},
      {"progress window opened, moved and closed by the core",
       {{{progress.Encode()}, mkShown},
        {{EncodeProgressStep("Message 1/1: sending"), EncodeProgressPosition(50), EncodeProgressClose()}, mkDone}},
       false},
      {"clipboard", {{{EncodeClipboard("report")}, mkDone}}, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRunningHelper helper({"QT_QPA_PLATFORM=offscreen", "TARVEX_DIALOG_ALLOW_OFFSCREEN=1"});
    TMessage message;
    ASSERT_TRUE(helper.Receive(message));
    ASSERT_EQ(message.Kind, mkReady);
    for (const TStep& step : c.Steps) {
      for (const std::string& frame : step.Send) helper.Send(frame);
      ASSERT_TRUE(helper.Receive(message)) << "waiting for " << step.Answer;
      ASSERT_EQ(message.Kind, step.Answer);
      if (step.Answer == mkDialogResult) {
        const TDialogResult r = TDialogResult::Decode(message.Reader());
        EXPECT_EQ(r.How, chAutoClose);
        EXPECT_EQ(r.Checked, dcSendBox);
      }
      if (step.Answer == mkReproduceResult) {
        EXPECT_EQ(message.Reader().Text(smText), "opened the file");
      }
    }
    if (c.AliveSeen) {
      EXPECT_GE(helper.Alive(), 1);
    }
    EXPECT_EQ(helper.CloseAndWait(), 0);
  }
}
