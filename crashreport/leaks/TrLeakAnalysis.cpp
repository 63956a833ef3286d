#include "crashreport/leaks/TrLeakAnalysis.h"

#include <algorithm>
#include <cstring>

namespace tracira::leaks {

namespace {

bool InRange(std::uint8_t b, std::uint8_t low, std::uint8_t high) { return b >= low && b <= high; }

// reg field 2 (call), any of the eight registers but the one that needs a
// SIB byte (rm 4) or means an absolute or RIP-relative address (rm 5).
bool CallRm(std::uint8_t modrm, std::uint8_t mod) {
  const std::uint8_t rm = modrm & 7;
  return (modrm & 0xF8) == (mod << 6 | 2 << 3) && rm != 4 && rm != 5;
}

bool IsRex(std::uint8_t b) { return InRange(b, 0x40, 0x4F); }

// The start of the call instruction that ends at q, or 0. b[i] is the byte
// at q - 7 + i.
std::uintptr_t CallStart(std::uintptr_t q, const std::uint8_t (&b)[7], const TReadMemory& read,
                         TCodeWidth width) {
  const auto at = [&](int back) { return b[7 - back]; };
  const bool x64 = width == TCodeWidth::x64;
  // A REX prefix in front of an FF form (r8 to r15) belongs to the call.
  const auto start = [&](int back) -> std::uintptr_t {
    return x64 && back < 7 && IsRex(at(back + 1)) ? q - back - 1 : q - back;
  };
  std::uint8_t probe[8];
  if (at(5) == 0xE8) {
    std::int32_t disp = 0;
    std::memcpy(&disp, &b[3], 4);
    if (read(q + static_cast<std::intptr_t>(disp), probe, 1)) return q - 5;
  }
  if (at(2) == 0xFF && CallRm(at(1), 3)) return start(2);
  if (at(2) == 0xFF && CallRm(at(1), 0)) return start(2);
  if (at(3) == 0xFF && CallRm(at(2), 1)) return start(3);
  if (at(6) == 0xFF && CallRm(at(5), 2)) return start(6);
  if (at(3) == 0xFF && at(2) == 0x14 && at(1) == 0x24) return start(3);
  if (at(4) == 0xFF && at(3) == 0x54 && at(2) == 0x24) return start(4);
  if (at(7) == 0xFF && at(6) == 0x94 && at(5) == 0x24) return q - 7;
  if (at(6) == 0xFF && at(5) == 0x15) {
    std::int32_t disp = 0;
    std::memcpy(&disp, &b[3], 4);
    // x86: the pointer's absolute address; x86-64: relative to the next
    // instruction.
    const std::uintptr_t pointer = x64 ? q + static_cast<std::intptr_t>(disp)
                                       : static_cast<std::uintptr_t>(static_cast<std::uint32_t>(disp));
    if (read(pointer, probe, x64 ? 8 : 4)) return start(6);
  }
  return 0;
}

const TCallStack& LeakStack(const TLeak& leak) { return leak.Raw; }

// Whether any pointer-aligned word of a's data points into b's data.
bool HoldsPointerInto(const TLeak& a, const TLeak& b, const TReadMemory& read) {
  const auto from = reinterpret_cast<std::uintptr_t>(b.Data);
  const std::uintptr_t to = from + std::max<std::size_t>(b.Size, 1);
  const std::size_t words = a.Size / sizeof(std::uintptr_t);
  for (std::size_t i = 0; i < words; ++i) {
    std::uintptr_t word = 0;
    if (!read(reinterpret_cast<std::uintptr_t>(a.Data) + i * sizeof word, &word, sizeof word)) return false;
    if (word >= from && word < to) return true;
  }
  return false;
}

bool StacksMeet(const TCallStack& a, const TCallStack& b, const TAnalysisSystem& system) {
  if (a[0] == 0 || a[1] == 0) return false;
  for (std::size_t i = 0; i + 1 < kStackDepth; ++i) {
    if (b[i + 1] != a[1]) continue;
    if (b[i] != a[0] && b[i] > a[0] && system.SameFunction(b[i], a[0])) return true;
  }
  return false;
}

void FoldSons(std::vector<TLeak>& leaks, std::size_t a, const TAnalysisSystem& system) {
  for (std::size_t b = a + 1; b < leaks.size(); ++b) {
    if (leaks[b].Removed || !IsALeakChild(leaks[a], leaks[b], system)) continue;
    if (leaks[b].Type == btObject) FoldSons(leaks, b, system);
    leaks[a].Size += leaks[b].Size;
    leaks[b].Removed = true;
    leaks[b].Into = a;
  }
}

}  // namespace

void PurgeCallStack(TCallStack& stack, const TReadMemory& read, TCodeWidth width) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < kStackDepth; ++i) {
    const std::uintptr_t q = stack[i];
    std::uint8_t bytes[7];
    const std::uintptr_t call =
        q > 7 && read(q - 7, bytes, sizeof bytes) ? CallStart(q, bytes, read, width) : 0;
    if (call) stack[kept++] = call;
  }
  std::fill(stack.begin() + static_cast<std::ptrdiff_t>(kept), stack.end(), 0);
}

void RemoveExtraLeaks(std::vector<TLeak>& leaks) {
  std::size_t visible = 0;
  for (TLeak& leak : leaks) {
    if (leak.Removed) continue;
    if (visible >= kMaxLeaks)
      leak.Removed = true;
    else
      ++visible;
  }
}

void PurgeCallStacks(std::vector<TLeak>& leaks, const TAnalysisSystem& system) {
  for (TLeak& leak : leaks) {
    PurgeCallStack(leak.Raw, system.Read, system.Width);
    PurgeCallStack(leak.Frames, system.Read, system.Width);
    // On x86-64 the frame walk follows the unwind tables and is exact,
    // while raw stack words hold stale return addresses as well: there the
    // walk is the leak's stack; on x86 the raw copy is, and the walk (a
    // frame-pointer chain that optimised code breaks) stands in for it.
    if (system.Width == TCodeWidth::x64 ? leak.Frames[0] != 0 : leak.Raw[0] == 0) leak.Raw = leak.Frames;
    if (leak.Raw[0] == 0) leak.Frames = {};
  }
}

void CountAllLeaks(std::vector<TLeak>& leaks) {
  for (std::size_t a = 0; a < leaks.size(); ++a) {
    if (leaks[a].Removed) continue;
    const std::size_t one = leaks[a].Size;
    for (std::size_t b = a + 1; b < leaks.size(); ++b) {
      if (leaks[b].Removed || LeakStack(leaks[b])[0] != LeakStack(leaks[a])[0] || leaks[b].Size != one ||
          leaks[b].TypeName != leaks[a].TypeName)
        continue;
      leaks[b].Removed = true;
      leaks[b].Into = a;
      leaks[a].Count += leaks[b].Count;
      leaks[a].Size += leaks[b].Size;
    }
  }
}

void RemoveLeaksSons(std::vector<TLeak>& leaks, const TAnalysisSystem& system) {
  for (std::size_t a = 0; a < leaks.size(); ++a)
    if (!leaks[a].Removed && leaks[a].Type == btObject) FoldSons(leaks, a, system);
}

bool IsALeakChild(const TLeak& a, const TLeak& b, const TAnalysisSystem& system) {
  if (a.Type != btObject || b.Data == a.Data) return false;
  if (!StacksMeet(a.Raw, b.Raw, system) && !StacksMeet(a.Frames, b.Frames, system)) return false;
  return HoldsPointerInto(a, b, system.Read);
}

std::size_t ReportedAs(const std::vector<TLeak>& leaks, std::size_t i) {
  while (leaks[i].Removed) {
    if (leaks[i].Into == SIZE_MAX) return SIZE_MAX;
    i = leaks[i].Into;
  }
  return leaks[i].Raw[0] != 0 ? i : SIZE_MAX;
}

void AnalyseLeaks(std::vector<TLeak>& leaks, const TAnalysisSystem& system, const TAnalysisOptions& options) {
  PurgeCallStacks(leaks, system);
  for (TLeak& leak : leaks)
    if (leak.Raw[0] == 0 || (system.Reportable && !system.Reportable(leak.Raw[0]))) leak.Removed = true;
  RemoveExtraLeaks(leaks);
  // The sons are folded before equal leaks are grouped: each object takes
  // its own sons, and equal objects then group with their sons' sizes.
  if (options.GroupSons) RemoveLeaksSons(leaks, system);
  CountAllLeaks(leaks);
}

}  // namespace tracira::leaks
