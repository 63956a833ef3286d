// Little-endian reading and writing of the crash reporter's stored forms.
// The reader checks every length against what is left, so damaged input
// raises instead of reading past its end.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "rtl/Exceptions.h"

namespace tracira {

class EStreamReadError : public rtl::Exception {
 public:
  using Exception::Exception;
};

class TrByteReader {
 public:
  TrByteReader(const std::uint8_t* data, std::size_t size) : fData(data), fSize(size) {}

  std::size_t Position() const { return fPos; }
  std::size_t Remaining() const { return fSize - fPos; }
  const std::uint8_t* Current() const { return fData + fPos; }

  const std::uint8_t* Take(std::size_t count) {
    if (count > Remaining()) throw EStreamReadError(L"Stream read error: data ends too early.");
    const std::uint8_t* p = fData + fPos;
    fPos += count;
    return p;
  }
  std::uint8_t U8() { return *Take(1); }
  std::uint16_t U16() {
    const std::uint8_t* p = Take(2);
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
  }
  std::uint32_t U32() {
    const std::uint8_t* p = Take(4);
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
  }
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  std::uint64_t U48() {
    std::uint64_t v = 0;
    const std::uint8_t* p = Take(6);
    for (int i = 5; i >= 0; --i) v = (v << 8) | p[i];
    return v;
  }
  double F64() {
    const std::uint8_t* p = Take(8);
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    double d;
    std::memcpy(&d, &v, sizeof d);
    return d;
  }

 private:
  const std::uint8_t* fData;
  std::size_t fSize;
  std::size_t fPos = 0;
};

class TrByteWriter {
 public:
  explicit TrByteWriter(std::vector<std::uint8_t>& out) : fOut(out) {}
  void U8(std::uint8_t v) { fOut.push_back(v); }
  void U16(std::uint16_t v) {
    U8(static_cast<std::uint8_t>(v));
    U8(static_cast<std::uint8_t>(v >> 8));
  }
  void U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) U8(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
  void U48(std::uint64_t v) {
    for (int i = 0; i < 6; ++i) U8(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void F64(double d) {
    std::uint64_t v;
    std::memcpy(&v, &d, sizeof v);
    for (int i = 0; i < 8; ++i) U8(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void Bytes(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    fOut.insert(fOut.end(), p, p + size);
  }

 private:
  std::vector<std::uint8_t>& fOut;
};

}  // namespace tracira
