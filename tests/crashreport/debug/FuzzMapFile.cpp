// Map files beside a module: GNU ld's and Borland's detailed maps.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crashreport/debug/TrSymbols.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const tracira::TTrDebugInfoMap map(text, 0);
  for (std::uint32_t rva : {0x0u, 0x1000u, 0x1234u, 0x401000u, 0xFFFFFFFFu}) (void)map.GetLocationInfo(rva);
  // Every public and line address is looked up, so the searches see their
  // own boundaries.
  for (const auto& p : map.Scanner().Publics()) (void)map.Scanner().Lookup(p.Address);
  for (const auto& l : map.Scanner().Lines()) (void)map.Scanner().Lookup(l.Address + 1);
  return 0;
}
