// Octree colour quantiser of the crash reporter's screenshot: reduces a
// true-colour picture to an optimised palette of at most 256 colours while
// holding no more than 257 leaves at any moment, so that its memory does not
// grow with the size of the screen.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace tracira {

struct TPaletteColor {
  std::uint8_t Red = 0;
  std::uint8_t Green = 0;
  std::uint8_t Blue = 0;
  friend bool operator==(const TPaletteColor&, const TPaletteColor&) = default;
};

using TPalette = std::vector<TPaletteColor>;

// One tree node. The sums are 64-bit: a multi-monitor capture has enough
// pixels of one colour to overflow 32 bits and shift the colour.
struct TOctreeNode {
  bool IsLeaf = false;
  std::uint64_t PixelCount = 0;
  std::uint64_t RedSum = 0;
  std::uint64_t GreenSum = 0;
  std::uint64_t BlueSum = 0;
  TOctreeNode* Next = nullptr;  // next reducible node of the same level (not owned)
  std::array<std::unique_ptr<TOctreeNode>, 8> Child;
};

// The quantiser behind GetOptimizedPalette. Pixels are fed in picture order
// (rows from the top); after each pixel the tree is reduced while it holds more
// leaves than the colour limit.
class TOctreeQuantizer {
 public:
  static constexpr std::uint32_t kMaxColors = 256;

  explicit TOctreeQuantizer(std::uint32_t maxColors = kMaxColors);
  ~TOctreeQuantizer();
  TOctreeQuantizer(const TOctreeQuantizer&) = delete;
  TOctreeQuantizer& operator=(const TOctreeQuantizer&) = delete;

  void AddPixel(std::uint8_t red, std::uint8_t green, std::uint8_t blue);
  // One row of 24-bit pixels in the platform's bitmap byte order: blue, green, red.
  void AddBgrRow(std::span<const std::uint8_t> row, std::size_t width);

  // The palette (depth first, children in index order) and the tree is emptied.
  TPalette GetPaletteColors();

  std::uint32_t LeafCount() const noexcept { return fLeafCount; }
  // Largest leaf count seen so far (the reduction keeps it at limit + 1).
  std::uint32_t PeakLeafCount() const noexcept { return fPeakLeafCount; }

 private:
  std::unique_ptr<TOctreeNode> CreateOctreeNode(int level);
  TOctreeNode* AddColor(std::unique_ptr<TOctreeNode>& node, std::uint8_t red, std::uint8_t green,
                        std::uint8_t blue, int level);
  // Merges one node into a leaf; false when nothing is left to merge.
  bool ReduceTree();
  void DeleteTree();

  std::uint32_t fMaxColors;
  std::unique_ptr<TOctreeNode> fRoot;
  std::uint32_t fLeafCount = 0;
  std::uint32_t fPeakLeafCount = 0;
  std::array<TOctreeNode*, 8> fReducible{};
  // The leaf that took the previous pixel: runs of one colour skip the descent.
  // Any reduction may free it, so every reduction forgets it.
  TOctreeNode* fLastLeaf = nullptr;
  std::uint32_t fLastColor = 0;
};

// GetOptimizedPalette over a whole picture of 24-bit rows (blue, green, red),
// top row first, `stride` bytes apart.
TPalette GetOptimizedPalette(std::span<const std::uint8_t> bgrRows, std::size_t width, std::size_t height,
                             std::size_t stride);

// Index of the nearest palette colour (squared RGB distance, first one on a tie)
// for every pixel. Windows lets GDI do this mapping; this is the portable
// counterpart. Result: `width` bytes per row, rows in the order given.
std::vector<std::uint8_t> MapToPalette(std::span<const std::uint8_t> bgrRows, std::size_t width,
                                       std::size_t height, std::size_t stride, const TPalette& palette);

}  // namespace tracira
