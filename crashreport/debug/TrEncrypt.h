// Encryption of the names in the data block and of its password check
// value. AES-128 (FIPS-197) in counter mode: the key is the first 16 bytes
// of SHA-256 (FIPS 180-4) over a fixed label and the password; the counter
// block starts from a per-item nonce (the item's position in its stream), so
// no two names share key stream and every name can be decoded on its own.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace tracira {

using TSha256Digest = std::array<std::uint8_t, 32>;
TSha256Digest Sha256(const std::uint8_t* data, std::size_t size);

class TAes128 {
 public:
  using Block = std::array<std::uint8_t, 16>;
  explicit TAes128(const std::array<std::uint8_t, 16>& key);
  Block EncryptBlock(const Block& in) const;

 private:
  std::array<std::uint8_t, 176> fRoundKeys{};
};

class TTrEncryptKey {
 public:
  explicit TTrEncryptKey(std::string_view password);
  // XORs data with the key stream of nonce; applying it twice restores the data.
  void Crypt(std::uint32_t nonce, std::uint8_t* data, std::size_t size) const;

 private:
  TAes128 fCipher;
};

// Nonce of the password check value; names use their stream positions,
// which never reach it.
inline constexpr std::uint32_t kCheckValueNonce = 0xFFFFFFFFu;

}  // namespace tracira
