#include "crashreport/screenshot/TrOctree.h"

#include <limits>
#include <stdexcept>

namespace tracira {

namespace {

constexpr int kLeafLevel = 8;

std::uint32_t PackColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  // Bit 24 marks the value as valid, so that black is never mistaken for "none".
  return 0x1000000u | (std::uint32_t{red} << 16) | (std::uint32_t{green} << 8) | blue;
}

void CollectLeaves(const TOctreeNode& node, TPalette& palette) {
  if (node.IsLeaf) {
    if (node.PixelCount != 0) {
      palette.push_back({static_cast<std::uint8_t>(node.RedSum / node.PixelCount),
                         static_cast<std::uint8_t>(node.GreenSum / node.PixelCount),
                         static_cast<std::uint8_t>(node.BlueSum / node.PixelCount)});
    }
    return;
  }
  for (const auto& child : node.Child) {
    if (child) CollectLeaves(*child, palette);
  }
}

}  // namespace

TOctreeQuantizer::TOctreeQuantizer(std::uint32_t maxColors) : fMaxColors(maxColors) {
  if (maxColors == 0) throw std::invalid_argument("octree colour limit must be positive");
}

TOctreeQuantizer::~TOctreeQuantizer() { DeleteTree(); }

std::unique_ptr<TOctreeNode> TOctreeQuantizer::CreateOctreeNode(int level) {
  auto node = std::make_unique<TOctreeNode>();
  if (level == kLeafLevel) {
    node->IsLeaf = true;
    ++fLeafCount;
    if (fLeafCount > fPeakLeafCount) fPeakLeafCount = fLeafCount;
  } else {
    node->Next = fReducible[level];
    fReducible[level] = node.get();
  }
  return node;
}

TOctreeNode* TOctreeQuantizer::AddColor(std::unique_ptr<TOctreeNode>& node, std::uint8_t red,
                                        std::uint8_t green, std::uint8_t blue, int level) {
  if (!node) node = CreateOctreeNode(level);
  if (node->IsLeaf) {
    ++node->PixelCount;
    node->RedSum += red;
    node->GreenSum += green;
    node->BlueSum += blue;
    return node.get();
  }
  const unsigned shift = 7u - static_cast<unsigned>(level);
  const unsigned index =
      (((red >> shift) & 1u) << 2) | (((green >> shift) & 1u) << 1) | ((blue >> shift) & 1u);
  return AddColor(node->Child[index], red, green, blue, level + 1);
}

void TOctreeQuantizer::AddPixel(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  const std::uint32_t color = PackColor(red, green, blue);
  if (fLastLeaf != nullptr && color == fLastColor) {
    // Same path, same leaf: no node is created, so no reduction can follow.
    ++fLastLeaf->PixelCount;
    fLastLeaf->RedSum += red;
    fLastLeaf->GreenSum += green;
    fLastLeaf->BlueSum += blue;
    return;
  }
  fLastLeaf = AddColor(fRoot, red, green, blue, 0);
  fLastColor = color;
  while (fLeafCount > fMaxColors && ReduceTree()) {
  }
}

void TOctreeQuantizer::AddBgrRow(std::span<const std::uint8_t> row, std::size_t width) {
  if (row.size() / 3 < width) throw std::out_of_range("24-bit row shorter than its width");
  for (std::size_t x = 0; x < width; ++x) AddPixel(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
}

bool TOctreeQuantizer::ReduceTree() {
  fLastLeaf = nullptr;
  int level = 7;
  while (level > 0 && fReducible[level] == nullptr) --level;
  TOctreeNode* node = fReducible[level];
  if (node == nullptr) return false;  // the root is a leaf already: nothing left to merge
  fReducible[level] = node->Next;
  node->Next = nullptr;

  // Every child is a leaf here: a child still having children would sit in the
  // reducible list of a deeper level, and that level would have been chosen.
  std::uint32_t children = 0;
  for (auto& child : node->Child) {
    if (!child) continue;
    node->PixelCount += child->PixelCount;
    node->RedSum += child->RedSum;
    node->GreenSum += child->GreenSum;
    node->BlueSum += child->BlueSum;
    child.reset();
    ++children;
  }
  node->IsLeaf = true;
  // A node that had a single child becomes a leaf in its place: the count stays.
  if (children != 0) fLeafCount -= children - 1;
  return true;
}

TPalette TOctreeQuantizer::GetPaletteColors() {
  TPalette palette;
  palette.reserve(fLeafCount);
  if (fRoot) CollectLeaves(*fRoot, palette);
  DeleteTree();
  return palette;
}

void TOctreeQuantizer::DeleteTree() {
  // The recursive destruction is at most nine levels deep.
  fRoot.reset();
  fReducible.fill(nullptr);
  fLeafCount = 0;
  fLastLeaf = nullptr;
}

TPalette GetOptimizedPalette(std::span<const std::uint8_t> bgrRows, std::size_t width, std::size_t height,
                             std::size_t stride) {
  if (height != 0 && (stride < width * 3 || bgrRows.size() < (height - 1) * stride + width * 3)) {
    throw std::out_of_range("24-bit picture smaller than its dimensions");
  }
  TOctreeQuantizer quantizer;
  for (std::size_t y = 0; y < height; ++y) quantizer.AddBgrRow(bgrRows.subspan(y * stride, width * 3), width);
  return quantizer.GetPaletteColors();
}

std::vector<std::uint8_t> MapToPalette(std::span<const std::uint8_t> bgrRows, std::size_t width,
                                       std::size_t height, std::size_t stride, const TPalette& palette) {
  if (palette.empty() || palette.size() > 256)
    throw std::invalid_argument("palette must hold 1 to 256 colours");
  if (height != 0 && (stride < width * 3 || bgrRows.size() < (height - 1) * stride + width * 3)) {
    throw std::out_of_range("24-bit picture smaller than its dimensions");
  }
  // A direct-mapped cache of recent colours: screen pictures repeat few colours.
  constexpr std::size_t kCacheSize = 1u << 14;
  struct Slot {
    std::uint32_t Color = 0;  // packed with the valid bit, 0 = empty
    std::uint8_t Index = 0;
  };
  std::vector<Slot> cache(kCacheSize);

  std::vector<std::uint8_t> indices(width * height);
  for (std::size_t y = 0; y < height; ++y) {
    const std::uint8_t* row = bgrRows.data() + y * stride;
    for (std::size_t x = 0; x < width; ++x) {
      const std::uint8_t b = row[3 * x], g = row[3 * x + 1], r = row[3 * x + 2];
      const std::uint32_t color = PackColor(r, g, b);
      Slot& slot = cache[(color * 2654435761u) >> 18];
      if (slot.Color != color) {
        std::uint32_t best = std::numeric_limits<std::uint32_t>::max();
        std::uint8_t bestIndex = 0;
        for (std::size_t i = 0; i < palette.size(); ++i) {
          const int dr = int{r} - palette[i].Red, dg = int{g} - palette[i].Green,
                    db = int{b} - palette[i].Blue;
          const auto d = static_cast<std::uint32_t>(dr * dr + dg * dg + db * db);
          if (d < best) {
            best = d;
            bestIndex = static_cast<std::uint8_t>(i);
            if (d == 0) break;
          }
        }
        slot = {color, bestIndex};
      }
      indices[y * width + x] = slot.Index;
    }
  }
  return indices;
}

}  // namespace tracira
