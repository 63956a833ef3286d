// The stored options come from a program file or a shared-memory block that
// another module wrote: any bytes must give either options or a clean error.
#include <cstdint>

#include "crashreport/core/TrCore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tracira::TTraciraModuleOptions options;
  try {
    const std::size_t used = options.LoadFromStream(data, size);
    if (used > size) __builtin_trap();
    // What was read must store and read back to the same options.
    tracira::TByteBuffer again;
    options.SaveToStream(again);
    tracira::TTraciraModuleOptions copy;
    copy.LoadFromStream(again.data(), again.size());
    if (!(copy.Data() == options.Data())) __builtin_trap();
  } catch (const tracira::EOptionsStreamError&) {
  }
  return 0;
}
