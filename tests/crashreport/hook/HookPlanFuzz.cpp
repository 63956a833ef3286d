// Arbitrary code bytes through the patch planner and the assembler section:
// no out-of-bounds access, and every accepted plan keeps its promises.
#include <cstdlib>
#include <cstring>
#include <span>

#include "crashreport/disasm/TrAsmSection.h"
#include "crashreport/hook/TrHookPlan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tracira;
  const std::span<const std::uint8_t> code(data, size);
  // Both kinds of code, each at addresses it could have.
  struct TPlace {
    TAsmMode Mode;
    std::uint64_t Target;
    std::uint64_t Trampoline;
  };
  for (const TPlace place :
       {TPlace{TAsmMode::x86, 0x00401000, 0x7FFF0000}, TPlace{TAsmMode::x64, 0x140001000, 0x13FFF0000}}) {
    const THookPlan plan = PlanTrampoline(code.first(std::min<std::size_t>(size, kHookPlanReadSize)),
                                          place.Target, place.Trampoline, place.Mode);
    if (plan.Error != THookPlanError::None) continue;
    const auto& t = plan.Trampoline;
    const auto back = JumpRel32(place.Trampoline + t.size() - kHookJumpSize, place.Target + plan.Covered);
    if (plan.Covered < kHookJumpSize || plan.Covered > size || t.size() > kTrampolineCapacity ||
        !std::equal(back.begin(), back.end(), t.end() - kHookJumpSize))
      std::abort();
  }

  const std::uint32_t target = 0x00401000;
  TDisAsm disasm;
  disasm.OnReadMemory = [&](std::uint32_t address, std::span<std::uint8_t> buffer) -> std::size_t {
    if (address < target || address - target >= size) return 0;
    const std::size_t n = std::min(buffer.size(), size - (address - target));
    std::memcpy(buffer.data(), data + (address - target), n);
    return n;
  };
  (void)AssemblerText(disasm, nullptr, target + static_cast<std::uint32_t>(size / 2));
  return 0;
}
