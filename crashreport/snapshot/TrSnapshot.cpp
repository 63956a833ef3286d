#include "crashreport/snapshot/TrSnapshot.h"

#include <malloc.h>

#include <cstring>

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

}  // namespace

void PrepareLoaderLock() noexcept {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (!ntdll) return;
  gLockLoaderLock = reinterpret_cast<TLdrLockLoaderLock>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
  gUnlockLoaderLock = reinterpret_cast<TLdrUnlockLoaderLock>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
}

TLoaderLock::TLoaderLock() noexcept {
  if (!gLockLoaderLock || !gUnlockLoaderLock) return;
  fHeld = gLockLoaderLock(0, nullptr, &fCookie) >= 0;
}

TLoaderLock::~TLoaderLock() {
  if (fHeld) gUnlockLoaderLock(0, fCookie);
}

bool SuspendAndConfirm(HANDLE thread) noexcept {
  if (SuspendThread(thread) == static_cast<DWORD>(-1)) return false;
  CONTEXT context{};
  context.ContextFlags = CONTEXT_CONTROL;
  GetThreadContext(thread, &context);
  return true;
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
