// A data block comes from a module file that may be damaged or foreign: any
// bytes must give either usable data or a clean error, and lookups in what
// was accepted must stay inside the buffers. The index a module's lookups
// use must answer as the walk over the whole stream does, damage included.
#include <cstdint>
#include <cstdlib>

#include "crashreport/debug/TrDebug.h"

namespace {

void LookUp(const tracira::TTraciraExtraInformation& info, std::uint32_t from, std::uint32_t step) {
  const tracira::TTrUnitIndex index(info);
  for (std::uint32_t a = from; a < from + 16 * step; a += step) {
    if (tracira::GetSourceInfoByAddr(info, a) != index.Lookup(info, a)) std::abort();
    (void)index.ProcedureRange(info, a);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tracira;
  TTraciraModuleOptions options;
  // Both layouts, then the debug stream on its own with both password states.
  try {
    const auto info = LoadData(data, size, options, [] { return std::string(); });
    LookUp(info, 0, 0x100);
    (void)GetSourceInfoByAddr(info, 0xFFFFFFFFu);
  } catch (const ETrDataError&) {
  }
  try {
    LoadData_Old(data, size, options);
  } catch (const ETrDataError&) {
  }
  for (bool valid : {true, false}) {
    TTraciraExtraInformation info;
    info.TraciraVersion = valid ? 6006 : 400;
    info.IsValidEncryptPassword = valid;
    info.DebugInformation.assign(data, data + size);
    LookUp(info, 0, 0xFD);
    LookUp(info, 0xFFFFFFFFu - 16, 1);
  }
  return 0;
}
