#include "crashreport/engine/ExceptionLog.h"

#include <cxxabi.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "crashreport/debug/TrModules.h"
#include "crashreport/debug/TrStack.h"
#include "crashreport/engine/TrDecide.h"
#include "crashreport/engine/TrLiveReport.h"
#include "crashreport/engine/TrRaise.h"
#include "crashreport/engine/TrThreads.h"
#include "crashreport/hook/TrHook.h"
#include "crashreport/report/TrLogManager.h"
#include "crashreport/report/TrLogText.h"
#include "crashreport/report/TrSaveLog.h"
#include "crashreport/screenshot/TrScreenshot.h"
#include "crashreport/snapshot/TrSnapshot.h"
#include "rtl/Guarded.h"
#include "rtl/ModuleFile.h"

#if defined(__i386__)
#define TR_THISCALL __attribute__((thiscall))
#else
#define TR_THISCALL
#endif

namespace tracira {

namespace {

// ---------------------------------------------------------------------------
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

struct THandleCloser {
  void operator()(HANDLE h) const {
    if (h) CloseHandle(h);
  }
};
using THandle = std::unique_ptr<void, THandleCloser>;

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
  const void* Object = nullptr;
  const std::type_info* Type = nullptr;
  std::string ActiveControlClass, ActiveControlText;
  bool Answer = false;
};

void StartFreeze();
void StopFreeze();

HMODULE ThisModule();

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

struct TEngine {
  TCriticalSection Lock;  // one handling at a time
  std::mutex ThreadsOffLock;
  std::vector<DWORD> ThreadsOff;

  std::unique_ptr<TTraciraModuleOptionsEx> Options;
  TTraciraThreadsList Threads;
  TCrashTimes CrashTimes;
  int ExceptionCount = 0;
  std::wstring StartDirectory;
  FILETIME StartTime{};
  bool TerminateRequested = false;
  std::string LastMessage, CustomMessage, InternalError;
  std::string LastLogText, LastLogFile;
  TTraciraStackList LastStack;
  TLogSession Log;        // the log file, open during one handling
  std::string EntireLog;  // the whole log, kept for sending (sndSendEntireLog)
  std::atomic<bool> CanSendMessage{false}, CanAttachScreenshot{false}, CanAttachScreenshotShow{false};
  std::atomic<void*> Reserve{nullptr};

  void* HandleExceptionTarget = nullptr;
  void* HandleExceptionTrampoline = nullptr;
  void* ShowExceptionTarget = nullptr;
  void* ShowExceptionTrampoline = nullptr;

  // The waiting raising thread runs what the handling thread hands over.
  std::atomic<std::function<void()>*> HandOver{nullptr};
  // Wake the other side at once instead of at its next 10 ms turn.
  THandle WorkReady{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  THandle WorkDone{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  std::atomic<DWORD> WaitingThread{0};
  std::atomic<DWORD> HandlingThread{0};

  THandle FreezeThread;
  THandle FreezeStop;
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
constinit TExplicitLifetime<TEngine> gEngine;
constinit TExplicitLifetime<TComponents> gComponents;
constinit std::atomic<bool> gInstalled{false};
constinit std::atomic<bool> gActive{true};

// The program's exit: the thread that called exit runs the static objects'
// destructors holding the C runtime's exit lock, which any other thread's
// first use of a function's static object waits for (it registers the
// object's end). A raise on that thread is handled on the thread itself.
using TExit = void(__cdecl*)(int);
constinit TExit gRealExit = nullptr;
constinit std::atomic<DWORD> gExitingThread{0};
[[noreturn]] void __cdecl HookedExit(int code) {
  gExitingThread = GetCurrentThreadId();
  (gRealExit ? gRealExit : &std::exit)(code);
  std::abort();  // not reached
}

std::uintptr_t ToAddress(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// ---------------------------------------------------------------------------
// ---------------------------------------------------------------------------
// Exception objects

const std::exception* AsStdException(const void* object, const std::type_info* type) {
  if (!object || !type) return nullptr;
  void* p = const_cast<void*>(object);
  if (typeid(std::exception).__do_catch(type, &p, 1)) return static_cast<const std::exception*>(p);
  return nullptr;
}

template <class E>
bool IsA(const void* object, const std::type_info* type) {
  if (!object || !type) return false;
  void* p = const_cast<void*>(object);
  return typeid(E).__do_catch(type, &p, 1);
}

std::string Demangle(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> name(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

// The class and all its ancestors, nearest first (breadth first, so every
// base of a class with several is there for the filters), each once.
std::vector<std::string> ClassNames(const std::type_info* type) {
  std::vector<std::string> names;
  std::vector<const std::type_info*> queue;
  if (type) queue.push_back(type);
  for (std::size_t i = 0; i < queue.size() && names.size() < 64; ++i) {
    std::string name = Demangle(*queue[i]);
    if (std::find(names.begin(), names.end(), name) != names.end()) continue;  // a shared base
    names.push_back(std::move(name));
    if (const auto* si = dynamic_cast<const abi::__si_class_type_info*>(queue[i])) {
      queue.push_back(si->__base_type);
    } else if (const auto* vmi = dynamic_cast<const abi::__vmi_class_type_info*>(queue[i])) {
      for (unsigned b = 0; b < vmi->__base_count; ++b) queue.push_back(vmi->__base_info[b].__base_type);
    }
  }
  return names;
}

std::string MessageOf(const std::exception* e) {
  if (!e) return {};
  if (const auto* own = dynamic_cast<const rtl::Exception*>(e)) return ToAnsi(own->Message());
  return ToAnsi(rtl::FromUtf8(e->what()));
}

// ---------------------------------------------------------------------------
// Out-of-memory reserve: address space kept back so that the handling can
// allocate even when the program has used all of it.

constexpr SIZE_T kReserveSize = 0x1000000;

// Several raising threads release it at once, before they queue for the
// handling: exactly one of them frees it.
void CreateReserve(TEngine& e) {
  if (e.Reserve.load()) return;
  void* made = VirtualAlloc(nullptr, kReserveSize, MEM_RESERVE, PAGE_NOACCESS);
  void* expected = nullptr;
  if (made && !e.Reserve.compare_exchange_strong(expected, made)) VirtualFree(made, 0, MEM_RELEASE);
}
void ReleaseReserve(TEngine& e) {
  if (void* reserve = e.Reserve.exchange(nullptr)) VirtualFree(reserve, 0, MEM_RELEASE);
}

// ---------------------------------------------------------------------------
// Internal errors

const char* ErrorCodeName(TTraciraLogErrorCode code) {
  static constexpr const char* kNames[] = {
      "eeNone",           "eeShowError",    "eeLogError",      "eeEmailMAPIError", "eeEmailShellError",
      "eeEmailSMTPError", "eeWebHTTPError", "eeWebHTTPSError", "eeWebFTPError",    "eeWebTrakerError"};
  return code < std::size(kNames) ? kNames[code] : "ee?";
}

void SetInternalError(TEngine& e, TTraciraLogErrorCode code, const std::string& message,
                      std::uintptr_t address) {
  e.InternalError = message;
  char text[1024];
  std::snprintf(text, sizeof text, "[WARNING] - Code: %s - Address: %s - Message: \"%s\"",
                ErrorCodeName(code), HexAddress(address).c_str(), message.c_str());
  OutputDebugStringA(text);
}

// ---------------------------------------------------------------------------
// Handing work to the waiting raising thread

void Synchronize(TEngine& e, const std::function<void()>& work) {
  auto safe = [&] {
    try {
      work();
    } catch (...) {
      // An event handler's exception is swallowed.
    }
  };
  if (GetCurrentThreadId() != e.HandlingThread.load() || e.WaitingThread.load() == 0) {
    safe();
    return;
  }
  std::function<void()> job = safe;
  e.HandOver.store(&job);
  SetEvent(e.WorkReady.get());
  while (e.HandOver.load() != nullptr) WaitForSingleObject(e.WorkDone.get(), 10);
}

void RunHandedOver(TEngine& e) {
  if (std::function<void()>* job = e.HandOver.load()) {
    (*job)();
    e.HandOver.store(nullptr);
    SetEvent(e.WorkDone.get());
  }
}

void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // The program's own loop must still see it.
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// ---------------------------------------------------------------------------
// Events

HMODULE ThisModule() { return rtl::ModuleOfAddress(reinterpret_cast<const void*>(&ThisModule)); }

// Runs one event in its three forms: another module's export, the
// components (last created first), the global variable.
// Whether anything would run: with no handler at all, nothing is handed
// to the waiting thread.
template <class Event>
bool AnyHandler(const TTraciraExceptionRecord& record, Event TTraciraEvents::*member, const Event& global,
                const char* exportName) {
  if (global) return true;
  if (gComponents.Get()) {
    std::lock_guard lock(gComponents->Lock);
    for (TTraciraLog* c : gComponents->Items)
      if (c->*member) return true;
  }
  const HMODULE raisedIn = rtl::ModuleOfAddress(record.ExceptionAddress);
  return raisedIn && raisedIn != ThisModule() && GetProcAddress(raisedIn, exportName);
}

// This module's handlers of one event: the components from the last
// created to the first, then the global variable. Their exceptions are
// swallowed.
template <class Event, class... Args>
void RunLocalHandlers(TTraciraExceptionRecord& record, Event TTraciraEvents::*member, const Event& global,
                      Args&... args) {
  std::vector<TTraciraLog*> components;
  if (gComponents.Get()) {
    std::lock_guard lock(gComponents->Lock);
    components = gComponents->Items;
  }
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    const Event& handler = (*it)->*member;
    if (!handler) continue;
    try {
      handler(record, args...);
    } catch (...) {
    }
  }
  if (global) {
    try {
      global(record, args...);
    } catch (...) {
    }
  }
}

// The export of the module where the exception was raised, when that is
// another module of the process that carries the crash reporter.
FARPROC RaisingModuleExport(const TTraciraExceptionRecord& record, const char* exportName) {
  const HMODULE raisedIn = rtl::ModuleOfAddress(record.ExceptionAddress);
  return raisedIn && raisedIn != ThisModule() ? GetProcAddress(raisedIn, exportName) : nullptr;
}

template <class Event, class Arg>
void Fire(TEngine& e, TTraciraExceptionRecord& record, Event TTraciraEvents::*member, Event& global,
          const char* exportName, Arg& arg) {
  if (!AnyHandler(record, member, global, exportName)) return;
  Synchronize(e, [&] {
    if (FARPROC proc = RaisingModuleExport(record, exportName)) {
      using TExport = void(WINAPI*)(TTraciraExceptionRecord*, Arg*);
      reinterpret_cast<TExport>(reinterpret_cast<void*>(proc))(&record, &arg);
    }
    RunLocalHandlers(record, member, global, arg);
  });
}

// An action or error event: the raising module's export first, then this
// module's handlers.
template <class Event>
bool FireWithAction(TEngine& e, TTraciraExceptionRecord& record, Event TTraciraEvents::*member, Event& global,
                    const char* exportName, TTraciraActionType action, bool answer) {
  if (!AnyHandler(record, member, global, exportName)) return answer;
  Synchronize(e, [&] {
    if (FARPROC proc = RaisingModuleExport(record, exportName)) {
      using TExport = void(WINAPI*)(TTraciraExceptionRecord*, TTraciraActionType, bool*);
      reinterpret_cast<TExport>(reinterpret_cast<void*>(proc))(&record, action, &answer);
    }
    RunLocalHandlers(record, member, global, action, answer);
  });
  return answer;
}

bool FireAction(TEngine& e, TTraciraExceptionRecord& record, TTraciraActionType action) {
  return FireWithAction(e, record, &TTraciraEvents::OnExceptionActionNotify, ExceptionActionNotify,
                        "TraciraLog_ExceptionActionNotifyEvent", action, true);
}

bool FireError(TEngine& e, TTraciraExceptionRecord& record, TTraciraActionType action) {
  return FireWithAction(e, record, &TTraciraEvents::OnExceptionErrorNotify, ExceptionErrorNotify,
                        "TraciraLog_ExceptionErrorNotifyEvent", action, false);
}

// ---------------------------------------------------------------------------
// The end of the program

[[noreturn]] void KillApplication(TEngine& e, TTerminateBtnOperation operation) {
  if (operation == tbRestart) {
    std::wstring commandLine = GetCommandLineW();
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       e.StartDirectory.empty() ? nullptr : e.StartDirectory.c_str(), &si, &pi)) {
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
  }
  // No finalisation: the program's state can't be trusted any more.
  TerminateProcess(GetCurrentProcess(), 1);
  ExitProcess(1);
}

// ---------------------------------------------------------------------------
// ---------------------------------------------------------------------------
// Stores the report in the log file (the saving events, a retry through the
// error event, the "Log" error) and closes the log.
bool SaveReport(TEngine& e, const TTraciraModuleOptions& options, TTraciraExceptionRecord& record,
                const std::string& text, bool duplicate) {
  TSaveLogEvents events;
  events.FileName = [&] { return GetWorkingFile(OutputLogFile(options)); };
  events.Action = [&](TTraciraActionType action) { return FireAction(e, record, action); };
  events.Failed = [&](const std::string& message) {
    SetInternalError(e, eeLogError, "[Log] " + message, ToAddress(record.ExceptionAddress));
  };
  events.Retry = [&] { return FireError(e, record, atSavedLogFile); };
  const TSaveLogResult result = SaveLogFile(e.Log, options, text, duplicate, events);
  if (result.Saved) e.LastLogFile = result.FileName;
  e.EntireLog = result.EntireLog;
  return result.Saved;
}

// ---------------------------------------------------------------------------
// The dialog (the message-box form for every dialog type)

void ShowDialog(TEngine& e, const TTraciraTexts& texts) {
  const std::wstring text = FromAnsi(GetExceptMessage());
  const std::wstring caption = FromAnsi(texts[mtDialog_Caption]);
  e.FreezePause = true;
  Synchronize(e, [&] { MessageBoxW(nullptr, text.c_str(), caption.c_str(), 0x242010); });
  e.FreezePause = false;
}

// ---------------------------------------------------------------------------
// The handling, on its own thread

// A fault of the crash reporter itself while it handled an exception: a
// diagnostic beside the log file (".log"), for whoever supports it.
void InternalCriticalError(TEngine& e, int step, const std::string& failureClass, const std::string& what,
                           const TNotifyParams& p) {
  SetInternalError(e, eeNone, "Internal error at step " + std::to_string(step) + ": " + what, p.Address);
  try {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    const OSVERSIONINFOW version = OSVersion();
    std::string stack;
    for (const TTraciraDebugInfo& entry : GetCurrentCallStack())
      if (!entry.ProcedureName.empty()) stack += (stack.empty() ? "" : " <- ") + entry.ProcedureName;
    const auto line = [](const char* label, const std::string& value) { return label + value + "\r\n"; };
    const std::string text =
        line("Version   : ", std::string(kLogVersion)) +
        line("Date      : ",
             ISODateTime({now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond})) +
        line("OS        : ", "Windows " + std::to_string(version.dwMajorVersion) + "." +
                                 std::to_string(version.dwMinorVersion) + " build " +
                                 std::to_string(version.dwBuildNumber)) +
        line("RAD       : ", "GCC " __VERSION__) + line("Dump      : ", e.InternalError) +
        line("Section   : ", std::to_string(step)) + line("LastExcept: ", e.LastMessage) +
        line("Address   : ", HexAddress(p.Address)) + line("Exception : ", failureClass) +
        line("Message   : ", what) + line("Call Stack: ", stack);
    std::filesystem::path log = WidePath(OutputLogFile(*e.Options));
    log.replace_extension(".log");
    if (log.has_parent_path()) std::filesystem::create_directories(log.parent_path());
    if (FILE* f = _wfopen(log.c_str(), L"ab")) {
      std::fwrite(text.data(), 1, text.size(), f);
      std::fclose(f);
    }
  } catch (...) {
    // Nothing more can be done from here.
  }
}

void InternalExceptNotify(TEngine& e, TNotifyParams& p) {
  TThreadState* self = CurrentThreadState();
  if (self) self->InHandling = true;
  int step = 1;
  // The snapshot owns the handles of the paused threads: it outlives them.
  std::vector<TTraciraThreadInfo> threads;
  std::vector<HANDLE> paused;
  try {
    // 1. The registry as it is now, and the modules list without changed files.
    e.Threads.PurgeList();
    threads = e.Threads.Snapshot();
    ProcessModules().PurgeModulesList();

    // 2. The options of the module that raised.
    step = 2;
    TTraciraModuleOptions* options = e.Options.get();
    if (!options->BehaviourOptions().Contains(boUseMainModuleOptions))
      if (TTraciraModuleInfo* m = ProcessModules().ModuleInfoByAddr(p.Address);
          m && m->Options && m->ExtraInformation && m->Handle != GetModuleHandleW(nullptr))
        options = m->Options.get();

    // 3-5. Filters.
    step = 3;
    e.CustomMessage.clear();
    const std::exception* object = AsStdException(p.Object, p.Type);
    std::vector<std::string> classNames = ClassNames(p.Type);
    std::string message = MessageOf(object);
    if (!p.Type && p.Record) {
      const TSystemExceptionText system = DescribeSystemException(*p.Record);
      classNames = {system.ClassName};
      message = ToAnsi(system.Message);
    }
    if (classNames.empty()) classNames.push_back("Unknown exception type");
    if (message.empty() && !object && !p.Record) message = "Unknown error message.";
    const std::string className = ShortClassName(classNames.front());
    step = 4;
    const TFilterChoice choice = ChooseFilter(*options, classNames, p.Handled);
    e.CustomMessage = choice.CustomMessage;
    step = 5;
    if (choice.Handler == fhtRTL) {
      p.Answer = true;
      return;
    }
    if (choice.Handler == fhtNone) {
      p.Answer = false;
      return;
    }

    // 6-7. Call stacks and the report.
    step = 6;
    TTraciraTexts texts;
    for (std::size_t i = 0; i < kMessageTypeCount; ++i)
      texts[i] = options->GetCustomizedExpandedTexts(static_cast<TMessageType>(i));
    // 8. Threads that stay paused for the whole handling.
    const TBehaviourOptions behaviour = options->BehaviourOptions();
    if (behaviour.Contains(boPauseBorlandThreads) || behaviour.Contains(boPauseWindowsThreads)) {
      step = 8;
      // Room for every handle first: a suspended thread whose handle could
      // not be kept would never be resumed.
      paused.reserve(threads.size());
      // Holding the locks the handling takes later while suspending (the
      // components', the loader's, the heaps'), each stop confirmed before
      // they are let go: no paused thread is left inside one of them, so the
      // handling can go on without waiting for a thread that never runs.
      std::unique_lock components(gComponents->Lock);
      TLoaderLock loader;
      THeapLocks heap;
      for (const TTraciraThreadInfo& t : threads) {
        if (t.ID == p.ThreadID || t.ID == GetCurrentThreadId() || t.ID == e.WaitingThread.load() || !t.Handle)
          continue;
        const bool main = t.ID == MainThreadID();
        const bool pause = t.IsRuntimeThread ? behaviour.Contains(boPauseBorlandThreads) &&
                                                   !(main && behaviour.Contains(boDoNotPauseMainThread))
                                             : behaviour.Contains(boPauseWindowsThreads);
        if (pause && SuspendAndConfirm(t.Handle)) paused.push_back(t.Handle);
      }
    }
    step = 9;
    TReportInput input;
    input.Address = p.Address;
    input.ThreadID = p.ThreadID;
    input.StackPoint = p.StackPoint;
    input.TopOfStack = p.TopOfStack;
    input.Stack = p.Stack;
    input.Context = p.Context;
    input.Record = p.Record;
    input.Frame = p.Frame;
    input.ClassName = className;
    input.Message = message;
    input.ActiveControlClass = p.ActiveControlClass;
    input.ActiveControlText = p.ActiveControlText;
    input.Threads = threads;
    input.SkipThreads = {e.WaitingThread.load()};
    input.StartTime = e.StartTime;
    input.WindowedProgram = IsGUIProgram();
    TReport report = BuildReport(*options, texts, input);

    TTraciraExceptionRecord record;
    record.ExceptionObject = object;
    record.ExceptionAddress = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(p.Address));
    record.ExceptionThreadID = p.ThreadID;
    record.LogText = report.Text;
    record.ModulesList = &ProcessModules();
    record.CallStack = &report.Stack;
    record.CurrentModuleOptions = options;
    record.ExceptionClassName = className;
    record.ExceptionMessage = message;
    e.LastMessage = FoldControlChars(message);
    // The log file is read at most once per handling and never kept past it.
    struct TLogCloser {
      TLogSession& Log;
      ~TLogCloser() { Log.Close(); }
    } closeLog{e.Log};
    // A report with the ID of a stored one only counts there.
    bool duplicate = false;
    if (options->LogOptions().Contains(loNoDuplicateErrors)) {
      try {
        duplicate = CalcDuplicatedException(e.Log.Open(GetWorkingFile(OutputLogFile(*options))),
                                            report.ExceptionID, true, texts[mtLog_ExcCount]);
      } catch (const std::exception& error) {
        SetInternalError(e, eeLogError, std::string("[Log] ") + error.what(), p.Address);
      }
    }
    e.InternalError.clear();
    // A section after the general part goes into the report, the record's
    // text and the copy kept as the last report alike.
    const auto addSection = [&](const std::string& section) {
      report.Text = InsertCustomSection(report.Text, section, texts[mtDialog_CallStackHeader]);
      record.LogText = report.Text;
      e.LastLogText = report.Text;
    };

    // 10. The program's handlers may stop the reporting; the screenshot.
    step = 10;
    const TCommonSendOptions send = options->CommonSendOptions();
    e.CanSendMessage = options->EMailSendMode() != esmNoSend || options->WebSendMode() != wsmNoSend;
    e.CanAttachScreenshot = send.Contains(sndSendScreenshot);
    e.CanAttachScreenshotShow =
        e.CanAttachScreenshot && options->ExceptionDialogOptions().Contains(edoShowAttachScreenshotOption);
    bool handle = true;
    if (p.Handled)
      Fire(e, record, &TTraciraEvents::OnHandledExceptionNotify, HandledExceptionNotify,
           "TraciraLog_HandledExceptionNotifyEvent", handle);
    else
      Fire(e, record, &TTraciraEvents::OnExceptionNotify, ExceptionNotify, "TraciraLog_ExceptionNotifyEvent",
           handle);
    // Only a report that can be sent can use a picture.
    struct TScreenshotGuard {
      ~TScreenshotGuard() { FreeScreenshot(); }
    } screenshotGuard;
    std::string screenshotFile;
    if (handle && e.CanSendMessage && e.CanAttachScreenshot)
      InitScreenshot(RecordScreenshotSource(MainThreadID(), send.Contains(sndUseOnlyActiveWindow)));

    if (handle) {
      // 11. Crash times, custom data, the counter.
      step = 11;
      if (options->AutoCrashOperation() != tbNone)
        e.CrashTimes.Add(static_cast<std::int64_t>(std::time(nullptr)), options->AutoCrashNumber());
      std::vector<std::string> custom;
      Fire(e, record, &TTraciraEvents::OnCustomDataRequest, CustomDataRequest,
           "TraciraLog_CustomDataRequestEventEx", custom);
      if (!custom.empty() && options->ShowOptions().Contains(soCustomData))
        addSection(CustomHeadersText(7, texts[mtLog_CustInfoHeader], custom));
      ++e.ExceptionCount;
      e.LastLogText = report.Text;
      e.LastStack = report.Stack;

      // 12. The dialog.
      step = 12;
      const TExceptionDialogType dialog = choice.Dialog;
      if (dialog != edtNone && FireAction(e, record, atShowingExceptionInfo)) {
        ShowDialog(e, texts);
        FireAction(e, record, atShowedExceptionInfo);
      }

      // 13. A report to be sent takes its picture along.
      step = 13;
      const bool mustSend =
          e.CanSendMessage && !duplicate &&
          (dialog == edtNone || options->ExceptionDialogOptions().Contains(edoSendErrorReportChecked));
      if (mustSend) {
        screenshotFile = SavedScreenshot(e.CanAttachScreenshot);
        AfterScreenshot(screenshotFile);
      }
      FreeScreenshot();

      // 14. A new version starts a new log.
      step = 14;
      if (options->LogOptions().Contains(loDeleteLogAtVersionChange)) {
        try {
          const TTraciraModuleInfo* program =
              ProcessModules().ModuleInfoByAddr(reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr)));
          DeleteLogAtVersionChange(e.Log.Open(GetWorkingFile(OutputLogFile(*options))),
                                   program ? program->Version : std::string());
        } catch (const std::exception&) {
          // An unreadable log is dealt with when the report is saved.
        }
      }

      // 15. The log file (also without saving it, when the whole log is
      // to be sent).
      step = 15;
      if (options->SaveLogFile() || send.Contains(sndSendEntireLog))
        SaveReport(e, *options, record, report.Text, duplicate);

      // 17. The picture's file is gone; a crash loop ends the program.
      step = 17;
      if (!screenshotFile.empty()) DeleteFileW(AnsiToPath(screenshotFile).c_str());
      if (options->AutoCrashOperation() != tbNone &&
          e.CrashTimes.IsCrashLoop(options->AutoCrashNumber(), options->AutoCrashMinutes()) &&
          !e.TerminateRequested)
        ForceApplicationTermination(options->AutoCrashOperation());
    }

    // 18-19. The answer, the paused threads, the filter's action.
    step = 18;
    p.Answer = !handle || behaviour.Contains(boCallRTLExceptionEvent);
    for (HANDLE h : paused) ResumeThread(h);
    paused.clear();
    if (!e.TerminateRequested && choice.Action != fatNone)
      ForceApplicationTermination(choice.Action == fatRestart ? tbRestart : tbTerminate);

    // 20. The end, when asked for.
    step = 20;
    if (e.TerminateRequested && FireAction(e, record, atTerminating))
      KillApplication(e, e.Options->TerminateBtnOperation());
    e.TerminateRequested = false;
  } catch (const std::exception& error) {
    for (HANDLE h : paused) ResumeThread(h);
    InternalCriticalError(e, step, Demangle(typeid(error)), MessageOf(&error), p);
  } catch (...) {
    for (HANDLE h : paused) ResumeThread(h);
    InternalCriticalError(e, step, "Unknown exception type", "Unknown error message.", p);
  }
}

DWORD WINAPI ExceptionThreadProc(LPVOID parameter) {
  auto* p = static_cast<TNotifyParams*>(parameter);
  gEngine->HandlingThread = GetCurrentThreadId();
  InternalExceptNotify(*gEngine, *p);
  gEngine->HandlingThread = 0;
  return 0;
}

void ActiveControl(TNotifyParams& p) {
  HWND active = GetForegroundWindow();
  if (!active) return;
  wchar_t text[256] = {};
  GetClassNameW(active, text, 256);
  p.ActiveControlClass = ToAnsi(text);
  text[0] = 0;
  // Not GetWindowText: the window may belong to the waiting thread.
  InternalGetWindowText(active, text, 256);
  p.ActiveControlText = ToAnsi(text);
}

// One exception, under the global lock: the handling runs on a thread of
// its own while this thread waits, runs what is handed to it and, on the
// main thread, keeps the windows answering.
bool ExceptNotify(TThreadState& state, TNotifyParams& p) {
  TEngine& e = *gEngine;
  if (IsA<rtl::EAbort>(p.Object, p.Type) || !gActive) return true;
  // Released before queueing, so that a raise out of memory can wait for
  // the lock, and again once it is taken: a handling that waited for
  // another's end finds the reserve kept back again by then.
  ReleaseReserve(e);
  std::lock_guard lock(e.Lock);
  ReleaseReserve(e);
  struct TRestore {
    TEngine& e;
    ~TRestore() { CreateReserve(e); }
  } restore{e};
  if (state.InHandling) return false;
  if (!e.Options->Active()) return true;
  ActiveControl(p);
  state.InHandling = true;
  e.WaitingThread = GetCurrentThreadId();
  const bool pump = GetCurrentThreadId() == MainThreadID() && !IsA<std::bad_alloc>(p.Object, p.Type);
  const bool exiting = gExitingThread.load() == GetCurrentThreadId();
  THandle thread(exiting ? nullptr : CreateUnregisteredThread(ExceptionThreadProc, &p));
  if (thread) {
    SetThreadPriority(thread.get(), THREAD_PRIORITY_HIGHEST);
    for (;;) {
      const HANDLE waitFor[] = {thread.get(), e.WorkReady.get()};
      const DWORD waited = WaitForMultipleObjects(2, waitFor, FALSE, 10);
      RunHandedOver(e);
      if (waited == WAIT_OBJECT_0) break;
      if (pump) PumpMessages();
    }
  } else {
    e.WaitingThread = 0;
    e.HandlingThread = GetCurrentThreadId();
    InternalExceptNotify(e, p);
    e.HandlingThread = 0;
  }
  e.WaitingThread = 0;
  state.InHandling = false;
  return p.Answer;
}

bool ActiveInThread(TEngine& e, DWORD id) {
  std::lock_guard lock(e.ThreadsOffLock);
  return std::find(e.ThreadsOff.begin(), e.ThreadsOff.end(), id) == e.ThreadsOff.end();
}

bool CatchHandled() {
  return gInstalled && gEngine->Options->BehaviourOptions().Contains(boCatchHandledExceptions);
}

// Keeps a raise in its thread's state with a copy of its stack: whoever
// catches it first may clean up and raise it again, and the report is made
// where it finally lands.
TKeptRaise& Keep(TThreadState& state, const TRaiseRecord& raise) {
  const int index = state.NextKept;
  TKeptRaise& kept = state.Kept[index];
  state.NextKept = (state.NextKept + 1) % TThreadState::kKept;
  kept.Raise = raise;
  kept.Raise.Notified = false;
  kept.Raise.Answer = true;
  if (raise.HasContext) {
    kept.Context = state.Context;
    kept.SystemRecord = state.Record;
  }
  kept.HasFrame = raise.Frame != nullptr;
  if (raise.Frame) kept.Frame = *raise.Frame;
  kept.Raise.Frame = nullptr;
  kept.Stack = nullptr;
  kept.StackSize = 0;
  const std::uintptr_t top = CurrentTopOfStack();
  if (raise.StackPointer == 0 || raise.StackPointer >= top) return kept;
  std::uint8_t* buffer = KeptStackBuffer(state, index);
  if (!buffer) return kept;
  const auto size = static_cast<std::uint32_t>(
      std::min<std::uintptr_t>({top - raise.StackPointer, kMaxStackScan, kKeptStackSize}));
  // The thread's own stack between its stack pointer and its base is
  // committed memory.
  std::memcpy(buffer, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(raise.StackPointer)), size);
  kept.Stack = buffer;
  kept.StackSize = size;
  return kept;
}

// The handling of one kept raise.
void GoNotify(TThreadState& state, TKeptRaise& kept) noexcept {
  if (InterlockedExchange(&state.InGoNotify, 1) != 0) return;
  const DWORD lastError = GetLastError();
  TRaiseRecord& raise = kept.Raise;
  raise.Notified = true;
  raise.Answer = true;
  try {
    // Any thrown object can be reported by its type (a "throw 42;" too); a
    // raise without one only with a system exception's context.
    const bool manageable = raise.Type ? raise.Object != nullptr : raise.HasContext;
    if (gInstalled && gActive && manageable && ActiveInThread(*gEngine, GetCurrentThreadId())) {
      TNotifyParams p;
      p.Handled = raise.Handler == THandlerKind::Program;
      p.Stack = kept.StackCopy();
      p.Context = raise.HasContext ? &kept.Context : nullptr;
      p.Record = raise.HasContext ? &kept.SystemRecord : nullptr;
      p.Frame = kept.HasFrame ? &kept.Frame : nullptr;
      p.TopOfStack = CurrentTopOfStack();
      p.StackPoint = raise.StackPointer;
      p.ThreadID = GetCurrentThreadId();
      p.Address = raise.Address;
      p.Object = raise.Object;
      p.Type = raise.Type;
      raise.Answer = ExceptNotify(state, p);
    }
  } catch (...) {
    // Nothing may leave the raise hook.
  }
  SetLastError(lastError);
  InterlockedExchange(&state.InGoNotify, 0);
}

// Every raise comes here before the stack unwinds. One that the program's
// own code catches is not reported (unless the options ask for those too);
// one that goes to the edge of the program's handling is reported there,
// after the frames in between have run their clean-up (a window's handler
// refreshes its fields before the crash reporter shows anything); one that
// nobody catches is reported now, while the program still stands.
void OnRaise(TThreadState& state, TRaiseRecord& raise) noexcept {
  TKeptRaise& kept = Keep(state, raise);
  if (raise.Handler == THandlerKind::Edge) return;
  if (raise.Handler == THandlerKind::Program && !CatchHandled()) return;
  GoNotify(state, kept);
}

// A catch clause raised its exception again: its way goes on.
void OnRethrow(TThreadState& state, const void* object, THandlerKind handler) noexcept {
  TKeptRaise* kept = state.FindKept(object);
  if (!kept || kept->Raise.Notified) return;
  kept->Raise.Handler = handler;
  if (handler == THandlerKind::Terminate) GoNotify(state, *kept);
}

// The exception being caught at an edge (rtl::CallGuarded).
void OnEdge() noexcept {
  TThreadState* state = CurrentThreadState();
  if (!state || !gInstalled) return;
  TKeptRaise* kept = state->FindKept(CurrentExceptionObject());
  if (!kept || kept->Raise.Notified) return;
  kept->Raise.Handler = THandlerKind::Edge;
  GoNotify(*state, *kept);
}

// A thread (or the whole program) ends by an exception nobody caught.
void OnUnhandledEnd(bool mainThread) {
  if (gEngine.Get() && gEngine->TerminateRequested)
    KillApplication(*gEngine, gEngine->Options->TerminateBtnOperation());
  if (mainThread) KillApplication(*gEngine, tbTerminate);
  ExitThread(1);
}

// What escapes a registered thread's entry.
void OnThreadException() { ExceptionManager(nullptr, nullptr, 0, nullptr); }

// ---------------------------------------------------------------------------
// The GUI library's exception handling

using THandleExceptionProc = void(TR_THISCALL*)(void* self, void* sender);
using TShowExceptionProc = void(TR_THISCALL*)(void* self, const std::exception& e);

void TR_THISCALL Hooked_VCLHandleException(void* self, void* sender) {
  if (ExceptionManager(nullptr, nullptr, 1, nullptr))
    reinterpret_cast<THandleExceptionProc>(gEngine->HandleExceptionTrampoline)(self, sender);
}

void TR_THISCALL Hooked_VCLShowException(void* self, const std::exception& error) {
  const void* current = CurrentExceptionObject();
  if (ExceptionManager(current ? current : &error, nullptr, 1, nullptr))
    reinterpret_cast<TShowExceptionProc>(gEngine->ShowExceptionTrampoline)(self, error);
}

void Hook_OnExceptionEvents(TEngine& e) {
  if (void* target = GetSymbolAddr(VCL1_ID)) {
    e.HandleExceptionTrampoline =
        HookProcedureEx(target, reinterpret_cast<const void*>(&Hooked_VCLHandleException),
                        L"gui::Application::HandleException");
    e.HandleExceptionTarget = target;
  }
  if (void* target = GetSymbolAddr(VCL2_ID)) {
    e.ShowExceptionTrampoline = HookProcedureEx(
        target, reinterpret_cast<const void*>(&Hooked_VCLShowException), L"gui::Application::ShowException");
    e.ShowExceptionTarget = target;
  }
}

// ---------------------------------------------------------------------------
// The freeze watchdog

BOOL CALLBACK FindMainWindow(HWND wnd, LPARAM out) {
  if (!IsWindowVisible(wnd) || GetWindow(wnd, GW_OWNER)) return TRUE;
  *reinterpret_cast<HWND*>(out) = wnd;
  return FALSE;
}

// The main thread's first visible top-level window that no other owns.
HWND MainWindow() {
  HWND found = nullptr;
  EnumThreadWindows(MainThreadID(), FindMainWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

void ReportFreeze(TEngine& e) {
  const std::vector<TTraciraThreadInfo> threads = e.Threads.Snapshot();
  const auto main =
      std::find_if(threads.begin(), threads.end(), [](const auto& t) { return t.ID == MainThreadID(); });
  if (main == threads.end() || !main->Handle) return;
  TThreadState* state = CurrentThreadState();
  if (!state) return;
  EFrozenApplication frozen(FromAnsi(e.Options->GetCustomizedExpandedTexts(mtException_AntiFreeze)));
  // The frozen thread as it stands, read while it is suspended for a moment
  // only: left suspended for the handling, it would hold whatever it holds
  // (the loader's lock, a heap's) for good, and the handling would wait for it.
  const auto snapshot = std::make_unique<TThreadSnapshot>();
  if (SnapshotThread(main->Handle, main->TopOfStack, *snapshot) != TSnapshotResult::Ok) return;
  TNotifyParams p;
  p.Context = &snapshot->Context;
  p.Stack = std::span<const std::uint8_t>(snapshot->Stack, snapshot->StackSize);
  p.TopOfStack = main->TopOfStack;
  p.StackPoint = snapshot->StackPointer;
  p.ThreadID = main->ID;
#if defined(__i386__)
  p.Address = snapshot->Context.Eip;
#else
  p.Address = snapshot->Context.Rip;
#endif
  p.Object = &frozen;
  p.Type = &typeid(EFrozenApplication);
  if (InterlockedExchange(&state->InGoNotify, 1) == 0) {
    ExceptNotify(*state, p);
    InterlockedExchange(&state->InGoNotify, 0);
  }
}

DWORD WINAPI FreezeProc(LPVOID) {
  TEngine& e = *gEngine;
  // When the window was first asked and didn't answer: a freeze is measured
  // by the clock, since each probe's own wait and the pause between probes
  // both pass while the window is silent.
  std::optional<ULONGLONG> silentSince;
  while (WaitForSingleObject(e.FreezeStop.get(), 50) == WAIT_TIMEOUT) {
    if (e.FreezePause) continue;
    HWND main = MainWindow();
    if (!main) continue;
    const ULONGLONG asked = GetTickCount64();
    DWORD_PTR ignored = 0;
    if (SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_BLOCK, 50, &ignored)) {
      if (silentSince) {
        silentSince.reset();
        for (int i = 0; i < 5 && WaitForSingleObject(e.FreezeStop.get(), 50) == WAIT_TIMEOUT; ++i) {
        }
      }
      continue;
    }
    if (!IsWindow(main)) continue;
    if (!silentSince) silentSince = asked;
    const ULONGLONG timeout = static_cast<ULONGLONG>(std::max(e.Options->FreezeTimeout(), 0)) * 1000;
    if (GetTickCount64() - *silentSince >= timeout) {
      ReportFreeze(e);
      silentSince = GetTickCount64();
    }
  }
  return 0;
}

void StartFreeze() {
  if (!gInstalled) return;
  TEngine& e = *gEngine;
  if (e.FreezeThread) return;
  e.FreezeStop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  e.FreezeThread.reset(CreateUnregisteredThread(FreezeProc, nullptr));
}

void StopFreeze() {
  if (!gEngine.Get()) return;
  TEngine& e = *gEngine;
  if (!e.FreezeThread) return;
  SetEvent(e.FreezeStop.get());
  WaitForSingleObject(e.FreezeThread.get(), 5000);
  e.FreezeThread.reset();
  e.FreezeStop.reset();
}

// Start-up and exit: the crash reporter is set up before every other
// static object of the program and taken down after all of them.
struct TTraciraLogUnit {
  TTraciraLogUnit() { Init(); }
  ~TTraciraLogUnit() { Done(); }
};
__attribute__((init_priority(101))) TTraciraLogUnit gUnit;

}  // namespace

// ---------------------------------------------------------------------------

TTraciraLog::TTraciraLog() {
  if (!gComponents.Get()) return;
  std::lock_guard lock(gComponents->Lock);
  gComponents->Items.push_back(this);
}

TTraciraLog::~TTraciraLog() {
  if (!gComponents.Get()) return;
  std::lock_guard lock(gComponents->Lock);
  std::erase(gComponents->Items, this);
}

// ---------------------------------------------------------------------------
// A library module of a program that carries the crash reporter as well:
// the library's raises, the exceptions that reach its edges and its threads
// go to the program's crash reporter through the program file's exports.
// (Its unwinder knows only its own tables, so it answers "who catches it"
// itself and tells the program.)

struct TProgramExports {
  BOOL(WINAPI* Manager)(const void*, const void*, int, HMODULE) = nullptr;
  void(WINAPI* GeneralRaise)(const void*, const std::type_info*, const void*, ULONG_PTR, int) = nullptr;
};
constinit TProgramExports gProgram;
constinit bool gLibraryModule = false;

int HandlerCode(THandlerKind handler) {
  return handler == THandlerKind::Program ? 0 : handler == THandlerKind::Edge ? 1 : 2;
}

void LibraryOnRaise(TThreadState& state, TRaiseRecord& raise) noexcept {
  // Kept here only so that the terminate handler, which comes after an
  // exception nobody catches, does not pass it on a second time.
  TKeptRaise& kept = state.Kept[state.NextKept];
  state.NextKept = (state.NextKept + 1) % TThreadState::kKept;
  kept.Raise = raise;
  kept.Raise.Notified = raise.Handler == THandlerKind::Terminate;
  gProgram.GeneralRaise(raise.Object, raise.Type, reinterpret_cast<const void*>(raise.Address),
                        raise.StackPointer, HandlerCode(raise.Handler));
}

void LibraryOnRethrow(TThreadState&, const void* object, THandlerKind handler) noexcept {
  gProgram.GeneralRaise(object, nullptr, nullptr, 0, HandlerCode(handler));
}

void LibraryOnEdge() noexcept { gProgram.Manager(CurrentExceptionObject(), nullptr, 1, ThisModule()); }

// Nothing of the library's can catch it, and it cannot unwind into the
// program's frames: the program ends, as it would without a crash reporter.
void LibraryOnUnhandledEnd(bool) { TerminateProcess(GetCurrentProcess(), 1); }

void InitLibraryModule(HMODULE library) {
  const HMODULE program = GetModuleHandleW(nullptr);
  const auto find = [program](auto& entry, const char* name) {
    entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(
        reinterpret_cast<void*>(GetProcAddress(program, name)));
  };
  find(gProgram.Manager, "ExceptionManager");
  find(gProgram.GeneralRaise, "TraciraLog_CallGeneralRaise");
  if (!gProgram.Manager || !gProgram.GeneralRaise) return;  // the program has no crash reporter
  InstallRaiseHooks({LibraryOnRaise, LibraryOnRethrow, LibraryOnUnhandledEnd}, false);
  rtl::SetEdgeHook(LibraryOnEdge);
  ForwardThreadFunctions(library, program);
  gLibraryModule = true;
}

void DoneLibraryModule() {
  gLibraryModule = false;
  UnhookThreadFunctions();
  rtl::SetEdgeHook(nullptr);
  RemoveRaiseHooks();
}

void Init() {
  if (gEngine.Get() || gLibraryModule) return;
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
  PrepareLoaderLock();
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
  InstallRaiseHooks({OnRaise, OnRethrow, OnUnhandledEnd});
  rtl::SetEdgeHook(OnEdge);
  HookThreadFunctions(e.Threads, OnThreadException);
  try {
    Hook_OnExceptionEvents(e);
  } catch (const ETrHookError& error) {
    SetInternalError(e, eeNone, MessageOf(&error), 0);
  }
  gInstalled = true;
  e.Options->EnableSharedDataWrite();
  if (e.Options->FreezeActivate() && e.Options->Active()) StartFreeze();
}

void Done() {
  if (gLibraryModule) DoneLibraryModule();
  gComponents.Destroy();
  if (!gEngine.Get()) return;
  TEngine& e = *gEngine;
  gInstalled = false;
  StopFreeze();
  if (e.ShowExceptionTarget) UnhookProcedure(e.ShowExceptionTarget);
  if (e.HandleExceptionTarget) UnhookProcedure(e.HandleExceptionTarget);
  UnhookThreadFunctions();
  if (gRealExit) {
    try {
      HookDllProcedure(GetModuleHandleW(nullptr), "msvcrt.dll", "exit",
                       reinterpret_cast<const void*>(gRealExit));
    } catch (const ETrHookError&) {
    }
  }
  rtl::SetEdgeHook(nullptr);
  RemoveRaiseHooks();
  ReleaseReserve(e);
  gEngine.Destroy();
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
TTraciraStackList LastCallStack() { return gEngine.Get() ? gEngine->LastStack : TTraciraStackList(); }
std::string LastLogFileName() { return gEngine.Get() ? gEngine->LastLogFile : std::string(); }
int ExceptionCount() { return gEngine.Get() ? gEngine->ExceptionCount : 0; }
std::string InternalErrorText() { return gEngine.Get() ? gEngine->InternalError : std::string(); }
std::string EntireLogText() { return gEngine.Get() ? gEngine->EntireLog : std::string(); }
bool CanSendMessage() { return gEngine.Get() && gEngine->CanSendMessage; }
bool CanAttachScreenshot() { return gEngine.Get() && gEngine->CanAttachScreenshot; }
bool CanAttachScreenshot_Show() { return gEngine.Get() && gEngine->CanAttachScreenshotShow; }

}  // namespace tracira

using namespace tracira;

extern "C" BOOL WINAPI ExceptionManager(const void* exceptionObject, const void* exceptionAddress, int,
                                        HMODULE) {
  if (!gInstalled || !gActive) return TRUE;
  TThreadState* state = CurrentThreadState();
  if (!state) return TRUE;
  const std::type_info* type = nullptr;
  const void* current = CurrentExceptionObject(&type);
  const void* object = exceptionObject ? exceptionObject : current;
  if (object != current) type = nullptr;
  // Kept from its raise: reported now if the edge did not do it yet, and
  // the same answer every time it is asked.
  if (TKeptRaise* kept = state->FindKept(object)) {
    if (!kept->Raise.Notified) {
      kept->Raise.Handler = THandlerKind::Edge;
      GoNotify(*state, *kept);
    }
    return kept->Raise.Answer;
  }
  // A second exception inside a handling is not reported.
  if (state->InHandling || state->InGoNotify) return FALSE;
  if (!object) return TRUE;
  // Not seen at its raise (raised before the hooks, or raised again): its
  // stack is read from here.
  TRaiseRecord raise;
  raise.Object = object;
  raise.Type = type;
  raise.Address = exceptionAddress ? ToAddress(exceptionAddress) : ToAddress(__builtin_return_address(0));
  raise.StackPointer = ToAddress(__builtin_dwarf_cfa());
  raise.Handler = THandlerKind::Edge;
  TKeptRaise& kept = Keep(*state, raise);
  GoNotify(*state, kept);
  return kept.Raise.Answer;
}

// ---------------------------------------------------------------------------
// The program file's exports for the crash reporters of other modules of
// the process: their threads and raises, and this module's event handlers.

namespace {
template <class Event, class... Args>
void RunExported(TTraciraExceptionRecord* record, Event TTraciraEvents::*member, const Event& global,
                 Args&... args) {
  if (!record) return;
  RunLocalHandlers(*record, member, global, args...);
}
}  // namespace

extern "C" {

__declspec(dllexport) HANDLE WINAPI
    TraciraLog_CallCreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE entry,
                                LPVOID parameter, DWORD flags, LPDWORD id) {
  return CreateRegisteredThread(sa, stack, entry, parameter, flags, id);
}

__declspec(dllexport) DWORD WINAPI TraciraLog_CallResumeThread(HANDLE thread) {
  return ResumeRegisteredThread(thread);
}

__declspec(dllexport) void WINAPI TraciraLog_CallExitThread(DWORD code) { ExitRegisteredThread(code); }

// A raise in another module: the thrown object, its type, the raising
// instruction and stack pointer, and who catches it (0 the module's own
// code, 1 the edge of its handling, 2 nobody). A caught exception raised
// again there ("throw;") comes without type, address and stack pointer.
__declspec(dllexport) void WINAPI
    TraciraLog_CallGeneralRaise(const void* object, const std::type_info* type, const void* address,
                                ULONG_PTR stackPointer, int handler) {
  TThreadState* state = CurrentThreadState();
  if (!state || state->InHandling || !gInstalled) return;
  const THandlerKind kind = handler == 0   ? THandlerKind::Program
                            : handler == 1 ? THandlerKind::Edge
                                           : THandlerKind::Terminate;
  if (!type && !address && stackPointer == 0) {
    OnRethrow(*state, object, kind);
    return;
  }
  TRaiseRecord raise;
  raise.Object = object;
  raise.Type = type;
  raise.Address = ToAddress(address);
  raise.StackPointer = stackPointer;
  raise.Handler = kind;
  OnRaise(*state, raise);
}

// A system exception of another module that nobody there handles.
__declspec(dllexport) void WINAPI TraciraLog_CallExceptObject(EXCEPTION_POINTERS* info) {
  TThreadState* state = CurrentThreadState();
  if (!state || state->InHandling || !gInstalled || !info) return;
  TRaiseRecord raise = UnhandledSystemRaise(*state, *info);
  OnRaise(*state, raise);
}

__declspec(dllexport) void WINAPI
    TraciraLog_ExceptionNotifyEvent(TTraciraExceptionRecord* record, bool* handle) {
  if (handle) RunExported(record, &TTraciraEvents::OnExceptionNotify, ExceptionNotify, *handle);
}

__declspec(dllexport) void WINAPI
    TraciraLog_HandledExceptionNotifyEvent(TTraciraExceptionRecord* record, bool* handle) {
  if (handle) RunExported(record, &TTraciraEvents::OnHandledExceptionNotify, HandledExceptionNotify, *handle);
}

__declspec(dllexport) void WINAPI
    TraciraLog_ExceptionActionNotifyEvent(TTraciraExceptionRecord* record, TTraciraActionType action,
                                          bool* execute) {
  if (execute)
    RunExported(record, &TTraciraEvents::OnExceptionActionNotify, ExceptionActionNotify, action, *execute);
}

__declspec(dllexport) void WINAPI
    TraciraLog_ExceptionErrorNotifyEvent(TTraciraExceptionRecord* record, TTraciraActionType action,
                                         bool* retry) {
  if (retry)
    RunExported(record, &TTraciraEvents::OnExceptionErrorNotify, ExceptionErrorNotify, action, *retry);
}

__declspec(dllexport) void WINAPI
    TraciraLog_PasswordRequestEvent(TTraciraExceptionRecord* record, std::string* password) {
  if (password) RunExported(record, &TTraciraEvents::OnPasswordRequest, PasswordRequest, *password);
}

__declspec(dllexport) void WINAPI
    TraciraLog_PasswordRequestEventEx(TTraciraExceptionRecord* record, std::string* password) {
  TraciraLog_PasswordRequestEvent(record, password);
}

__declspec(dllexport) void WINAPI
    TraciraLog_CustomDataRequestEventEx(TTraciraExceptionRecord* record, std::vector<std::string>* lines) {
  if (lines) RunExported(record, &TTraciraEvents::OnCustomDataRequest, CustomDataRequest, *lines);
}

__declspec(dllexport) void WINAPI
    TraciraLog_AttachedFilesRequestEvent(TTraciraExceptionRecord* record, std::vector<std::string>* files) {
  if (files) RunExported(record, &TTraciraEvents::OnAttachedFilesRequest, AttachedFilesRequest, *files);
}

__declspec(dllexport) void WINAPI TraciraLog_CustomWebFieldsRequestEvent(TTraciraExceptionRecord* record,
                                                                         std::vector<std::string>* fields) {
  if (fields) RunExported(record, &TTraciraEvents::OnCustomWebFieldsRequest, CustomWebFieldsRequest, *fields);
}

__declspec(dllexport) void WINAPI
    TraciraLog_CustomButtonClickEvent(TTraciraExceptionRecord* record, bool* closeDialog) {
  if (closeDialog)
    RunExported(record, &TTraciraEvents::OnCustomButtonClickNotify, CustomButtonClickNotify, *closeDialog);
}

}  // extern "C"
