// JCL debug data of a "JCLDEBUG" section or a ".jdbg" file. Inputs that
// begin with a byte below 8 are mutated from a well-formed fixture.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crashreport/debug/TrSymbols.h"
#include "tests/crashreport/debug/DebugFormatWriters.h"

namespace {

const std::vector<std::uint8_t>& Seed() {
  static const std::vector<std::uint8_t> seed = [] {
    tracira::testing::JclDebugData d;
    d.ModuleName = "Seed";
    d.Units = {{0, "UnitA"}, {0x100, "UnitB"}};
    d.SourceNames = {{0, "UnitA.pas"}};
    d.Symbols = {{0x10, "TA", "Run"}, {0x100, "", "Free_Proc"}};
    d.Lines = {{0x10, 5}, {0x20, 6}, {0x100, 9}};
    return tracira::testing::WriteJclDebug(d);
  }();
  return seed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> input(data, data + size);
  if (size >= 3 && data[0] < 8) {
    input = Seed();
    for (std::size_t i = 1; i + 1 < size; i += 2) input[data[i] * 5u % input.size()] = data[i + 1];
  }
  const tracira::TTrDebugInfoJedy source(input.data(), input.size());
  for (std::uint32_t rva : {0x1000u, 0x1010u, 0x1025u, 0x1100u, 0x9000u}) (void)source.GetLocationInfo(rva);
  return 0;
}
