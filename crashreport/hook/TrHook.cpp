#include "crashreport/hook/TrHook.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "crashreport/disasm/TrDisAsmWin.h"
#include "crashreport/hook/TrHookPlan.h"

namespace tracira {

namespace {

// One code-patched procedure.
struct THookRecord {
  std::uintptr_t Target = 0;
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

std::wstring HexName(const void* address) {
  std::array<wchar_t, 12> text{};
  std::swprintf(text.data(), text.size(), L"%08X",
                static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(address)));
  return text.data();
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
  HMODULE module = nullptr;
  if (GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(address), &module)) {
    std::array<wchar_t, MAX_PATH> name{};
    const DWORD length = GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
    if (length > 0) return std::wstring(name.data(), length);
  }
  return HexName(address);
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

// The shape of an image's import thunks: 4-byte entries in a PE32 image,
// 8-byte ones in a PE32+ image, each with its own ordinal flag.
struct TThunkLayout {
  std::size_t Size;
  std::uint64_t OrdinalFlag;
  const IMAGE_DATA_DIRECTORY* Imports;
};

std::optional<TThunkLayout> ThunkLayoutOf(const std::uint8_t* base) {
  const auto* dos = At<IMAGE_DOS_HEADER>(base, 0);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return std::nullopt;
  const auto lfanew = static_cast<DWORD>(dos->e_lfanew);
  // Signature and file header are alike in both forms; the optional
  // header's magic tells which one follows.
  const auto* nt32 = At<IMAGE_NT_HEADERS32>(base, lfanew);
  if (nt32->Signature != IMAGE_NT_SIGNATURE) return std::nullopt;
  switch (nt32->OptionalHeader.Magic) {
    case IMAGE_NT_OPTIONAL_HDR32_MAGIC:
      return TThunkLayout{4, IMAGE_ORDINAL_FLAG32,
                          &nt32->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT]};
    case IMAGE_NT_OPTIONAL_HDR64_MAGIC:
      return TThunkLayout{
          8, IMAGE_ORDINAL_FLAG64,
          &At<IMAGE_NT_HEADERS64>(base, lfanew)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT]};
    default:
      return std::nullopt;
  }
}

// Entry i of a thunk array, widened.
std::uint64_t ThunkAt(const std::uint8_t* thunks, std::size_t i, const TThunkLayout& layout) {
  if (layout.Size == 4) {
    std::uint32_t value = 0;
    std::memcpy(&value, thunks + i * 4, 4);
    return value;
  }
  std::uint64_t value = 0;
  std::memcpy(&value, thunks + i * 8, 8);
  return value;
}

// Calls patch(slot) for each import slot of module that holds dllName's
// procName. Returns false when the module's headers aren't a PE image whose
// import entries are as wide as this process's pointers.
template <typename Patch>
bool ForEachImportSlot(HMODULE module, std::string_view dllName, std::string_view procName, Patch&& patch) {
  const auto* base = reinterpret_cast<const std::uint8_t*>(module);
  const auto layout = ThunkLayoutOf(base);
  // A slot of another width can't hold this process's procedure.
  if (!layout || layout->Size != sizeof(void*)) return false;
  const IMAGE_DATA_DIRECTORY& dir = *layout->Imports;
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
    const std::uint8_t* slots = At<std::uint8_t>(base, desc->FirstThunk);
    const std::uint8_t* names =
        desc->OriginalFirstThunk ? At<std::uint8_t>(base, desc->OriginalFirstThunk) : nullptr;
    for (std::size_t i = 0;; ++i) {
      const std::uint64_t function = ThunkAt(slots, i, *layout);
      if (function == 0) break;
      const std::uint64_t name = names ? ThunkAt(names, i, *layout) : 0;
      bool match = false;
      if (name != 0 && !(name & layout->OrdinalFlag)) {
        match = proc == At<IMAGE_IMPORT_BY_NAME>(base, static_cast<DWORD>(name))->Name;
      } else if (expected) {
        match = function == reinterpret_cast<std::uintptr_t>(expected);
      }
      if (match) patch(reinterpret_cast<void**>(const_cast<std::uint8_t*>(slots + i * layout->Size)));
    }
  }
  return true;
}

// The whole pointer at once: a thread may call through the slot meanwhile.
void* SwapSlot(void** slot, const void* value) {
  return InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(slot), const_cast<void*>(value));
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
    std::array<std::uint8_t, 6> code{};
    const auto at = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(target));
    if (ReadOwnMemory(at, code) != code.size()) break;
    const auto slot = IndirectJumpSlot(code);
    if (!slot) break;
    std::array<std::uint8_t, 4> value{};
    if (ReadOwnMemory(*slot, value) != value.size()) break;
    std::uint32_t next = 0;
    std::memcpy(&next, value.data(), sizeof(next));
    if (next == 0) break;
    target = reinterpret_cast<void*>(static_cast<std::uintptr_t>(next));
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
  const std::size_t readable = ReadOwnMemory(static_cast<std::uint32_t>(address), record.Saved);

  TExecutableBlock trampoline(
      VirtualAlloc(nullptr, kTrampolineCapacity, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  if (!trampoline) RaiseCannotHook(shownName);
  const auto trampolineAddress =
      static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(trampoline.get()));
  const THookPlan plan = PlanTrampoline(std::span(record.Saved.data(), readable),
                                        static_cast<std::uint32_t>(address), trampolineAddress);
  if (plan.Error != THookPlanError::None || plan.Trampoline.size() > kTrampolineCapacity)
    RaiseCannotHook(shownName);
  std::memcpy(trampoline.get(), plan.Trampoline.data(), plan.Trampoline.size());
  FlushInstructionCache(GetCurrentProcess(), trampoline.get(), plan.Trampoline.size());

  record.Trampoline = trampoline.get();
  record.TrampolineSize = plan.Trampoline.size();
  record.SavedCount = plan.Covered;
  record.KeepTrampoline = plan.MovesCall;
  hooks.reserve(hooks.size() + 1);  // nothing can fail after the patch below

  {
    const TWritableMemory writable(procedure, kHookJumpSize);
    if (!writable) RaiseCannotHook(shownName);
    const auto jump = JumpRel32(static_cast<std::uint32_t>(address),
                                static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(newProc)));
    std::memcpy(procedure, jump.data(), jump.size());
  }
  hooks.push_back(record);
  return trampoline.release();
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
  if (!record->KeepTrampoline) VirtualFree(record->Trampoline, 0, MEM_RELEASE);
  hooks.erase(record);
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
