// One QApplication for a GoogleTest program (the offscreen platform unless one is chosen), and
// a recorder of what a window tells the conversation.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <cstdlib>
#include <string>
#include <vector>

#include "tools/tarvex-dialog/WindowSupport.h"

namespace tarvex_dialog::test {

inline QApplication& App() {
  static int argc = 1;
  static char name[] = "tarvex_dialog_tests";
  static char* argv[] = {name, nullptr};
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Never destroyed: Qt's own globals may be gone by the time static destructors run.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

struct TRecorder {
  int Shown = 0, CustomPressed = 0, Done = 0, CancelRequested = 0;
  std::vector<int32_t> Jumps;
  std::vector<TDialogResult> Results;
  std::vector<std::string> Reproduced;

  TWindowEvents Events() {
    TWindowEvents e;
    e.Shown = [this] { ++Shown; };
    e.CustomPressed = [this] { ++CustomPressed; };
    e.JumpToSource = [this](int32_t id) { Jumps.push_back(id); };
    e.DialogResult = [this](const TDialogResult& r) { Results.push_back(r); };
    e.ReproduceResult = [this](const std::string& t) { Reproduced.push_back(t); };
    e.Done = [this] { ++Done; };
    e.CancelRequested = [this] { ++CancelRequested; };
    return e;
  }
};

// Runs the event loop until the condition holds or the time is up.
template <typename F>
bool WaitUntil(F condition, int ms = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!condition()) {
    if (timer.elapsed() > ms) return false;
    QTest::qWait(10);
  }
  return true;
}

// Shows a window and waits until it is exposed and has said "shown".
template <typename W>
bool ShowAndWait(W& window, TRecorder& recorder) {
  window.SetEvents(recorder.Events());
  window.show();
  return QTest::qWaitForWindowExposed(&window) && WaitUntil([&] { return recorder.Shown > 0; });
}

}  // namespace tarvex_dialog::test
