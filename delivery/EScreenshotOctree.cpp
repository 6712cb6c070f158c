// Colour reduction by an octree that is reduced while it is filled, so it never holds more than
// 257 leaves.
#include <array>
#include <memory>

#include "delivery/EScreenshot.h"

namespace {

constexpr int kMaxColours = 256;
constexpr int kLeafLevel = 8;

struct TNode {
  bool Leaf = false;
  uint64_t Count = 0;
  uint64_t Red = 0, Green = 0, Blue = 0;
  std::array<std::unique_ptr<TNode>, 8> Children;
  TNode* NextReducible = nullptr;
  int PaletteIndex = 0;
};

int ChildIndex(const TRgb& c, int level) {
  const int bit = 7 - level;
  return ((c.R >> bit) & 1) << 2 | ((c.G >> bit) & 1) << 1 | ((c.B >> bit) & 1);
}

class TOctree {
 public:
  TOctree() { reducible_[0] = &root_; }

  void Insert(const TRgb& c) {
    TNode* node = &root_;
    for (int level = 0; !node->Leaf; ++level) {
      std::unique_ptr<TNode>& child = node->Children[ChildIndex(c, level)];
      if (!child) {
        child = std::make_unique<TNode>();
        if (level + 1 == kLeafLevel) {
          child->Leaf = true;
          ++leaves_;
        } else {
          child->NextReducible = reducible_[level + 1];
          reducible_[level + 1] = child.get();
        }
      }
      node = child.get();
    }
    node->Count += 1;
    node->Red += c.R, node->Green += c.G, node->Blue += c.B;
    while (leaves_ > kMaxColours) Reduce();
  }

  int MakePalette(std::array<TRgb, 256>& palette) {
    int used = 0;
    Collect(root_, palette, used);
    return used;
  }

  uint8_t IndexOf(const TRgb& c) const {
    const TNode* node = &root_;
    for (int level = 0; !node->Leaf; ++level) {
      const TNode* child = node->Children[ChildIndex(c, level)].get();
      if (!child) break;  // not reached: every pixel was inserted
      node = child;
    }
    return static_cast<uint8_t>(node->PaletteIndex);
  }

 private:
  void Reduce() {
    int level = kLeafLevel - 1;
    while (level > 0 && !reducible_[level]) --level;
    TNode* node = reducible_[level];
    if (!node) return;
    reducible_[level] = node->NextReducible;
    node->NextReducible = nullptr;
    int merged = 0;
    for (std::unique_ptr<TNode>& child : node->Children) {
      if (!child) continue;
      node->Count += child->Count;
      node->Red += child->Red, node->Green += child->Green, node->Blue += child->Blue;
      child.reset();
      ++merged;
    }
    node->Leaf = true;
    leaves_ += 1 - merged;
  }

  static void Collect(TNode& node, std::array<TRgb, 256>& palette, int& used) {
    if (node.Leaf) {
      if (used >= kMaxColours) return;  // not reached: the tree holds at most 256 leaves here
      node.PaletteIndex = used;
      if (node.Count)
        palette[used] = TRgb{static_cast<uint8_t>(node.Red / node.Count), static_cast<uint8_t>(node.Green / node.Count),
                             static_cast<uint8_t>(node.Blue / node.Count)};
      ++used;
      return;
    }
    for (std::unique_ptr<TNode>& child : node.Children)
      if (child) Collect(*child, palette, used);
  }

  TNode root_;
  std::array<TNode*, kLeafLevel> reducible_{};
  int leaves_ = 0;
};

}  // namespace

TPaletteImage ReduceColours(const TPicture& picture) {
  TPaletteImage image;
  image.Width = picture.Width();
  image.Height = picture.Height();
  auto tree = std::make_unique<TOctree>();
  for (int y = 0; y < picture.Height(); ++y) {
    const TRgb* row = picture.Row(y);
    for (int x = 0; x < picture.RowLength(); ++x) tree->Insert(row[x]);
  }
  image.Colours = tree->MakePalette(image.Palette);
  image.Indices.resize(static_cast<size_t>(image.Width) * image.Height);
  uint8_t* out = image.Indices.data();
  for (int y = 0; y < picture.Height(); ++y) {
    const TRgb* row = picture.Row(y);
    for (int x = 0; x < picture.Width(); ++x) *out++ = tree->IndexOf(row[x]);
  }
  return image;
}
