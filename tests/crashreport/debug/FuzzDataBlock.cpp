// A data block comes from a module file that may be damaged or foreign: any
// bytes must give either usable data or a clean error, and lookups in what
// was accepted must stay inside the buffers.
#include <cstdint>

#include "crashreport/debug/TrDebug.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tracira;
  TTraciraModuleOptions options;
  // Both layouts, then the debug stream on its own with both password states.
  try {
    const auto info = LoadData(data, size, options, [] { return std::string(); });
    for (std::uint32_t a : {0u, 0x10u, 0x1000u, 0xFFFFFFFFu}) GetSourceInfoByAddr(info, a);
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
    for (std::uint32_t a = 0; a < 0x400; a += 0x3F) GetSourceInfoByAddr(info, a);
  }
  return 0;
}
