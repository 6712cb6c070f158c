// The detailed dialog: compact (the message and the buttons) or detailed (the header and the
// tabbed pages, size and place from the settings), the band of check boxes and the support
// link, the Details button between the two modes.
#pragma once

#include <QTabWidget>

#include "tools/tarvex-dialog/DetailPages.h"
#include "tools/tarvex-dialog/WindowSupport.h"

class QSizeGrip;

namespace tarvex_dialog {

class TDetailedDialog final : public TFramedWindow {
  Q_OBJECT
 public:
  explicit TDetailedDialog(const TDialogRequest& request);
  const TWindowLayout& Layout() const { return layout_; }
  QWidget* Control(int id) const;
  bool Detailed() const { return detailed_; }
  void SetDetailed(bool detailed);
  QTabWidget* Tabs() const { return tabs_; }
  TDetailPage* CurrentPage() const { return page_; }
  void CustomAnswer(bool close);
  void Finish(TCloseHow how);
  bool Finished() const { return finished_; }

 protected:
  void reject() override { Finish(chEscape); }
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void BodyResized() override;

 private:
  void ShowPage(int tab);
  void KeepColumns();
  void ApplyMode();

  TDialogRequest request_;
  TDialogFonts fonts_;
  TWindowLayout layout_;
  bool detailed_ = false;
  bool finished_ = false;
  bool placing_ = false;  // our own moves and resizes are not the user's
  bool geometryRecorded_ = false;
  TDialogGeometry geometry_;
  QTabWidget* tabs_ = nullptr;
  TDetailPage* page_ = nullptr;
  QSizeGrip* grip_ = nullptr;
  std::vector<int32_t> columns_[3];  // call stack, modules, processes; empty: never shown
};

}  // namespace tarvex_dialog
