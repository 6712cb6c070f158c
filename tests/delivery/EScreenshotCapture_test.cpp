// The capture on private X servers: windows with known contents made with plain xcb, the
// program's own found through the GUI bridge's list or their _NET_WM_PID, a focus rectangle, a
// cursor warped into place; the PNG decoded by Python and compared pixel by pixel.
#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstring>
#include <functional>
#include <optional>

#include "delivery/EScreenshot.h"
#include "reporting/options/EProgramKind.h"
#include "tests/delivery/EScreenshotDecode.h"
#include "tests/support/TestSupport.h"
#include "tests/support/XvfbServer.h"

namespace {

constexpr int kScreenWidth = 1024, kScreenHeight = 768;
const TRgb kDesktop{0x40, 0x40, 0x40}, kForeign{0x20, 0x90, 0xE0}, kFrame{0xC0, 0xB0, 0x10};
const TRgb kCursorFore{0, 255, 0}, kCursorBack{255, 255, 255}, kRed{255, 0, 0};
constexpr int kCursorSize = 12, kHotX = 3, kHotY = 5;

TRgb Rgb(int r, int g, int b) { return TRgb{static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b)}; }

// 100 colours in blocks of 4 x 4.
TRgb HundredColours(int x, int y) {
  const int i = (x / 4 + (y / 4) * 16) % 100;
  return Rgb(10 + (i % 10) * 24, 10 + (i / 10) * 24, 77);
}
// 300 colours, in pairs that differ in the last bit of blue only: the reduction merges pairs
// and every pixel stays within 1 of its colour.
TRgb ThreeHundredColours(int x, int y) {
  const int i = (x + y * 20) % 300, base = i / 2;
  return Rgb(20 + (base % 15) * 15, 130 + (base / 15) * 10, 200 + i % 2);
}

enum TContent { ctHundred, ctThreeHundred, ctForeign, ctFrame };

TRgb ContentAt(TContent content, int x, int y) {
  switch (content) {
    case ctHundred: return HundredColours(x, y);
    case ctThreeHundred: return ThreeHundredColours(x, y);
    case ctForeign: return kForeign;
    case ctFrame: return kFrame;
  }
  return {};
}

struct TWindowSpec {
  TPictureRect Rect;  // in the parent's coordinates
  TContent Content;
  bool Own;
  int Parent = -1;  // index of an earlier window; -1: the root
};

TGuiWindowList g_bridgeList;
bool BridgeList(TGuiWindowList& list) {
  list = g_bridgeList;
  return true;
}

class TTestDisplay {
 public:
  explicit TTestDisplay(const std::string& display) {
    c_ = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c_)) return;
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    pidAtom_ = Atom("_NET_WM_PID");
    activeAtom_ = Atom("_NET_ACTIVE_WINDOW");
    const uint32_t background = 0x404040;
    xcb_change_window_attributes(c_, screen_->root, XCB_CW_BACK_PIXEL, &background);
    xcb_clear_area(c_, 0, screen_->root, 0, 0, 0, 0);
    MakeCursor();
    // The root shows the test cursor too, so the pointer's cursor is known wherever it is.
    xcb_change_window_attributes(c_, screen_->root, XCB_CW_CURSOR, &cursor_);
    Sync();
  }
  ~TTestDisplay() { xcb_disconnect(c_); }
  bool Ok() const { return !xcb_connection_has_error(c_); }
  xcb_connection_t* Get() const { return c_; }
  xcb_window_t Root() const { return screen_->root; }

  xcb_window_t Create(const TWindowSpec& window, xcb_window_t parent) {
    const xcb_window_t w = xcb_generate_id(c_);
    const int width = window.Rect.Width(), height = window.Rect.Height();
    const xcb_pixmap_t pixmap = xcb_generate_id(c_);
    xcb_create_pixmap(c_, screen_->root_depth, pixmap, screen_->root, width, height);
    const xcb_gcontext_t gc = xcb_generate_id(c_);
    xcb_create_gc(c_, gc, pixmap, 0, nullptr);
    for (int top = 0; top < height; top += 16) {  // strips stay below the request size limit
      const int rows = std::min(16, height - top);
      std::vector<uint32_t> pixels;
      for (int y = top; y < top + rows; ++y)
        for (int x = 0; x < width; ++x) {
          const TRgb c = ContentAt(window.Content, x, y);
          pixels.push_back(uint32_t{c.R} << 16 | uint32_t{c.G} << 8 | c.B);
        }
      xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, width, rows, 0, top, 0, screen_->root_depth,
                    pixels.size() * 4, reinterpret_cast<const uint8_t*>(pixels.data()));
    }
    const uint32_t values[] = {pixmap, 1, cursor_};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, w, parent, window.Rect.Left, window.Rect.Top, width, height, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_CURSOR, values);
    if (window.Content != ctFrame) {
      const uint32_t pid = window.Own ? static_cast<uint32_t>(::getpid()) : static_cast<uint32_t>(::getpid()) + 100000;
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, w, pidAtom_, XCB_ATOM_CARDINAL, 32, 1, &pid);
    }
    xcb_map_window(c_, w);
    xcb_free_gc(c_, gc);
    xcb_free_pixmap(c_, pixmap);
    windows_.push_back(w);
    return w;
  }

  void SetActive(std::optional<xcb_window_t> window) {
    if (window) xcb_change_property(c_, XCB_PROP_MODE_REPLACE, screen_->root, activeAtom_, XCB_ATOM_WINDOW, 32, 1, &*window);
    else xcb_delete_property(c_, screen_->root, activeAtom_);
  }
  void WarpPointer(int x, int y) {
    xcb_warp_pointer(c_, XCB_NONE, screen_->root, 0, 0, 0, 0, static_cast<int16_t>(x), static_cast<int16_t>(y));
  }
  void DestroyAll() {
    for (auto it = windows_.rbegin(); it != windows_.rend(); ++it) xcb_destroy_window(c_, *it);
    windows_.clear();
    Sync();
  }
  void Sync() { free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

 private:
  xcb_atom_t Atom(const char* name) {
    auto* reply = xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : XCB_NONE;
    free(reply);
    return atom;
  }
  // 12 x 12, the left half in the foreground colour, the right half in the background colour.
  void MakeCursor() {
    const xcb_pixmap_t source = xcb_generate_id(c_), mask = xcb_generate_id(c_);
    for (xcb_pixmap_t p : {source, mask}) xcb_create_pixmap(c_, 1, p, screen_->root, 16, 16);
    const xcb_gcontext_t gc = xcb_generate_id(c_);
    xcb_create_gc(c_, gc, source, 0, nullptr);
    auto fill = [&](xcb_pixmap_t p, uint32_t value, xcb_rectangle_t r) {
      xcb_change_gc(c_, gc, XCB_GC_FOREGROUND, &value);
      xcb_poly_fill_rectangle(c_, p, gc, 1, &r);
    };
    fill(source, 0, {0, 0, 16, 16});
    fill(source, 1, {0, 0, kCursorSize / 2, kCursorSize});
    fill(mask, 0, {0, 0, 16, 16});
    fill(mask, 1, {0, 0, kCursorSize, kCursorSize});
    cursor_ = xcb_generate_id(c_);
    xcb_create_cursor(c_, cursor_, source, mask, 0, 0xFFFF, 0, 0xFFFF, 0xFFFF, 0xFFFF, kHotX, kHotY);
    xcb_free_gc(c_, gc);
    xcb_free_pixmap(c_, source);
    xcb_free_pixmap(c_, mask);
  }

  xcb_connection_t* c_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  xcb_atom_t pidAtom_ = XCB_NONE, activeAtom_ = XCB_NONE;
  xcb_cursor_t cursor_ = XCB_NONE;
  std::vector<xcb_window_t> windows_;
};

struct TCaptureCase {
  const char* Name;
  std::vector<TWindowSpec> Windows;
  bool Bridge;  // the bridge lists the own windows; otherwise _NET_WM_PID finds them
  bool ForegroundOnly;
  int Active;  // index of the window named in _NET_ACTIVE_WINDOW; -1 none
  bool Kept;   // the user saw the option in a dialog and kept it
  std::optional<TPictureRect> Picture;  // screen rectangle of the picture; none: no file
  int Tolerance;  // per channel, 1 when the 300-colour window is in the picture
};

const TWindowSpec kOwnHundred{{100, 80, 164, 128}, ctHundred, true};
const TWindowSpec kOwnThreeHundred{{300, 200, 360, 250}, ctThreeHundred, true};
const TWindowSpec kForeignOver{{150, 110, 250, 160}, ctForeign, false};  // over part of the first one
// The pointer sits in the first window, away from the foreign one; the focus rectangle is in it
// too (client coordinates).
constexpr int kPointerX = 112, kPointerY = 90;
const TPictureRect kFocus{30, 6, 60, 20};

std::vector<TCaptureCase> CaptureCases() {
  return {
      {"all windows, only the own ones shown", {kOwnHundred, kOwnThreeHundred, kForeignOver}, true, false, -1, false,
       TPictureRect{100, 80, 360, 250}, 1},
      {"all windows, shown and kept in a dialog", {kOwnHundred, kOwnThreeHundred, kForeignOver}, true, false, -1, true,
       TPictureRect{100, 80, 360, 250}, 1},
      {"foreground only", {kOwnHundred, kOwnThreeHundred, kForeignOver}, true, true, 0, false,
       TPictureRect{100, 80, 164, 128}, 0},
      {"foreground only without a foreground window", {kOwnHundred, kOwnThreeHundred, kForeignOver}, true, true, -1,
       false, TPictureRect{0, 0, kScreenWidth, kScreenHeight}, 1},
      {"partly off-screen", {{{-20, 730, 44, 778}, ctHundred, true}}, true, false, -1, true,
       TPictureRect{-20, 730, 44, 778}, 0},
      {"off every monitor: the desktop", {{{2000, 2000, 2064, 2048}, ctHundred, true}, kForeignOver}, true, false, -1,
       true, TPictureRect{0, 0, kScreenWidth, kScreenHeight}, 0},
      {"no window of ours", {kForeignOver}, false, false, -1, false, std::nullopt, 0},
      {"no window of ours, shown and kept: the desktop", {kForeignOver}, false, false, -1, true,
       TPictureRect{0, 0, kScreenWidth, kScreenHeight}, 0},
      {"framed window found by its process id",
       {{{90, 60, 190, 150}, ctFrame, false}, {{8, 20, 72, 68}, ctHundred, true, 0}, kForeignOver}, false, false, -1,
       false, TPictureRect{90, 60, 190, 150}, 0},
  };
}

// The screen as the cases build it: windows in creation order are also bottom to top.
struct TScreenModel {
  struct TPlaced {
    TPictureRect Rect;  // screen coordinates
    TContent Content;
    bool Own;
  };
  std::vector<TPlaced> Placed;
  explicit TScreenModel(const std::vector<TWindowSpec>& windows) {
    for (const TWindowSpec& w : windows) {
      TPictureRect r = w.Rect;
      bool own = w.Own;
      if (w.Parent >= 0) {
        const TPlaced& p = Placed[w.Parent];
        r = TPictureRect{p.Rect.Left + r.Left, p.Rect.Top + r.Top, p.Rect.Left + r.Right, p.Rect.Top + r.Bottom};
        own = own || p.Own;
      }
      Placed.push_back({r, w.Content, own});
      if (w.Parent >= 0 && own) Placed[w.Parent].Own = true;  // the frame is the program's
    }
  }
  // Top-level own-ness: a child's pixel belongs to its frame.
  TRgb At(int x, int y, bool kept, const std::vector<TWindowSpec>& windows) const {
    if (x < 0 || y < 0 || x >= kScreenWidth || y >= kScreenHeight) return {};
    TRgb colour = kDesktop;
    bool own = false;
    for (size_t i = 0; i < Placed.size(); ++i) {
      const TPlaced& p = Placed[i];
      if (x < p.Rect.Left || y < p.Rect.Top || x >= p.Rect.Right || y >= p.Rect.Bottom) continue;
      colour = ContentAt(p.Content, x - p.Rect.Left, y - p.Rect.Top);
      own = windows[i].Parent >= 0 ? Placed[windows[i].Parent].Own : p.Own;
    }
    return (kept || own) ? colour : TRgb{};
  }
};

class ScreenshotCapture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new TXvfbServer("1024x768x24"); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (!server_->Running()) GTEST_SKIP() << "Xvfb is not installed";
  }
  void TearDown() override { SetGuiBridgeHooks({}); }

  static TScreenshotPolicy Policy(bool foregroundOnly, bool kept, std::vector<std::string>* warnings) {
    TScreenshotPolicy p;
    p.Display = server_->Display();
    p.ForegroundOnly = [foregroundOnly] { return foregroundOnly; };
    p.ShownAndKept = [kept] { return kept; };
    p.Wanted = [] { return true; };
    p.Warn = [warnings](const std::string& text) { warnings->push_back(text); };
    return p;
  }

  static TXvfbServer* server_;
};
TXvfbServer* ScreenshotCapture::server_ = nullptr;

TEST_F(ScreenshotCapture, ModesComparedPixelByPixel) {
  TTestDisplay x(server_->Display());
  ASSERT_TRUE(x.Ok());
  for (const TCaptureCase& c : CaptureCases()) {
    SCOPED_TRACE(c.Name);
    std::vector<xcb_window_t> ids;
    for (const TWindowSpec& w : c.Windows) ids.push_back(x.Create(w, w.Parent >= 0 ? ids[w.Parent] : x.Root()));
    x.SetActive(c.Active >= 0 ? std::optional<xcb_window_t>(ids[c.Active]) : std::nullopt);
    x.WarpPointer(kPointerX, kPointerY);
    x.Sync();
    // The bridge names the own top-level windows and the focus control in the first of them.
    std::optional<TPictureRect> focus;
    if (c.Bridge) {
      g_bridgeList = TGuiWindowList{};
      for (size_t i = 0; i < c.Windows.size(); ++i)
        if (c.Windows[i].Own && c.Windows[i].Parent < 0) g_bridgeList.Windows[g_bridgeList.Count++] = ids[i];
      g_bridgeList.FocusWindow = ids[0];
      g_bridgeList.FocusLeft = kFocus.Left, g_bridgeList.FocusTop = kFocus.Top;
      g_bridgeList.FocusWidth = kFocus.Width(), g_bridgeList.FocusHeight = kFocus.Height();
      const TPictureRect& first = c.Windows[0].Rect;
      focus = TPictureRect{first.Left + kFocus.Left, first.Top + kFocus.Top, first.Left + kFocus.Right,
                           first.Top + kFocus.Bottom};
      TGuiBridgeHooks hooks;
      hooks.ListWindows = &BridgeList;
      SetGuiBridgeHooks(hooks);
    } else {
      SetGuiBridgeHooks({});
    }

    std::vector<std::string> warnings;
    TScratchFolder folder;
    auto screenshot = MakeScreenshot(Policy(c.ForegroundOnly, c.Kept, &warnings));
    screenshot->Capture();
    const std::string file = folder.Path() + "/Screenshot.png";
    screenshot->Save(file);
    screenshot->Release();
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    x.DestroyAll();
    if (!c.Picture) {
      EXPECT_TRUE(folder.Names().empty());
      continue;
    }
    const TDecodedPng png = DecodePng(folder.Path(), file);
    const TPictureRect r = *c.Picture;
    ASSERT_EQ(png.Width, r.Width()) << png.Report;
    ASSERT_EQ(png.Height, r.Height());
    ASSERT_EQ(png.Pixels.size(), static_cast<size_t>(r.Width()) * r.Height());

    // The expected picture: the screen, the focus rings, the cursor at the pointer less its hot spot.
    const TScreenModel model(c.Windows);
    TPicture expected(r.Width(), r.Height());
    for (int y = 0; y < r.Height(); ++y)
      for (int px = 0; px < r.Width(); ++px) expected.At(px, y) = model.At(px + r.Left, y + r.Top, c.Kept, c.Windows);
    if (focus) {
      const TPictureRect f = *focus;
      for (int ring = 0; ring < 2; ++ring)
        for (int y = f.Top + ring; y < f.Bottom - ring; ++y)
          for (int px = f.Left + ring; px < f.Right - ring; ++px)
            if (y == f.Top + ring || y == f.Bottom - ring - 1 || px == f.Left + ring || px == f.Right - ring - 1)
              if (px >= r.Left && px < r.Right && y >= r.Top && y < r.Bottom) expected.At(px - r.Left, y - r.Top) = kRed;
    }
    for (int cy = 0; cy < kCursorSize; ++cy)
        for (int cx = 0; cx < kCursorSize; ++cx) {
          const int sx = kPointerX - kHotX + cx - r.Left, sy = kPointerY - kHotY + cy - r.Top;
          if (sx < 0 || sy < 0 || sx >= r.Width() || sy >= r.Height()) continue;
          expected.At(sx, sy) = cx < kCursorSize / 2 ? kCursorFore : kCursorBack;
        }

    int wrong = 0;
    std::string first;
    for (int y = 0; y < r.Height(); ++y)
      for (int px = 0; px < r.Width(); ++px) {
        const TRgb got = png.At(px, y), want = expected.At(px, y);
        if (std::abs(got.R - want.R) > c.Tolerance || std::abs(got.G - want.G) > c.Tolerance ||
            std::abs(got.B - want.B) > c.Tolerance) {
          if (!wrong++)
            first = "at " + std::to_string(px) + "," + std::to_string(y) + " got " + std::to_string(got.R) + "/" +
                    std::to_string(got.G) + "/" + std::to_string(got.B) + " want " + std::to_string(want.R) + "/" +
                    std::to_string(want.G) + "/" + std::to_string(want.B);
        }
      }
    EXPECT_EQ(wrong, 0) << first;
  }
}

}  // namespace

namespace {

// Without a usable X display there is no file and one warning. A capture that waited for the
// grab would never come back: the grab ends only after it.
TEST(ScreenshotWithoutX, NoFileOneWarning) {
  TXvfbServer grabbed("640x480x24");
  TXvfbServer paletted("640x480x8");
  if (!grabbed.Running() || !paletted.Running()) GTEST_SKIP() << "Xvfb is not installed";
  // Another client holds the server: nothing else is served until it lets go.
  xcb_connection_t* holder = xcb_connect(grabbed.Display().c_str(), nullptr);
  ASSERT_FALSE(xcb_connection_has_error(holder));
  // A connection made before the grab waits for its first reply instead of its setup.
  struct {
    const char* Name;
    std::string Display;  // empty: $DISPLAY, which is unset
    bool GrabFirst;
  } cases[] = {
      {"no DISPLAY (also Wayland without XWayland)", "", false},
      {"no server on the display", ":" + std::to_string(TXvfbServer::FreeDisplayNumber()), false},
      {"a PseudoColor screen", paletted.Display(), false},
      {"a server grabbed by another client", grabbed.Display(), true},
  };
  ScopedEnv noDisplay("DISPLAY", nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.GrabFirst) {
      xcb_grab_server(holder);
      free(xcb_get_input_focus_reply(holder, xcb_get_input_focus(holder), nullptr));
    }
    std::vector<std::string> warnings;
    TScreenshotPolicy policy;
    policy.Display = c.Display;
    policy.ReplyDeadlineMs = 500;
    policy.ForegroundOnly = [] { return false; };
    policy.ShownAndKept = [] { return true; };
    policy.Wanted = [] { return true; };
    policy.Warn = [&warnings](const std::string& text) { warnings.push_back(text); };
    TScratchFolder folder;
    auto screenshot = MakeScreenshot(policy);
    screenshot->Capture();
    screenshot->Save(folder.Path() + "/Screenshot.png");
    screenshot->Release();
    if (c.GrabFirst) {
      xcb_ungrab_server(holder);
      free(xcb_get_input_focus_reply(holder, xcb_get_input_focus(holder), nullptr));
    }
    EXPECT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(folder.Names().empty());
  }
  xcb_disconnect(holder);
}

}  // namespace

namespace {

#ifdef SCREENSHOT_QT_CHILD
// The bridge's list on a real Qt program: its two windows bound the picture, the desktop
// between them is black, the focused line edit is framed.
TEST(ScreenshotQtBridge, ProgramWindowsAndFocusFrame) {
  TXvfbServer server("1024x768x24");
  if (!server.Running()) GTEST_SKIP() << "Xvfb is not installed";
  TScratchFolder folder;
  const std::string file = folder.Path() + "/Screenshot.png";
  std::string output;
  const std::string command =
      "DISPLAY=" + server.Display() + " QT_QPA_PLATFORM=xcb timeout 60 " SCREENSHOT_QT_CHILD " " + file + " 2>&1";
  if (FILE* child = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, child)) output += buffer;
    ::pclose(child);
  }
  ASSERT_NE(output.find("DONE"), std::string::npos) << output;
  EXPECT_EQ(output.find("WARNING"), std::string::npos) << output;
  auto rect = [&](const char* name) {
    TPictureRect r;
    const size_t at = output.find(std::string(name) + " ");
    if (at == std::string::npos) return r;
    int x = 0, y = 0, w = 0, h = 0;
    std::sscanf(output.c_str() + at + std::strlen(name), "%d %d %d %d", &x, &y, &w, &h);
    return TPictureRect{x, y, x + w, y + h};
  };
  const TPictureRect first = rect("FIRST"), second = rect("SECOND"), focus = rect("FOCUS");
  const TPictureRect bounds{std::min(first.Left, second.Left), std::min(first.Top, second.Top),
                            std::max(first.Right, second.Right), std::max(first.Bottom, second.Bottom)};
  const TDecodedPng png = DecodePng(folder.Path(), file);
  ASSERT_EQ(png.Width, bounds.Width()) << output << png.Report;
  ASSERT_EQ(png.Height, bounds.Height());
  auto at = [&](int x, int y) { return png.At(x - bounds.Left, y - bounds.Top); };
  EXPECT_EQ(at(first.Left + 5, first.Bottom - 5), Rgb(30, 160, 90));
  EXPECT_EQ(at(second.Left + 50, second.Top + 40), Rgb(200, 60, 160));
  EXPECT_EQ(at(second.Left - 20, first.Bottom + 20), TRgb{});  // the desktop between them
  for (int ring = 0; ring < 2; ++ring) {
    SCOPED_TRACE("ring " + std::to_string(ring));
    EXPECT_EQ(at(focus.Left + ring, focus.Top + 10), kRed);
    EXPECT_EQ(at(focus.Right - 1 - ring, focus.Top + 10), kRed);
    EXPECT_EQ(at(focus.Left + 40, focus.Top + ring), kRed);
    EXPECT_EQ(at(focus.Left + 40, focus.Bottom - 1 - ring), kRed);
  }
  EXPECT_NE(at(focus.Left - 1, focus.Top + 10), kRed);
  EXPECT_NE(at(focus.Left + 2, focus.Top + 10), kRed);
}

#endif

}  // namespace
