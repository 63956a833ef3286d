// A module file as the lookup reads it: PE headers, sections, COFF symbols
// and the DWARF line table.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "crashreport/debug/TrPeImage.h"
#include "crashreport/debug/TrSymbols.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> file(data, data + size);
  try {
    const tracira::PeImage pe(file);
    (void)pe.Symbols();
    (void)pe.ReadResources();
  } catch (const std::exception&) {
  }
  const tracira::TTrDebugInfoDwarf dwarf(file);
  for (std::uint32_t rva : {0x1000u, 0x1010u, 0x2000u}) (void)dwarf.GetLocationInfo(rva);
  return 0;
}
