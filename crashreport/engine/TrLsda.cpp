#include "crashreport/engine/TrLsda.h"

#include <cstring>

namespace tracira {

namespace {

// The pointer encodings of exception tables (DW_EH_PE_*).
constexpr std::uint8_t kOmit = 0xFF, kIndirect = 0x80;

std::uint64_t Uleb(const std::uint8_t*& p) {
  std::uint64_t v = 0;
  int shift = 0;
  std::uint8_t b;
  do {
    b = *p++;
    if (shift < 64) v |= std::uint64_t{b & 0x7Fu} << shift;
    shift += 7;
  } while (b & 0x80);
  return v;
}

std::int64_t Sleb(const std::uint8_t*& p) {
  std::int64_t v = 0;
  int shift = 0;
  std::uint8_t b;
  do {
    b = *p++;
    if (shift < 64) v |= static_cast<std::int64_t>(std::uint64_t{b & 0x7Fu} << shift);
    shift += 7;
  } while (b & 0x80);
  if (shift < 64 && (b & 0x40)) v |= -(std::int64_t{1} << shift);
  return v;
}

template <typename T>
T Load(const std::uint8_t*& p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  p += sizeof v;
  return v;
}

// Reads one encoded pointer; false for an encoding GCC doesn't write here.
bool ReadEncoded(std::uint8_t encoding, std::uintptr_t functionStart, const std::uint8_t*& p,
                 std::uintptr_t& out) {
  const std::uint8_t* at = p;
  std::uintptr_t v = 0;
  switch (encoding & 0x0F) {
    case 0x00:  // absptr
      v = Load<std::uintptr_t>(p);
      break;
    case 0x01:
      v = static_cast<std::uintptr_t>(Uleb(p));
      break;
    case 0x02:
      v = Load<std::uint16_t>(p);
      break;
    case 0x03:
      v = Load<std::uint32_t>(p);
      break;
    case 0x04:
      v = static_cast<std::uintptr_t>(Load<std::uint64_t>(p));
      break;
    case 0x09:
      v = static_cast<std::uintptr_t>(Sleb(p));
      break;
    case 0x0A:
      v = static_cast<std::uintptr_t>(Load<std::int16_t>(p));
      break;
    case 0x0B:
      v = static_cast<std::uintptr_t>(Load<std::int32_t>(p));
      break;
    case 0x0C:
      v = static_cast<std::uintptr_t>(Load<std::int64_t>(p));
      break;
    default:
      return false;
  }
  if (v != 0) {
    switch (encoding & 0x70) {
      case 0x00:
        break;
      case 0x10:  // pcrel
        v += reinterpret_cast<std::uintptr_t>(at);
        break;
      case 0x40:  // funcrel
        v += functionStart;
        break;
      default:
        return false;
    }
    if (encoding & kIndirect) v = *reinterpret_cast<const std::uintptr_t*>(v);
  }
  out = v;
  return true;
}

std::size_t EncodedSize(std::uint8_t encoding) {
  switch (encoding & 0x07) {
    case 0x02:
      return 2;
    case 0x03:
      return 4;
    case 0x04:
      return 8;
    default:
      return sizeof(void*);
  }
}

}  // namespace

TLsdaAnswer ReadLsda(const std::uint8_t* lsda, std::uintptr_t functionStart, std::uintptr_t pc,
                     TLsdaCatches catches, void* context) {
  const std::uint8_t* p = lsda;
  std::uintptr_t landingBase = functionStart;
  const std::uint8_t lpStartEncoding = *p++;
  if (lpStartEncoding != kOmit && !ReadEncoded(lpStartEncoding, functionStart, p, landingBase))
    return TLsdaAnswer::None;
  const std::uint8_t typeEncoding = *p++;
  const std::uint8_t* types = nullptr;
  if (typeEncoding != kOmit) {
    const std::uint64_t offset = Uleb(p);
    types = p + offset;
  }
  const std::uint8_t siteEncoding = *p++;
  const std::uint64_t sitesLength = Uleb(p);
  const std::uint8_t* const actions = p + sitesLength;
  const std::uintptr_t ip = pc - 1;
  while (p < actions) {
    std::uintptr_t start = 0, length = 0, landing = 0;
    if (!ReadEncoded(siteEncoding, 0, p, start) || !ReadEncoded(siteEncoding, 0, p, length) ||
        !ReadEncoded(siteEncoding, 0, p, landing))
      return TLsdaAnswer::None;
    const std::uint64_t action = Uleb(p);
    if (ip < functionStart + start) break;  // the table is sorted: no entry covers ip
    if (ip >= functionStart + start + length) continue;
    if (landing == 0 || action == 0) return TLsdaAnswer::None;  // nothing here, or only clean-up
    const std::uint8_t* record = actions + action - 1;
    for (;;) {
      const std::int64_t filter = Sleb(record);
      const std::uint8_t* next = record;
      const std::int64_t displacement = Sleb(record);
      if (filter > 0) {
        if (!types) return TLsdaAnswer::None;
        const std::uint8_t* entry = types - static_cast<std::uint64_t>(filter) * EncodedSize(typeEncoding);
        std::uintptr_t type = 0;
        if (!ReadEncoded(typeEncoding, functionStart, entry, type)) return TLsdaAnswer::None;
        if (type == 0 || (catches && catches(reinterpret_cast<const void*>(type), context)))
          return TLsdaAnswer::Catch;
      } else if (filter < 0) {
        // A throw list: the only one the project's code can have is
        // noexcept's empty one, which lets nothing through.
        return TLsdaAnswer::Terminate;
      }
      if (displacement == 0) return TLsdaAnswer::None;
      record = next + displacement;
    }
  }
  return TLsdaAnswer::Uncovered;
}

}  // namespace tracira
