// StrToIntRus on arbitrary text: it either gives a number that the same
// rules read back from its decimal form, or raises EConvertError quoting the
// text; nothing else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Fmu/PortParams.h"
#include "rtl/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::wstring text;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    text += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
  }
  try {
    const std::int32_t value = StrToIntRus(text);
    if (StrToIntRus(std::to_wstring(value)) != value) std::abort();
  } catch (const rtl::EConvertError& e) {
    if (e.Message() != NotAnIntegerMessage(text)) std::abort();
  }
  return 0;
}
