// The reproduce request and the send progress window.
#pragma once

#include "tools/tarvex-dialog/WindowSupport.h"

class QPlainTextEdit;
class QProgressBar;

namespace tarvex_dialog {

class TReproduceDialog final : public TFramedWindow {
  Q_OBJECT
 public:
  explicit TReproduceDialog(const TReproduceRequest& request);
  const TWindowLayout& Layout() const { return layout_; }
  QWidget* Control(int id) const;
  // The button, Esc, the close command and auto-close all hand back the text as typed.
  void Finish();
  bool Finished() const { return finished_; }

 protected:
  void reject() override { Finish(); }
  void closeEvent(QCloseEvent* event) override;

 private:
  TDialogFonts fonts_;
  TWindowLayout layout_;
  bool finished_ = false;
};

class TProgressWindow final : public TFramedWindow {
  Q_OBJECT
 public:
  explicit TProgressWindow(const TProgressOpen& request);
  QWidget* Control(int id) const;
  void SetStep(const std::string& text);
  void SetPosition(int percent);  // never backwards
  int Position() const;
  // Closed by the core only.
  void CloseByCore();

 protected:
  void reject() override {}
  void closeEvent(QCloseEvent* event) override;

 private:
  TDialogFonts fonts_;
  bool closing_ = false;
  bool cancelRequested_ = false;
};

}  // namespace tarvex_dialog
