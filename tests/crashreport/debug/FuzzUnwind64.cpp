// The x86-64 unwind over tables and a stack made of the input: an image
// whose headers are sound and whose exception directory, unwind data and
// code are the input's first part, and a stack that is its second part.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "crashreport/debug/TrCallScan.h"
#include "crashreport/debug/TrUnwind64.h"

namespace {

constexpr tracira::TTrAddress kBase = 0x140000000, kStack = 0x20000;
constexpr std::size_t kImageSize = 0x2000, kTables = 0x200;

void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) { std::memcpy(&b[at], &v, 4); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  // Eight bytes of choices: the directory's size, where the innermost
  // function stands, how much of the rest is image.
  const std::uint32_t directorySize = data[0] | data[1] << 8;
  const std::uint32_t rip = 0x1000 + (data[2] | (data[3] & 0x0F) << 8);
  const std::size_t imagePart = std::min<std::size_t>(data[4] | data[5] << 8, kImageSize - kTables);
  const std::uint64_t rbp = kStack + (data[6] | data[7] << 8);
  data += 8;
  size -= 8;

  std::vector<std::uint8_t> image(kImageSize, 0);
  image[0] = 'M';
  image[1] = 'Z';
  Put32(image, 0x3C, 0x40);
  Put32(image, 0x40, 0x00004550);
  image[0x58] = 0x0B;
  image[0x59] = 0x02;
  Put32(image, 0x58 + 108, 16);
  Put32(image, 0x58 + 112 + 24, kTables);
  Put32(image, 0x58 + 112 + 28, directorySize);
  const std::size_t copied = std::min(imagePart, size);
  std::copy_n(data, copied, image.begin() + kTables);
  std::vector<std::uint8_t> stack(data + copied, data + size);

  tracira::TTrBufferReader images(kBase, image), stackReader(kStack, stack);
  tracira::TTrX64Registers registers;
  registers.Rip = kBase + rip;
  registers.Rsp() = kStack;
  registers.Gpr[5] = rbp;
  const auto imageBaseOf = [](tracira::TTrAddress a) -> std::optional<tracira::TTrAddress> {
    if (a >= kBase && a < kBase + kImageSize) return kBase;
    return std::nullopt;
  };
  const auto frames = tracira::UnwindX64(stackReader, images, imageBaseOf, registers, kStack + stack.size());
  // Every frame lies on the stack and above the one before.
  tracira::TTrAddress last = kStack;
  for (const auto& frame : frames) {
    if (frame.StackPointer <= last || frame.StackPointer > kStack + stack.size()) __builtin_trap();
    last = frame.StackPointer;
  }
  return 0;
}
