#include "runtime/Application.h"

#include <QMessageBox>

#include "runtime/ClassNames.h"
#include "runtime/SysUtils.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

TApplication::~TApplication() = default;

TApplication* TApplication::Instance() { return dynamic_cast<TApplication*>(QCoreApplication::instance()); }

void TApplication::SetMainFormOnTaskBar(bool on) {
  mainFormOnTaskBar_ = on;
  // No main window exists yet at start-up; the only visible effect is an empty title.
  if (on) setApplicationDisplayName(QString());
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    HandleException(std::current_exception());
    return false;
  }
}

void TApplication::HandleException(std::exception_ptr e) {
  if (onException_) {
    try {
      onException_(e);
    } catch (...) {
      // A failing handler must not take the event loop down with it.
      ShowException(std::current_exception());
    }
    return;
  }
  ShowException(e);
}

QString TApplication::ExceptionMessage(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const Exception& ex) {
    return QString::fromStdString(ex.Message());
  } catch (const std::exception& ex) {
    return QString::fromUtf8(ex.what());
  } catch (...) {
    const std::type_info* t = CurrentExceptionType();
    return QStringLiteral("Exception of class %1").arg(t ? QString::fromStdString(PlainClassName(*t)) : "unknown");
  }
}

void TApplication::ShowException(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const EAbort&) {
    return;
  } catch (...) {
  }
  QString msg = ExceptionMessage(e);
  if (!msg.isEmpty() && !msg.endsWith('.')) msg += '.';
  QMessageBox::critical(nullptr, QApplication::applicationName(), msg);
}
