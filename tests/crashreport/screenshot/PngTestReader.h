// A small, strict PNG reader for the tests: checks every chunk's CRC with
// zlib's crc32 (not the writer's table), inflates the IDAT data as one zlib
// stream and returns the palette indices row by row, top row first.
#pragma once

#include <zlib.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace pngtest {

struct Chunk {
  std::string Type;
  std::vector<std::uint8_t> Data;
};

struct Rgb {
  std::uint8_t R = 0, G = 0, B = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

struct Decoded {
  std::uint32_t Width = 0;
  std::uint32_t Height = 0;
  std::vector<Chunk> Chunks;
  std::vector<Rgb> Palette;
  std::vector<std::uint8_t> Raw;      // inflated IDAT data: filter byte + row, per row
  std::vector<std::uint8_t> Indices;  // Width bytes per row, top row first
  Rgb At(std::uint32_t x, std::uint32_t y) const {
    return Palette.at(Indices.at(std::size_t{y} * Width + x));
  }
};

inline std::uint32_t BigEndian(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

inline std::vector<std::uint8_t> Inflate(const std::vector<std::uint8_t>& input) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) throw std::runtime_error("inflateInit");
  std::vector<std::uint8_t> out;
  std::array<std::uint8_t, 65536> buffer{};
  zs.next_in = const_cast<Bytef*>(input.data());
  zs.avail_in = static_cast<uInt>(input.size());
  int result = Z_OK;
  while (result != Z_STREAM_END) {
    zs.next_out = buffer.data();
    zs.avail_out = buffer.size();
    result = inflate(&zs, Z_NO_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END) {
      inflateEnd(&zs);
      throw std::runtime_error("IDAT data is not one complete zlib stream (" + std::to_string(result) + ")");
    }
    out.insert(out.end(), buffer.data(), buffer.data() + (buffer.size() - zs.avail_out));
  }
  const uInt left = zs.avail_in;
  inflateEnd(&zs);
  if (left != 0) throw std::runtime_error("bytes after the end of the zlib stream");
  return out;
}

inline Decoded Decode(const std::vector<std::uint8_t>& file) {
  static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (file.size() < 8 || std::memcmp(file.data(), kSignature, 8) != 0)
    throw std::runtime_error("bad signature");
  Decoded d;
  std::size_t at = 8;
  std::vector<std::uint8_t> idat;
  while (at < file.size()) {
    if (file.size() - at < 12) throw std::runtime_error("truncated chunk");
    const std::uint32_t length = BigEndian(&file[at]);
    if (file.size() - at - 12 < length) throw std::runtime_error("chunk runs past the end");
    Chunk c;
    c.Type.assign(reinterpret_cast<const char*>(&file[at + 4]), 4);
    c.Data.assign(file.begin() + static_cast<std::ptrdiff_t>(at + 8),
                  file.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
    const auto crc = static_cast<std::uint32_t>(crc32(0, &file[at + 4], length + 4));
    if (crc != BigEndian(&file[at + 8 + length])) throw std::runtime_error("bad CRC in " + c.Type);
    if (c.Type == "IDAT") idat.insert(idat.end(), c.Data.begin(), c.Data.end());
    d.Chunks.push_back(std::move(c));
    at += 12 + length;
  }
  if (d.Chunks.empty() || d.Chunks.front().Type != "IHDR" || d.Chunks.front().Data.size() != 13) {
    throw std::runtime_error("IHDR must come first");
  }
  if (d.Chunks.back().Type != "IEND") throw std::runtime_error("IEND must come last");
  const auto& h = d.Chunks.front().Data;
  d.Width = BigEndian(&h[0]);
  d.Height = BigEndian(&h[4]);
  if (h[8] != 8 || h[9] != 3 || h[10] != 0 || h[11] != 0 || h[12] != 0)
    throw std::runtime_error("not 8-bit palette");
  for (const auto& c : d.Chunks) {
    if (c.Type != "PLTE") continue;
    for (std::size_t i = 0; i + 2 < c.Data.size(); i += 3)
      d.Palette.push_back({c.Data[i], c.Data[i + 1], c.Data[i + 2]});
  }
  d.Raw = Inflate(idat);
  const std::size_t stride = std::size_t{d.Width} + 1;
  if (d.Raw.size() != stride * d.Height) throw std::runtime_error("wrong amount of image data");
  for (std::uint32_t y = 0; y < d.Height; ++y) {
    if (d.Raw[y * stride] != 0) throw std::runtime_error("row filter is not 0");
    d.Indices.insert(d.Indices.end(), d.Raw.begin() + static_cast<std::ptrdiff_t>(y * stride + 1),
                     d.Raw.begin() + static_cast<std::ptrdiff_t>((y + 1) * stride));
  }
  return d;
}

}  // namespace pngtest
