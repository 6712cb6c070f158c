// What the helper's windows share: their fonts and metrics, the events they hand to the
// conversation, the auto-close count, the own-look caption band and frame, links opened with
// xdg-open, and the geometry dump for scripted tests.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QFont>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <string>

#include "reporting/ui/EDialogProtocol.h"
#include "tools/tarvex-dialog/DialogLayout.h"

namespace tarvex_dialog {

// The fonts of the windows. Verdana, Lucida Console and Tahoma are asked for; fontconfig
// substitutes what the machine has.
struct TDialogFonts {
  QFont Message, Bold, Underlined, BoldUnderlined, Fixed, List, Caption;
  static TDialogFonts Make();
  const QFont& Of(TFontRole role) const;
};

class TQtMetrics final : public IFontMetrics {
 public:
  explicit TQtMetrics(TDialogFonts fonts) : fonts_(std::move(fonts)) {}
  int TextWidth(TFontRole font, std::string_view text) const override;
  int LineHeight(TFontRole font) const override;
  int WrappedHeight(TFontRole font, std::string_view text, int width) const override;
  int AverageCharWidth(TFontRole font) const override;

 private:
  TDialogFonts fonts_;
};

QString Q(std::string_view text);
std::string S(const QString& text);

// What a window tells the conversation.
struct TWindowEvents {
  std::function<void()> Shown;
  std::function<void()> CustomPressed;
  std::function<void(int32_t jumpId)> JumpToSource;
  std::function<void(const TDialogResult&)> DialogResult;
  std::function<void(const std::string&)> ReproduceResult;
  std::function<void()> Done;
  std::function<void()> CancelRequested;  // the progress window's close button
};

// Counts the seconds without input; mouse presses, double clicks, the wheel and key presses
// anywhere in the program start the count again.
class TAutoClose final : public QObject {
  Q_OBJECT
 public:
  TAutoClose(int seconds, QObject* parent);
  int Count() const { return count_; }

 signals:
  void Expired();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  int seconds_, count_ = 0;
  QTimer timer_;
};

// A text that acts as a link: a hand cursor over it, a left-button release over it clicks.
class TLinkLabel final : public QLabel {
  Q_OBJECT
 public:
  TLinkLabel(QWidget* parent, const QFont& font, QColor colour);

 signals:
  void Clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

// Colours of the own look.
inline constexpr QRgb kOwnLookFace = qRgb(212, 208, 200);

// A top-level window of the helper: the system's caption, or with the own look a frameless
// window with a painted caption band and frame. Controls go on Body().
class TFramedWindow : public QDialog {
  Q_OBJECT
 public:
  TFramedWindow(const QString& caption, bool ownLook, bool topMost, bool smallCaption);
  QWidget* Body() const { return body_; }
  bool OwnLook() const { return ownLook_; }
  // Makes the window as large as a body of this size; fixed windows cannot be resized.
  void SetBodySize(int width, int height, bool fixed);
  TFrameMetrics Frame() const;
  // The caption band's rectangle in window coordinates (own look only).
  QRect CaptionRect() const;
  // Centres the window on the work area of the screen the pointer is on.
  void CentreOnWorkArea();
  void SetEvents(TWindowEvents events) { events_ = std::move(events); }
  const TWindowEvents& Events() const { return events_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  // The body got a new size.
  virtual void BodyResized() {}

 private:
  QString caption_;
  bool ownLook_, smallCaption_;
  bool shownSent_ = false;
  QWidget* body_ = nullptr;
  TWindowEvents events_;
};

// The work area of the screen the pointer is on.
TRect WorkArea();
QRect ToQRect(const TRect& r);
// Places a control and shows or hides it as the layout says; labels and buttons take its text.
void Apply(QWidget* widget, const TControl& control);
// The window's error image (32 x 32) and the send image.
// The dialogs' bitmaps by file name ("plus.png"); ErrorImage and SendImage are 32 x 32.
QPixmap DialogBitmap(const char* name);
QPixmap ErrorImage();
QPixmap SendImage();

// Opens a web address with xdg-open, started through posix_spawn without a shell.
bool OpenUrl(const std::string& url);

// Writes "name x y w h visible text" for every named control of the window, in screen
// coordinates, to the file named by TARVEX_DIALOG_GEOMETRY when it is set; for the list on
// screen also its column headers ("col<n>") and first rows ("row<n>", the first cell or the
// group's header as text).
void DumpGeometry(const QWidget* window);
// The name of a control by its id in the dumps and tests: "c102"; a page's controls "p102".
QString ControlName(int id);
QString PageControlName(int id);

}  // namespace tarvex_dialog
