// What the handling hands to the parts that come after it: the report as
// data, the dialog state and the user's choices in it, the sending step on
// a thread of its own, and events fired from any of the crash reporter's
// threads.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "crashreport/engine/ExceptionLog.h"
#include "crashreport/engine/TrDelivery.h"
#include "crashreport/engine/TrEvents.h"
#include "crashreport/engine/TrHandling.h"
#include "rtl/Guarded.h"
#include "tests/crashreport/engine/EngineTestSupport.h"

namespace {

using namespace tracira;
using enginetest::PrepareOptions;
using enginetest::SavedReports;

class EScanerLost : public rtl::Exception {
 public:
  using Exception::Exception;
};

__attribute__((noinline)) void RaiseLost() { throw EScanerLost(L"The scanner is lost"); }

volatile int* volatile gNowhere = nullptr;
__attribute__((noinline)) int ReadNowhere() { return *gNowhere; }

template <class Body>
void AtTheEdge(Body body) {
  rtl::Guarded(body, [] { ExceptionManager(nullptr, nullptr, 1, nullptr); });
}

// Configures a way to send (nothing is really sent: the test's sender
// stands for delivery) and puts the real one back at the end.
struct TSendingOptions {
  explicit TSendingOptions(bool ownThread) {
    TTraciraModuleOptions& o = CurrentTraciraLogOptions();
    o.SetEMailSendMode(esmSMTPClient);
    TCommonSendOptions send = o.CommonSendOptions();
    o.SetCommonSendOptions(ownThread ? send.Include(sndSendInSeparatedThread)
                                     : send.Exclude(sndSendInSeparatedThread));
  }
  ~TSendingOptions() {
    SetReportSender(DeliverReport);
    ExceptionActionNotify = nullptr;
  }
};

// Closes the message box of the dialog step as a user would.
BOOL CALLBACK CloseTheBox(HWND wnd, LPARAM closed) {
  wchar_t caption[64] = {};
  GetWindowTextW(wnd, caption, 64);
  if (std::wstring(caption) != L"Error occurred" || !IsWindowVisible(wnd)) return TRUE;
  PostMessageW(wnd, WM_COMMAND, IDOK, 0);
  *reinterpret_cast<bool*>(closed) = true;
  return FALSE;
}

std::string ClipboardText() {
  if (!OpenClipboard(nullptr)) return {};
  std::string text;
  if (HANDLE data = GetClipboardData(CF_TEXT)) {
    if (const auto* chars = static_cast<const char*>(GlobalLock(data))) {
      text = chars;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

TEST(ReportAsData, ThePartsAreWhatTheTextWasMadeFrom) {
  PrepareOptions("report-as-data");
  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  TLogOptions log = o.LogOptions();
  o.SetLogOptions(log.Include(loSaveModulesAndProcessesSections).Include(loSaveAssemblerAndCPUSections));
  AtTheEdge([] { ReadNowhere(); });
  const TReportParts parts = LastReportParts();
  const std::string text = LastLogText();
  EXPECT_EQ(parts.General.ExcType, "EAccessViolation");
  EXPECT_FALSE(parts.General.ExcID.empty());
  EXPECT_NE(text.find(parts.General.ExcID), std::string::npos);
  // The call stack is the one handed out alone, the faulting function first.
  const TTraciraStackList stack = LastCallStack();
  ASSERT_FALSE(parts.Stack.empty());
  ASSERT_EQ(parts.Stack.size(), stack.size());
  EXPECT_EQ(parts.Stack.front().ProcedureName, stack.front().ProcedureName);
  EXPECT_NE(parts.Stack.front().ProcedureName.find("ReadNowhere"), std::string::npos);
  ASSERT_FALSE(parts.Threads.empty());
  EXPECT_EQ(parts.Threads.front().ThreadID, GetCurrentThreadId());
  // Every module and process row is in the text.
  ASSERT_FALSE(parts.Modules.empty());
  // The size of a module is its file's.
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const auto program =
      std::find_if(parts.Modules.begin(), parts.Modules.end(), [](const TTraciraModuleRow& m) {
        return m.FileName.find("tracira_engine_test.exe") != std::string::npos;
      });
  ASSERT_NE(program, parts.Modules.end());
  EXPECT_EQ(program->Size, std::filesystem::file_size(self));
  for (const TTraciraModuleRow& m : parts.Modules)
    EXPECT_NE(text.find(m.FileName.substr(m.FileName.find_last_of('\\') + 1)), std::string::npos)
        << m.FileName;
  EXPECT_FALSE(parts.Processes.empty());
  EXPECT_FALSE(parts.Disassembly.empty());
  EXPECT_NE(text.find(parts.Disassembly), std::string::npos);
#if defined(__x86_64__)
  ASSERT_TRUE(parts.CPU.Context64.has_value());
  EXPECT_EQ(parts.CPU.Context64->RIP, parts.CPU.ExceptionAddress);
#else
  ASSERT_TRUE(parts.CPU.Context.has_value());
  EXPECT_EQ(parts.CPU.Context->EIP, parts.CPU.ExceptionAddress);
#endif
}

// The dialog step reads what the dialog state offers and what the user
// chose in it; the message box, which asks nothing, leaves the choices as
// the handling set them.
TEST(DialogState, TheUsersChoicesDecideWhatHappensAfterTheDialog) {
  struct Case {
    const char* Name;
    void (*Choose)(TDialogState& state);  // as a dialog would on its close
    bool Sent;
    bool Copied;
  };
  const Case cases[] = {
      {"the box asks nothing", [](TDialogState&) {}, true, false},
      {"sending unticked", [](TDialogState& d) { d.CanSendMessage = false; }, false, false},
      {"copy ticked", [](TDialogState& d) { d.CanCopy = true; }, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    PrepareOptions("dialog-state");
    CurrentTraciraLogOptions().SetExceptionDialogType(edtMessageBox);
    const TSendingOptions sending(false);
    SetClipboardText("before");
    int sent = 0;
    SetReportSender([&](TClosingSteps&) { ++sent; });
    TDialogState before;
    ExceptionActionNotify = [&](TTraciraExceptionRecord&, TTraciraActionType action, bool&) {
      if (action == atShowingExceptionInfo) before = DialogState();
      if (action == atShowedExceptionInfo) c.Choose(DialogState());
    };
    std::atomic<bool> closed{false};
    std::thread user([&] {
      bool found = false;
      for (int i = 0; i < 500 && !found; ++i) {
        EnumWindows(CloseTheBox, reinterpret_cast<LPARAM>(&found));
        Sleep(20);
      }
      closed = found;
    });
    const int count = ExceptionCount();
    AtTheEdge([] { RaiseLost(); });
    user.join();
    EXPECT_TRUE(closed);
    // Filled before the dialog: a way to send, the exception's number.
    EXPECT_TRUE(before.CanSendMessage);
    EXPECT_FALSE(before.DuplicatedException);
    EXPECT_EQ(before.ExceptionNumber, count + 1);
    EXPECT_EQ(before.DialogType, edtMessageBox);
    EXPECT_EQ(sent, c.Sent ? 1 : 0);
    EXPECT_EQ(ClipboardText() == LastLogText(), c.Copied);
    EXPECT_EQ(SavedReports().size(), 1u);
  }
}

TEST(Sending, OnAThreadOfItsOwnAfterTheRaisingThreadHasGoneOn) {
  PrepareOptions("sending-thread");
  const TSendingOptions sending(true);
  const HANDLE raiseReturned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  const HANDLE sendDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  struct Seen {
    DWORD Thread = 0;
    bool RaiseHadReturned = false;
    std::string ClassName, Message, ObjectMessage;
    bool HasReport = false, HasStack = false;
    DWORD EventThread = 0;
  } seen;
  ExceptionActionNotify = [&](TTraciraExceptionRecord&, TTraciraActionType action, bool&) {
    if (action == atSendingEmail) seen.EventThread = GetCurrentThreadId();
  };
  SetReportSender([&](TClosingSteps& closing) {
    seen.Thread = GetCurrentThreadId();
    seen.RaiseHadReturned = WaitForSingleObject(raiseReturned, 10'000) == WAIT_OBJECT_0;
    const TTraciraExceptionRecord& r = closing.Record;
    seen.ClassName = r.ExceptionClassName;
    seen.Message = r.ExceptionMessage;
    // The exception itself outlives its catch clause here.
    if (r.ExceptionObject) seen.ObjectMessage = r.ExceptionObject->what();
    seen.HasReport = !r.LogText.empty() && r.LogText == closing.Report.Text;
    seen.HasStack = r.CallStack == &closing.Report.Parts.Stack && !r.CallStack->empty();
    FireAction(*gEngine, closing.Record, atSendingEmail);
    SetEvent(sendDone);
  });
  AtTheEdge([] { RaiseLost(); });
  SetEvent(raiseReturned);
  ASSERT_EQ(WaitForSingleObject(sendDone, 20'000), WAIT_OBJECT_0);
  // The closing steps ran after the send: the lock is free again.
  EXPECT_TRUE(WaitForSendingThreads(*gEngine, 10'000));
  EXPECT_NE(seen.Thread, 0u);
  EXPECT_NE(seen.Thread, GetCurrentThreadId());
  EXPECT_TRUE(seen.RaiseHadReturned);
  EXPECT_EQ(seen.ClassName, "EScanerLost");
  EXPECT_EQ(seen.Message, "The scanner is lost");
  EXPECT_EQ(seen.ObjectMessage, "The scanner is lost");
  EXPECT_TRUE(seen.HasReport);
  EXPECT_TRUE(seen.HasStack);
  // Nobody waits any more: the event runs on the sending thread.
  EXPECT_EQ(seen.EventThread, seen.Thread);
  EXPECT_EQ(SavedReports().size(), 1u);
  CloseHandle(raiseReturned);
  CloseHandle(sendDone);
}

// Delivery may fire events from a thread of its own while the raising
// thread still waits: they run on the raising thread all the same.
TEST(Sending, EventsFromAnyOfTheCrashReportersThreadsRunOnTheWaitingThread) {
  PrepareOptions("hand-over");
  const TSendingOptions sending(false);
  const DWORD raising = GetCurrentThreadId();
  DWORD senderThread = 0, eventThread = 0;
  ExceptionActionNotify = [&](TTraciraExceptionRecord&, TTraciraActionType action, bool&) {
    if (action == atSendingEmail) eventThread = GetCurrentThreadId();
  };
  SetReportSender([&](TClosingSteps& closing) {
    senderThread = GetCurrentThreadId();
    std::thread worker([&] { FireAction(*gEngine, closing.Record, atSendingEmail); });
    worker.join();
  });
  AtTheEdge([] { RaiseLost(); });
  EXPECT_NE(senderThread, 0u);
  EXPECT_NE(senderThread, raising);
  EXPECT_EQ(eventThread, raising);
}

}  // namespace
