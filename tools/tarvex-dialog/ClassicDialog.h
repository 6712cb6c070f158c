// The classic dialog: the banner, the exception message, the restart/terminate box, the
// request to send with its explanation, the details link, the description and e-mail boxes
// and the button row.
#pragma once

#include "tools/tarvex-dialog/WindowSupport.h"

namespace tarvex_dialog {

class TClassicDialog final : public TFramedWindow {
  Q_OBJECT
 public:
  explicit TClassicDialog(const TDialogRequest& request);
  const TWindowLayout& Layout() const { return layout_; }
  QWidget* Control(int id) const;
  // The core's answer to a custom-button press.
  void CustomAnswer(bool close);
  // Ends the dialog as the given command would; a send with an invalid e-mail address is
  // refused and the dialog stays.
  void Finish(TCloseHow how);
  bool Finished() const { return finished_; }

 protected:
  void reject() override { Finish(chEscape); }
  void closeEvent(QCloseEvent* event) override;

 private:
  TDialogRequest request_;
  TDialogFonts fonts_;
  TWindowLayout layout_;
  bool finished_ = false;
};

}  // namespace tarvex_dialog
