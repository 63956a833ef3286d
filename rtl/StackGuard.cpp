// The stack's guard page after an overflow. The system turns the guard page
// into an ordinary page when the overflow hits it, so without this the next
// overflow of the thread would run into the reserved page below and end the
// process without any exception.
#include "rtl/Exceptions.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace rtl {

EStackOverflow::~EStackOverflow() { RestoreStackGuard(); }

void RestoreStackGuard() noexcept {
#if defined(_WIN32)
  // A clean-up still running near the bottom would hit the guard at once.
  constexpr std::uintptr_t kMargin = 64 * 1024;
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  MEMORY_BASIC_INFORMATION region{};
  if (!VirtualQuery(&region, &region, sizeof region)) return;
  const auto* here = reinterpret_cast<const char*>(&region);
  auto* page = static_cast<char*>(region.AllocationBase);
  // The lowest usable page of the stack: below it lie only reserved pages
  // and the one page that is never accessible.
  for (;;) {
    if (!VirtualQuery(page, &region, sizeof region) || page >= here) return;
    if (region.State == MEM_COMMIT && (region.Protect & (PAGE_READWRITE | PAGE_GUARD))) break;
    page += region.RegionSize;
  }
  if (region.Protect & PAGE_GUARD) return;  // still in place
  if (reinterpret_cast<std::uintptr_t>(here) - reinterpret_cast<std::uintptr_t>(page) < kMargin) return;
  DWORD old = 0;
  VirtualProtect(page, system.dwPageSize, PAGE_READWRITE | PAGE_GUARD, &old);
#endif
}

}  // namespace rtl
