#include "crashreport/engine/ExceptionLog.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "crashreport/debug/TrModules.h"
#include "crashreport/engine/TrDelivery.h"
#include "crashreport/engine/TrEngine.h"
#include "crashreport/engine/TrExceptionObject.h"
#include "crashreport/engine/TrFreeze.h"
#include "crashreport/engine/TrHandling.h"
#include "crashreport/engine/TrIntercept.h"
#include "crashreport/engine/TrLibraryModule.h"
#include "crashreport/engine/TrRaise.h"
#include "crashreport/hook/TrHook.h"
#include "crashreport/snapshot/TrSnapshot.h"

namespace tracira {

namespace {

// How long the program's end waits for a report still being sent.
constexpr DWORD kSendingWaitMs = 30'000;

// The running program's options: every change is published to the other
// modules of the process at once, and switching the watchdog on or off
// takes effect at once.
class TTraciraModuleOptionsEx : public TTraciraModuleOptions {
 public:
  TTraciraModuleOptionsEx() = default;
  ~TTraciraModuleOptionsEx() override {
    if (fSharedData) CloseHandle(fSharedData);
  }
  TTraciraModuleOptionsEx(const TTraciraModuleOptionsEx&) = delete;
  TTraciraModuleOptionsEx& operator=(const TTraciraModuleOptionsEx&) = delete;

 protected:
  void DoSaveToSharedData() override {
    StoreSharedData();
    if (FreezeActivate() && Active())
      StartFreeze();
    else
      StopFreeze();
  }

 private:
  // The named shared block "<process><module>MODULE": size word, flag byte,
  // options stream. The flag is cleared while the rest is rewritten, so a
  // reader never takes a half-written stream.
  void StoreSharedData() {
    const std::vector<std::uint8_t> block = BuildSharedOptionsBlock(*this);
    if (!fSharedData || block.size() > fSharedSize) {
      if (fSharedData) CloseHandle(fSharedData);
      fSharedData = nullptr;
      const std::string name = SharedDataName(
          GetCurrentProcessId(), static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(ThisModule())));
      const std::size_t size = (block.size() * 2 + 0xFFFF) & ~std::size_t{0xFFFF};
      fSharedData =
          CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size),
                             std::wstring(name.begin(), name.end()).c_str());
      fSharedSize = fSharedData ? size : 0;
    }
    if (!fSharedData) return;
    auto* view = static_cast<std::uint8_t*>(MapViewOfFile(fSharedData, FILE_MAP_WRITE, 0, 0, 0));
    if (!view) return;
    MEMORY_BASIC_INFORMATION region{};
    // A block left by a bigger or smaller earlier mapping of the same name.
    if (VirtualQuery(view, &region, sizeof region) && region.RegionSize >= block.size()) {
      std::atomic_ref<std::uint8_t>(view[4]).store(0);
      std::memcpy(view, block.data(), 4);
      std::memcpy(view + 5, block.data() + 5, block.size() - 5);
      std::atomic_ref<std::uint8_t>(view[4]).store(block[4]);
    }
    UnmapViewOfFile(view);
  }

  HANDLE fSharedData = nullptr;
  std::size_t fSharedSize = 0;
};

// The program's exit: the thread that called exit runs the static objects'
// destructors holding the C runtime's exit lock, which any other thread's
// first use of a function's static object waits for (it registers the
// object's end). A raise on that thread is handled on the thread itself.
using TExit = void(__cdecl*)(int);
constinit TExit gRealExit = nullptr;
[[noreturn]] void __cdecl HookedExit(int code) {
  gExitingThread = GetCurrentThreadId();
  (gRealExit ? gRealExit : &std::exit)(code);
  std::abort();  // not reached
}

// Start-up and exit: the crash reporter is set up before every other
// static object of the program and taken down after all of them.
struct TTraciraLogUnit {
  TTraciraLogUnit() { Init(); }
  ~TTraciraLogUnit() { Done(); }
};
__attribute__((init_priority(101))) TTraciraLogUnit gUnit;

}  // namespace

void Init() {
  if (gEngine.Get() || IsLibraryModule()) return;
  gComponents.Create();
  if (const HMODULE self = ThisModule(); self != GetModuleHandleW(nullptr)) {
    InitLibraryModule(self);
    return;
  }
  gEngine.Create();
  TEngine& e = *gEngine;
  wchar_t directory[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, directory);
  e.StartDirectory = directory;
  FILETIME ignored{};
  GetProcessTimes(GetCurrentProcess(), &e.StartTime, &ignored, &ignored, &ignored);
  CreateReserve(e);
  PrepareThreadPausing();
  e.Sender = DeliverReport;
  e.Options = std::make_unique<TTraciraModuleOptionsEx>();
  e.Options->DisableSharedDataWrite();
  HMODULE program = GetModuleHandleW(nullptr);
  TTraciraModuleInfo* info = ProcessModules().ModuleInfoByAddr(reinterpret_cast<std::uintptr_t>(program));
  if (!info || !info->ExtraInformation || !info->Options || !info->Options->ActivateLog()) return;
  e.Options->Assign(info->Options.get());
  if (e.Options->ModuleName().empty()) e.Options->SetModuleName(ModuleFileNameAnsi(program));
  e.Threads.AddCurrentThread(0, true, {}, nullptr, nullptr);
  try {
    gRealExit = reinterpret_cast<TExit>(
        HookDllProcedure(program, "msvcrt.dll", "exit", reinterpret_cast<const void*>(&HookedExit)));
  } catch (const ETrHookError& error) {
    SetInternalError(e, eeNone, MessageOf(&error), 0);
  }
  InstallInterception(e);
  gInstalled = true;
  e.Options->EnableSharedDataWrite();
  if (e.Options->FreezeActivate() && e.Options->Active()) StartFreeze();
}

void Done() {
  if (IsLibraryModule()) DoneLibraryModule();
  gComponents.Destroy();
  if (!gEngine.Get()) return;
  TEngine& e = *gEngine;
  gInstalled = false;
  StopFreeze();
  // A report still being sent on its own thread uses the engine: it is
  // left whole rather than pulled away under that thread.
  const bool sendingDone = WaitForSendingThreads(e, kSendingWaitMs);
  RemoveInterception(e);
  if (gRealExit) {
    try {
      HookDllProcedure(GetModuleHandleW(nullptr), "msvcrt.dll", "exit",
                       reinterpret_cast<const void*>(gRealExit));
    } catch (const ETrHookError&) {
    }
  }
  ReleaseReserve(e);
  if (!sendingDone) return;
  gEngine.Destroy();
  // Nothing of the crash reporter's stays on the heap past its end: a leak
  // analysis after it sees the program's blocks only.
  ProcessModules().Clear();
}

bool IsTraciraLogInstalled() { return gInstalled; }
void SetTraciraLogState(bool active) { gActive = active; }
bool IsTraciraLogActive() { return gInstalled && gActive && gEngine->Options->Active(); }

void SetTraciraLogActiveInThread(DWORD threadID, bool active) {
  if (!gEngine.Get()) return;
  std::lock_guard lock(gEngine->ThreadsOffLock);
  std::erase(gEngine->ThreadsOff, threadID);
  if (!active) gEngine->ThreadsOff.push_back(threadID);
}

bool IsTraciraLogActiveInThread(DWORD threadID) {
  return IsTraciraLogActive() && ActiveInThread(*gEngine, threadID);
}

TTraciraModuleOptions& CurrentTraciraLogOptions() {
  if (!gInstalled)
    throw rtl::Exception(
        L"Cannot use 'CurrentTraciraLogOptions' function without activate TraciraLog.\r\n"
        L"Activate it in the program's crash-reporter options and build again.");
  return *gEngine->Options;
}

void ForceApplicationTermination(TTerminateBtnOperation operation) {
  if (!gEngine.Get()) return;
  TEngine& e = *gEngine;
  e.TerminateRequested = true;
  e.Options->SetTerminateBtnOperation(operation);
  // Outside a handling nobody else would carry it out.
  if (e.HandlingThread.load() == 0) KillApplication(e, operation);
}

std::string GetExceptMessage() {
  if (!gEngine.Get()) return {};
  return gEngine->CustomMessage.empty() ? gEngine->LastMessage : gEngine->CustomMessage;
}

std::string LastLogText() { return gEngine.Get() ? gEngine->LastLogText : std::string(); }
TTraciraStackList LastCallStack() {
  return gEngine.Get() ? gEngine->LastReport.Parts.Stack : TTraciraStackList();
}
TReportParts LastReportParts() { return gEngine.Get() ? gEngine->LastReport.Parts : TReportParts(); }
std::string LastLogFileName() { return gEngine.Get() ? PathToAnsi(gEngine->LastLogFile) : std::string(); }
int ExceptionCount() { return gEngine.Get() ? gEngine->ExceptionCount : 0; }
std::string InternalErrorText() { return gEngine.Get() ? gEngine->InternalError : std::string(); }
std::string EntireLogText() { return gEngine.Get() ? gEngine->EntireLog : std::string(); }
bool CanSendMessage() { return gEngine.Get() && gEngine->Dialog.CanSendMessage; }
bool CanAttachScreenshot() { return gEngine.Get() && gEngine->Dialog.CanAttachScreenshot; }
bool CanAttachScreenshot_Show() { return gEngine.Get() && gEngine->Dialog.CanAttachScreenshot_Show; }
bool CannotUseThread() { return gEngine.Get() && gEngine->CannotUseThread; }

TDialogState& DialogState() {
  if (!gEngine.Get()) throw rtl::Exception(L"The crash reporter is not set up.");
  return gEngine->Dialog;
}

}  // namespace tracira
