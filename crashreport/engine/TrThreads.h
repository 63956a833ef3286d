// The threads registry: every thread the program starts (through the
// runtime or through CreateThread) with its creator and a copy of the
// creator's stack, so that a report can show how each thread came to be.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace tracira {

struct TTraciraThreadInfo {
  DWORD ID = 0;
  HANDLE Handle = nullptr;  // suspend, resume and context; owned by the registry or by HandleOwner
  DWORD CallerID = 0;       // the thread that created it
  int Priority = THREAD_PRIORITY_NORMAL;
  std::uintptr_t TopOfStack = 0;
  const void* CreateThreadFunction = nullptr;  // the thread's entry
  const void* Parameter = nullptr;
  // Started through the program's runtime (std::thread, _beginthreadex) or
  // the main thread; the others are "Windows threads".
  bool IsRuntimeThread = false;
  std::vector<std::uint8_t> CallerStackDump;  // the creator's stack when it created this one
  // A record of a snapshot: Handle is a duplicate of the registry's, owned
  // here, so it stays the thread's own after the thread has ended and the
  // registry has closed its handle.
  bool IsACopy = false;
  std::shared_ptr<void> HandleOwner;
  bool ExceptionHandled = false;
};

class TTraciraThreadsList {
 public:
  TTraciraThreadsList();
  ~TTraciraThreadsList();
  TTraciraThreadsList(const TTraciraThreadsList&) = delete;
  TTraciraThreadsList& operator=(const TTraciraThreadsList&) = delete;

  // Adds the calling thread (its handle duplicated).
  void AddCurrentThread(DWORD callerID, bool runtimeThread, std::vector<std::uint8_t> callerStack,
                        const void* entry, const void* parameter);
  void RemoveCurrentThread();
  // Drops the records of threads that have ended.
  void PurgeList();
  // A copy of every record for one handling, each with a handle of its own.
  std::vector<TTraciraThreadInfo> Snapshot();
  bool Contains(DWORD id);
  void UpdatePriority(DWORD id, int priority);

 private:
  // The system's reader/writer lock, for std::shared_lock and std::unique_lock
  // (a vector that cannot grow while it is held must not keep it held).
  class TLock {
   public:
    void lock() { AcquireSRWLockExclusive(&fLock); }
    void unlock() { ReleaseSRWLockExclusive(&fLock); }
    void lock_shared() { AcquireSRWLockShared(&fLock); }
    void unlock_shared() { ReleaseSRWLockShared(&fLock); }

   private:
    SRWLOCK fLock = SRWLOCK_INIT;
  };
  TLock fLock;
  std::vector<std::unique_ptr<TTraciraThreadInfo>> fItems;
};

// Patches CreateThread, ResumeThread and ExitThread in the program's import
// table and in the C runtime's (which std::thread and _beginthreadex go
// through), so every new thread enters the registry; and the program's
// RaiseException, so that a software exception it raises unwinds as a C++
// exception (rtl::EExternalException) from the call. Remove puts the
// entries back. onThreadException runs inside the catch block when a C++
// exception escapes a thread's entry.
void HookThreadFunctions(TTraciraThreadsList& registry, void (*onThreadException)());
void UnhookThreadFunctions();

// A library module's threads go to the program's registry: the module's
// own CreateThread, ResumeThread and ExitThread imports lead to the
// program's exports. UnhookThreadFunctions puts them back.
void ForwardThreadFunctions(HMODULE library, HMODULE program);

// What the patched entries do, for the program file's exports through
// which other modules of the process pass their threads on.
HANDLE CreateRegisteredThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE entry,
                              LPVOID parameter, DWORD flags, LPDWORD id);
DWORD ResumeRegisteredThread(HANDLE thread);
[[noreturn]] void ExitRegisteredThread(DWORD code);

// Starts one of the crash reporter's own threads (the handling, the
// watchdog), which stay out of the registry and out of every report.
HANDLE CreateUnregisteredThread(LPTHREAD_START_ROUTINE entry, LPVOID parameter);

}  // namespace tracira
