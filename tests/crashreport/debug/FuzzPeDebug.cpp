// A module file as the lookup reads it: PE headers, sections, COFF symbols
// and the DWARF line table; and the inlined calls of .debug_info as the
// build tool reads them, the input split into .debug_info and
// .debug_abbrev (which also stand for the range lists).
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "crashreport/debug/TrDwarfInlines.h"
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

  tracira::DwarfSections sections;
  sections.Info.assign(data, data + size / 2);
  sections.Abbrev.assign(data + size / 2, data + size);
  sections.Ranges = sections.RngLists = sections.Addr = sections.Abbrev;
  std::vector<std::string> paths;
  try {
    (void)tracira::ReadInlinedCalls(sections, {{0, {"a.cpp", "b.h"}, {}}}, paths);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
