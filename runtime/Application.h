// The application object: QApplication plus an application-level exception handler that
// receives whatever an event handler throws, so one failed click never ends the program.
#pragma once

#include <QApplication>
#include <exception>
#include <functional>

class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  ~TApplication() override;

  // Replaces the default handling (a message box) of exceptions that leave event handlers.
  using TExceptionEvent = std::function<void(std::exception_ptr)>;
  void SetOnException(TExceptionEvent handler) { onException_ = std::move(handler); }

  // The main window, not a hidden application window, carries the taskbar entry and title.
  void SetMainFormOnTaskBar(bool on);
  bool MainFormOnTaskBar() const { return mainFormOnTaskBar_; }

  // Runs the handler for the exception being handled (call inside a catch block).
  void HandleException(std::exception_ptr e);
  // The default: a message box with the exception's message (EAbort is silent).
  static void ShowException(std::exception_ptr e);
  // The message an exception shows: the runtime's message, or what() for other classes.
  static QString ExceptionMessage(std::exception_ptr e);

  static TApplication* Instance();

  bool notify(QObject* receiver, QEvent* event) override;

 private:
  TExceptionEvent onException_;
  bool mainFormOnTaskBar_ = false;
};
