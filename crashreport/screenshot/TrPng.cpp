#include "crashreport/screenshot/TrPng.h"

#include <zlib.h>

#include <cstring>
#include <limits>
#include <memory>
#include <string>

namespace tracira {

namespace {

constexpr std::array<std::uint8_t, 8> kSignature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

const std::array<std::uint32_t, 256>& CrcList() {
  // Built on first use; a function-local static is initialised once even when
  // two threads ask at the same moment.
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table;
}

std::uint32_t UpdateCrc(std::uint32_t register_, std::span<const std::uint8_t> data) {
  const auto& table = CrcList();
  for (const std::uint8_t b : data) register_ = table[(register_ ^ b) & 0xFFu] ^ (register_ >> 8);
  return register_;
}

std::wstring ZlibMessage(const wchar_t* what, int code, const z_stream& zs) {
  std::wstring text = what;
  text += L" (zlib " + std::to_wstring(code);
  if (zs.msg != nullptr) text += L": " + rtl::FromUtf8(zs.msg);
  return text + L")";
}

// TZStreamRec2: the deflate stream whose output leaves as IDAT chunks of at
// most kIdatBufferSize bytes, all of them pieces of one zlib stream.
class TZStreamRec2 {
 public:
  explicit TZStreamRec2(TByteStream& stream) : fStream(stream), fData(kIdatBufferSize) { InitDeflate(); }
  ~TZStreamRec2() {
    if (fInitialised) deflateEnd(&fZlib);
  }
  TZStreamRec2(const TZStreamRec2&) = delete;
  TZStreamRec2& operator=(const TZStreamRec2&) = delete;

  void IDATWrite(std::span<const std::uint8_t> buffer) {
    fZlib.next_in = const_cast<Bytef*>(buffer.data());
    fZlib.avail_in = static_cast<uInt>(buffer.size());
    while (fZlib.avail_in != 0) {
      const int result = deflate(&fZlib, Z_NO_FLUSH);
      if (result != Z_OK)
        throw EScreenshotError(ZlibMessage(L"Screenshot compression failed", result, fZlib));
      if (fZlib.avail_out == 0) FlushBuffer();
    }
  }

  void Finish() {
    for (;;) {
      const int result = deflate(&fZlib, Z_FINISH);
      if (result == Z_STREAM_END) break;
      // Z_OK: the buffer ran full before the end (zlib says so only then).
      // Anything else, Z_BUF_ERROR included, means no progress with room to spare.
      if (result != Z_OK)
        throw EScreenshotError(ZlibMessage(L"Screenshot compression failed", result, fZlib));
      FlushBuffer();
    }
    // Only what deflate produced is written: the stream may end anywhere in the
    // buffer, also right at its end (then nothing follows).
    FlushBuffer();
  }

 private:
  void InitDeflate() {
    std::memset(&fZlib, 0, sizeof fZlib);
    const int result = deflateInit(&fZlib, 9);
    if (result != Z_OK) throw EScreenshotError(ZlibMessage(L"Screenshot compression failed", result, fZlib));
    fInitialised = true;
    ResetOutput();
  }

  void ResetOutput() {
    fZlib.next_out = fData.data();
    fZlib.avail_out = static_cast<uInt>(fData.size());
  }

  // WriteIDAT of the buffered output.
  void FlushBuffer() {
    const std::size_t produced = fData.size() - fZlib.avail_out;
    if (produced != 0) CommonSaveToStream(fStream, "IDAT", std::span(fData.data(), produced));
    ResetOutput();
  }

  TByteStream& fStream;
  std::vector<std::uint8_t> fData;
  z_stream fZlib{};
  bool fInitialised = false;
};

void CheckPicture(const TPaletteImage& image) {
  if (image.Width < 1 || image.Height < 1) throw EScreenshotError(L"Screenshot has no pixels");
  if (image.RowBytes < image.Width) throw EScreenshotError(L"Screenshot rows are shorter than its width");
  const auto needed = static_cast<std::uint64_t>(image.RowBytes) * static_cast<std::uint64_t>(image.Height);
  if (image.ImgData.size() < needed) throw EScreenshotError(L"Screenshot data is shorter than its rows");
}

}  // namespace

std::int32_t RowBytesOf(std::int32_t width) {
  const std::int64_t bits = (static_cast<std::int64_t>(width) * 8 + 31) & ~std::int64_t{31};
  return static_cast<std::int32_t>(bits / 8);
}

std::int32_t CaptureDimension(std::int32_t extent) { return extent < 1 ? 1 : extent; }

std::uint32_t CalcCRC(std::span<const std::uint8_t> data, std::uint32_t crc) {
  return ~UpdateCrc(~crc, data);
}

std::array<std::uint8_t, 4> BytesSwap(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

void CommonSaveToStream(TByteStream& stream, std::string_view type, std::span<const std::uint8_t> data) {
  if (type.size() != 4) throw EScreenshotError(L"PNG chunk type must have four letters");
  if (data.size() > 0x7FFFFFFFu) throw EScreenshotError(L"PNG chunk too large");
  const std::span<const std::uint8_t> typeBytes(reinterpret_cast<const std::uint8_t*>(type.data()), 4);
  stream.Write(BytesSwap(static_cast<std::uint32_t>(data.size())));
  stream.Write(typeBytes);
  if (!data.empty()) stream.Write(data);
  stream.Write(BytesSwap(CalcCRC(data, CalcCRC(typeBytes))));
}

void WritePalettePng(TByteStream& stream, const TPaletteImage& image) {
  CheckPicture(image);
  stream.Write(kSignature);

  std::array<std::uint8_t, 13> header{};
  const auto width = BytesSwap(static_cast<std::uint32_t>(image.Width));
  const auto height = BytesSwap(static_cast<std::uint32_t>(image.Height));
  std::memcpy(header.data(), width.data(), 4);
  std::memcpy(header.data() + 4, height.data(), 4);
  header[8] = 8;   // bit depth
  header[9] = 3;   // colour type: palette
  header[10] = 0;  // compression method: deflate
  header[11] = 0;  // filter method: adaptive, type per row
  header[12] = 0;  // no interlace
  CommonSaveToStream(stream, "IHDR", header);

  std::array<std::uint8_t, kPngColoursCount * 3> plte{};
  for (std::size_t i = 0; i < kPngColoursCount; ++i) {
    plte[3 * i] = image.Palette[i].Red;
    plte[3 * i + 1] = image.Palette[i].Green;
    plte[3 * i + 2] = image.Palette[i].Blue;
  }
  CommonSaveToStream(stream, "PLTE", plte);

  {
    TZStreamRec2 z(stream);
    const auto rowBytes = static_cast<std::size_t>(image.RowBytes);
    const auto rowWidth = static_cast<std::size_t>(image.Width);
    std::vector<std::uint8_t> encodeData(rowBytes);
    std::vector<std::uint8_t> encodeFilter(rowBytes);
    static constexpr std::array<std::uint8_t, 1> kFilterNone = {0};
    // The data holds the bottom row first; PNG wants the top row first.
    for (std::size_t row = static_cast<std::size_t>(image.Height); row-- > 0;) {
      std::memcpy(encodeData.data(), image.ImgData.data() + row * rowBytes, rowBytes);
      encodeFilter = encodeData;  // filter type 0 leaves the row as it is
      z.IDATWrite(kFilterNone);
      z.IDATWrite(std::span(encodeFilter.data(), rowWidth));
    }
    z.Finish();
  }

  CommonSaveToStream(stream, "IEND", {});
}

}  // namespace tracira
