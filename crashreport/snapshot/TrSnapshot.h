// Crash-time reads of other threads. Everything here runs while another
// thread of the process is suspended, and that thread may hold the heap's
// lock, the loader's lock or a runtime lock: so nothing here allocates or
// takes a lock (of the C runtime only memset is used). Buffers are the caller's,
// prepared before the suspension.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace tracira {

// At most this much of a stack is copied (the call-stack scan reads no more).
inline constexpr std::uint32_t kSnapshotStackBytes = 102400;

// One thread as it stood while suspended: its registers and a copy of its
// stack from the stack pointer up.
struct TThreadSnapshot {
  CONTEXT Context;
  std::uintptr_t StackPointer;  // where Stack starts
  std::uint32_t StackSize;      // bytes copied into Stack
  // Unreadable pages are left zero, which no scan takes for a return address.
  std::uint8_t Stack[kSnapshotStackBytes];
};

enum class TSnapshotResult : std::uint8_t { Ok, NotSuspended, NoContext, StackOutside };

// Suspends thread, reads its context and copies its stack (up to topOfStack,
// the stack's highest address), resumes it. thread needs
// THREAD_SUSPEND_RESUME and THREAD_GET_CONTEXT.
TSnapshotResult SnapshotThread(HANDLE thread, std::uintptr_t topOfStack, TThreadSnapshot& out) noexcept;

// Copies [from, from + size) of this process's memory page by page into
// out; pages that can't be read stay zero. No allocation, no locks.
void CopyMemoryPages(std::uintptr_t from, std::uint32_t size, std::uint8_t* out) noexcept;

// Holds the process heap's lock and the C runtime's heap lock. While a
// thread holds them, any other thread it suspends is known not to be inside
// the heap, so the holder may go on allocating (the locks are recursive for
// their owner). Taken before threads are suspended for a whole handling.
class THeapLocks {
 public:
  THeapLocks() noexcept;
  ~THeapLocks();
  THeapLocks(const THeapLocks&) = delete;
  THeapLocks& operator=(const THeapLocks&) = delete;

 private:
  HANDLE fHeaps[2] = {};
  bool fLocked[2] = {};
};

// Holds the system loader's lock, taken the same way and for the same
// reason as the heap locks: a thread suspended meanwhile is not inside the
// loader, so the holder's later module look-ups (and those of the handling
// that follows) can't wait for a paused thread.
// PrepareThreadPausing finds the system's entries for it and for
// SuspendAndConfirm once, at start-up.
void PrepareThreadPausing() noexcept;
class TLoaderLock {
 public:
  TLoaderLock() noexcept;
  ~TLoaderLock();
  TLoaderLock(const TLoaderLock&) = delete;
  TLoaderLock& operator=(const TLoaderLock&) = delete;
  bool Held() const { return fHeld; }

 private:
  ULONG_PTR fCookie = 0;
  bool fHeld = false;
};

// Suspends thread and waits until it has stopped (under Wine a suspension
// takes effect some time after SuspendThread returns; reading the context
// waits for it), never where it holds one of the system's spin locks.
// false: not suspended (it is left running).
bool SuspendAndConfirm(HANDLE thread) noexcept;

}  // namespace tracira
