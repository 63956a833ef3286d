// The platform-neutral half of the screenshot: octree quantiser, PNG writer
// and the capture-area rules. Files written here are decoded again by
// check_png.py (Python's zlib, pngcheck) in a ctest step of their own.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <tuple>

#include "crashreport/screenshot/TrOctree.h"
#include "crashreport/screenshot/TrPng.h"
#include "crashreport/screenshot/TrScreenArea.h"
#include "tests/crashreport/screenshot/PngTestReader.h"

namespace tracira {
void PrintTo(const TPaletteColor& c, std::ostream* os) {
  *os << '(' << int{c.Red} << ',' << int{c.Green} << ',' << int{c.Blue} << ')';
}
}  // namespace tracira

namespace {

using tracira::TPalette;
using tracira::TPaletteColor;
using tracira::TPaletteImage;

// Saves a written PNG, and the RGB picture it must decode to (top row first),
// for the independent decoder.
// (The Windows build of this test has no such folder and keeps nothing.)
void SaveArtifact([[maybe_unused]] const std::string& name,
                  [[maybe_unused]] const std::vector<std::uint8_t>& png,
                  [[maybe_unused]] const std::vector<pngtest::Rgb>& rgb) {
#ifdef SHOT_PNG_OUT_DIR
  const std::filesystem::path dir = SHOT_PNG_OUT_DIR;
  std::filesystem::create_directories(dir);
  std::ofstream(dir / (name + ".png"), std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  std::ofstream rgbFile(dir / (name + ".rgb"), std::ios::binary);
  for (const auto& p : rgb)
    rgbFile.put(static_cast<char>(p.R)).put(static_cast<char>(p.G)).put(static_cast<char>(p.B));
#endif
}

std::vector<std::uint8_t> Encode(const TPaletteImage& image) {
  tracira::TMemoryStream stream;
  tracira::WritePalettePng(stream, image);
  return stream.Data();
}

// A 24-bit picture in bitmap byte order (blue, green, red), rows top first.
struct BgrPicture {
  std::size_t Width, Height;
  std::vector<std::uint8_t> Bytes;
  BgrPicture(std::size_t w, std::size_t h) : Width(w), Height(h), Bytes(w * h * 3) {}
  void Set(std::size_t x, std::size_t y, TPaletteColor c) {
    std::uint8_t* p = &Bytes[(y * Width + x) * 3];
    p[0] = c.Blue, p[1] = c.Green, p[2] = c.Red;
  }
  TPaletteColor Get(std::size_t x, std::size_t y) const {
    const std::uint8_t* p = &Bytes[(y * Width + x) * 3];
    return {p[2], p[1], p[0]};
  }
};

// The whole portable pipeline: quantise, map, lay out as the platform does
// (bottom row first, 32-bit rows), encode.
TPaletteImage Quantise(const BgrPicture& pic) {
  const TPalette palette = tracira::GetOptimizedPalette(pic.Bytes, pic.Width, pic.Height, pic.Width * 3);
  const auto indices = tracira::MapToPalette(pic.Bytes, pic.Width, pic.Height, pic.Width * 3, palette);
  TPaletteImage image;
  image.Width = static_cast<std::int32_t>(pic.Width);
  image.Height = static_cast<std::int32_t>(pic.Height);
  image.RowBytes = tracira::RowBytesOf(image.Width);
  image.ImgData.assign(static_cast<std::size_t>(image.RowBytes) * pic.Height, 0xCD);
  for (std::size_t y = 0; y < pic.Height; ++y) {
    std::copy_n(&indices[y * pic.Width], pic.Width, &image.ImgData[(pic.Height - 1 - y) * image.RowBytes]);
  }
  std::copy(palette.begin(), palette.end(), image.Palette.begin());
  return image;
}

std::vector<pngtest::Rgb> Expected(const BgrPicture& pic) {
  std::vector<pngtest::Rgb> rgb;
  for (std::size_t y = 0; y < pic.Height; ++y)
    for (std::size_t x = 0; x < pic.Width; ++x) {
      const auto c = pic.Get(x, y);
      rgb.push_back({c.Red, c.Green, c.Blue});
    }
  return rgb;
}

std::vector<pngtest::Rgb> Expected(const TPaletteImage& image) {
  std::vector<pngtest::Rgb> rgb;
  for (std::int32_t y = image.Height; y-- > 0;)
    for (std::int32_t x = 0; x < image.Width; ++x) {
      const auto c = image.Palette[image.ImgData[static_cast<std::size_t>(y * image.RowBytes + x)]];
      rgb.push_back({c.Red, c.Green, c.Blue});
    }
  return rgb;
}

// --- PNG format ----------------------------------------------------------

TEST(PngChunks, CrcAndByteOrderFollowThePngFormat) {
  std::mt19937 random(7);
  std::vector<std::uint8_t> data(10000);
  for (auto& b : data) b = static_cast<std::uint8_t>(random());
  EXPECT_EQ(tracira::CalcCRC(data),
            static_cast<std::uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))));
  // Continuing a CRC over a second piece equals the CRC of the whole.
  EXPECT_EQ(tracira::CalcCRC(std::span(data).subspan(4000), tracira::CalcCRC(std::span(data).first(4000))),
            tracira::CalcCRC(data));
  EXPECT_EQ(tracira::BytesSwap(0x12345678u), (std::array<std::uint8_t, 4>{0x12, 0x34, 0x56, 0x78}));
}

TEST(PngChunks, IendIsTheTwelveFixedBytes) {
  const std::vector<std::uint8_t> iend = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  tracira::TMemoryStream chunk;
  tracira::CommonSaveToStream(chunk, "IEND", {});
  EXPECT_EQ(chunk.Data(), iend);

  TPaletteImage image{.Width = 1, .Height = 1, .RowBytes = 4, .ImgData = {0, 0, 0, 0}};
  const auto png = Encode(image);
  ASSERT_GE(png.size(), 12u);
  EXPECT_TRUE(std::equal(iend.begin(), iend.end(), png.end() - 12));
}

TEST(PngLayout, RowsOfWidthFiveAreStoredAsEightAndWrittenAsOnePlusFive) {
  EXPECT_EQ(tracira::RowBytesOf(5), 8);
  for (const auto& [width, rowBytes] : {std::pair{1, 4}, {4, 4}, {5, 8}, {8, 8}, {9, 12}, {1921, 1924}}) {
    EXPECT_EQ(tracira::RowBytesOf(width), rowBytes) << width;
  }
  // Three rows, bottom row first in memory; the padding bytes hold junk that
  // must not reach the file.
  TPaletteImage image{.Width = 5, .Height = 3, .RowBytes = 8, .ImgData = {}};
  image.ImgData = {20, 21, 22, 23, 24, 0xEE, 0xEE, 0xEE,   // bottom row
                   10, 11, 12, 13, 14, 0xEE, 0xEE, 0xEE,   //
                   0,  1,  2,  3,  4,  0xEE, 0xEE, 0xEE};  // top row
  for (std::size_t i = 0; i < 256; ++i)
    image.Palette[i] = {std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i / 2)};
  const auto png = Encode(image);
  const auto d = pngtest::Decode(png);

  const std::vector<std::uint8_t> raw = {0, 0, 1, 2, 3, 4, 0, 10, 11, 12, 13, 14, 0, 20, 21, 22, 23, 24};
  EXPECT_EQ(d.Raw, raw);
  EXPECT_EQ(d.Width, 5u);
  EXPECT_EQ(d.Height, 3u);
  std::vector<std::string> types;
  for (const auto& c : d.Chunks) types.push_back(c.Type);
  EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "PLTE", "IDAT", "IEND"}));
  EXPECT_EQ(d.Chunks[1].Data.size(), 768u);
  EXPECT_EQ(d.Palette[200], (pngtest::Rgb{200, 55, 100}));
  // The zlib header says: deflate, 32K window, maximum compression.
  const auto& idat = d.Chunks[2].Data;
  EXPECT_EQ(idat[0], 0x78);
  EXPECT_EQ(idat[1] >> 6, 3);
  SaveArtifact("width5", png, Expected(image));
}

TEST(PngLayout, MalformedPicturesAreRefused) {
  const auto refuse = [](TPaletteImage image) {
    tracira::TMemoryStream stream;
    EXPECT_THROW(tracira::WritePalettePng(stream, image), tracira::EScreenshotError);
    EXPECT_TRUE(stream.Data().empty());
  };
  refuse({.Width = 0, .Height = 1, .RowBytes = 4, .ImgData = std::vector<std::uint8_t>(4)});
  refuse({.Width = 1, .Height = 0, .RowBytes = 4, .ImgData = {}});
  refuse({.Width = 5, .Height = 1, .RowBytes = 4, .ImgData = std::vector<std::uint8_t>(8)});
  refuse({.Width = 5, .Height = 2, .RowBytes = 8, .ImgData = std::vector<std::uint8_t>(15)});
  EXPECT_EQ(tracira::CaptureDimension(0), 1);
  EXPECT_EQ(tracira::CaptureDimension(-4), 1);
  EXPECT_EQ(tracira::CaptureDimension(1280), 1280);
}

TEST(PngLayout, AFailingStreamStopsTheEncodingWithItsOwnError) {
  struct FailAfter final : tracira::TByteStream {
    std::size_t Left;
    explicit FailAfter(std::size_t n) : Left(n) {}
    void Write(std::span<const std::uint8_t> data) override {
      if (data.size() > Left) throw std::runtime_error("disk full");
      Left -= data.size();
    }
  };
  TPaletteImage image{.Width = 300, .Height = 300, .RowBytes = 300, .ImgData = {}};
  image.ImgData.resize(300 * 300);
  std::mt19937 random(3);
  for (auto& b : image.ImgData) b = static_cast<std::uint8_t>(random());
  for (const std::size_t limit : {0u, 10u, 900u, 60000u}) {
    FailAfter stream(limit);
    EXPECT_THROW(tracira::WritePalettePng(stream, image), std::runtime_error) << limit;
  }
}

// Incompressible single-row pictures whose zlib stream ends a few bytes before,
// at, or after the end of a full output buffer. Every IDAT chunk but the last
// must be exactly one full buffer, and together they must form one stream.
TEST(PngIdat, StreamsEndingNearAFullBufferStayOneValidZlibStream) {
  constexpr auto kFull = tracira::kIdatBufferSize;
  std::mt19937 random(11);
  std::vector<std::uint8_t> noise(2 * kFull + 100);
  for (auto& b : noise) b = static_cast<std::uint8_t>(random());

  std::set<std::size_t> totals;
  std::size_t saved = 0;
  // Stored blocks of incompressible data cost about 88 bytes per full buffer,
  // so these widths put the end of the stream around one and two buffers.
  for (const auto& [from, to] : {std::pair{kFull - 100, kFull - 78}, {2 * kFull - 180, 2 * kFull - 158}}) {
    for (std::size_t width = from; width <= to; ++width) {
      TPaletteImage image{
          .Width = static_cast<std::int32_t>(width), .Height = 1, .RowBytes = 0, .ImgData = {}};
      image.RowBytes = tracira::RowBytesOf(image.Width);
      image.ImgData.assign(noise.begin(), noise.begin() + image.RowBytes);
      const auto png = Encode(image);
      const auto d = pngtest::Decode(png);  // one complete zlib stream, nothing after it
      ASSERT_TRUE(std::equal(d.Indices.begin(), d.Indices.end(), image.ImgData.begin())) << width;

      std::size_t total = 0;
      std::vector<std::size_t> sizes;
      for (const auto& c : d.Chunks)
        if (c.Type == "IDAT") sizes.push_back(c.Data.size()), total += c.Data.size();
      for (std::size_t i = 0; i + 1 < sizes.size(); ++i) ASSERT_EQ(sizes[i], kFull) << width;
      ASSERT_GE(sizes.back(), 1u);
      ASSERT_LE(sizes.back(), kFull);
      totals.insert(total);
      if (total % kFull == 0 || total % kFull == kFull - 1 || total % kFull == 1) {
        if (saved++ < 4) SaveArtifact("idat_edge_" + std::to_string(total), png, Expected(image));
      }
    }
  }
  // The cases that matter were really produced, not just hoped for.
  for (const std::size_t total : {kFull - 1, kFull, kFull + 1, 2 * kFull}) {
    EXPECT_TRUE(totals.contains(total)) << "no stream of " << total << " bytes";
  }
}

// --- Octree quantiser ------------------------------------------------------

TEST(Octree, FewerThan257ColoursAreKeptExactly) {
  for (const std::size_t colours : {1u, 2u, 17u, 255u, 256u}) {
    std::mt19937 random(static_cast<unsigned>(colours));
    std::set<std::tuple<int, int, int>> distinct;
    std::vector<TPaletteColor> chosen;
    while (chosen.size() < colours) {
      const TPaletteColor c{std::uint8_t(random()), std::uint8_t(random()), std::uint8_t(random())};
      if (distinct.insert({c.Red, c.Green, c.Blue}).second) chosen.push_back(c);
    }
    BgrPicture pic(64, 48);
    for (std::size_t y = 0; y < pic.Height; ++y)
      for (std::size_t x = 0; x < pic.Width; ++x) pic.Set(x, y, chosen[(x / 3 + y * 7) % colours]);

    const TPaletteImage image = Quantise(pic);
    std::set<std::tuple<int, int, int>> palette;
    for (std::size_t i = 0; i < colours; ++i)
      palette.insert({image.Palette[i].Red, image.Palette[i].Green, image.Palette[i].Blue});
    EXPECT_EQ(palette, distinct) << colours;

    const auto png = Encode(image);
    const auto d = pngtest::Decode(png);
    EXPECT_EQ(d.Palette.size(), 256u);  // always the full table
    std::vector<pngtest::Rgb> decoded;
    for (std::uint32_t y = 0; y < d.Height; ++y)
      for (std::uint32_t x = 0; x < d.Width; ++x) decoded.push_back(d.At(x, y));
    EXPECT_EQ(decoded, Expected(pic)) << colours;
    SaveArtifact("exact_" + std::to_string(colours), png, Expected(pic));
  }
}

struct ReductionCase {
  const char* Name;
  std::uint32_t Limit;
  std::vector<TPaletteColor> Pixels;
  TPalette Palette;  // in tree order
};

// Worked by hand from the insertion and reduction rules.
TEST(Octree, ReductionMergesTheNewestNodeOfTheDeepestLevel) {
  const std::vector<ReductionCase> cases = {
      // (0,0,0)+(0,0,1) share a level-7 node P, (128,128,128)+(128,128,129)
      // another, Q, created later: Q is merged, P keeps both colours.
      {"newest level-7 node first",
       3,
       {{0, 0, 0}, {0, 0, 1}, {128, 128, 128}, {128, 128, 129}},
       {{0, 0, 0}, {0, 0, 1}, {128, 128, 128}}},
      // The white path's level-7 node is newer but has one child: merging it
      // keeps the leaf count, so the older node is merged next.
      {"single-child node merged without gain",
       2,
       {{0, 0, 0}, {0, 0, 1}, {255, 255, 255}},
       {{0, 0, 0}, {255, 255, 255}}},
      // Level 7 runs empty; then level 6's newest node (holding only 4) goes,
      // then the older one, whose four leaves average to 6 / 4 = 1.
      {"level 6 after level 7",
       2,
       {{0, 0, 0}, {0, 0, 1}, {0, 0, 2}, {0, 0, 3}, {0, 0, 4}},
       {{0, 0, 1}, {0, 0, 4}}},
      // Pixel counts weigh the average: 3 x 100 and 1 x 104 merge in their
      // common level-4 node to (100 * 3 + 104) / 4 = 101.
      {"weighted average", 1, {{100, 0, 0}, {100, 0, 0}, {100, 0, 0}, {104, 0, 0}}, {{101, 0, 0}}},
  };
  for (const auto& c : cases) {
    tracira::TOctreeQuantizer q(c.Limit);
    for (const auto& p : c.Pixels) q.AddPixel(p.Red, p.Green, p.Blue);
    EXPECT_LE(q.LeafCount(), c.Limit) << c.Name;
    EXPECT_EQ(q.GetPaletteColors(), c.Palette) << c.Name;
  }
}

TEST(Octree, The257thColourMergesThePairCreatedLast) {
  // 128 pairs, each pair two colours under one level-7 node, then one more
  // colour X under a node of its own: 257 leaves. X's node (newest, one
  // child) is merged without gain, then pair 127 (the newest two-leaf node).
  tracira::TOctreeQuantizer q;
  for (int i = 0; i < 128; ++i) {
    q.AddPixel(std::uint8_t(2 * i), 0, 0);
    q.AddPixel(std::uint8_t(2 * i), 0, 1);
  }
  EXPECT_EQ(q.LeafCount(), 256u);
  q.AddPixel(0, 2, 0);
  EXPECT_EQ(q.LeafCount(), 256u);
  EXPECT_EQ(q.PeakLeafCount(), 257u);
  const TPalette palette = q.GetPaletteColors();
  ASSERT_EQ(palette.size(), 256u);
  const auto has = [&](TPaletteColor c) {
    return std::find(palette.begin(), palette.end(), c) != palette.end();
  };
  EXPECT_TRUE(has({0, 2, 0}));
  EXPECT_TRUE(has({254, 0, 0}));   // pair 127, merged: blue (0 + 1) / 2 = 0
  EXPECT_FALSE(has({254, 0, 1}));  // ... so its odd colour is gone
  EXPECT_TRUE(has({0, 0, 1}));     // the oldest pair is untouched
  EXPECT_TRUE(has({252, 0, 1}));
}

TEST(Octree, ManyColoursStayWithin257LeavesAndMapToTheNearestEntry) {
  BgrPicture pic(400, 300);
  std::mt19937 random(5);
  for (std::size_t y = 0; y < pic.Height; ++y)
    for (std::size_t x = 0; x < pic.Width; ++x)
      pic.Set(x, y, {std::uint8_t(random()), std::uint8_t(x * 255 / 399), std::uint8_t(y * 255 / 299)});

  tracira::TOctreeQuantizer q;
  for (std::size_t y = 0; y < pic.Height; ++y)
    q.AddBgrRow(std::span(pic.Bytes).subspan(y * pic.Width * 3), pic.Width);
  EXPECT_LE(q.PeakLeafCount(), 257u);
  const TPalette palette = q.GetPaletteColors();
  EXPECT_GT(palette.size(), 100u);
  EXPECT_LE(palette.size(), 256u);

  const auto indices = tracira::MapToPalette(pic.Bytes, pic.Width, pic.Height, pic.Width * 3, palette);
  for (std::size_t i = 0; i < indices.size(); i += 997) {  // brute-force check of a sample
    const auto c = pic.Get(i % pic.Width, i / pic.Width);
    const auto dist = [&](const TPaletteColor& p) {
      return (c.Red - p.Red) * (c.Red - p.Red) + (c.Green - p.Green) * (c.Green - p.Green) +
             (c.Blue - p.Blue) * (c.Blue - p.Blue);
    };
    int best = dist(palette[0]);
    for (const auto& p : palette) best = std::min(best, dist(p));
    ASSERT_EQ(dist(palette[indices[i]]), best) << i;
  }
  TPaletteImage image = Quantise(pic);
  SaveArtifact("many_colours", Encode(image), Expected(image));
}

// --- Capture area ------------------------------------------------------------

TEST(ScreenArea, ProcessWindowsAreUnitedAndEmptyOnesIgnored) {
  using tracira::TScreenRect;
  const auto area = [](std::initializer_list<TScreenRect> windows) {
    tracira::TApplicationRect a;
    for (const auto& w : windows) a.Include(w);
    return a.Result();
  };
  EXPECT_EQ(area({}), tracira::kNoApplicationRect);
  EXPECT_EQ(area({{10, 10, 10, 500}}), tracira::kNoApplicationRect);  // zero width
  EXPECT_EQ(area({{100, 50, 300, 200}, {250, 20, 400, 120}, {5, 5, 5, 900}}),
            (TScreenRect{100, 20, 400, 200}));
  // A window on a monitor left of the primary one does not reach over to x = 0.
  EXPECT_EQ(area({{-1000, 100, -600, 400}}), (TScreenRect{-1000, 100, -600, 400}));
}

}  // namespace
