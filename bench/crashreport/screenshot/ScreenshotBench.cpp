// Benchmark: quantise and encode a 1920 x 1080 screenshot-like picture, next
// to ImageMagick writing the same picture as an 8-bit palette PNG at the same
// zlib level (9) and filter (none). Prints figures; asserts nothing.
//   screenshot_bench [work-folder]      (needs `convert` on the PATH)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "crashreport/screenshot/TrOctree.h"
#include "crashreport/screenshot/TrPng.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080;

struct Picture {
  std::vector<std::uint8_t> Bgr = std::vector<std::uint8_t>(std::size_t{kWidth} * kHeight * 3);
  void Set(int x, int y, int r, int g, int b) {
    if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) return;
    std::uint8_t* p = &Bgr[(std::size_t(y) * kWidth + std::size_t(x)) * 3];
    p[0] = std::uint8_t(b), p[1] = std::uint8_t(g), p[2] = std::uint8_t(r);
  }
  void Fill(int x0, int y0, int x1, int y1, int r, int g, int b) {
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) Set(x, y, r, g, b);
  }
};

// A desktop gradient, overlapping windows with gradient title bars, grey
// frames, white client areas with lines of glyph-like dark pixels, and a few
// photo-like icons with many colours.
Picture MakeScreen() {
  Picture pic;
  std::mt19937 random(1234);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      pic.Set(x, y, 20 + y * 60 / kHeight, 60 + x * 80 / kWidth, 140 + y * 90 / kHeight);
  pic.Fill(0, kHeight - 40, kWidth, kHeight, 212, 208, 200);  // task bar

  for (int w = 0; w < 7; ++w) {
    const int left = 60 + w * 230, top = 40 + (w % 3) * 170, width = 760, height = 560;
    pic.Fill(left, top, left + width, top + height, 212, 208, 200);
    for (int y = top + 3; y < top + 25; ++y)
      for (int x = left + 3; x < left + width - 3; ++x)
        pic.Set(x, y, 10 + (x - left) * 160 / width, 36 + (x - left) * 130 / width,
                106 + (x - left) * 120 / width);
    pic.Fill(left + 8, top + 32, left + width - 8, top + height - 8, 255, 255, 255);
    for (int line = 0; line < 24; ++line) {
      const int baseline = top + 44 + line * 20;
      if (baseline + 12 > top + height - 8) break;
      int x = left + 14;
      while (x < left + width - 40) {
        const int word = 3 + int(random() % 9);
        for (int c = 0; c < word; ++c, x += 7)
          for (int dy = 0; dy < 11; ++dy)
            for (int dx = 0; dx < 6; ++dx)
              if (random() % 3 == 0) {
                const int ink = int(random() % 90);  // anti-aliased greys
                pic.Set(x + dx, baseline + dy, ink, ink, ink + int(random() % 20));
              }
        x += 7;
      }
    }
    for (int i = 0; i < 4; ++i) {
      const int ix = left + 20 + i * 60, iy = top + height - 70;
      for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 48; ++x)
          pic.Set(ix + x, iy + y, int(random() % 256), (x * 5 + int(random() % 16)) & 255, (y * 5) & 255);
    }
  }
  return pic;
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path work =
      argc > 1 ? argv[1] : std::filesystem::temp_directory_path() / "shot-bench";
  std::filesystem::create_directories(work);
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
  std::printf("note: built with AddressSanitizer; configure with -DTAVRIX_SANITIZE=OFF for real figures\n");
#endif
#endif

  const Picture pic = MakeScreen();
  constexpr int kRuns = 5;
  double bestQuantise = 1e9, bestMap = 1e9, bestEncode = 1e9;
  std::vector<std::uint8_t> png;
  std::size_t colours = 0;
  for (int run = 0; run < kRuns; ++run) {
    const auto t0 = std::chrono::steady_clock::now();
    const tracira::TPalette palette = tracira::GetOptimizedPalette(pic.Bgr, kWidth, kHeight, kWidth * 3);
    const auto t1 = std::chrono::steady_clock::now();
    const auto indices = tracira::MapToPalette(pic.Bgr, kWidth, kHeight, kWidth * 3, palette);
    const auto t2 = std::chrono::steady_clock::now();
    // Laid out as GDI hands it over: bottom row first, 32-bit rows.
    tracira::TPaletteImage image{
        .Width = kWidth, .Height = kHeight, .RowBytes = tracira::RowBytesOf(kWidth), .ImgData = {}};
    image.ImgData.resize(std::size_t(image.RowBytes) * kHeight);
    for (int y = 0; y < kHeight; ++y)
      std::copy_n(&indices[std::size_t(y) * kWidth], kWidth,
                  &image.ImgData[std::size_t(kHeight - 1 - y) * image.RowBytes]);
    std::copy(palette.begin(), palette.end(), image.Palette.begin());
    tracira::TMemoryStream stream;
    tracira::WritePalettePng(stream, image);
    const auto t3 = std::chrono::steady_clock::now();
    bestQuantise = std::min(bestQuantise, Seconds(t1 - t0));
    bestMap = std::min(bestMap, Seconds(t2 - t1));
    bestEncode = std::min(bestEncode, Seconds(t3 - t2));
    png = stream.Data();
    colours = palette.size();
  }
  std::ofstream(work / "tracira.png", std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));

  {
    std::ofstream ppm(work / "in.ppm", std::ios::binary);
    ppm << "P6\n" << kWidth << ' ' << kHeight << "\n255\n";
    for (std::size_t i = 0; i < pic.Bgr.size(); i += 3)
      ppm.put(char(pic.Bgr[i + 2])).put(char(pic.Bgr[i + 1])).put(char(pic.Bgr[i]));
  }

  const double ours = bestQuantise + bestMap + bestEncode;
  std::printf("picture %dx%d, %zu palette colours, best of %d runs\n", kWidth, kHeight, colours, kRuns);
  std::printf("tracira  quantise %.3f s + map %.3f s + encode %.3f s = %.3f s, %zu bytes\n", bestQuantise,
              bestMap, bestEncode, ours, png.size());

  // -quality 90: zlib level 9 and filter type 0 (none), the writer's own settings.
  // +dither: no dithering, like the writer's nearest-colour mapping.
  const struct {
    const char* Label;
    const char* Options;
  } variants[] = {{"ImageMagick +dither -quality 90", "+dither -colors 256 -quality 90"},
                  {"ImageMagick (dither) -quality 90", "-colors 256 -quality 90"}};
  for (const auto& v : variants) {
    const std::filesystem::path out = work / "magick.png";
    const std::string command =
        "convert '" + (work / "in.ppm").string() + "' " + v.Options + " 'PNG8:" + out.string() + "'";
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
      const auto t0 = std::chrono::steady_clock::now();
      if (std::system(command.c_str()) != 0) {
        std::printf("%s: convert failed (%s)\n", v.Label, command.c_str());
        return 1;
      }
      best = std::min(best, Seconds(std::chrono::steady_clock::now() - t0));
    }
    std::printf("%-34s %.3f s, %ju bytes; tracira/ImageMagick time ratio %.2f\n", v.Label, best,
                std::uintmax_t(std::filesystem::file_size(out)), ours / best);
  }
  return 0;
}
