// Where every control of the helper's windows goes: pure functions from a request's texts and
// flags and a font-metrics source to rectangles, so that the rules are tested without a display.
// All coordinates are pixels in the window's client area (below an own caption band, if any).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reporting/ui/EDialogProtocol.h"

namespace tarvex_dialog {

struct TRect {
  int X = 0, Y = 0, W = 0, H = 0;
  int Right() const { return X + W; }
  int Bottom() const { return Y + H; }
  bool Contains(const TRect& r) const { return r.X >= X && r.Y >= Y && r.Right() <= Right() && r.Bottom() <= Bottom(); }
  bool operator==(const TRect&) const = default;
};

enum TFontRole { frMessage, frBold, frUnderlined, frBoldUnderlined, frFixed, frList, frCaption };

// Text measurement in one of the dialog fonts. Texts are UTF-8; "\r\n" and "\n" end lines.
class IFontMetrics {
 public:
  virtual ~IFontMetrics() = default;
  virtual int TextWidth(TFontRole font, std::string_view text) const = 0;  // one line, no wrapping
  virtual int LineHeight(TFontRole font) const = 0;
  // Height of the text broken at words to fit `width`.
  virtual int WrappedHeight(TFontRole font, std::string_view text, int width) const = 0;
  // Average character width (the horizontal dialog base unit).
  virtual int AverageCharWidth(TFontRole font) const = 0;
};

// Sizes of the window frame that the layout rules count in.
struct TFrameMetrics {
  int FrameWidth = 3;     // one side of a fixed dialog frame
  int FrameHeight = 3;
  int CaptionHeight = 22; // the caption band: normal or small caption
  int Border = 2;         // one edge of a control's 3-D border
};

// Control ids beyond the templates' own.
enum TExtraControl {
  kIconId = 1,          // TL_ERROR / TL_SEND
  kBannerId = 2,        // the classic dialog's white band
  kClassicLinkId = 1100,// the classic "click here." link
  kSupportLinkId = 1200,// the detailed dialog's support link
};

struct TControl {
  int Id = 0;
  TRect Rect;
  bool Visible = true;
  std::string Text;
  TFontRole Font = frMessage;
};

struct TWindowLayout {
  int ClientWidth = 0, ClientHeight = 0;
  std::vector<TControl> Controls;
  const TControl* Find(int id) const;
  TControl& Add(int id, TRect rect, std::string text = {}, TFontRole font = frMessage, bool visible = true);
};

// A caption as measured: without the accelerator "&" ("&&" is a literal "&").
std::string WithoutAccelerator(std::string_view caption);
// The text of index `index` that the request carries, else empty.
std::string RequestText(const TDialogRequest& request, int index);

// ---- Classic dialog ---------------------------------------------------------------------------------

constexpr int kClassicClientWidth = 413;  // a 419-pixel window less its frame
constexpr int kClassicBannerHeight = 51;

// A classic push button: the caption without "&" plus 4 borders plus 16, at least 75.
int ClassicButtonWidth(const IFontMetrics& m, const TFrameMetrics& f, std::string_view caption);
TWindowLayout ClassicLayout(const TDialogRequest& request, const IFontMetrics& m, const TFrameMetrics& f);

// ---- Detailed dialog -----------------------------------------------------------------------------------

// The band of check boxes under the button row: 34, 20 or 0 pixels.
int DetailedBandHeight(uint32_t offered);
// Client size of compact mode and the message's rectangle.
struct TCompactSize {
  int ClientWidth = 0, ClientHeight = 0;
  TRect Message;
};
TCompactSize DetailedCompactSize(const TDialogRequest& request, const IFontMetrics& m, const TFrameMetrics& f);
// The controls of the detailed dialog for a client size; `detailed` says which mode.
TWindowLayout DetailedLayout(const TDialogRequest& request, const IFontMetrics& m, const TFrameMetrics& f, bool detailed,
                             int clientWidth, int clientHeight);
// Where the detailed-mode window goes: the saved rectangle when it lies inside the work area,
// else the same size centred. Sizes are client sizes; the saved height excludes the band.
TRect DetailedPlacement(const TDialogGeometry& saved, int band, const TRect& workArea);

// Pages in page order and the tabs that show them.
enum TPage { pgGeneral, pgCallStack, pgModules, pgProcesses, pgAssembler, pgCpu };
std::vector<int> TabPages(uint32_t offered);  // page index of each tab
int PageOfTab(int tab, uint32_t offered);     // -1 outside the tabs
int TabOfPage(int page, uint32_t offered);    // the first tab when the page has none
// A page's heading and content control within a page of the given size.
struct TPageLayout {
  TRect Heading, Content;
};
TPageLayout PageLayout(int pageWidth, int pageHeight, const IFontMetrics& m);

// ---- Reproduce request and progress window ---------------------------------------------------------

// Dialog units of the message font to pixels.
TRect DialogUnits(const IFontMetrics& m, int x, int y, int w, int h);
TWindowLayout ReproduceLayout(const TReproduceRequest& request, const IFontMetrics& m, const TFrameMetrics& f);
TWindowLayout ProgressLayout(const IFontMetrics& m);

// A rectangle of the given size centred on the work area.
TRect CentredIn(const TRect& workArea, int width, int height);

}  // namespace tarvex_dialog
