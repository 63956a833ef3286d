// The screenshot's PNG writer: an 8-bit palette picture written as signature,
// IHDR, a 256-entry PLTE, IDAT chunks and IEND. Chunks and their CRC are
// written here; only the deflate compression comes from zlib.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "crashreport/screenshot/TrOctree.h"
#include "rtl/Exceptions.h"

namespace tracira {

// A failure while encoding the screenshot (bad picture, zlib error).
class EScreenshotError : public rtl::Exception {
 public:
  using Exception::Exception;
};

// Output of the encoder. Write either takes every byte or throws.
class TByteStream {
 public:
  virtual ~TByteStream() = default;
  virtual void Write(std::span<const std::uint8_t> data) = 0;
};

class TMemoryStream final : public TByteStream {
 public:
  void Write(std::span<const std::uint8_t> data) override {
    fData.insert(fData.end(), data.begin(), data.end());
  }
  const std::vector<std::uint8_t>& Data() const noexcept { return fData; }

 private:
  std::vector<std::uint8_t> fData;
};

// Room of the deflate output buffer, and so the largest IDAT chunk.
inline constexpr std::size_t kIdatBufferSize = 0x3FFFF;
inline constexpr std::uint32_t kPngColoursCount = 256;

// A 32-bit row length: `width` bytes rounded up to a multiple of 4.
std::int32_t RowBytesOf(std::int32_t width);
// A captured dimension is at least one pixel.
std::int32_t CaptureDimension(std::int32_t extent);

// The picture as the platform hands it over: one byte per pixel, `RowBytes`
// bytes per row, bottom row first, and a 256-entry colour table.
struct TPaletteImage {
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::int32_t RowBytes = 0;
  std::vector<std::uint8_t> ImgData;
  std::array<TPaletteColor, kPngColoursCount> Palette{};
};

// CRC-32 of the PNG format over `data`, continuing from `crc` (0 to start).
std::uint32_t CalcCRC(std::span<const std::uint8_t> data, std::uint32_t crc = 0);
// A 32-bit number in big-endian byte order (the byte order of PNG).
std::array<std::uint8_t, 4> BytesSwap(std::uint32_t value);
// One chunk: big-endian length, 4-byte type, data, big-endian CRC of type and data.
void CommonSaveToStream(TByteStream& stream, std::string_view type, std::span<const std::uint8_t> data);

// Writes the whole PNG file image of `image` into `stream`. Throws
// EScreenshotError on a malformed picture or a compression failure, and passes
// on whatever the stream throws.
void WritePalettePng(TByteStream& stream, const TPaletteImage& image);

}  // namespace tracira
