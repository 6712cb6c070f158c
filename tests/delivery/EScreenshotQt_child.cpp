// A Qt program with the bridge on an X display: two windows of plain colours and a focused
// line edit. It prints where they are on the screen and takes a screenshot from another thread,
// as the exception thread does, into the file named by its argument.
#include <QApplication>
#include <QLineEdit>
#include <QThread>
#include <QWidget>
#include <cstdio>
#include <thread>

#include "delivery/EScreenshot.h"
#include "reporting/bridge/QtBridge.h"

namespace {

void Fill(QWidget& w, QColor colour) {
  QPalette p = w.palette();
  p.setColor(QPalette::Window, colour);
  w.setPalette(p);
  w.setAutoFillBackground(true);
}

void Print(const char* name, QRect r) { std::printf("%s %d %d %d %d\n", name, r.x(), r.y(), r.width(), r.height()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  QApplication app(argc, argv);
  InstallQtBridge(app);
  QWidget first, second;
  Fill(first, QColor(30, 160, 90));
  Fill(second, QColor(200, 60, 160));
  first.setGeometry(60, 50, 200, 120);
  second.setGeometry(400, 300, 100, 80);
  QLineEdit edit(&first);
  edit.setGeometry(20, 30, 120, 24);
  first.show();
  second.show();
  // Without a window manager nothing is activated unless the program says so.
  QApplication::setActiveWindow(&first);
  edit.setFocus();
  for (int i = 0; i < 100; ++i) {
    app.processEvents();
    QThread::msleep(10);
  }
  Print("FIRST", first.geometry());
  Print("SECOND", second.geometry());
  Print("FOCUS", QRect(edit.mapToGlobal(QPoint(0, 0)), edit.size()));
  TScreenshotPolicy policy;
  policy.ForegroundOnly = [] { return false; };
  policy.ShownAndKept = [] { return false; };
  policy.Wanted = [] { return true; };
  policy.Warn = [](const std::string& text) { std::printf("WARNING %s\n", text.c_str()); };
  std::thread([&] {
    auto screenshot = MakeScreenshot(policy);
    screenshot->Capture();
    screenshot->Save(argv[1]);
    screenshot->Release();
  }).join();
  std::printf("DONE\n");
  return 0;
}
