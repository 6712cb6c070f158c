// The running dialog helper: a `tarvex-dialog` process started for one window and the socket
// to it. Every wait has a deadline; once a window is on screen the user may take as long as
// they like, as long as the helper shows it is alive.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "reporting/ui/EDialogProtocol.h"

struct TDialogDeadlines {
  int ReadyMs = 20000;  // start-up of a Qt program on a loaded machine
  int ShownMs = 20000;  // from the request to the window on screen
  int WriteMs = 5000;   // one message written
  int ReapMs = 2000;    // the helper's exit after its socket closed; then it is killed
  // A window is up but the helper's GUI thread has sent nothing for this long (not even
  // `Alive`): it hangs, and the dialog counts as not shown.
  int SilenceMs = 30000;
};
void SetDialogDeadlines(const TDialogDeadlines& deadlines);
TDialogDeadlines DialogDeadlines();

// The program and its arguments. By default `tarvex-dialog` in the folder of the module that
// holds the reporting code (never looked up on PATH); tests put a fake in its place. An empty
// vector restores the default.
void SetDialogHelperCommand(std::vector<std::string> argv);
std::vector<std::string> DialogHelperCommand();

// A display to show windows on: DISPLAY or WAYLAND_DISPLAY is set and not empty.
bool DisplayAvailable();

class TDialogHelper {
 public:
  // Starts the helper (its end of the socket pair on descriptor 3, standard input and output on
  // /dev/null, standard error kept for failures' reasons, nothing else inherited, default
  // signal handling) and waits for `Ready`; one that ends before that is started once more.
  // Null, with the reason, when it is missing, cannot start or does not come up.
  static std::unique_ptr<TDialogHelper> Start(std::string& why);
  // Closes the socket, which ends the helper; reaps it, killing it when it lingers.
  ~TDialogHelper();
  // Does what the destructor does and tells how the helper ended, for a failure's reason: its
  // exit status or signal, then the last lines it wrote on standard error.
  std::string End();
  TDialogHelper(const TDialogHelper&) = delete;
  TDialogHelper& operator=(const TDialogHelper&) = delete;

  // Writes a whole frame within the write deadline; false when the helper is gone or stuck.
  bool Send(const std::string& frame);

  enum TWait { wtMessage, wtTimeout, wtGone };
  // The next message, waiting at most `timeoutMs` (negative: without limit). A closed socket
  // or a damaged message counts as gone.
  TWait Receive(tarvex_dialog::TMessage& message, int timeoutMs);
  // The next message other than `Alive`, while the helper keeps showing signs of life: each
  // message must come within the silence deadline.
  TWait ReceiveWhileAlive(tarvex_dialog::TMessage& message);
  // Reads and drops what has arrived, without waiting (the progress window's signs of life).
  // True when a cancel request of the progress window was among them.
  bool Drain();
  // The socket was found closed or a message damaged; which of the two.
  bool Gone() const { return gone_; }
  bool Damaged() const { return damaged_; }

 private:
  // One start; `ended` tells how the helper ended when it did so before `Ready`.
  static std::unique_ptr<TDialogHelper> Spawn(const std::vector<std::string>& command, std::string& why,
                                              std::string& ended);
  std::string Reap();

  TDialogHelper(int fd, pid_t pid, int errors) : fd_(fd), pid_(pid), errors_(errors) {}
  int fd_ = -1;
  pid_t pid_ = -1;
  int errors_ = -1;     // the memory file holding the helper's standard error
  std::string ending_;  // how it ended, once reaped
  std::string buffer_;
  bool gone_ = false;
  bool damaged_ = false;
  int socketError_ = 0;  // errno of the read or write that found the socket unusable
};
