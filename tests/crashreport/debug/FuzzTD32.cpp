// TD32 data of a ".tds" file or the tail of an image. Inputs that begin
// with a byte below 8 are mutated from a well-formed fixture, so that the
// fuzzer reaches the subsections and not only the signature check.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crashreport/debug/TrSymbols.h"
#include "tests/crashreport/debug/DebugFormatWriters.h"

namespace {

const std::vector<std::uint8_t>& Seed() {
  static const std::vector<std::uint8_t> seed = tracira::testing::WriteTD32(
      {{"Main", {{1, 0x100, 0x40, "@Main@Proc$qqrv"}}, {{"Main.pas", 1, {{0x100, 1}, {0x110, 2}}}}}});
  return seed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> input(data, data + size);
  if (size >= 3 && data[0] < 8) {
    input = Seed();
    // Overwrite bytes of the well-formed starting image: (position, value) pairs.
    for (std::size_t i = 1; i + 1 < size; i += 2) input[data[i] * 7u % input.size()] = data[i + 1];
  }
  const tracira::TTrDebugInfoTD32 source(input.data(), input.size(), {{0x1000, 0x3000}});
  for (std::uint32_t rva : {0x1000u, 0x1100u, 0x1108u, 0x1140u, 0x5000u}) (void)source.GetLocationInfo(rva);
  (void)tracira::TTrPeBorTD32Image(input);
  return 0;
}
