#include "crashreport/debug/TrCallScan.h"

#include <algorithm>
#include <cstring>

#include "crashreport/debug/TrUnwind64.h"

namespace tracira {

bool TTrBufferReader::Read(TTrAddress address, void* out, std::size_t size) {
  if (address < fBase) return false;
  const std::uint64_t offset = address - fBase;
  if (offset > fBytes.size() || size > fBytes.size() - offset) return false;
  std::memcpy(out, fBytes.data() + offset, size);
  return true;
}

namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

std::uint64_t Le64(const std::uint8_t* p) { return Le32(p) | std::uint64_t{Le32(p + 4)} << 32; }

// An import thunk "jmp [address]": the function it leads to. On x86-64
// the operand is RIP-relative and the slot holds 8 bytes.
TTrAddress FollowImportThunk(TTrMemoryReader& code, TTrAddress target, int wordSize) {
  std::uint8_t jump[6];
  if (!code.Read(target, jump, sizeof jump) || jump[0] != 0xFF || jump[1] != 0x25) return target;
  std::uint8_t slot[8];
  TTrAddress real;
  if (wordSize == kWords64) {
    const auto displacement = static_cast<std::int32_t>(Le32(jump + 2));
    if (!code.Read(target + 6 + static_cast<std::int64_t>(displacement), slot, 8)) return target;
    real = Le64(slot);
  } else {
    if (!code.Read(Le32(jump + 2), slot, 4)) return target;
    real = Le32(slot);
  }
  std::uint8_t probe;
  return code.Read(real, &probe, 1) ? real : target;
}

std::optional<TTrCallSite> DirectCall(TTrMemoryReader& code, TTrAddress r, TTrAddress target,
                                      bool resolveCalls, int wordSize) {
  std::uint8_t first;
  if (!code.Read(target, &first, 1)) return std::nullopt;
  TTrCallSite site{r - 5, std::nullopt};
  if (resolveCalls) {
    const TTrAddress real = FollowImportThunk(code, target, wordSize);
    std::uint8_t realFirst;
    if (code.Read(real, &realFirst, 1) && realFirst != 0xE8) site.Target = real;
  }
  return site;
}

std::optional<TTrCallSite> CallSiteBefore32(TTrMemoryReader& code, std::uint32_t r, bool resolveCalls) {
  if (r < 7) return std::nullopt;
  std::uint8_t b[7];  // b[k] is the byte at r - 7 + k
  if (!code.Read(r - 7, b, sizeof b)) return std::nullopt;
  auto at = [&](int back) { return b[7 - back]; };  // byte at r - back

  if (at(5) == 0xE8) {
    if (auto site = DirectCall(code, r, static_cast<std::uint32_t>(r + Le32(&b[3])), resolveCalls, kWords32))
      return site;
  }
  const std::uint8_t m2 = at(1);
  if (at(2) == 0xFF) {
    if (m2 >= 0xD0 && m2 <= 0xD7) return TTrCallSite{r - 2, std::nullopt};  // call reg
    if ((m2 >= 0x10 && m2 <= 0x13) || m2 == 0x16 || m2 == 0x17)
      return TTrCallSite{r - 2, std::nullopt};  // call [reg]
  }
  if (at(3) == 0xFF) {
    const std::uint8_t m = at(2);
    if ((m >= 0x50 && m <= 0x53) || (m >= 0x55 && m <= 0x57))
      return TTrCallSite{r - 3, std::nullopt};                                // [reg+d8]
    if (m == 0x14 && at(1) == 0x24) return TTrCallSite{r - 3, std::nullopt};  // [esp]
  }
  if (at(4) == 0xFF && at(3) == 0x54 && at(2) == 0x24) return TTrCallSite{r - 4, std::nullopt};  // [esp+d8]
  if (at(6) == 0xFF) {
    const std::uint8_t m = at(5);
    if ((m >= 0x90 && m <= 0x93) || (m >= 0x95 && m <= 0x97))
      return TTrCallSite{r - 6, std::nullopt};  // [reg+d32]
    if (m == 0x15) {                            // [address]: the address itself must be readable
      std::uint8_t slot[4];
      if (code.Read(Le32(&b[3]), slot, sizeof slot)) return TTrCallSite{r - 6, std::nullopt};
    }
  }
  if (at(7) == 0xFF && at(6) == 0x94 && at(5) == 0x24) return TTrCallSite{r - 7, std::nullopt};  // [esp+d32]
  return std::nullopt;
}

// x86-64: the same forms, a REX prefix (40-4F) allowed in front of an
// indirect call, and "call [rip+d32]" in place of "call [address]".
std::optional<TTrCallSite> CallSiteBefore64(TTrMemoryReader& code, TTrAddress r, bool resolveCalls) {
  if (r < 8) return std::nullopt;
  std::uint8_t b[8];  // b[k] is the byte at r - 8 + k
  if (!code.Read(r - 8, b, sizeof b)) return std::nullopt;
  auto at = [&](int back) { return b[8 - back]; };  // byte at r - back

  if (at(5) == 0xE8) {
    const auto displacement = static_cast<std::int32_t>(Le32(&b[4]));
    if (auto site = DirectCall(code, r, r + static_cast<std::int64_t>(displacement), resolveCalls, kWords64))
      return site;
  }
  // An indirect call of length n (without a prefix) ending at r.
  auto indirect = [&](int n) {
    const bool rex = n < 8 && (at(n + 1) & 0xF0) == 0x40;
    return TTrCallSite{r - n - (rex ? 1 : 0), std::nullopt};
  };
  const std::uint8_t m2 = at(1);
  if (at(2) == 0xFF) {
    if (m2 >= 0xD0 && m2 <= 0xD7) return indirect(2);                                // call reg
    if ((m2 >= 0x10 && m2 <= 0x13) || m2 == 0x16 || m2 == 0x17) return indirect(2);  // call [reg]
  }
  if (at(3) == 0xFF) {
    const std::uint8_t m = at(2);
    if ((m >= 0x50 && m <= 0x53) || (m >= 0x55 && m <= 0x57)) return indirect(3);  // [reg+d8]
    if (m == 0x14 && at(1) == 0x24) return indirect(3);                            // [rsp]
  }
  if (at(4) == 0xFF && at(3) == 0x54 && at(2) == 0x24) return indirect(4);  // [rsp+d8]
  if (at(6) == 0xFF) {
    const std::uint8_t m = at(5);
    if ((m >= 0x90 && m <= 0x93) || (m >= 0x95 && m <= 0x97)) return indirect(6);  // [reg+d32]
    if (m == 0x15) {  // [rip+d32]: the slot must be readable
      const auto displacement = static_cast<std::int32_t>(Le32(&b[4]));
      std::uint8_t slot[8];
      if (code.Read(r + static_cast<std::int64_t>(displacement), slot, sizeof slot)) return indirect(6);
    }
  }
  if (at(7) == 0xFF && at(6) == 0x94 && at(5) == 0x24) return indirect(7);  // [rsp+d32]
  return std::nullopt;
}

}  // namespace

std::optional<TTrCallSite> CallSiteBefore(TTrMemoryReader& code, TTrAddress r, bool resolveCalls,
                                          int wordSize) {
  if (wordSize == kWords64) return CallSiteBefore64(code, r, resolveCalls);
  if (r > 0xFFFFFFFFu) return std::nullopt;
  return CallSiteBefore32(code, static_cast<std::uint32_t>(r), resolveCalls);
}

void ScanStackWords(TTrMemoryReader& stack, TTrAddress sp, TTrAddress top,
                    const std::function<void(TTrAddress)>& visit, int wordSize) {
  const auto word = static_cast<TTrAddress>(wordSize);
  auto value = [&](const std::uint8_t* p) -> TTrAddress { return wordSize == kWords64 ? Le64(p) : Le32(p); };
  sp &= ~(word - 1);
  if (top <= sp) return;
  const TTrAddress end = top - sp > kMaxStackScan ? sp + kMaxStackScan : top;
  std::uint8_t block[kStackReadBlock];
  for (TTrAddress at = sp; at < end && at >= sp;) {
    const auto size =
        static_cast<std::uint32_t>(std::min<TTrAddress>(kStackReadBlock, (end - at) & ~(word - 1)));
    if (size == 0) break;
    if (stack.Read(at, block, size)) {
      for (std::uint32_t k = 0; k < size; k += wordSize) visit(value(block + k));
    } else {
      // Near the end of readable memory: word by word, skipping the rest.
      for (std::uint32_t k = 0; k < size; k += wordSize)
        if (stack.Read(at + k, block, wordSize)) visit(value(block));
    }
    at += size;
  }
}

void CallStackByAddresses(TTraciraStackList& list, TTrMemoryReader& stack, TTrMemoryReader& code,
                          const TTrAddressLookup& lookup, const TTrScanRequest& request) {
  const std::size_t first = list.size();
  const int startLevel = std::max(request.StartLevel, 0);
  int level = 0;
  auto add = [&](TTrAddress address, bool errorLine) {
    if (request.Levels >= 0 && static_cast<int>(list.size() - first) >= request.Levels) return;
    TTraciraDebugInfo entry;
    if (request.GetDebugInfo) {
      lookup(address, entry, errorLine, request.RunningThread);
    } else {
      entry.ThreadID = request.ThreadID;
      entry.RunningThread = request.RunningThread;
      entry.ErrorLine = errorLine;
    }
    entry.Addr = address;
    entry.ThreadID = request.ThreadID;
    if (!InDetailSet(request.Details, entry.DebugDetail)) return;
    if (level++ < startLevel) return;
    list.push_back(std::move(entry));
  };
  if (request.ExceptionAddress) add(*request.ExceptionAddress, true);
  TTrAddress scanFrom = request.StackPointer;
  if (request.Registers && request.WordSize == kWords64 && request.ImageBaseOf) {
    for (const TTrUnwoundFrame& frame :
         UnwindX64(stack, code, request.ImageBaseOf, *request.Registers, request.TopOfStack)) {
      if (const auto site = CallSiteBefore(code, frame.ReturnAddress, request.ResolveCalls, kWords64)) {
        if (site->Target) add(*site->Target, false);
        add(site->CallAddress, false);
      } else {
        // Interrupted there (a machine frame), not called from there.
        add(frame.ReturnAddress, false);
      }
      scanFrom = frame.StackPointer;
    }
  }
  ScanStackWords(
      stack, scanFrom, request.TopOfStack,
      [&](TTrAddress word) {
        const auto site = CallSiteBefore(code, word, request.ResolveCalls, request.WordSize);
        if (!site) return;
        if (site->Target) add(*site->Target, false);
        add(site->CallAddress, false);
      },
      request.WordSize);
  PurgeCallStack(list, first);
}

TTrDetailSet GetDebugDetail(const TTraciraModuleOptions& options) {
  TTrDetailSet set = 1u << ddSourceCode;
  if (options.CallStackOptions().Contains(csoShowDLLs)) set |= 1u << ddProcedure;
  if (options.CallStackOptions().Contains(csoShowBPLs)) set |= 1u << ddUnitAndProcedure;
  return set;
}

void PurgeCallStack(TTraciraStackList& list, std::size_t first) {
  auto hasProcedure = [](const TTraciraDebugInfo& e) {
    return e.DebugDetail >= ddProcedure && e.DebugDetail <= ddSourceCode;
  };
  if (list.size() < first + 2) return;
  for (std::size_t i = list.size() - 1; i-- > first;) {
    TTraciraDebugInfo& e = list[i];
    if (!hasProcedure(e)) continue;
    int seen = 0;
    for (std::size_t j = i + 1; j < list.size() && seen < 2; ++j) {
      const TTraciraDebugInfo& later = list[j];
      if (!hasProcedure(later) || later.ModuleHandle != e.ModuleHandle || later.ModuleName != e.ModuleName)
        continue;
      ++seen;
      if (later.Addr == e.Addr) {
        e.DebugDetail = ddNone;
        break;
      }
    }
  }
}

}  // namespace tracira
