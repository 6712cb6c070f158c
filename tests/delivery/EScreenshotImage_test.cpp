// The screenshot's picture work without a display: colour reduction, the PNG stream, the file,
// and what is drawn over the picture.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <set>

#include "delivery/EScreenshot.h"
#include "tests/delivery/EScreenshotDecode.h"

namespace {

TRgb Rgb(int r, int g, int b) { return TRgb{static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b)}; }

// Colours whose upper seven bits differ in every channel combination: one octree node each down
// to the last level.
TRgb Spread(int i) { return Rgb(2 * (i % 16) * 8 + 2, 2 * (i / 16) * 8 + 2, 130); }

struct TReductionCase {
  const char* Name;
  int Width, Height;
  std::vector<TRgb> Colours;  // pixel i takes Colours[i % size]
  int PaletteSize;
  // Pixels whose colour need not be kept, with the colour they get instead.
  std::vector<std::pair<TRgb, TRgb>> Merged;
};

std::vector<TReductionCase> ReductionCases() {
  std::vector<TRgb> all256, extra;
  for (int i = 0; i < 256; ++i) all256.push_back(Spread(i));
  std::vector<TRgb> with257 = all256;
  // Differs from the first colour in the last bit of blue only: the two share the node that is
  // reduced.
  with257.push_back(Rgb(2, 2, 131));
  std::vector<TRgb> fewWithBlack = {Rgb(0, 0, 0), Rgb(255, 255, 255), Rgb(1, 2, 3), Rgb(200, 100, 50)};
  std::vector<TRgb> three = {Rgb(10, 20, 30), Rgb(40, 50, 60), Rgb(250, 240, 230)};
  // A width of 260 leaves no padding; 1300 pixels: six of the first colour, five of the extra
  // one, and the merged entry is the integer mean.
  const TRgb mergedTo = Rgb(2, 2, (130 * 6 + 131 * 5) / 11);
  return {
      {"256 colours kept exactly", 32, 32, all256, 256, {}},
      {"few colours, odd width, black among them", 7, 5, fewWithBlack, 4, {}},
      {"257 colours: the last reducible pair merges", 260, 5, with257, 256,
       {{Rgb(2, 2, 130), mergedTo}, {Rgb(2, 2, 131), mergedTo}}},
      // Row length 4: the three padding pixels of each row are black and take an entry.
      {"1 pixel wide", 1, 6, three, 4, {}},
  };
}

TPicture Filled(const TReductionCase& c) {
  TPicture p(c.Width, c.Height);
  for (int y = 0; y < c.Height; ++y)
    for (int x = 0; x < c.Width; ++x) p.At(x, y) = c.Colours[(static_cast<size_t>(y) * c.Width + x) % c.Colours.size()];
  return p;
}

TEST(ScreenshotColours, OctreeReduction) {
  for (const TReductionCase& c : ReductionCases()) {
    SCOPED_TRACE(c.Name);
    const TPicture picture = Filled(c);
    const TPaletteImage image = ReduceColours(picture);
    EXPECT_EQ(image.Width, c.Width);
    EXPECT_EQ(image.Height, c.Height);
    ASSERT_EQ(image.Indices.size(), static_cast<size_t>(c.Width) * c.Height);
    EXPECT_EQ(image.Colours, c.PaletteSize);
    for (int i = image.Colours; i < 256; ++i) EXPECT_EQ(image.Palette[i], TRgb{}) << "unused entry " << i;
    int wrong = 0;
    for (int y = 0; y < c.Height; ++y)
      for (int x = 0; x < c.Width; ++x) {
        const TRgb original = picture.At(x, y);
        TRgb expected = original;
        for (const auto& [from, to] : c.Merged)
          if (from == original) expected = to;
        const uint8_t index = image.Indices[static_cast<size_t>(y) * c.Width + x];
        if (index >= image.Colours || !(image.Palette[index] == expected)) ++wrong;
      }
    EXPECT_EQ(wrong, 0);
  }
}

TEST(ScreenshotColours, PictureSizeIsCapped) {
  struct {
    int Width, Height, ExpectedWidth, ExpectedHeight;
  } cases[] = {{0, 0, 1, 1}, {1920, 1080, 1920, 1080}, {40000, 10, kMaxPictureSide, 10},
               {16384, 16384, 16384, static_cast<int>(kMaxPicturePixels / 16384)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.Width) + "x" + std::to_string(c.Height));
    int w = 0, h = 0;
    CappedPictureSize(c.Width, c.Height, w, h);
    EXPECT_EQ(w, c.ExpectedWidth);
    EXPECT_EQ(h, c.ExpectedHeight);
  }
}

TEST(ScreenshotPng, NoiseImageChunksCrcsAndStream) {
  TScratchFolder folder;
  TPaletteImage image;
  image.Width = 1024;
  image.Height = 768;
  std::mt19937 random(7);
  for (TRgb& entry : image.Palette) entry = Rgb(random() & 255, random() & 255, random() & 255);
  image.Colours = 256;
  image.Indices.resize(1024 * 768);
  for (uint8_t& index : image.Indices) index = static_cast<uint8_t>(random());
  std::string rows;
  for (int y = 0; y < image.Height; ++y) {
    rows += '\0';
    rows.append(reinterpret_cast<const char*>(&image.Indices[static_cast<size_t>(y) * 1024]), 1024);
  }
  const std::string file = folder.Path() + "/Screenshot.png";
  WritePngFile(file, EncodePng(image));

  const TDecodedPng png = DecodePng(folder.Path(), file, rows);
  EXPECT_FALSE(png.Has("crc bad")) << png.Report;
  EXPECT_FALSE(png.Has("filter")) << png.Report;
  EXPECT_TRUE(png.Has("header 1024 768 8 3 0 0 0")) << png.Report;
  EXPECT_TRUE(png.Has("compress same")) << png.Report;
  // Noise does not compress: the stream is longer than the rows, so three full chunks come first.
  std::istringstream chunks(png.Report.substr(png.Report.find("chunks ") + 7));
  std::vector<std::string> names;
  std::vector<size_t> sizes;
  for (std::string item; chunks >> item && item.find(':') != std::string::npos;) {
    names.push_back(item.substr(0, item.find(':')));
    sizes.push_back(std::stoul(item.substr(item.find(':') + 1)));
  }
  ASSERT_GE(names.size(), 5u) << png.Report;
  EXPECT_EQ(names.front(), "IHDR");
  EXPECT_EQ(sizes[0], 13u);
  EXPECT_EQ(names[1], "PLTE");
  EXPECT_EQ(sizes[1], 768u);
  EXPECT_EQ(names.back(), "IEND");
  EXPECT_EQ(sizes.back(), 0u);
  const size_t dataChunks = names.size() - 3;
  EXPECT_EQ(dataChunks, 4u);
  for (size_t i = 2; i + 1 < names.size(); ++i) {
    EXPECT_EQ(names[i], "IDAT");
    if (i + 2 < names.size()) EXPECT_EQ(sizes[i], kPngDataChunk) << "chunk " << i;
    else EXPECT_GT(sizes[i], 0u);
  }
  ASSERT_EQ(png.Pixels.size(), image.Indices.size());
  int wrong = 0;
  for (size_t i = 0; i < image.Indices.size(); ++i) wrong += !(png.Pixels[i] == image.Palette[image.Indices[i]]);
  EXPECT_EQ(wrong, 0);
}

TEST(ScreenshotPng, OnePixelWidePictureHasOneIndexPerRow) {
  TScratchFolder folder;
  TPicture picture(1, 3);
  picture.At(0, 0) = Rgb(9, 8, 7), picture.At(0, 1) = Rgb(1, 2, 3), picture.At(0, 2) = Rgb(9, 8, 7);
  const std::string file = folder.Path() + "/Screenshot.png";
  WritePngFile(file, EncodePng(ReduceColours(picture)));
  const TDecodedPng png = DecodePng(folder.Path(), file);
  EXPECT_TRUE(png.Has("header 1 3 8 3 0 0 0")) << png.Report;
  ASSERT_EQ(png.Pixels.size(), 3u);
  EXPECT_EQ(png.Pixels[0], Rgb(9, 8, 7));
  EXPECT_EQ(png.Pixels[1], Rgb(1, 2, 3));
  EXPECT_EQ(png.Pixels[2], Rgb(9, 8, 7));
}

TEST(ScreenshotPng, FileAppearsWholeOrNotAtAll) {
  TScratchFolder folder;
  TPaletteImage image;
  image.Width = image.Height = 2;
  image.Indices.assign(4, 0);
  const std::string png = EncodePng(image);
  WritePngFile(folder.Path() + "/Screenshot.png", png);
  EXPECT_EQ(folder.Names(), std::vector<std::string>{"Screenshot.png"});
  EXPECT_THROW(WritePngFile(folder.Path() + "/missing/Screenshot.png", png), EScreenshotError);
  // A name that is a folder: the rename fails and the temporary file goes again.
  ASSERT_EQ(::mkdir((folder.Path() + "/taken").c_str(), 0700), 0);
  EXPECT_THROW(WritePngFile(folder.Path() + "/taken", png), EScreenshotError);
  std::vector<std::string> names = folder.Names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Screenshot.png", "taken"}));
  ::rmdir((folder.Path() + "/taken").c_str());
}

TEST(ScreenshotDrawing, FocusRingsAndCursorArea) {
  const TRgb grey = Rgb(50, 50, 50), red = Rgb(255, 0, 0);
  TPicture picture(60, 60);
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 60; ++x) picture.At(x, y) = grey;
  DrawFocusFrame(picture, TPictureRect{2, 3, 12, 10});
  for (int y = 0; y < 14; ++y)
    for (int x = 0; x < 14; ++x) {
      const bool outer = (x >= 2 && x < 12 && y >= 3 && y < 10) && (x == 2 || x == 11 || y == 3 || y == 9);
      const bool inner = (x >= 3 && x < 11 && y >= 4 && y < 9) && (x == 3 || x == 10 || y == 4 || y == 8);
      EXPECT_EQ(picture.At(x, y), (outer || inner) ? red : grey) << x << "," << y;
    }

  // 40 x 40, opaque white but for a half-transparent premultiplied blue column; the hot spot
  // at (5, 6). Only the 32 x 32 area is drawn.
  TCursorImage cursor;
  cursor.Width = cursor.Height = 40;
  cursor.HotX = 5, cursor.HotY = 6;
  cursor.Argb.assign(40 * 40, 0xFFFFFFFFu);
  for (int y = 0; y < 40; ++y) cursor.Argb[y * 40 + 1] = 0x80000080u;
  TPicture canvas(80, 80);
  for (int y = 0; y < 80; ++y)
    for (int x = 0; x < 80; ++x) canvas.At(x, y) = grey;
  DrawCursor(canvas, 20, 20, cursor);
  const TRgb blended = Rgb((50 * 127 + 127) / 255, (50 * 127 + 127) / 255, 0x80 + (50 * 127 + 127) / 255);
  for (int y = 0; y < 80; ++y)
    for (int x = 0; x < 80; ++x) {
      const bool inside = x >= 15 && x < 47 && y >= 14 && y < 46;
      const TRgb expected = !inside ? grey : x == 16 ? blended : Rgb(255, 255, 255);
      ASSERT_EQ(canvas.At(x, y), expected) << x << "," << y;
    }
}

}  // namespace
