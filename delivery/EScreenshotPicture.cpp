// The captured picture and what is drawn over it.
#include <algorithm>

#include "delivery/EScreenshot.h"

namespace {

constexpr int kCursorArea = 32;
const TRgb kFrameRed{255, 0, 0};

void SetPixel(TPicture& picture, int x, int y, const TRgb& colour) {
  if (x >= 0 && y >= 0 && x < picture.Width() && y < picture.Height()) picture.At(x, y) = colour;
}

void FrameRing(TPicture& picture, const TPictureRect& r) {
  if (r.Empty()) return;
  for (int x = r.Left; x < r.Right; ++x) {
    SetPixel(picture, x, r.Top, kFrameRed);
    SetPixel(picture, x, r.Bottom - 1, kFrameRed);
  }
  for (int y = r.Top; y < r.Bottom; ++y) {
    SetPixel(picture, r.Left, y, kFrameRed);
    SetPixel(picture, r.Right - 1, y, kFrameRed);
  }
}

uint8_t Over(uint32_t source, int shift, uint8_t destination, uint32_t alpha) {
  const uint32_t s = (source >> shift) & 0xFF;
  return static_cast<uint8_t>(std::min<uint32_t>(255, s + (destination * (255 - alpha) + 127) / 255));
}

}  // namespace

TPictureRect Intersection(const TPictureRect& a, const TPictureRect& b) {
  TPictureRect r{std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right),
                 std::min(a.Bottom, b.Bottom)};
  if (r.Empty()) return {};
  return r;
}

TPicture::TPicture(int width, int height)
    : width_(width),
      height_(height),
      rowLength_((width + 3) & ~3),
      pixels_(static_cast<size_t>(rowLength_) * height) {}

void CappedPictureSize(int width, int height, int& pictureWidth, int& pictureHeight) {
  pictureWidth = std::clamp(width, 1, kMaxPictureSide);
  pictureHeight = std::clamp(height, 1, kMaxPictureSide);
  if (int64_t{pictureWidth} * pictureHeight > kMaxPicturePixels)
    pictureHeight = static_cast<int>(kMaxPicturePixels / pictureWidth);
}

void DrawFocusFrame(TPicture& picture, const TPictureRect& rect) {
  FrameRing(picture, rect);
  FrameRing(picture, TPictureRect{rect.Left + 1, rect.Top + 1, rect.Right - 1, rect.Bottom - 1});
}

void DrawCursor(TPicture& picture, int x, int y, const TCursorImage& cursor) {
  const int left = x - cursor.HotX, top = y - cursor.HotY;
  const int width = std::min(cursor.Width, kCursorArea), height = std::min(cursor.Height, kCursorArea);
  if (cursor.Argb.size() < static_cast<size_t>(cursor.Width) * cursor.Height) return;
  for (int cy = 0; cy < height; ++cy) {
    const int py = top + cy;
    if (py < 0 || py >= picture.Height()) continue;
    for (int cx = 0; cx < width; ++cx) {
      const int px = left + cx;
      if (px < 0 || px >= picture.Width()) continue;
      const uint32_t argb = cursor.Argb[static_cast<size_t>(cy) * cursor.Width + cx];
      const uint32_t alpha = argb >> 24;
      if (alpha == 0) continue;
      TRgb& d = picture.At(px, py);
      d = TRgb{Over(argb, 16, d.R, alpha), Over(argb, 8, d.G, alpha), Over(argb, 0, d.B, alpha)};
    }
  }
}

bool KeepOwnWindows(TPicture& picture, const std::vector<TPictureLayer>& layers) {
  const TPictureRect whole{0, 0, picture.Width(), picture.Height()};
  std::vector<uint8_t> own(static_cast<size_t>(picture.Width()) * picture.Height(), 0);
  for (const TPictureLayer& layer : layers) {
    const TPictureRect r = Intersection(layer.Rect, whole);
    for (int y = r.Top; y < r.Bottom; ++y)
      std::fill_n(own.begin() + static_cast<ptrdiff_t>(y) * picture.Width() + r.Left, r.Width(), layer.Own ? 1 : 0);
  }
  bool any = false;
  for (int y = 0; y < picture.Height(); ++y) {
    TRgb* row = picture.Row(y);
    const uint8_t* keep = own.data() + static_cast<size_t>(y) * picture.Width();
    for (int x = 0; x < picture.Width(); ++x) {
      if (keep[x]) any = true;
      else row[x] = TRgb{};
    }
  }
  return any;
}
