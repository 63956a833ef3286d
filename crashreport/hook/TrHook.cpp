#include "crashreport/hook/TrHook.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "crashreport/core/TrTypes.h"
#include "crashreport/disasm/TrDisAsmWin.h"
#include "crashreport/hook/TrHookPlan.h"
#include "rtl/ModuleFile.h"

namespace tracira {

namespace {

// One code-patched procedure.
struct THookRecord {
  std::uintptr_t Target = 0;
  void* Block = nullptr;  // the allocation holding the relay and the trampoline
  void* Trampoline = nullptr;
  std::size_t TrampolineSize = 0;
  std::array<std::uint8_t, kHookPlanReadSize> Saved{};
  std::size_t SavedCount = 0;
  bool KeepTrampoline = false;  // a moved call returns into it
};

// Function-local statics: hooks are installed while static objects are
// still being constructed.
std::mutex& HookListLock() {
  static std::mutex lock;
  return lock;
}
std::vector<THookRecord>& HookList() {
  static std::vector<THookRecord> list;
  return list;
}

struct TVirtualFree {
  void operator()(void* p) const { VirtualFree(p, 0, MEM_RELEASE); }
};
using TExecutableBlock = std::unique_ptr<void, TVirtualFree>;

// Makes a range writable for its lifetime, then puts the old protection back
// and flushes the processor's view of the code.
class TWritableMemory {
 public:
  TWritableMemory(void* address, std::size_t size) : fAddress(address), fSize(size) {
    fOk = VirtualProtect(address, size, PAGE_EXECUTE_READWRITE, &fOldProtect) != 0;
  }
  ~TWritableMemory() {
    if (!fOk) return;
    DWORD ignored = 0;
    VirtualProtect(fAddress, fSize, fOldProtect, &ignored);
    FlushInstructionCache(GetCurrentProcess(), fAddress, fSize);
  }
  TWritableMemory(const TWritableMemory&) = delete;
  TWritableMemory& operator=(const TWritableMemory&) = delete;
  explicit operator bool() const { return fOk; }

 private:
  void* fAddress;
  std::size_t fSize;
  DWORD fOldProtect = 0;
  bool fOk = false;
};

// 8 hexadecimal digits, 16 for an address above 4 GB: as the report shows
// addresses.
std::wstring HexName(const void* address) {
  return WideHexAddress(reinterpret_cast<std::uintptr_t>(address));
}

std::wstring Quoted(std::wstring_view format, std::wstring_view value) {
  const auto at = format.find(L"%s");
  return std::wstring(format.substr(0, at)) + std::wstring(value) + std::wstring(format.substr(at + 2));
}

[[noreturn]] void RaiseNull(std::wstring_view name) {
  throw ETrHookError(Quoted(L"Cannot hook a null procedure (\"%s\").", name));
}
[[noreturn]] void RaiseSharedArea(std::wstring_view module) {
  throw ETrHookError(Quoted(L"Cannot hook the module \"%s\" located into the shared-area.", module));
}
[[noreturn]] void RaiseCannotHook(std::wstring_view name) {
  throw ETrHookError(Quoted(L"Cannot hook the procedure \"%s\".", name));
}

std::wstring ModuleNameOf(const void* address) {
  const HMODULE module = rtl::ModuleOfAddress(address);
  std::wstring name = module ? rtl::ModuleFileName(module) : std::wstring();
  return name.empty() ? HexName(address) : name;
}

// On the Windows 9x family the upper 2 GB are shared by all processes:
// patching there would change every program.
bool IsSharedArea(const void* address) {
  const bool nonNT = (GetVersion() & 0x80000000u) != 0;
  return nonNT && reinterpret_cast<std::uintptr_t>(address) >= 0x80000000u;
}

std::string LowerDllName(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.size() > 4 && lower.ends_with(".dll")) lower.resize(lower.size() - 4);
  return lower;
}

template <typename T>
const T* At(const std::uint8_t* base, DWORD rva) {
  return reinterpret_cast<const T*>(base + rva);
}

// Calls patch(slot) for each import slot of module that holds dllName's
// procName. Returns false when the module's headers aren't a PE image.
template <typename Patch>
bool ForEachImportSlot(HMODULE module, std::string_view dllName, std::string_view procName, Patch&& patch) {
  const auto* base = reinterpret_cast<const std::uint8_t*>(module);
  const auto* dos = At<IMAGE_DOS_HEADER>(base, 0);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
  // A process loads images of its own bitness only: PE32 or PE32+.
  const auto* nt = At<IMAGE_NT_HEADERS>(base, static_cast<DWORD>(dos->e_lfanew));
  if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC)
    return false;
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0 || dir.Size == 0) return true;
  const std::string wanted = LowerDllName(dllName);
  const std::string proc(procName);
  for (const auto* desc = At<IMAGE_IMPORT_DESCRIPTOR>(base, dir.VirtualAddress); desc->Name != 0; ++desc) {
    const char* importedName = At<char>(base, desc->Name);
    if (LowerDllName(importedName) != wanted) continue;
    // Bound or name-less imports are recognised by the procedure's address.
    void* expected = nullptr;
    if (HMODULE dll = GetModuleHandleA(importedName)) {
      expected = reinterpret_cast<void*>(GetProcAddress(dll, proc.c_str()));
    }
    auto* slots = const_cast<IMAGE_THUNK_DATA*>(At<IMAGE_THUNK_DATA>(base, desc->FirstThunk));
    const auto* names =
        desc->OriginalFirstThunk ? At<IMAGE_THUNK_DATA>(base, desc->OriginalFirstThunk) : nullptr;
    for (std::size_t i = 0; slots[i].u1.Function != 0; ++i) {
      bool match = false;
      if (names && names[i].u1.AddressOfData != 0 && !(names[i].u1.Ordinal & IMAGE_ORDINAL_FLAG)) {
        match = proc == At<IMAGE_IMPORT_BY_NAME>(base, names[i].u1.AddressOfData)->Name;
      } else if (expected) {
        match = reinterpret_cast<void*>(slots[i].u1.Function) == expected;
      }
      if (match) patch(reinterpret_cast<void**>(&slots[i].u1.Function));
    }
  }
  return true;
}

void* SwapSlot(void** slot, const void* value) {
  return InterlockedExchangePointer(slot, const_cast<void*>(value));
}

// In 64-bit code the block starts with the relay to the replacement; the
// trampoline follows it, aligned.
constexpr std::size_t kTrampolineOffset = kProcessAsmMode == TAsmMode::x64 ? 16 : 0;
constexpr std::size_t kBlockSize = kTrampolineOffset + kTrampolineCapacity;
static_assert(kTrampolineOffset == 0 || kTrampolineOffset >= kRelaySize);

// The block for a hook's relay and trampoline. 64-bit code: within reach of
// the patch's rel32 at target and of the trampoline's jump back, so free
// address space is probed below and then above the target at the allocation
// granularity.
TExecutableBlock AllocateBlock(std::uintptr_t target) {
  constexpr DWORD kind = MEM_COMMIT | MEM_RESERVE;
  if constexpr (kProcessAsmMode == TAsmMode::x86) {
    return TExecutableBlock(VirtualAlloc(nullptr, kBlockSize, kind, PAGE_EXECUTE_READWRITE));
  } else {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    const std::uintptr_t granularity = info.dwAllocationGranularity;
    // 2 GB less a margin for the block's own size and the moved bytes.
    constexpr std::uintptr_t reach = 0x7FFF0000;
    const auto lowest = std::max(reinterpret_cast<std::uintptr_t>(info.lpMinimumApplicationAddress),
                                 target > reach ? target - reach : 0);
    const auto highest = std::min(reinterpret_cast<std::uintptr_t>(info.lpMaximumApplicationAddress),
                                  target + reach - kBlockSize);
    const auto alignDown = [&](std::uintptr_t a) { return a / granularity * granularity; };
    // A block at 'at' when the region there is free and the block fits in it.
    const auto tryAt = [&](std::uintptr_t at, MEMORY_BASIC_INFORMATION& region) -> void* {
      if (region.State != MEM_FREE) return nullptr;
      return VirtualAlloc(reinterpret_cast<void*>(at), kBlockSize, kind, PAGE_EXECUTE_READWRITE);
    };
    const auto query = [](std::uintptr_t at, MEMORY_BASIC_INFORMATION& region) {
      return VirtualQuery(reinterpret_cast<void*>(at), &region, sizeof region) != 0;
    };
    MEMORY_BASIC_INFORMATION region{};
    for (std::uintptr_t at = alignDown(target); at >= lowest && query(at, region);) {
      if (void* block = tryAt(at, region)) return TExecutableBlock(block);
      // Below a used region's start, or one step down in a free one.
      const std::uintptr_t start = alignDown(reinterpret_cast<std::uintptr_t>(region.BaseAddress));
      const std::uintptr_t next = region.State != MEM_FREE && start < at ? start : at - granularity;
      if (next >= at || next < granularity) break;
      at = next;
    }
    for (std::uintptr_t at = alignDown(target) + granularity; at <= highest && query(at, region);) {
      if (void* block = tryAt(at, region)) return TExecutableBlock(block);
      // Above a used region's end, or one step up in a free one.
      const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
      const std::uintptr_t next =
          region.State != MEM_FREE && end > at ? alignDown(end + granularity - 1) : at + granularity;
      if (next <= at) break;
      at = next;
    }
    return TExecutableBlock();
  }
}

std::wstring ImportName(std::string_view dllName, std::string_view procName) {
  return rtl::FromUtf8(std::string(dllName) + "." + std::string(procName));
}

}  // namespace

// ---------------------------------------------------------------------------

void* HookDllProcedure(HMODULE module, std::string_view dllName, std::string_view procName,
                       const void* newProc) {
  if (!module) RaiseNull(ImportName(dllName, procName));
  void* previous = nullptr;
  bool failed = false;
  ForEachImportSlot(module, dllName, procName, [&](void** slot) {
    const TWritableMemory writable(slot, sizeof(void*));
    if (!writable) {
      failed = true;
      return;
    }
    void* old = SwapSlot(slot, newProc);
    if (!previous) previous = old;
  });
  if (failed) RaiseCannotHook(ImportName(dllName, procName));
  return previous;
}

bool TryHookDllProcedureEx(std::span<const HMODULE> modules, std::string_view dllName,
                           std::string_view procName, const void* newProc, void*& previous) {
  bool patched = false;
  for (HMODULE module : modules) {
    if (!module) continue;
    try {
      if (void* old = HookDllProcedure(module, dllName, procName, newProc)) {
        if (!patched) previous = old;
        patched = true;
      }
    } catch (const ETrHookError&) {
      // The other modules are still worth trying.
    }
  }
  return patched;
}

// ---------------------------------------------------------------------------

void* ResolveJumpThunk(void* target) {
  // A few levels cover a thunk that leads to another module's thunk; a
  // longer chain is a loop.
  for (int level = 0; level < 8 && target; ++level) {
    std::array<std::uint8_t, 7> code{};
    const auto at = reinterpret_cast<std::uintptr_t>(target);
    const std::size_t got = ReadOwnMemory(at, code);
    const auto slot = IndirectJumpSlot(std::span(code.data(), got), at);
    if (!slot) break;
    std::array<std::uint8_t, sizeof(void*)> value{};
    if (ReadOwnMemory(*slot, value) != value.size()) break;
    std::uintptr_t next = 0;
    std::memcpy(&next, value.data(), sizeof(next));
    if (next == 0) break;
    target = reinterpret_cast<void*>(next);
  }
  return target;
}

void* HookProcedureEx(void* target, const void* newProc, std::wstring_view name) {
  const std::wstring shownName = name.empty() ? HexName(target) : std::wstring(name);
  if (!target) RaiseNull(shownName);
  void* const procedure = ResolveJumpThunk(target);
  if (IsSharedArea(procedure)) RaiseSharedArea(ModuleNameOf(procedure));
  if (!newProc) RaiseCannotHook(shownName);

  const std::lock_guard lock(HookListLock());
  auto& hooks = HookList();
  const auto address = reinterpret_cast<std::uintptr_t>(procedure);
  const auto known =
      std::find_if(hooks.begin(), hooks.end(), [&](const THookRecord& r) { return r.Target == address; });
  if (known != hooks.end()) return known->Trampoline;

  THookRecord record;
  record.Target = address;
  const std::size_t readable = ReadOwnMemory(address, record.Saved);

  TExecutableBlock block = AllocateBlock(address);
  if (!block) RaiseCannotHook(shownName);
  auto* const blockBytes = static_cast<std::uint8_t*>(block.get());
  void* const trampoline = blockBytes + kTrampolineOffset;
  const THookPlan plan = PlanTrampoline(std::span(record.Saved.data(), readable), address,
                                        reinterpret_cast<std::uintptr_t>(trampoline));
  if (plan.Error != THookPlanError::None || plan.Trampoline.size() > kTrampolineCapacity)
    RaiseCannotHook(shownName);
  std::memcpy(trampoline, plan.Trampoline.data(), plan.Trampoline.size());
  // The patch jumps straight to the replacement in 32-bit code, through the
  // relay in 64-bit code.
  auto jumpTo = reinterpret_cast<std::uintptr_t>(newProc);
  if constexpr (kTrampolineOffset != 0) {
    const auto relay = RelayJump(jumpTo);
    std::memcpy(blockBytes, relay.data(), relay.size());
    jumpTo = reinterpret_cast<std::uintptr_t>(blockBytes);
    if (!Rel32Reaches(address, jumpTo)) RaiseCannotHook(shownName);
  }
  FlushInstructionCache(GetCurrentProcess(), block.get(), kBlockSize);

  record.Block = block.get();
  record.Trampoline = trampoline;
  record.TrampolineSize = plan.Trampoline.size();
  record.SavedCount = plan.Covered;
  record.KeepTrampoline = plan.MovesCall;
  hooks.reserve(hooks.size() + 1);  // nothing can fail after the patch below

  {
    const TWritableMemory writable(procedure, kHookJumpSize);
    if (!writable) RaiseCannotHook(shownName);
    const auto jump = JumpRel32(address, jumpTo);
    std::memcpy(procedure, jump.data(), jump.size());
  }
  hooks.push_back(record);
  block.release();
  return trampoline;
}

void* HookProcedure(void* target, const void* newProc) { return HookProcedureEx(target, newProc, {}); }

bool UnhookProcedure(void* target) {
  if (!target) return false;
  const auto address = reinterpret_cast<std::uintptr_t>(ResolveJumpThunk(target));
  const std::lock_guard lock(HookListLock());
  auto& hooks = HookList();
  const auto record =
      std::find_if(hooks.begin(), hooks.end(), [&](const THookRecord& r) { return r.Target == address; });
  if (record == hooks.end()) return false;
  {
    auto* code = reinterpret_cast<void*>(address);
    const TWritableMemory writable(code, record->SavedCount);
    if (!writable) return false;
    std::memcpy(code, record->Saved.data(), record->SavedCount);
  }
  // A thread may still be inside a trampoline whose moved call it made;
  // such a trampoline stays allocated.
  if (!record->KeepTrampoline) VirtualFree(record->Block, 0, MEM_RELEASE);
  hooks.erase(record);
  // The last hook gone, nothing of the list stays on the heap.
  if (hooks.empty()) std::vector<THookRecord>().swap(hooks);
  return true;
}

// ---------------------------------------------------------------------------

void* HookVirtualMethod(void** table, std::size_t index, const void* newProc) {
  if (!table) RaiseNull(HexName(table));
  void** slot = table + index;
  const TWritableMemory writable(slot, sizeof(void*));
  if (!writable) RaiseCannotHook(HexName(slot));
  return SwapSlot(slot, newProc);
}

void UnhookVirtualMethod(void** table, std::size_t index, const void* oldProc) {
  HookVirtualMethod(table, index, oldProc);
}

}  // namespace tracira
