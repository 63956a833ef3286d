// Options files are edited by hand: any text gets either options or a
// clear error, and options read from a file are written back to a file that
// reads to the same options.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crashreport/core/TrOptionsFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const tracira::TTrOptionsFile file = tracira::ReadOptionsFile(text, "fuzz.ini", 1251);
    const std::string written = tracira::WriteOptionsFile(file.Options, file.Block, 1251);
    const tracira::TTrOptionsFile back = tracira::ReadOptionsFile(written, "written.ini", 1251);
    // The build commands are not written: they never reach a program.
    tracira::TTraciraOptionsData expected = file.Options;
    expected.PreBuildEvent = expected.PostSuccessfulBuildEvent = expected.PostFailureBuildEvent = {};
    if (!(back.Options == expected) || !(back.Block == file.Block)) std::abort();
  } catch (const tracira::EOptionsFileError&) {
  }
  return 0;
}
