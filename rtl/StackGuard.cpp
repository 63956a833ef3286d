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

#if defined(_WIN32)
namespace {

// A clean-up still running near the bottom would hit the guard at once.
constexpr std::uintptr_t kMargin = 64 * 1024;

std::uintptr_t PageSize() {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  return system.dwPageSize;
}

#if defined(_WIN64)
// The thread's information block (gs:0x30 holds its own address) and the
// bottom of the stack as the system knows it: the field it decides an
// overflow by, and frees the stack from.
NT_TIB* ThreadInformationBlock() {
  NT_TIB* tib;
  asm("movq %%gs:0x30, %0" : "=r"(tib));
  return tib;
}
void*& DeallocationStack() {
  constexpr std::size_t kOffset = 0x1478;
  return *reinterpret_cast<void**>(reinterpret_cast<char*>(ThreadInformationBlock()) + kOffset);
}

// The system raises the overflow once the stack's guard page comes down to
// the pages it guarantees above the bottom (the bottom page and two more).
constexpr std::uintptr_t kGuaranteedPages = 3;
#endif

}  // namespace
#endif

void RestoreStackGuard() noexcept {
#if defined(_WIN64)
  // The system's own guard is untouched while the reserve is held.
  HoldOverflowReserve();
#elif defined(_WIN32)
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
  VirtualProtect(page, PageSize(), PAGE_READWRITE | PAGE_GUARD, &old);
#endif
}

#if defined(_WIN64)
void HoldOverflowReserve() noexcept {
  MEMORY_BASIC_INFORMATION region{};
  if (!VirtualQuery(&region, &region, sizeof region)) return;
  auto* const bottom = static_cast<char*>(region.AllocationBase);
  const char* here = reinterpret_cast<const char*>(&region);
  char* const shown = bottom + kOverflowReserve;
  if (DeallocationStack() != bottom || here < shown + kMargin) return;
  DeallocationStack() = shown;
  // Where the stack is committed already (the main thread's is, whole),
  // no guard page comes down to the new bottom: one is laid where the
  // system looks for it.
  char* const guard = shown + kGuaranteedPages * PageSize();
  if (VirtualQuery(guard, &region, sizeof region) && region.State == MEM_COMMIT &&
      !(region.Protect & PAGE_GUARD)) {
    DWORD old = 0;
    VirtualProtect(guard, PageSize(), PAGE_READWRITE | PAGE_GUARD, &old);
  }
}

bool ReleaseOverflowReserve() noexcept {
  MEMORY_BASIC_INFORMATION region{};
  if (!VirtualQuery(&region, &region, sizeof region)) return false;
  auto* const bottom = static_cast<char*>(region.AllocationBase);
  auto* const shown = static_cast<char*>(DeallocationStack());
  if (shown == bottom) return false;
  DeallocationStack() = bottom;
  // The stack grows on through the page that was its bottom.
  if (VirtualQuery(shown, &region, sizeof region) && region.State == MEM_RESERVE)
    VirtualAlloc(shown, PageSize(), MEM_COMMIT, PAGE_READWRITE | PAGE_GUARD);
  // The lower limit, which frames are checked against, down to the lowest
  // page in use.
  char* page = bottom;
  while (page < shown && VirtualQuery(page, &region, sizeof region) &&
         !(region.State == MEM_COMMIT && !(region.Protect & (PAGE_GUARD | PAGE_NOACCESS))))
    page += region.RegionSize;
  NT_TIB* tib = ThreadInformationBlock();
  if (page < tib->StackLimit) tib->StackLimit = page;
  return true;
}
#endif

}  // namespace rtl
