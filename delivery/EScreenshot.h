// The screenshot that goes with a report: the program's windows as the user saw them when the
// exception happened, the focus control framed in red and the mouse cursor, written as an 8-bit
// palette PNG. Captured over X11 before any dialog covers the screen; reduced and written only
// when the report is delivered with a screenshot.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "reporting/flow/EFlow.h"
#include "runtime/SysUtils.h"

ZELK_DECLARE_EXCEPTION(EScreenshotError, Exception);

struct TRgb {
  uint8_t R = 0, G = 0, B = 0;
  friend bool operator==(const TRgb&, const TRgb&) = default;
};

// Left and top inclusive, right and bottom exclusive.
struct TPictureRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool Empty() const { return Right <= Left || Bottom <= Top; }
  friend bool operator==(const TPictureRect&, const TPictureRect&) = default;
};
TPictureRect Intersection(const TPictureRect& a, const TPictureRect& b);

// A captured picture: rows from top to bottom, each of RowLength() pixels (the width rounded up
// to a multiple of 4); the pixels past the width stay black.
class TPicture {
 public:
  TPicture() = default;
  TPicture(int width, int height);  // black
  int Width() const { return width_; }
  int Height() const { return height_; }
  int RowLength() const { return rowLength_; }
  TRgb& At(int x, int y) { return pixels_[static_cast<size_t>(y) * rowLength_ + x]; }
  const TRgb& At(int x, int y) const { return pixels_[static_cast<size_t>(y) * rowLength_ + x]; }
  TRgb* Row(int y) { return &pixels_[static_cast<size_t>(y) * rowLength_]; }
  const TRgb* Row(int y) const { return &pixels_[static_cast<size_t>(y) * rowLength_]; }

 private:
  int width_ = 0, height_ = 0, rowLength_ = 0;
  std::vector<TRgb> pixels_;
};

// The largest picture kept: a wider or higher rectangle keeps its top-left part.
constexpr int kMaxPictureSide = 16384;
constexpr int64_t kMaxPicturePixels = int64_t{32} << 20;
// The picture size for a captured rectangle: 0 becomes 1, then the caps.
void CappedPictureSize(int width, int height, int& pictureWidth, int& pictureHeight);

// At most 256 colours by the octree: every pixel of the full row length counts (the padding as
// black), each pixel's index is the palette entry of its own leaf. Entries past `Colours` are
// black.
struct TPaletteImage {
  int Width = 0, Height = 0;
  std::array<TRgb, 256> Palette{};
  int Colours = 0;
  std::vector<uint8_t> Indices;  // Width per row, rows from top to bottom
};
TPaletteImage ReduceColours(const TPicture& picture);

// The PNG file's bytes: signature, IHDR, PLTE (256 entries), the zlib stream (level 9) of the
// rows cut into IDAT chunks of kPngDataChunk bytes (the last one shorter, never empty), IEND.
constexpr size_t kPngDataChunk = 0x3FFFF;
std::string EncodePng(const TPaletteImage& image);
// Writes the file through a temporary name in its folder and a rename; on failure nothing is
// left behind and EScreenshotError is raised.
void WritePngFile(const std::string& fileName, const std::string& png);

// What is drawn over the captured screen.
struct TCursorImage {
  int Width = 0, Height = 0, HotX = 0, HotY = 0;
  std::vector<uint32_t> Argb;  // premultiplied, rows from top to bottom
};
// Two 1-pixel rings in pure red, the second one pixel inside the first.
void DrawFocusFrame(TPicture& picture, const TPictureRect& rect);
// The cursor with its hot spot at (x, y), within its 32 x 32 area.
void DrawCursor(TPicture& picture, int x, int y, const TCursorImage& cursor);
// The windows on screen over the picture, bottom to top; each pixel belongs to the topmost one
// that covers it (none: the desktop).
struct TPictureLayer {
  TPictureRect Rect;
  bool Own = false;
};
// Blackens every pixel that does not belong to one of the program's own windows. False when
// none of the picture is the program's own.
bool KeepOwnWindows(TPicture& picture, const std::vector<TPictureLayer>& layers);

// What the capture and the save ask of the rest of the layer. Empty members read the flow's
// current option set and dialog state and report through ReportWarning.
struct TScreenshotPolicy {
  std::string Display;  // empty: $DISPLAY
  int ReplyDeadlineMs = 2000;
  std::function<bool()> ForegroundOnly;  // sfScreenshotForegroundOnly
  // The user saw the screenshot option in a dialog and left it checked: other programs'
  // windows may then be in the picture.
  std::function<bool()> ShownAndKept;
  // The user did not clear the screenshot option (true without a dialog).
  std::function<bool()> Wanted;
  std::function<void(const std::string& text)> Warn;
};

// The flow's answers: the current option set's sfScreenshotForegroundOnly; kept only when the
// detailed dialog offered the screenshot box and the user left it checked; wanted unless the
// user cleared it; warnings as eeShowError.
TScreenshotPolicy DefaultScreenshotPolicy();

// The flow's screenshot over X11. Without an X display (no DISPLAY, Wayland without XWayland,
// a server that does not answer, a screen that is not TrueColor) there is no file and one
// warning.
std::shared_ptr<IScreenshot> MakeScreenshot();
std::shared_ptr<IScreenshot> MakeScreenshot(TScreenshotPolicy policy);
