// The helper's side of the conversation with the reporting core: frames read from and written
// to the socket without blocking the GUI thread, each request turned into its window, and the
// window's events turned into messages.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <string>

#include "tools/tarvex-dialog/ClassicDialog.h"
#include "tools/tarvex-dialog/DetailedDialog.h"
#include "tools/tarvex-dialog/SmallWindows.h"

namespace tarvex_dialog {

class THelper final : public QObject {
  Q_OBJECT
 public:
  // Takes over the socket `fd`; the application quits when the core closes it.
  explicit THelper(int fd);
  ~THelper() override;
  void Start();  // says Ready
  // The window now up, for tests.
  QWidget* Window() const;

 private:
  void Readable();
  void Writable();
  void Send(const std::string& frame);
  void Handle(const TMessage& message);
  void Gone();
  void Track(QWidget* window);
  TWindowEvents Events();

  int fd_;
  QSocketNotifier read_, write_;
  std::string in_, out_;
  QTimer alive_;
  QPointer<TClassicDialog> classic_;
  QPointer<TDetailedDialog> detailed_;
  QPointer<TReproduceDialog> reproduce_;
  QPointer<TProgressWindow> progress_;
  QPointer<QMessageBox> box_;
};

}  // namespace tarvex_dialog
