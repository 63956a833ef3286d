#include "crashreport/engine/TrHandling.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "crashreport/debug/TrModules.h"
#include "crashreport/debug/TrStack.h"
#include "crashreport/dialogs/TrDialogs.h"
#include "crashreport/engine/TrEvents.h"
#include "crashreport/engine/TrExceptionObject.h"
#include "crashreport/engine/TrLogPlace.h"
#include "crashreport/engine/TrRaise.h"
#include "crashreport/leaks/TrLeaks.h"
#include "crashreport/report/TrLogManager.h"
#include "crashreport/report/TrLogText.h"
#include "crashreport/screenshot/TrScreenshot.h"
#include "crashreport/snapshot/TrSnapshot.h"
#include "rtl/Exceptions.h"

namespace tracira {

namespace {

// ---------------------------------------------------------------------------
// Helpers of the steps

// The version number of the program, as its reports carry it (item 1.3).
std::string ProgramVersion() {
  const TTraciraModuleInfo* program =
      ProcessModules().ModuleInfoByAddr(reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr)));
  return program ? program->Version : std::string();
}

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
  events.Fallback = [](const std::filesystem::path& failed) { return FallbackFile(failed); };
  const TSaveLogResult result = SaveLogFile(e.Log, options, text, duplicate, events);
  if (result.Saved) e.LastLogFile = result.FileName;
  e.EntireLog = result.EntireLog;
  return result.Saved;
}

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
    std::filesystem::path log = OutputLogFile(*e.Options);
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

// A report sent on a thread of its own, with the closing steps after it.
struct TSending {
  std::unique_ptr<TClosingSteps> Closing;
  TReportSender Sender;
};

void Send(const TReportSender& sender, TClosingSteps& closing) {
  try {
    sender(closing);
  } catch (...) {
    // A failed delivery has told its error events already.
  }
}

DWORD WINAPI SendingThreadProc(LPVOID parameter) {
  const std::unique_ptr<TSending> job(static_cast<TSending*>(parameter));
  TEngine& engine = *gEngine;
  std::lock_guard lock(engine.Lock);
  // A termination asked for from here waits for the last step too.
  engine.HandlingThread = GetCurrentThreadId();
  Send(job->Sender, *job->Closing);
  ExceptNotifyAfter1(engine, *job->Closing);
  ExceptNotifyAfter3(engine, job->Closing->Record);
  engine.HandlingThread = 0;
  return 0;
}

// ---------------------------------------------------------------------------
// The handling of one exception, step by step (the steps' numbers are the
// ones the engine README lists).

class THandling {
 public:
  THandling(TEngine& e, TNotifyParams& p) : e(e), p(p) {}
  THandling(const THandling&) = delete;
  THandling& operator=(const THandling&) = delete;

  void Run() {
    TakeSnapshot();                // 1
    ChooseOptions();               // 2
    if (!ApplyFilters()) return;   // 3-5
    PauseThreads();                // 8 (6 and 7, the call stacks, are read in 9)
    BuildTheReport();              // 9
    const bool handle = Notify();  // 10
    if (handle) {
      CountTheCrash();                                 // 11
      ShowTheDialogs();                                // 12
      TakeThePicture();                                // 13
      NewLogAtVersionChange();                         // 14
      SaveTheLog();                                    // 15
      SendTheReport();                                 // 16, and 17 and 20 on a sending thread
      if (fClosing) ExceptNotifyAfter1(e, *fClosing);  // 17
    }
    Answer(handle);                                         // 18-19
    if (!fSentOnItsThread) ExceptNotifyAfter3(e, fRecord);  // 20
  }

  int Step() const { return fStep; }

  void ResumePaused() {
    for (HANDLE h : fPaused) ResumeThread(h);
    fPaused.clear();
  }

 private:
  // 1. The registry as it is now, and the modules list without changed files.
  void TakeSnapshot() {
    fStep = 1;
    GetLocalTime(&fTime);
    e.Threads.PurgeList();
    fThreads = e.Threads.Snapshot();
    ProcessModules().PurgeModulesList();
  }

  // 2. The options of the module that raised.
  void ChooseOptions() {
    fStep = 2;
    fOptions = e.Options.get();
    if (!fOptions->BehaviourOptions().Contains(boUseMainModuleOptions))
      if (TTraciraModuleInfo* m = ProcessModules().ModuleInfoByAddr(p.Address);
          m && m->Options && m->ExtraInformation && m->Handle != GetModuleHandleW(nullptr))
        fOptions = m->Options.get();
  }

  // 3-5. The exception's class and message; the filters decide who handles it.
  bool ApplyFilters() {
    fStep = 3;
    e.CustomMessage.clear();
    fObject = AsStdException(p.Object, p.Type);
    std::vector<std::string> classNames = ClassNames(p.Type);
    fMessage = MessageOf(fObject);
    if (!p.Type && p.Record) {
      const TSystemExceptionText system = DescribeSystemException(*p.Record);
      classNames = {system.ClassName};
      fMessage = ToAnsi(system.Message);
    }
    if (classNames.empty()) classNames.push_back("Unknown exception type");
    if (fMessage.empty() && !fObject && !p.Record) fMessage = "Unknown error message.";
    fClassName = ShortClassName(classNames.front());
    fStep = 4;
    fChoice = ChooseFilter(*fOptions, classNames, p.Handled);
    e.CustomMessage = fChoice.CustomMessage;
    fStep = 5;
    if (fChoice.Handler == fhtRTL) {
      p.Answer = true;
      return false;
    }
    if (fChoice.Handler == fhtNone) {
      p.Answer = false;
      return false;
    }
    for (std::size_t i = 0; i < kMessageTypeCount; ++i)
      fTexts[i] = fOptions->GetCustomizedExpandedTexts(static_cast<TMessageType>(i));
    fBehaviour = fOptions->BehaviourOptions();
    return true;
  }

  // 8. Threads that stay paused for the whole handling.
  void PauseThreads() {
    if (!fBehaviour.Contains(boPauseBorlandThreads) && !fBehaviour.Contains(boPauseWindowsThreads)) return;
    fStep = 8;
    const DWORD waiting = e.HandOver.WaitingThread();
    // Room for every handle first: a suspended thread whose handle could
    // not be kept would never be resumed.
    fPaused.reserve(fThreads.size());
    // Holding the locks the handling takes later while suspending (the
    // components', the loader's, the heaps'), each stop confirmed before
    // they are let go: no paused thread is left inside one of them, so the
    // handling can go on without waiting for a thread that never runs.
    std::unique_lock components(gComponents->Lock);
    TLoaderLock loader;
    leaks::TListHold leakList;
    THeapLocks heap;
    for (const TTraciraThreadInfo& t : fThreads) {
      if (t.ID == p.ThreadID || t.ID == GetCurrentThreadId() || t.ID == waiting || !t.Handle) continue;
      const bool main = t.ID == MainThreadID();
      const bool pause = t.IsRuntimeThread ? fBehaviour.Contains(boPauseBorlandThreads) &&
                                                 !(main && fBehaviour.Contains(boDoNotPauseMainThread))
                                           : fBehaviour.Contains(boPauseWindowsThreads);
      if (pause && SuspendAndConfirm(t.Handle)) fPaused.push_back(t.Handle);
    }
  }

  // 9. The call stacks and the report; a duplicate of a stored one.
  void BuildTheReport() {
    fStep = 9;
    TReportInput input;
    input.Address = p.Address;
    input.ThreadID = p.ThreadID;
    input.StackPoint = p.StackPoint;
    input.TopOfStack = p.TopOfStack;
    input.Stack = p.Stack;
    input.Context = p.Context;
    input.Record = p.Record;
    input.Frame = p.Frame;
    input.GivenStack = p.GivenStack;
    input.ClassName = fClassName;
    input.Message = fMessage;
    input.ActiveControlClass = p.ActiveControlClass;
    input.ActiveControlText = p.ActiveControlText;
    input.Threads = fThreads;
    input.SkipThreads = {e.HandOver.WaitingThread()};
    input.StartTime = e.StartTime;
    input.WindowedProgram = IsGUIProgram();
    fReport = BuildReport(*fOptions, fTexts, input);

    fRecord.ExceptionObject = fObject;
    fRecord.ExceptionAddress = reinterpret_cast<const void*>(static_cast<std::uintptr_t>(p.Address));
    fRecord.ExceptionThreadID = p.ThreadID;
    fRecord.LogText = fReport.Text;
    fRecord.ModulesList = &ProcessModules();
    fRecord.CallStack = &fReport.Parts.Stack;
    fRecord.CurrentModuleOptions = fOptions;
    fRecord.ExceptionClassName = fClassName;
    fRecord.ExceptionMessage = fMessage;
    e.LastMessage = FoldControlChars(fMessage);
    // A report with the ID of a stored one only counts there.
    if (fOptions->LogOptions().Contains(loNoDuplicateErrors)) {
      try {
        // Counted under the log's lock in the log as it is now: another
        // process may have stored reports since it was last read.
        const std::filesystem::path file = GetWorkingFile(OutputLogFile(*fOptions));
        const TFileLock lock(file);
        e.Log.Close();
        TLogFile& log = e.Log.Open(file);
        // A log of another version goes at step 14, and with it the twin:
        // this report is new (stored, counted once and sent).
        const bool logGoes = fOptions->LogOptions().Contains(loDeleteLogAtVersionChange) &&
                             IsLogOfAnotherVersion(log, ProgramVersion());
        fDuplicate =
            !logGoes && CalcDuplicatedException(log, fReport.ExceptionID, false, fTexts[mtLog_ExcCount]);
        if (fDuplicate) CalcDuplicatedException(log, fReport.ExceptionID, true, fTexts[mtLog_ExcCount]);
      } catch (const std::exception& error) {
        SetInternalError(e, eeLogError, std::string("[Log] ") + MessageOf(&error), p.Address);
        // A count raised here but not saved must not be saved later along
        // with this report as a new one: the save reads the log anew.
        e.Log.Close();
      }
    }
    e.InternalError.clear();
  }

  // 10. What the dialog may offer; the program's handlers may stop the
  // reporting; the screenshot.
  bool Notify() {
    fStep = 10;
    const TCommonSendOptions send = fOptions->CommonSendOptions();
    TDialogState& d = e.Dialog;
    const std::string email = d.UserEmail;
    d = TDialogState{};
    d.UserEmail = email;
    d.CanSendMessage = fOptions->EMailSendMode() != esmNoSend || fOptions->WebSendMode() != wsmNoSend;
    d.CanAttachScreenshot = send.Contains(sndSendScreenshot);
    d.CanAttachScreenshot_Show =
        d.CanAttachScreenshot && fOptions->ExceptionDialogOptions().Contains(edoShowAttachScreenshotOption);
    d.DuplicatedException = fDuplicate;
    const bool handle = FireNotify(e, fRecord, p.Handled);
    // Only a report that can be sent can use a picture.
    if (handle && d.CanSendMessage && d.CanAttachScreenshot)
      InitScreenshot(RecordScreenshotSource(MainThreadID(), send.Contains(sndUseOnlyActiveWindow)));
    return handle;
  }

  // 11. Crash times, custom data, the counter.
  void CountTheCrash() {
    fStep = 11;
    if (fOptions->AutoCrashOperation() != tbNone)
      e.CrashTimes.Add(static_cast<std::int64_t>(std::time(nullptr)), fOptions->AutoCrashNumber());
    std::vector<std::string> custom;
    FireCustomDataRequest(e, fRecord, custom);
    if (!custom.empty() && fOptions->ShowOptions().Contains(soCustomData))
      AddSection(CustomHeadersText(7, fTexts[mtLog_CustInfoHeader], custom));
    ++e.ExceptionCount;
    e.Dialog.ExceptionNumber = e.ExceptionCount;
    KeepAsLast();
  }

  // 12. The dialog, on the raising thread, again while it asks for another
  // (the classic dialog's details link opens the detailed one expanded).
  void ShowTheDialogs() {
    fStep = 12;
    TDialogState& d = e.Dialog;
    d.DialogType = fChoice.Dialog;
    if (d.DialogType == edtNone || !FireAction(e, fRecord, atShowingExceptionInfo)) return;
    TDialogInput input;
    input.Options = fOptions;
    input.Texts = &fTexts;
    input.Message = GetExceptMessage();
    input.WideMessage = WideMessage();
    input.Parts = &fReport.Parts;
    input.ReportText = &fReport.Text;
    TDialogEvents events;
    events.Terminating = [&] {
      e.InternalError.clear();
      return FireAction(e, fRecord, atTerminating);
    };
    events.CustomButton = [&] { return FireCustomButtonClick(e, fRecord); };
    events.Error = [&](TTraciraLogErrorCode code, const std::string& message) {
      SetInternalError(e, code, message, p.Address);
    };
    e.FreezePause = true;
    for (bool first = true; d.DialogType != edtNone; first = false) {
      if (!first) d.ShowInDetailsMode = true;
      e.HandOver.Run([&] { ShowDialog(d, input, events, first); });
    }
    e.HandOver.Run([&] { ShowRequestDialog(d, input, events); });
    e.FreezePause = false;
    // A valid address typed in the classic dialog is the sender's.
    if (d.UserEmailAccepted) fOptions->SetSMTPFrom(d.UserEmail);
    // The dialog may have added the user's e-mail or steps to the report.
    fRecord.LogText = fReport.Text;
    KeepAsLast();
    FireAction(e, fRecord, atShowedExceptionInfo);
    if (d.TerminateApplication) {
      // The dialog has asked the program already.
      ForceApplicationTermination(fOptions->TerminateBtnOperation());
      e.TerminationConfirmed = true;
    }
  }

  // The message as the exception's own Unicode text: the dialog shows it
  // whatever the code page; the report keeps the code page's.
  std::wstring WideMessage() const {
    if (!e.CustomMessage.empty()) return FromAnsi(e.CustomMessage);
    if (const auto* own = dynamic_cast<const rtl::Exception*>(fObject)) return own->Message();
    if (fObject && p.Type) return rtl::FromUtf8(fObject->what());
    return FromAnsi(e.LastMessage);
  }

  // 13. A report to be sent takes its picture along.
  void TakeThePicture() {
    fStep = 13;
    const TDialogState& d = e.Dialog;
    const bool sendMode = fOptions->EMailSendMode() != esmNoSend || fOptions->WebSendMode() != wsmNoSend;
    fMustSend = sendMode && !fDuplicate && (d.CanSendMessage || fChoice.Dialog == edtNone);
    if (fMustSend) {
      fScreenshotFile = SavedScreenshot(d.CanAttachScreenshot);
      AfterScreenshot(fScreenshotFile);
    }
    FreeScreenshot();
  }

  // 14. A new version starts a new log.
  void NewLogAtVersionChange() {
    fStep = 14;
    if (!fOptions->LogOptions().Contains(loDeleteLogAtVersionChange)) return;
    try {
      const std::filesystem::path file = GetWorkingFile(OutputLogFile(*fOptions));
      const TFileLock lock(file);
      e.Log.Close();
      // The log that held this report's twin is gone: it is new again.
      if (DeleteLogAtVersionChange(e.Log.Open(file), ProgramVersion())) fDuplicate = false;
    } catch (const std::exception&) {
      // An unreadable log is dealt with when the report is saved.
    }
  }

  // 15. The log file (also without saving it, when the whole log is to be
  // sent); the clipboard when the user asked for it.
  void SaveTheLog() {
    fStep = 15;
    if (fOptions->SaveLogFile() || fOptions->CommonSendOptions().Contains(sndSendEntireLog))
      SaveReport(e, *fOptions, fRecord, fReport.Text, fDuplicate);
    e.Log.Close();
    if (e.Dialog.CanCopy) SetClipboardText(fReport.Text);
  }

  // 16. The report is sent, on a thread of its own when the options ask
  // for it and the handling has one to spare; that thread then runs the
  // closing steps too.
  void SendTheReport() {
    fStep = 16;
    auto closing = std::make_unique<TClosingSteps>();
    closing->Exception = p.Kept;
    closing->Record = fRecord;
    closing->Report = fReport;
    closing->Record.CallStack = &closing->Report.Parts.Stack;
    closing->Options = fOptions;
    closing->Dialog = e.Dialog;
    closing->ScreenshotFile = fScreenshotFile;
    closing->ExceptionTime = fTime;
    closing->MustSend = fMustSend;
    TReportSender sender;
    {
      std::lock_guard lock(e.SendingLock);
      sender = e.Sender;
    }
    const bool separate = fMustSend && sender &&
                          fOptions->CommonSendOptions().Contains(sndSendInSeparatedThread) &&
                          !e.CannotUseThread;
    if (!separate) {
      if (fMustSend && sender) Send(sender, *closing);
      fClosing = std::move(closing);
      return;
    }
    // The raising thread goes on: only what was kept by value stays valid.
    closing->Record.ExceptionObject = ExceptionOf(closing->Exception);
    auto sending = std::make_unique<TSending>(TSending{std::move(closing), std::move(sender)});
    std::lock_guard lock(e.SendingLock);
    rtl::UniqueHandle thread(CreateUnregisteredThread(SendingThreadProc, sending.get()));
    if (!thread) {
      // No thread to spare: sent here after all.
      Send(sending->Sender, *sending->Closing);
      fClosing = std::move(sending->Closing);
      return;
    }
    sending.release();  // the thread owns it now
    SetThreadPriority(thread.get(), THREAD_PRIORITY_HIGHEST);
    e.SendingThreads.push_back(std::move(thread));
    fSentOnItsThread = true;
  }

  // 18-19. The answer, the paused threads, the filter's action.
  void Answer(bool handle) {
    fStep = 18;
    p.Answer = !handle || fBehaviour.Contains(boCallRTLExceptionEvent);
    fStep = 19;
    ResumePaused();
    if (!e.TerminateRequested && fChoice.Action != fatNone)
      ForceApplicationTermination(fChoice.Action == fatRestart ? tbRestart : tbTerminate);
  }

  // A section after the general part goes into the report, the record's
  // text and the copy kept as the last report alike.
  void AddSection(const std::string& section) {
    fReport.Text = InsertCustomSection(fReport.Text, section, fTexts[mtDialog_CallStackHeader]);
    fRecord.LogText = fReport.Text;
    e.LastLogText = fReport.Text;
  }

  void KeepAsLast() {
    e.LastLogText = fReport.Text;
    e.LastReport = fReport;
  }

  TEngine& e;
  TNotifyParams& p;
  int fStep = 1;
  // The snapshot owns the handles of the paused threads: it outlives them.
  std::vector<TTraciraThreadInfo> fThreads;
  std::vector<HANDLE> fPaused;
  TTraciraModuleOptions* fOptions = nullptr;
  TBehaviourOptions fBehaviour;
  TTraciraTexts fTexts;
  const std::exception* fObject = nullptr;
  std::string fClassName, fMessage;
  TFilterChoice fChoice;
  TReport fReport;
  TTraciraExceptionRecord fRecord;
  bool fDuplicate = false;
  bool fMustSend = false;
  std::string fScreenshotFile;
  SYSTEMTIME fTime{};
  // The closing steps when they run here; a sending thread took them.
  std::unique_ptr<TClosingSteps> fClosing;
  bool fSentOnItsThread = false;
};

void InternalExceptNotify(TEngine& e, TNotifyParams& p) {
  if (TThreadState* self = CurrentThreadState()) self->InHandling = true;
  THandling handling(e, p);
  try {
    handling.Run();
  } catch (const std::exception& error) {
    handling.ResumePaused();
    InternalCriticalError(e, handling.Step(), Demangle(typeid(error)), MessageOf(&error), p);
  } catch (...) {
    handling.ResumePaused();
    InternalCriticalError(e, handling.Step(), "Unknown exception type", "Unknown error message.", p);
  }
  e.Log.Close();
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

// Keeps the waiting thread's windows answering: messages sent to them (by
// the crash reporter's threads too) and painting. The operator's input and
// posted messages (a click, a key, a timer) stay queued for the program's
// own loop: a click handled here would raise its exception while this one
// is still being handled, and a nested exception is not reported, so the
// click would be lost (the dialog closes before the handling ends: the
// log, the clipboard, the send step come after it).
void PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE | PM_QS_PAINT | PM_QS_SENDMESSAGE)) {
    if (msg.message == WM_QUIT) {
      // The program's own loop must still see it.
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// The raising thread's exception, when it is the one being reported: kept
// alive for a sending thread that outlives the raise.
std::exception_ptr KeptException(const TNotifyParams& p) {
  if (!p.Object) return nullptr;
  std::exception_ptr current = std::current_exception();
  return current && CurrentExceptionObject() == p.Object ? current : nullptr;
}

}  // namespace

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
  p.Kept = KeptException(p);
  state.InHandling = true;
  const bool pump = GetCurrentThreadId() == MainThreadID() && !IsA<std::bad_alloc>(p.Object, p.Type);
  const bool exiting = gExitingThread.load() == GetCurrentThreadId();
  rtl::UniqueHandle thread(exiting ? nullptr : CreateUnregisteredThread(ExceptionThreadProc, &p));
  e.CannotUseThread = !thread;
  if (thread) {
    e.HandOver.BeginWaiting();
    SetThreadPriority(thread.get(), THREAD_PRIORITY_HIGHEST);
    for (;;) {
      const HANDLE waitFor[] = {thread.get(), e.HandOver.Ready()};
      const DWORD waited = WaitForMultipleObjects(2, waitFor, FALSE, 10);
      e.HandOver.RunQueued();
      if (waited == WAIT_OBJECT_0) break;
      if (pump) PumpMessages();
    }
    e.HandOver.EndWaiting();
  } else {
    e.HandlingThread = GetCurrentThreadId();
    InternalExceptNotify(e, p);
    e.HandlingThread = 0;
  }
  state.InHandling = false;
  return p.Answer;
}

void SetReportSender(TReportSender sender) {
  if (!gEngine.Get()) return;
  std::lock_guard lock(gEngine->SendingLock);
  gEngine->Sender = std::move(sender);
}

void ExceptNotifyAfter1(TEngine& e, TClosingSteps& closing) {
  if (!closing.ScreenshotFile.empty()) DeleteFileW(AnsiToPath(closing.ScreenshotFile).c_str());
  const TTraciraModuleOptions& options = *closing.Options;
  if (options.AutoCrashOperation() != tbNone &&
      e.CrashTimes.IsCrashLoop(options.AutoCrashNumber(), options.AutoCrashMinutes()) &&
      !e.TerminateRequested)
    ForceApplicationTermination(options.AutoCrashOperation());
}

void ExceptNotifyAfter3(TEngine& e, TTraciraExceptionRecord& record) {
  if (e.TerminateRequested && (e.TerminationConfirmed || FireAction(e, record, atTerminating)))
    KillApplication(e, e.Options->TerminateBtnOperation());
  e.TerminateRequested = e.TerminationConfirmed = false;
}

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

bool WaitForSendingThreads(TEngine& e, DWORD timeoutMs) {
  std::lock_guard lock(e.SendingLock);
  const ULONGLONG until = GetTickCount64() + timeoutMs;
  for (auto it = e.SendingThreads.begin(); it != e.SendingThreads.end();) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < until ? static_cast<DWORD>(until - now) : 0;
    if (WaitForSingleObject(it->get(), left) != WAIT_OBJECT_0) return false;
    it = e.SendingThreads.erase(it);
  }
  return true;
}

bool SetClipboardText(const std::string& text) { return SetClipboardReport(text); }

}  // namespace tracira
