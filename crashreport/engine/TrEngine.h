// The handling engine's own state: one instance, created by Init and
// destroyed by Done, shared by the units of the engine (the handling, the
// interception, the events, the watchdog, the library forwarding).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "crashreport/core/TrCore.h"
#include "crashreport/dialogs/TrDialogState.h"
#include "crashreport/engine/ExceptionLog.h"
#include "crashreport/engine/TrDecide.h"
#include "crashreport/engine/TrHandOver.h"
#include "crashreport/engine/TrLiveReport.h"
#include "crashreport/engine/TrThreads.h"
#include "crashreport/report/TrSaveLog.h"

namespace tracira {

struct TClosingSteps;
// Sends a report (step 16 of the handling); see TrHandling.h.
using TReportSender = std::function<void(TClosingSteps& closing)>;

// State with a lifetime of its own: created by Init, destroyed by Done, and
// never by a static destructor whose turn comes at an unknown time.
template <class T>
class TExplicitLifetime {
 public:
  constexpr TExplicitLifetime() = default;
  T* Get() { return fObject; }
  T& operator*() { return *fObject; }
  T* operator->() { return fObject; }
  void Create() {
    if (!fObject) fObject = std::construct_at(reinterpret_cast<T*>(fStorage));
  }
  void Destroy() {
    if (fObject) std::destroy_at(fObject);
    fObject = nullptr;
  }

 private:
  alignas(T) unsigned char fStorage[sizeof(T)]{};
  T* fObject = nullptr;
};

class TCriticalSection {
 public:
  TCriticalSection() { InitializeCriticalSection(&fSection); }
  ~TCriticalSection() { DeleteCriticalSection(&fSection); }
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;
  void lock() { EnterCriticalSection(&fSection); }
  void unlock() { LeaveCriticalSection(&fSection); }

 private:
  CRITICAL_SECTION fSection;
};

// What the raising thread hands to the handling thread.
struct TNotifyParams {
  bool Handled = false;
  // The exception thread's stack as it was at the raise, from StackPoint up;
  // empty: read it where it is.
  std::span<const std::uint8_t> Stack;
  const CONTEXT* Context = nullptr;
  const EXCEPTION_RECORD* Record = nullptr;
  const CONTEXT* Frame = nullptr;  // a throw's own frame (x86-64)
  std::uintptr_t TopOfStack = 0;
  std::uintptr_t StackPoint = 0;
  std::uint32_t ThreadID = 0;  // the thread the exception belongs to
  std::uintptr_t Address = 0;
  // The exception in flight: valid while its handling runs.
  const void* Object = nullptr;
  const std::type_info* Type = nullptr;
  // The same exception kept alive, when the raising thread has it as its
  // current exception (caught at an edge): what a sending thread may use
  // after the handling has returned.
  std::exception_ptr Kept;
  std::string ActiveControlClass, ActiveControlText;
  // The call-stack section as given (a leak report's rows): no stack is
  // read then.
  const TTraciraStackList* GivenStack = nullptr;
  bool Answer = false;
};

struct TEngine {
  TCriticalSection Lock;  // one handling at a time
  std::mutex ThreadsOffLock;
  std::vector<DWORD> ThreadsOff;

  std::unique_ptr<TTraciraModuleOptions> Options;
  TTraciraThreadsList Threads;
  TCrashTimes CrashTimes;
  int ExceptionCount = 0;
  std::wstring StartDirectory;
  FILETIME StartTime{};
  bool TerminateRequested = false;
  bool TerminationConfirmed = false;  // the program's handlers agreed to it already
  std::string LastMessage, CustomMessage, InternalError;
  std::string LastLogText;
  std::filesystem::path LastLogFile;
  TReport LastReport;     // as data: the detail pages' rows
  TLogSession Log;        // the log file, open during one handling
  std::string EntireLog;  // the whole log, kept for sending (sndSendEntireLog)
  TDialogState Dialog;    // what the dialogs offer and what the user chose
  std::atomic<void*> Reserve{nullptr};

  void* HandleExceptionTarget = nullptr;
  void* HandleExceptionTrampoline = nullptr;
  void* ShowExceptionTarget = nullptr;
  void* ShowExceptionTrampoline = nullptr;

  // Event handlers and dialogs go to the raising thread while it waits.
  THandOver HandOver;
  std::atomic<DWORD> HandlingThread{0};
  // The handling runs on the raising thread itself (no thread of its own
  // could be started, or the program is exiting): nothing can be sent on a
  // thread of its own then.
  bool CannotUseThread = false;
  // Delivery's sender, and the threads that send on their own.
  std::mutex SendingLock;
  TReportSender Sender;
  std::vector<rtl::UniqueHandle> SendingThreads;

  rtl::UniqueHandle FreezeThread;
  rtl::UniqueHandle FreezeStop;
  std::atomic<bool> FreezePause{false};
};

// The TTraciraLog components of this module, whose handlers run whether
// this module handles exceptions (the program) or hands them over (a
// library): the program fires a library's events through its exports.
struct TComponents {
  std::mutex Lock;
  std::vector<TTraciraLog*> Items;
};

// Constant-initialised: Init runs before the program's other static
// objects are constructed, and nothing may construct these again after it.
extern TExplicitLifetime<TEngine> gEngine;
extern TExplicitLifetime<TComponents> gComponents;
extern std::atomic<bool> gInstalled;
extern std::atomic<bool> gActive;
// The thread that called exit (it holds the C runtime's exit lock).
extern std::atomic<DWORD> gExitingThread;

inline std::uintptr_t ToAddress(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// The module this engine is linked into.
HMODULE ThisModule();

// Out-of-memory reserve: address space kept back so that the handling can
// allocate even when the program has used all of it.
void CreateReserve(TEngine& e);
void ReleaseReserve(TEngine& e);

void SetInternalError(TEngine& e, TTraciraLogErrorCode code, const std::string& message,
                      std::uintptr_t address);

}  // namespace tracira
