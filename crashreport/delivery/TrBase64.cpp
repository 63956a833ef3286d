#include "crashreport/delivery/TrBase64.h"

#include <array>
#include <cstdint>

namespace tracira {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> MakeDecodeTable() {
  std::array<std::int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return table;
}
constexpr auto kDecode = MakeDecodeTable();

}  // namespace

std::size_t CalcEncodedSize(std::size_t n) { return (n + 2) / 3 * 4; }

std::string Base64EncodeString(std::string_view bytes) {
  std::string out;
  out.reserve(CalcEncodedSize(bytes.size()));
  std::size_t i = 0;
  const auto at = [&](std::size_t k) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k]));
  };
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    const std::uint32_t v = at(i) << 16 | (rest == 2 ? at(i + 1) << 8 : 0);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += rest == 2 ? kAlphabet[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Base64EncodeToString(std::string_view bytes) {
  const std::string flat = Base64EncodeString(bytes);
  std::string out;
  out.reserve(flat.size() + flat.size() / kBase64LineLength * 2);
  for (std::size_t i = 0; i < flat.size(); i += kBase64LineLength) {
    const std::string_view line = std::string_view(flat).substr(i, kBase64LineLength);
    out += line;
    if (line.size() == kBase64LineLength) out += "\r\n";
  }
  return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  std::string out;
  std::uint32_t acc = 0;
  int bits = 0;
  int padding = 0;
  std::size_t symbols = 0;
  for (const char ch : text) {
    if (ch == '\r' || ch == '\n') continue;
    ++symbols;
    if (ch == '=') {
      ++padding;
      continue;
    }
    const int v = kDecode[static_cast<unsigned char>(ch)];
    if (v < 0 || padding > 0) return std::nullopt;  // data after padding
    acc = acc << 6 | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>(acc >> bits & 0xFF);
    }
  }
  if (symbols % 4 != 0 || padding > 2) return std::nullopt;
  // Padding must stand for exactly the bits left over, and they must be zero.
  if ((padding == 1 && bits != 2) || (padding == 2 && bits != 4) || (padding == 0 && bits != 0))
    return std::nullopt;
  if ((acc & ((1u << bits) - 1)) != 0) return std::nullopt;
  return out;
}

}  // namespace tracira
