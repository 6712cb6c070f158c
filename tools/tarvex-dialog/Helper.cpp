#include "tools/tarvex-dialog/Helper.h"

#include "tools/tarvex-dialog/ProgramWindow.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <cerrno>

namespace tarvex_dialog {

THelper::THelper(int fd)
    : fd_(fd), read_(fd, QSocketNotifier::Read), write_(fd, QSocketNotifier::Write) {
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  ::fcntl(fd_, F_SETFD, FD_CLOEXEC);  // not for xdg-open
  write_.setEnabled(false);
  connect(&read_, &QSocketNotifier::activated, this, [this] { Readable(); });
  connect(&write_, &QSocketNotifier::activated, this, [this] { Writable(); });
  alive_.setInterval(1000);
  connect(&alive_, &QTimer::timeout, this, [this] { Send(EncodeAlive()); });
}

THelper::~THelper() { ::close(fd_); }

void THelper::Start() { Send(EncodeReady()); }

QWidget* THelper::Window() const {
  if (classic_) return classic_;
  if (detailed_) return detailed_;
  if (reproduce_) return reproduce_;
  if (progress_) return progress_;
  return box_;
}

void THelper::Gone() {
  read_.setEnabled(false);
  write_.setEnabled(false);
  // Queued, so that it also ends a loop that has not started yet.
  QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void THelper::Send(const std::string& frame) {
  out_ += frame;
  Writable();
}

void THelper::Writable() {
  while (!out_.empty()) {
    const ssize_t n = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      out_.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    Gone();
    return;
  }
  write_.setEnabled(!out_.empty());
}

void THelper::Readable() {
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
      in_.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    Gone();  // the core closed its end: nothing more to show
    return;
  }
  try {
    while (in_.size() >= kFrameHeaderBytes) {
      const uint32_t length = FramePayloadLength(in_.data());
      if (in_.size() < kFrameHeaderBytes + length) break;
      const TMessage message = DecodePayload(std::string_view(in_).substr(kFrameHeaderBytes, length));
      in_.erase(0, kFrameHeaderBytes + length);
      Handle(message);
    }
  } catch (const EDialogProtocolError&) {
    Gone();  // nothing after a damaged frame can be trusted
  }
}

void THelper::Track(QWidget* window) {
  alive_.start();
  // Looked at once the window is gone: during its destruction it is no longer of its class.
  connect(window, &QObject::destroyed, this, [this] {
    QTimer::singleShot(0, this, [this] {
      if (!Window()) alive_.stop();
    });
  });
  window->setAttribute(Qt::WA_DeleteOnClose);
  // The core that started us runs in the program.
  MakeTransientFor(window, ProgramActiveWindow(::getppid()));
  if (!(window->windowFlags() & Qt::WindowStaysOnTopHint)) new TStayInFront(window, ::getppid());
  window->show();
  window->raise();
  window->activateWindow();
}

TWindowEvents THelper::Events() {
  TWindowEvents e;
  e.Shown = [this] { Send(EncodeShown()); };
  e.CustomPressed = [this] { Send(EncodeCustomPressed()); };
  e.JumpToSource = [this](int32_t id) { Send(EncodeJumpToSource(id)); };
  e.DialogResult = [this](const TDialogResult& r) { Send(r.Encode()); };
  e.ReproduceResult = [this](const std::string& text) { Send(EncodeReproduceResult(text)); };
  e.Done = [this] { Send(EncodeDone()); };
  e.CancelRequested = [this] { Send(EncodeProgressCancel()); };
  return e;
}

void THelper::Handle(const TMessage& message) {
  const TFieldReader r = message.Reader();
  switch (message.Kind) {
    case mkDialogRequest: {
      const TDialogRequest q = TDialogRequest::Decode(r);
      if (Window()) return;  // one window at a time
      if (q.Kind == 3) {
        detailed_ = new TDetailedDialog(q);
        detailed_->SetEvents(Events());
        Track(detailed_);
      } else {
        if (q.Style & dsBeep) QApplication::beep();
        classic_ = new TClassicDialog(q);
        classic_->SetEvents(Events());
        Track(classic_);
      }
      break;
    }
    case mkCustomAnswer:
      if (classic_) classic_->CustomAnswer(r.Bool(smClose));
      if (detailed_) detailed_->CustomAnswer(r.Bool(smClose));
      break;
    case mkReproduceRequest:
      if (Window()) return;
      reproduce_ = new TReproduceDialog(TReproduceRequest::Decode(r));
      reproduce_->SetEvents(Events());
      Track(reproduce_);
      break;
    case mkProgressOpen:
      if (Window()) return;
      progress_ = new TProgressWindow(TProgressOpen::Decode(r));
      progress_->SetEvents(Events());
      Track(progress_);
      break;
    case mkProgressStep:
      if (progress_) progress_->SetStep(r.Text(smText));
      break;
    case mkProgressPosition:
      if (progress_) progress_->SetPosition(static_cast<int>(r.IntIn(smPercent, 0, 100, 0)));
      break;
    case mkProgressClose:
      if (progress_)
        progress_->CloseByCore();
      else
        Send(EncodeDone());
      break;
    case mkMessageBox: {
      if (Window()) return;
      const TMessageBoxRequest q = TMessageBoxRequest::Decode(r);
      box_ = new QMessageBox(q.Information ? QMessageBox::Information : QMessageBox::Critical, Q(q.Caption), Q(q.Text),
                             QMessageBox::Ok);
      box_->setObjectName("messageBox");
      box_->setWindowFlag(Qt::WindowStaysOnTopHint);
      if (q.Beep) QApplication::beep();
      connect(box_, &QMessageBox::finished, this, [this] { Send(EncodeDone()); });
      QMessageBox* box = box_;
      Track(box);
      QTimer::singleShot(0, box, [this, box] {
        DumpGeometry(box);
        Send(EncodeShown());
      });
      break;
    }
    case mkClipboard:
      QGuiApplication::clipboard()->setText(Q(r.Text(smText)), QClipboard::Clipboard);
      Send(EncodeDone());
      break;
    default:
      break;  // a later core's news
  }
}

}  // namespace tarvex_dialog
