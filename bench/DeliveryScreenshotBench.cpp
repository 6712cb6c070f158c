// The screenshot of a 1920 x 1080 desktop on a private X server: one window of the program
// covers the screen with a picture of many colours (a smooth gradient with noise, as photos and
// anti-aliased text give), so the reduction has real work. Capture, reduction and encoding
// each alone, then capture to file as the flow runs them.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "delivery/EScreenshot.h"
#include "tests/support/XvfbServer.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080;

uint32_t DesktopPixel(int x, int y, std::mt19937& random) {
  const int noise = static_cast<int>(random() % 9) - 4;
  auto clamp = [](int v) { return static_cast<uint32_t>(std::min(255, std::max(0, v))); };
  return clamp(x * 255 / kWidth + noise) << 16 | clamp(y * 255 / kHeight - noise) << 8 | clamp((x + y) % 256 + noise);
}

// The X server with the program's window, made once for all benchmarks.
struct TDesktop {
  std::unique_ptr<TXvfbServer> Server;
  xcb_connection_t* Connection = nullptr;

  TDesktop() {
    Server = std::make_unique<TXvfbServer>("1920x1080x24");
    if (!Server->Running()) return;
    Connection = xcb_connect(Server->Display().c_str(), nullptr);
    xcb_connection_t* c = Connection;
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, screen->root_depth, pixmap, screen->root, kWidth, kHeight);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pixmap, 0, nullptr);
    std::mt19937 random(1);
    for (int top = 0; top < kHeight; top += 16) {
      std::vector<uint32_t> rows;
      for (int y = top; y < top + 16 && y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) rows.push_back(DesktopPixel(x, y, random));
      xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, kWidth, static_cast<uint16_t>(rows.size() / kWidth), 0, top,
                    0, screen->root_depth, rows.size() * 4, reinterpret_cast<const uint8_t*>(rows.data()));
    }
    const xcb_window_t window = xcb_generate_id(c);
    const uint32_t values[] = {pixmap, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, kWidth, kHeight, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT,
                      values);
    auto* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 11, "_NET_WM_PID"), nullptr);
    const uint32_t pid = static_cast<uint32_t>(::getpid());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atom->atom, XCB_ATOM_CARDINAL, 32, 1, &pid);
    free(atom);
    xcb_map_window(c, window);
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  }
  ~TDesktop() {
    if (Connection) xcb_disconnect(Connection);
  }
};

TDesktop& Desktop() {
  static TDesktop desktop;
  return desktop;
}

TScreenshotPolicy Policy() {
  TScreenshotPolicy p;
  p.Display = Desktop().Server->Display();
  p.ForegroundOnly = [] { return false; };
  p.ShownAndKept = [] { return false; };
  p.Wanted = [] { return true; };
  p.Warn = [](const std::string&) {};
  return p;
}

TPicture SamplePicture() {
  std::mt19937 random(1);
  TPicture picture(kWidth, kHeight);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const uint32_t p = DesktopPixel(x, y, random);
      picture.At(x, y) = TRgb{static_cast<uint8_t>(p >> 16), static_cast<uint8_t>(p >> 8), static_cast<uint8_t>(p)};
    }
  return picture;
}

bool NeedsDesktop(benchmark::State& state) {
  if (Desktop().Server->Running()) return true;
  state.SkipWithError("Xvfb is not installed");
  return false;
}

void BM_Capture(benchmark::State& state) {
  if (!NeedsDesktop(state)) return;
  auto screenshot = MakeScreenshot(Policy());
  for (auto _ : state) {
    screenshot->Capture();
    screenshot->Release();
  }
}
BENCHMARK(BM_Capture)->Unit(benchmark::kMillisecond);

void BM_ReduceColours(benchmark::State& state) {
  const TPicture picture = SamplePicture();
  int colours = 0;
  for (auto _ : state) colours = ReduceColours(picture).Colours;
  state.counters["palette"] = colours;
}
BENCHMARK(BM_ReduceColours)->Unit(benchmark::kMillisecond);

void BM_EncodePng(benchmark::State& state) {
  const TPaletteImage image = ReduceColours(SamplePicture());
  size_t size = 0;
  for (auto _ : state) size = EncodePng(image).size();
  state.counters["file_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_EncodePng)->Unit(benchmark::kMillisecond);

void BM_CaptureToFile(benchmark::State& state) {
  if (!NeedsDesktop(state)) return;
  char folder[] = "/tmp/screenshot-bench-XXXXXX";
  if (!::mkdtemp(folder)) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string file = std::string(folder) + "/Screenshot.png";
  auto screenshot = MakeScreenshot(Policy());
  for (auto _ : state) {
    screenshot->Capture();
    screenshot->Save(file);
    screenshot->Release();
  }
  ::unlink(file.c_str());
  ::rmdir(folder);
}
BENCHMARK(BM_CaptureToFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
