#include "crashreport/snapshot/TrSnapshot.h"

#include <malloc.h>

#include <cstring>
#include <iterator>

namespace tracira {

namespace {

bool Readable(const MEMORY_BASIC_INFORMATION& mbi) {
  constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return mbi.State == MEM_COMMIT && (mbi.Protect & kReadable) && !(mbi.Protect & PAGE_GUARD);
}

}  // namespace

void CopyMemoryPages(std::uintptr_t from, std::uint32_t size, std::uint8_t* out) noexcept {
  // memset takes no lock and allocates nothing.
  std::memset(out, 0, size);
  const std::uint64_t end = std::uint64_t{from} + size;
  std::uint64_t at = from;
  while (at < end) {
    MEMORY_BASIC_INFORMATION mbi{};
    if (VirtualQuery(reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(at)), &mbi, sizeof mbi) == 0)
      return;
    const std::uint64_t regionEnd = reinterpret_cast<std::uintptr_t>(mbi.BaseAddress) + mbi.RegionSize;
    const std::uint64_t stop = regionEnd < end ? regionEnd : end;
    if (Readable(mbi)) {
      // Another thread may release the memory meanwhile: ReadProcessMemory
      // fails instead of faulting.
      SIZE_T done = 0;
      if (!ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(at)),
                             out + (at - from), static_cast<SIZE_T>(stop - at), &done)) {
        std::memset(out + (at - from), 0, static_cast<std::size_t>(stop - at));
      }
    }
    at = stop;
  }
}

TSnapshotResult SnapshotThread(HANDLE thread, std::uintptr_t topOfStack, TThreadSnapshot& out) noexcept {
  out.StackPointer = 0;
  out.StackSize = 0;
  if (SuspendThread(thread) == static_cast<DWORD>(-1)) return TSnapshotResult::NotSuspended;
  TSnapshotResult result = TSnapshotResult::Ok;
  out.Context = CONTEXT{};
  out.Context.ContextFlags = CONTEXT_FULL;
  if (!GetThreadContext(thread, &out.Context)) {
    result = TSnapshotResult::NoContext;
  } else {
#if defined(__i386__)
    const std::uintptr_t sp = out.Context.Esp & ~std::uintptr_t{3};
#else
    const std::uintptr_t sp = out.Context.Rsp & ~std::uintptr_t{7};
#endif
    if (topOfStack == 0 || sp >= topOfStack) {
      result = TSnapshotResult::StackOutside;
    } else {
      const std::uint32_t size =
          topOfStack - sp < kSnapshotStackBytes ? topOfStack - sp : kSnapshotStackBytes;
      CopyMemoryPages(sp, size, out.Stack);
      out.StackPointer = sp;
      out.StackSize = size;
    }
  }
  ResumeThread(thread);
  return result;
}

namespace {

using TLdrLockLoaderLock = LONG(NTAPI*)(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);
using TLdrUnlockLoaderLock = LONG(NTAPI*)(ULONG flags, ULONG_PTR cookie);

// Found once, before anything is paused: finding them takes the loader lock.
constinit TLdrLockLoaderLock gLockLoaderLock = nullptr;
constinit TLdrUnlockLoaderLock gUnlockLoaderLock = nullptr;

// Code in which a thread holds a spin lock of the system's own: Wine's
// address waits (which its critical sections, slim locks and condition
// variables go through) guard their wait queues with one. A thread paused
// there would leave every other user of that queue spinning for good, the
// handling among them.
struct TCodeRange {
  std::uintptr_t Begin = 0, End = 0;
};
constexpr const char* kSpinLockHolders[] = {"RtlWaitOnAddress", "RtlWakeAddressAll", "RtlWakeAddressSingle"};
constinit TCodeRange gSpinLockHolders[std::size(kSpinLockHolders)] = {};

// A function of module ends, at the latest, where the next exported one
// begins: an upper bound that needs no symbols and no unwind tables.
TCodeRange ExportedFunction(HMODULE module, const char* name) {
  const auto* start = reinterpret_cast<const std::uint8_t*>(GetProcAddress(module, name));
  if (!start) return {};
  const auto* base = reinterpret_cast<const std::uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (dir.VirtualAddress == 0) return {};
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  const auto* functions = reinterpret_cast<const DWORD*>(base + exports->AddressOfFunctions);
  const auto rva = static_cast<DWORD>(start - base);
  DWORD next = nt->OptionalHeader.SizeOfImage;
  for (DWORD i = 0; i < exports->NumberOfFunctions; ++i)
    if (functions[i] > rva && functions[i] < next) next = functions[i];
  return {reinterpret_cast<std::uintptr_t>(start), reinterpret_cast<std::uintptr_t>(base) + next};
}

std::uintptr_t InstructionPointer(const CONTEXT& context) {
#if defined(__i386__)
  return context.Eip;
#else
  return context.Rip;
#endif
}

bool HoldsASpinLock(std::uintptr_t ip) {
  for (const TCodeRange& r : gSpinLockHolders)
    if (ip >= r.Begin && ip < r.End) return true;
  return false;
}

}  // namespace

void PrepareThreadPausing() noexcept {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (!ntdll) return;
  gLockLoaderLock = reinterpret_cast<TLdrLockLoaderLock>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
  gUnlockLoaderLock = reinterpret_cast<TLdrUnlockLoaderLock>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
  for (std::size_t i = 0; i < std::size(kSpinLockHolders); ++i)
    gSpinLockHolders[i] = ExportedFunction(ntdll, kSpinLockHolders[i]);
}

TLoaderLock::TLoaderLock() noexcept {
  if (!gLockLoaderLock || !gUnlockLoaderLock) return;
  fHeld = gLockLoaderLock(0, nullptr, &fCookie) >= 0;
}

TLoaderLock::~TLoaderLock() {
  if (fHeld) gUnlockLoaderLock(0, fCookie);
}

bool SuspendAndConfirm(HANDLE thread) noexcept {
  // A spin lock is held for a few instructions: a thread caught inside is
  // let run a moment and caught again. One that keeps being found there is
  // left running rather than paused inside.
  constexpr int kAttempts = 200;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (SuspendThread(thread) == static_cast<DWORD>(-1)) return false;
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    if (!GetThreadContext(thread, &context) || !HoldsASpinLock(InstructionPointer(context))) return true;
    ResumeThread(thread);
    Sleep(attempt < 10 ? 0 : 1);
  }
  return false;
}

THeapLocks::THeapLocks() noexcept {
  fHeaps[0] = GetProcessHeap();
  fHeaps[1] = reinterpret_cast<HANDLE>(_get_heap_handle());
  for (int i = 0; i < 2; ++i) {
    if (!fHeaps[i] || (i == 1 && fHeaps[1] == fHeaps[0])) continue;
    fLocked[i] = HeapLock(fHeaps[i]) != 0;
  }
}

THeapLocks::~THeapLocks() {
  for (int i = 1; i >= 0; --i)
    if (fLocked[i]) HeapUnlock(fHeaps[i]);
}

}  // namespace tracira
