#include "Fmu/PortParams.h"

#include "rtl/Exceptions.h"

std::wstring PortItemName(std::int32_t port) { return L"COM " + std::to_wstring(port); }

namespace {

int DigitValue(wchar_t c, unsigned base) {
  int digit = -1;
  if (c >= L'0' && c <= L'9') {
    digit = c - L'0';
  } else if (c >= L'a' && c <= L'f') {
    digit = c - L'a' + 10;
  } else if (c >= L'A' && c <= L'F') {
    digit = c - L'A' + 10;
  }
  return digit >= 0 && static_cast<unsigned>(digit) < base ? digit : -1;
}

}  // namespace

std::optional<std::int32_t> TryStrToInt(std::wstring_view value) {
  std::size_t i = 0;
  while (i < value.size() && value[i] == L' ') ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == L'-' || value[i] == L'+')) {
    negative = value[i] == L'-';
    ++i;
  }
  unsigned base = 10;
  if (i < value.size() && (value[i] == L'$' || value[i] == L'x' || value[i] == L'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < value.size() && value[i] == L'0' && (value[i + 1] == L'x' || value[i + 1] == L'X')) {
    base = 16;
    i += 2;
  }
  if (i == value.size()) return std::nullopt;  // no digits at all

  // Decimal: up to 2^31 - 1, or 2^31 after a minus. Hexadecimal: any 32-bit
  // pattern, so that the codes can be typed as the driver stores them.
  const std::uint64_t limit = base == 16 ? 0xFFFFFFFFu : (negative ? 0x80000000u : 0x7FFFFFFFu);
  std::uint64_t magnitude = 0;
  for (; i < value.size(); ++i) {
    const int digit = DigitValue(value[i], base);
    if (digit < 0) return std::nullopt;
    magnitude = magnitude * base + static_cast<unsigned>(digit);
    if (magnitude > limit) return std::nullopt;
  }
  const auto bits = static_cast<std::uint32_t>(magnitude);
  return static_cast<std::int32_t>(negative ? 0u - bits : bits);
}

std::wstring NotAnIntegerMessage(std::wstring_view value) {
  return L"\"" + std::wstring(value) + L"\" не является целым числом";
}

std::int32_t StrToIntRus(std::wstring_view Value) {
  const std::optional<std::int32_t> result = TryStrToInt(Value);
  if (!result) throw rtl::EConvertError(NotAnIntegerMessage(Value));
  return *result;
}
