#include "crashreport/disasm/TrDisAsmWin.h"

#include <windows.h>

#include <algorithm>
#include <limits>

namespace tracira {

namespace {

// Committed, readable and no guard page (touching one would disarm it).
bool IsReadablePage(std::uint64_t address) {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(address)), &info, sizeof info) == 0)
    return false;
  constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return info.State == MEM_COMMIT && (info.Protect & kReadable) != 0 && (info.Protect & PAGE_GUARD) == 0;
}

}  // namespace

std::size_t ReadOwnMemory(std::uint64_t address, std::span<std::uint8_t> buffer) {
  // Readability is a property of whole pages: read page by page and stop at
  // the first page that isn't readable. The protection is asked first, since
  // ReadProcessMemory on this process doesn't refuse every such page (Wine).
  constexpr std::uint64_t kPage = 4096;
  std::size_t done = 0;
  while (done < buffer.size()) {
    const std::uint64_t at = std::uint64_t{address} + done;
    if (at < address || at > std::numeric_limits<std::uintptr_t>::max() || !IsReadablePage(at)) break;
    const std::uint64_t pageEnd = (at / kPage + 1) * kPage;
    const std::size_t chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(pageEnd - at, buffer.size() - done));
    SIZE_T read = 0;
    if (!ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(at)),
                           buffer.data() + done, chunk, &read) ||
        read != chunk)
      break;
    done += chunk;
  }
  return done;
}

}  // namespace tracira
