// The capture over X11: the root window's image over the program's windows (or the foreground
// window, or the screen), the program's windows and those of others above them, the focus
// control and the cursor. Everything that is drawn over the image and what others' windows are
// blackened is decided when the file is written, after the dialog.
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

#include "delivery/EScreenshot.h"
#include "delivery/EScreenshotX11.h"
#include "reporting/options/EProgramKind.h"

namespace {

constexpr size_t kStripBytes = size_t{4} << 20;
constexpr int kMaxAncestors = 32;

struct TCaptured {
  TPicture Picture;
  std::vector<TPictureLayer> Layers;  // picture coordinates
  std::optional<TPictureRect> Focus;
  std::optional<TCursorImage> Cursor;
  int CursorX = 0, CursorY = 0;
};

struct TChannel {
  uint32_t Mask = 0;
  int Shift = 0, Bits = 0;
  explicit TChannel(uint32_t mask) : Mask(mask) {
    if (!mask) return;
    while (!((mask >> Shift) & 1)) ++Shift;
    while (Shift + Bits < 32 && ((mask >> (Shift + Bits)) & 1)) ++Bits;
  }
  uint8_t Of(uint32_t pixel) const {
    if (!Bits) return 0;
    const uint32_t v = (pixel & Mask) >> Shift;
    if (Bits >= 8) return static_cast<uint8_t>(v >> (Bits - 8));
    return static_cast<uint8_t>(v * 255 / ((1u << Bits) - 1));
  }
};

struct TPixelFormat {
  int BitsPerPixel = 0, ScanlinePad = 0;
  bool MsbFirst = false;
  TChannel Red{0}, Green{0}, Blue{0};
};

TPixelFormat RootPixelFormat(const TXConnection& x) {
  const xcb_screen_t* screen = x.Screen();
  const xcb_visualtype_t* visual = nullptr;
  for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem && !visual; xcb_depth_next(&d))
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
      if (v.data->visual_id == screen->root_visual) {
        visual = v.data;
        break;
      }
  if (!visual || visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR)
    throw EScreenshotError("The X screen is not a TrueColor screen.");
  TPixelFormat f;
  for (auto it = xcb_setup_pixmap_formats_iterator(x.Setup()); it.rem; xcb_format_next(&it))
    if (it.data->depth == screen->root_depth) {
      f.BitsPerPixel = it.data->bits_per_pixel;
      f.ScanlinePad = it.data->scanline_pad;
    }
  if (f.BitsPerPixel != 8 && f.BitsPerPixel != 16 && f.BitsPerPixel != 24 && f.BitsPerPixel != 32)
    throw EScreenshotError("The X screen's pixel format is not known.");
  f.MsbFirst = x.Setup()->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
  f.Red = TChannel(visual->red_mask);
  f.Green = TChannel(visual->green_mask);
  f.Blue = TChannel(visual->blue_mask);
  return f;
}

TPictureRect RectOf(const xcb_get_geometry_reply_t& g) {
  return TPictureRect{g.x, g.y, g.x + g.width + 2 * g.border_width, g.y + g.height + 2 * g.border_width};
}

TPictureRect Moved(const TPictureRect& r, int dx, int dy) {
  return TPictureRect{r.Left + dx, r.Top + dy, r.Right + dx, r.Bottom + dy};
}

class TX11Capture {
 public:
  TX11Capture(TXConnection& x) : x_(x), c_(x.Get()), root_(x.Screen()->root) {}

  TCaptured Run(bool foregroundOnly) {
    const TPixelFormat format = RootPixelFormat(x_);
    InternAtoms();
    ReadTopLevels();
    TGuiWindowList list;
    const TGuiBridgeHooks hooks = GuiBridgeHooks();
    const bool listed = hooks.ListWindows && hooks.ListWindows(list);
    const std::set<xcb_window_t> own = listed ? FramesOf(list) : FramesByProcessId();
    for (TTopLevel& t : topLevels_) t.Own = own.count(t.Window) > 0;

    const TPictureRect screen{0, 0, x_.Screen()->width_in_pixels, x_.Screen()->height_in_pixels};
    TPictureRect rect = screen;
    if (foregroundOnly) {
      if (std::optional<TPictureRect> foreground = ForegroundRect()) rect = *foreground;
    } else {
      std::optional<TPictureRect> bounds;
      for (const TTopLevel& t : topLevels_)
        if (t.Own)
          bounds = bounds ? TPictureRect{std::min(bounds->Left, t.Rect.Left), std::min(bounds->Top, t.Rect.Top),
                                         std::max(bounds->Right, t.Rect.Right), std::max(bounds->Bottom, t.Rect.Bottom)}
                          : t.Rect;
      if (bounds && OnSomeMonitor(*bounds, screen)) rect = *bounds;
    }

    TCaptured out;
    int width = 0, height = 0;
    CappedPictureSize(rect.Width(), rect.Height(), width, height);
    out.Picture = TPicture(width, height);
    const TPictureRect taken{rect.Left, rect.Top, rect.Left + width, rect.Top + height};
    ReadImage(format, Intersection(taken, screen), rect.Left, rect.Top, out.Picture);
    for (const TTopLevel& t : topLevels_) out.Layers.push_back({Moved(t.Rect, -rect.Left, -rect.Top), t.Own});
    if (listed && list.FocusWindow && list.FocusWidth > 0 && list.FocusHeight > 0) {
      auto at = x_.Reply<xcb_translate_coordinates_reply_t>(
          xcb_translate_coordinates(c_, list.FocusWindow, root_, static_cast<int16_t>(list.FocusLeft),
                                    static_cast<int16_t>(list.FocusTop)).sequence);
      if (at)
        out.Focus = TPictureRect{at->dst_x - rect.Left, at->dst_y - rect.Top, at->dst_x - rect.Left + list.FocusWidth,
                                 at->dst_y - rect.Top + list.FocusHeight};
    }
    ReadCursor(out, rect.Left, rect.Top);
    return out;
  }

 private:
  struct TTopLevel {
    xcb_window_t Window = 0;
    TPictureRect Rect;
    bool Own = false;
  };

  void InternAtoms() {
    auto pid = xcb_intern_atom(c_, 1, 11, "_NET_WM_PID");
    auto active = xcb_intern_atom(c_, 1, 18, "_NET_ACTIVE_WINDOW");
    if (auto r = x_.Reply<xcb_intern_atom_reply_t>(pid.sequence)) pidAtom_ = r->atom;
    if (auto r = x_.Reply<xcb_intern_atom_reply_t>(active.sequence)) activeAtom_ = r->atom;
  }

  // The root's mapped children, bottom to top: the windows (or their frames) on the screen.
  void ReadTopLevels() {
    auto tree = x_.Reply<xcb_query_tree_reply_t>(xcb_query_tree(c_, root_).sequence);
    if (!tree) throw EScreenshotError("The X window tree cannot be read.");
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    std::vector<std::pair<unsigned, unsigned>> asked;
    for (int i = 0; i < count; ++i)
      asked.emplace_back(xcb_get_window_attributes(c_, children[i]).sequence, xcb_get_geometry(c_, children[i]).sequence);
    for (int i = 0; i < count; ++i) {
      auto attributes = x_.Reply<xcb_get_window_attributes_reply_t>(asked[i].first);
      auto geometry = x_.Reply<xcb_get_geometry_reply_t>(asked[i].second);
      if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE) continue;
      topLevels_.push_back({children[i], RectOf(*geometry), false});
    }
  }

  // The ancestor just below the root (the window manager's frame, or the window itself).
  std::optional<xcb_window_t> FrameOf(xcb_window_t window) {
    for (int i = 0; i < kMaxAncestors && window != XCB_NONE; ++i) {
      if (window == root_) return std::nullopt;
      auto tree = x_.Reply<xcb_query_tree_reply_t>(xcb_query_tree(c_, window).sequence);
      if (!tree) return std::nullopt;
      if (tree->parent == root_) return window;
      window = tree->parent;
    }
    return std::nullopt;
  }

  std::set<xcb_window_t> FramesOf(const TGuiWindowList& list) {
    std::set<xcb_window_t> frames;
    for (int i = 0; i < std::min(list.Count, TGuiWindowList::kMaxWindows); ++i)
      if (std::optional<xcb_window_t> frame = FrameOf(list.Windows[i])) frames.insert(*frame);
    return frames;
  }

  bool OwnedByUs(unsigned sequence) {
    auto property = x_.Reply<xcb_get_property_reply_t>(sequence);
    if (!property || property->format != 32 || xcb_get_property_value_length(property.get()) < 4) return false;
    uint32_t pid = 0;
    std::memcpy(&pid, xcb_get_property_value(property.get()), 4);
    return pid == static_cast<uint32_t>(::getpid());
  }

  unsigned AskProcessId(xcb_window_t window) {
    return xcb_get_property(c_, 0, window, pidAtom_, XCB_ATOM_CARDINAL, 0, 1).sequence;
  }

  // Without the bridge: the top-level windows (or a window inside a frame) that name this
  // process in _NET_WM_PID.
  std::set<xcb_window_t> FramesByProcessId() {
    std::set<xcb_window_t> frames;
    if (pidAtom_ == XCB_NONE) return frames;
    std::vector<unsigned> direct;
    for (const TTopLevel& t : topLevels_) direct.push_back(AskProcessId(t.Window));
    std::vector<size_t> unnamed;
    for (size_t i = 0; i < topLevels_.size(); ++i) {
      if (OwnedByUs(direct[i])) frames.insert(topLevels_[i].Window);
      else unnamed.push_back(i);
    }
    std::vector<unsigned> trees;
    for (size_t i : unnamed) trees.push_back(xcb_query_tree(c_, topLevels_[i].Window).sequence);
    for (size_t k = 0; k < unnamed.size(); ++k) {
      auto tree = x_.Reply<xcb_query_tree_reply_t>(trees[k]);
      if (!tree) continue;
      const xcb_window_t* children = xcb_query_tree_children(tree.get());
      std::vector<unsigned> asked;
      for (int j = 0; j < xcb_query_tree_children_length(tree.get()); ++j) asked.push_back(AskProcessId(children[j]));
      bool owned = false;
      for (unsigned sequence : asked) owned = OwnedByUs(sequence) || owned;
      if (owned) frames.insert(topLevels_[unnamed[k]].Window);
    }
    return frames;
  }

  std::optional<TPictureRect> ForegroundRect() {
    if (activeAtom_ == XCB_NONE) return std::nullopt;
    auto property = x_.Reply<xcb_get_property_reply_t>(
        xcb_get_property(c_, 0, root_, activeAtom_, XCB_ATOM_WINDOW, 0, 1).sequence);
    if (!property || property->format != 32 || xcb_get_property_value_length(property.get()) < 4) return std::nullopt;
    xcb_window_t active = 0;
    std::memcpy(&active, xcb_get_property_value(property.get()), 4);
    if (active == XCB_NONE) return std::nullopt;
    std::optional<xcb_window_t> frame = FrameOf(active);
    if (!frame) return std::nullopt;
    auto geometry = x_.Reply<xcb_get_geometry_reply_t>(xcb_get_geometry(c_, *frame).sequence);
    if (!geometry) return std::nullopt;
    return RectOf(*geometry);
  }

  bool OnSomeMonitor(const TPictureRect& rect, const TPictureRect& screen) {
    std::vector<TPictureRect> monitors;
    if (x_.PrepareExtension(&xcb_randr_id, "RANDR")) {
      auto version = x_.Reply<xcb_randr_query_version_reply_t>(xcb_randr_query_version(c_, 1, 5).sequence);
      if (version && (version->major_version > 1 || version->minor_version >= 5)) {
        auto reply = x_.Reply<xcb_randr_get_monitors_reply_t>(xcb_randr_get_monitors(c_, root_, 1).sequence);
        if (reply)
          for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem; xcb_randr_monitor_info_next(&it))
            monitors.push_back({it.data->x, it.data->y, it.data->x + it.data->width, it.data->y + it.data->height});
      }
    }
    if (monitors.empty()) monitors.push_back(screen);
    return std::any_of(monitors.begin(), monitors.end(), [&](const TPictureRect& m) { return !Intersection(m, rect).Empty(); });
  }

  // The root's pixels over `area` (screen coordinates), placed at `area` less the origin.
  void ReadImage(const TPixelFormat& f, const TPictureRect& area, int originX, int originY, TPicture& picture) {
    if (area.Empty()) return;
    const int pad = std::max(f.ScanlinePad, 8);
    const size_t stride = static_cast<size_t>((area.Width() * f.BitsPerPixel + pad - 1) / pad * pad / 8);
    const int rowsPerStrip = static_cast<int>(std::max<size_t>(1, kStripBytes / stride));
    const int bytes = f.BitsPerPixel / 8;
    for (int top = area.Top; top < area.Bottom; top += rowsPerStrip) {
      const int rows = std::min(rowsPerStrip, area.Bottom - top);
      auto image = x_.Reply<xcb_get_image_reply_t>(
          xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, static_cast<int16_t>(area.Left), static_cast<int16_t>(top),
                        static_cast<uint16_t>(area.Width()), static_cast<uint16_t>(rows), ~0u)
              .sequence);
      if (!image) throw EScreenshotError("The screen's image cannot be read.");
      const uint8_t* data = xcb_get_image_data(image.get());
      if (static_cast<size_t>(xcb_get_image_data_length(image.get())) < stride * rows)
        throw EScreenshotError("The screen's image cannot be read.");
      for (int r = 0; r < rows; ++r) {
        const uint8_t* in = data + stride * r;
        TRgb* out = &picture.At(area.Left - originX, top + r - originY);
        for (int i = 0; i < area.Width(); ++i, in += bytes) {
          uint32_t pixel = 0;
          for (int b = 0; b < bytes; ++b) pixel |= uint32_t{in[f.MsbFirst ? bytes - 1 - b : b]} << (8 * b);
          out[i] = TRgb{f.Red.Of(pixel), f.Green.Of(pixel), f.Blue.Of(pixel)};
        }
      }
    }
  }

  void ReadCursor(TCaptured& out, int originX, int originY) {
    if (!x_.PrepareExtension(&xcb_xfixes_id, "XFIXES")) return;
    auto version = x_.Reply<xcb_xfixes_query_version_reply_t>(xcb_xfixes_query_version(c_, 4, 0).sequence);
    if (!version) return;
    auto cursor = x_.Reply<xcb_xfixes_get_cursor_image_reply_t>(xcb_xfixes_get_cursor_image(c_).sequence);
    if (!cursor) return;
    TCursorImage image;
    image.Width = cursor->width;
    image.Height = cursor->height;
    image.HotX = cursor->xhot;
    image.HotY = cursor->yhot;
    const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor.get());
    const int count = xcb_xfixes_get_cursor_image_cursor_image_length(cursor.get());
    if (count < image.Width * image.Height) return;
    image.Argb.assign(pixels, pixels + static_cast<size_t>(image.Width) * image.Height);
    out.Cursor = std::move(image);
    out.CursorX = cursor->x - originX;
    out.CursorY = cursor->y - originY;
  }

  TXConnection& x_;
  xcb_connection_t* c_;
  xcb_window_t root_;
  xcb_atom_t pidAtom_ = XCB_NONE, activeAtom_ = XCB_NONE;
  std::vector<TTopLevel> topLevels_;
};

class TX11Screenshot final : public IScreenshot {
 public:
  explicit TX11Screenshot(TScreenshotPolicy policy) : policy_(std::move(policy)) {}

  void Capture() override {
    captured_.reset();
    try {
      TXConnection x(policy_.Display, policy_.ReplyDeadlineMs);
      captured_ = TX11Capture(x).Run(policy_.ForegroundOnly && policy_.ForegroundOnly());
    } catch (const std::exception& e) {
      if (policy_.Warn) policy_.Warn(e.what());
    }
  }

  void Save(const std::string& fileName) override {
    if (fileName.empty() || !captured_ || (policy_.Wanted && !policy_.Wanted())) return;
    try {
      TCaptured captured = std::move(*captured_);
      captured_.reset();
      const bool everything = policy_.ShownAndKept && policy_.ShownAndKept();
      if (!everything && !KeepOwnWindows(captured.Picture, captured.Layers)) return;
      if (captured.Focus) DrawFocusFrame(captured.Picture, *captured.Focus);
      if (captured.Cursor) DrawCursor(captured.Picture, captured.CursorX, captured.CursorY, *captured.Cursor);
      WritePngFile(fileName, EncodePng(ReduceColours(captured.Picture)));
    } catch (...) {
      // A screenshot that cannot be written is left out of the report.
    }
  }

  void Release() override { captured_.reset(); }

 private:
  TScreenshotPolicy policy_;
  std::optional<TCaptured> captured_;
};

}  // namespace

std::shared_ptr<IScreenshot> MakeScreenshot() { return MakeScreenshot(TScreenshotPolicy{}); }

std::shared_ptr<IScreenshot> MakeScreenshot(TScreenshotPolicy policy) {
  TScreenshotPolicy defaults = DefaultScreenshotPolicy();
  if (!policy.ForegroundOnly) policy.ForegroundOnly = defaults.ForegroundOnly;
  if (!policy.ShownAndKept) policy.ShownAndKept = defaults.ShownAndKept;
  if (!policy.Wanted) policy.Wanted = defaults.Wanted;
  if (!policy.Warn) policy.Warn = defaults.Warn;
  return std::make_shared<TX11Screenshot>(std::move(policy));
}
