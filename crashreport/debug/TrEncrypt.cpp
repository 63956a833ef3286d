#include "crashreport/debug/TrEncrypt.h"

#include <cstring>
#include <vector>

namespace tracira {

namespace {

constexpr std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

constexpr std::uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// GF(2^8) arithmetic of AES, modulus x^8 + x^4 + x^3 + x + 1.
constexpr std::uint8_t XTime(std::uint8_t a) {
  return static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
}
constexpr std::uint8_t GMul(std::uint8_t a, std::uint8_t b) {
  std::uint8_t p = 0;
  while (b) {
    if (b & 1) p ^= a;
    a = XTime(a);
    b >>= 1;
  }
  return p;
}

// The S-box from its definition: multiplicative inverse (through powers of
// the generator 3), then the affine map.
constexpr std::array<std::uint8_t, 256> MakeSBox() {
  std::array<std::uint8_t, 256> exp{}, log{};
  std::uint8_t p = 1;
  for (int i = 0; i < 255; ++i) {
    exp[i] = p;
    log[p] = static_cast<std::uint8_t>(i);
    p = GMul(p, 3);
  }
  std::array<std::uint8_t, 256> box{};
  for (int x = 0; x < 256; ++x) {
    const std::uint8_t inv = x == 0 ? 0 : exp[(255 - log[x]) % 255];
    std::uint8_t s = inv;
    for (int r = 1; r <= 4; ++r) s ^= static_cast<std::uint8_t>((inv << r) | (inv >> (8 - r)));
    box[x] = static_cast<std::uint8_t>(s ^ 0x63);
  }
  return box;
}
constexpr std::array<std::uint8_t, 256> kSBox = MakeSBox();
static_assert(kSBox[0x00] == 0x63 && kSBox[0x53] == 0xed);

constexpr char kKeyLabel[] = "TRDATA-NAMES-1";

}  // namespace

TSha256Digest Sha256(const std::uint8_t* data, std::size_t size) {
  std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::vector<std::uint8_t> msg(data, data + size);
  const std::uint64_t bitLength = static_cast<std::uint64_t>(size) * 8;
  msg.push_back(0x80);
  while (msg.size() % 64 != 56) msg.push_back(0);
  for (int i = 7; i >= 0; --i) msg.push_back(static_cast<std::uint8_t>(bitLength >> (8 * i)));
  for (std::size_t chunk = 0; chunk < msg.size(); chunk += 64) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
      const std::uint8_t* p = &msg[chunk + 4 * static_cast<std::size_t>(i)];
      w[i] = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
    }
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t t1 =
          hh + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kSha256K[i] + w[i];
      const std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      hh = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += hh;
  }
  TSha256Digest out{};
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<std::uint8_t>(h[i] >> (24 - 8 * j));
  return out;
}

TAes128::TAes128(const std::array<std::uint8_t, 16>& key) {
  std::memcpy(fRoundKeys.data(), key.data(), 16);
  std::uint8_t rcon = 1;
  for (int i = 16; i < 176; i += 4) {
    std::uint8_t t[4] = {fRoundKeys[i - 4], fRoundKeys[i - 3], fRoundKeys[i - 2], fRoundKeys[i - 1]};
    if (i % 16 == 0) {
      const std::uint8_t first = t[0];
      t[0] = static_cast<std::uint8_t>(kSBox[t[1]] ^ rcon);
      t[1] = kSBox[t[2]];
      t[2] = kSBox[t[3]];
      t[3] = kSBox[first];
      rcon = XTime(rcon);
    }
    for (int j = 0; j < 4; ++j) fRoundKeys[i + j] = static_cast<std::uint8_t>(fRoundKeys[i - 16 + j] ^ t[j]);
  }
}

namespace {

// SubBytes, ShiftRows and MixColumns of one round as table lookups: entry x
// of kTe[0] is the column (2, 1, 1, 3) * S(x), big-endian; kTe[n] turns it
// right by 8n bits for the byte that row n brings in.
constexpr std::array<std::array<std::uint32_t, 256>, 4> MakeTe() {
  std::array<std::array<std::uint32_t, 256>, 4> te{};
  for (int x = 0; x < 256; ++x) {
    const std::uint8_t s = kSBox[x];
    const std::uint32_t word = (std::uint32_t{XTime(s)} << 24) | (std::uint32_t{s} << 16) |
                               (std::uint32_t{s} << 8) | static_cast<std::uint8_t>(XTime(s) ^ s);
    for (int n = 0; n < 4; ++n) te[n][x] = n == 0 ? word : (word >> (8 * n)) | (word << (32 - 8 * n));
  }
  return te;
}
constexpr auto kTe = MakeTe();

}  // namespace

TAes128::Block TAes128::EncryptBlock(const Block& in) const {
  auto word = [](const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
  };
  // The state as four big-endian column words.
  std::uint32_t s[4], t[4];
  for (int c = 0; c < 4; ++c) s[c] = word(&in[4 * c]) ^ word(&fRoundKeys[4 * c]);
  for (int round = 1; round < 10; ++round) {
    for (int c = 0; c < 4; ++c)
      t[c] = kTe[0][s[c] >> 24] ^ kTe[1][(s[(c + 1) % 4] >> 16) & 0xFF] ^
             kTe[2][(s[(c + 2) % 4] >> 8) & 0xFF] ^ kTe[3][s[(c + 3) % 4] & 0xFF] ^
             word(&fRoundKeys[16 * round + 4 * c]);
    for (int c = 0; c < 4; ++c) s[c] = t[c];
  }
  Block out;
  for (int c = 0; c < 4; ++c) {
    const std::uint32_t v = (std::uint32_t{kSBox[s[c] >> 24]} << 24) |
                            (std::uint32_t{kSBox[(s[(c + 1) % 4] >> 16) & 0xFF]} << 16) |
                            (std::uint32_t{kSBox[(s[(c + 2) % 4] >> 8) & 0xFF]} << 8) |
                            kSBox[s[(c + 3) % 4] & 0xFF];
    const std::uint32_t r = v ^ word(&fRoundKeys[160 + 4 * c]);
    for (int i = 0; i < 4; ++i) out[4 * c + i] = static_cast<std::uint8_t>(r >> (24 - 8 * i));
  }
  return out;
}

namespace {
std::array<std::uint8_t, 16> DeriveKey(std::string_view password) {
  std::vector<std::uint8_t> input(std::begin(kKeyLabel), std::end(kKeyLabel) - 1);
  input.insert(input.end(), password.begin(), password.end());
  const TSha256Digest digest = Sha256(input.data(), input.size());
  std::array<std::uint8_t, 16> key{};
  std::memcpy(key.data(), digest.data(), 16);
  return key;
}
}  // namespace

TTrEncryptKey::TTrEncryptKey(std::string_view password) : fCipher(DeriveKey(password)) {}

void TTrEncryptKey::Crypt(std::uint32_t nonce, std::uint8_t* data, std::size_t size) const {
  TAes128::Block counter{};
  for (int i = 0; i < 4; ++i) counter[i] = static_cast<std::uint8_t>(nonce >> (8 * i));
  std::uint32_t blockNo = 0;
  for (std::size_t done = 0; done < size; done += 16, ++blockNo) {
    for (int i = 0; i < 4; ++i) counter[12 + i] = static_cast<std::uint8_t>(blockNo >> (24 - 8 * i));
    const TAes128::Block stream = fCipher.EncryptBlock(counter);
    for (std::size_t i = 0; i < 16 && done + i < size; ++i) data[done + i] ^= stream[i];
  }
}

}  // namespace tracira
