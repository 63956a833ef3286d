// Fuzzes the framing of serial input and the card-track splitter: no crash,
// no byte lost or invented, tracks always come from the line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "driver/core/Codes.h"
#include "driver/core/DeviceStore.h"
#include "driver/core/Framing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int flag = data[0] % 7;
  const size_t maxFrame = 1 + data[1] % 64;
  const std::string_view input(reinterpret_cast<const char*>(data + 2), size - 2);

  dravix::TFramer framer(flag, maxFrame);
  size_t frameBytes = 0;
  // Feed in uneven chunks so that terminators split across reads are covered.
  for (size_t pos = 0, step = 1; pos < input.size(); pos += step, step = step % 7 + 1) {
    for (const std::string& frame : framer.Feed(input.substr(pos, step))) {
      if (frame.empty() || frame.size() > maxFrame) std::abort();
      frameBytes += frame.size();
      const dravix::TTracks tracks = dravix::SplitTracks(frame);
      for (const std::string* t : {&tracks.Track1, &tracks.Track2, &tracks.Track3}) {
        if (t->size() > frame.size() || frame.find(*t) == std::string::npos) std::abort();
      }
    }
  }
  // Only stop-flag bytes may disappear.
  if (frameBytes + framer.Pending().size() > input.size()) std::abort();

  // The stored-record reader takes the same bytes as a damaged registry value.
  std::wstring stored(input.begin(), input.end());
  bool repaired = false;
  const auto devices = dravix::DecodeDeviceList(stored, repaired);
  if (devices.empty() || devices.size() > dravix::kMaxDevices) std::abort();
  for (const auto& device : devices) {
    if (!dravix::IsValidName(device.Name)) std::abort();
    bool again = false;
    if (dravix::DecodeDevice(dravix::EncodeDevice(device), again) != device || again) std::abort();
  }
  return 0;
}
