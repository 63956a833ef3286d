// Fuzzes the MX answer reader. The input is the whole answer; the query's ID
// is taken from its first bytes so the fuzzer gets past the ID check. Beyond
// not crashing or reading outside the input: the only failure is
// ETraciraSocketError, and what is returned is a sorted list of plain host
// names.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crashreport/delivery/TrDns.h"
#include "crashreport/delivery/TrSocketError.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsHostByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '.';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::uint16_t id = size >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 0;
  try {
    const auto hosts = tracira::ParseMXAnswer(input, id, "tavrix.test");
    Check(!hosts.empty());
    for (std::size_t i = 0; i < hosts.size(); ++i) {
      Check(!hosts[i].Host.empty() && hosts[i].Host.size() <= 253);
      Check(std::all_of(hosts[i].Host.begin(), hosts[i].Host.end(), IsHostByte));
      if (i > 0) Check(hosts[i - 1].Preference <= hosts[i].Preference);
    }
  } catch (const tracira::ETraciraSocketError&) {
  }
  return 0;
}
