// Qt scenarios of the interception points: an exception escaping a QThread, and one escaping
// an event handler into the application object's dispatch wrapper.
#include <unistd.h>

#include <QThread>
#include <QTimer>
#include <cstring>
#include <stdexcept>
#include <string>

#include "reporting/interception/ExceptionLog.h"
#include "runtime/Application.h"

namespace {

void Say(const std::string& text) {
  std::string line = text + "\n";
  ssize_t ignored = ::write(1, line.data(), line.size());
  (void)ignored;
}

void PrintRecord(const TNotifyRecord& r) {
  static const char* kSources[] = {"raise", "terminate", "handled", "thread", "signal", "app", "manager"};
  Say(std::string("NOTIFY ") + kSources[r.Source] + " handled=" + (r.Handled ? "1" : "0") + " class=" + r.ClassName +
      " msg=" + r.Message);
}

struct Guard {
  const char* Name;
  ~Guard() { Say(std::string("DTOR ") + Name); }
};

class Worker : public QThread {
 protected:
  void run() override {
    Guard g{"qthread"};
    throw std::runtime_error("from a QThread");
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::alarm(20);
  SetNotifyRecordHook(&PrintRecord);
  if (!InstallExceptionLog()) {
    Say("NOT INSTALLED");
    return 4;
  }
  std::string scenario = argc > 1 ? argv[1] : "";
  if (scenario == "qthread") {
    Worker w;
    w.start();
    w.wait();
  } else if (scenario == "app_handler") {
    TApplication app(argc, argv);
    app.SetOnException([](std::exception_ptr) { Say("APPLICATION HANDLER"); });
    QTimer::singleShot(0, [] {
      Guard g{"slot"};
      throw std::runtime_error("from a slot");
    });
    QTimer::singleShot(200, [] { QCoreApplication::quit(); });
    app.exec();
  } else {
    return 2;
  }
  Say("END");
  ShutdownExceptionLog();
  return 0;
}
