#include "crashreport/dialogs/TrSendDialog.h"

#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "crashreport/core/TrText.h"
#include "crashreport/dialogs/TrDialogFrame.h"
#include "crashreport/dialogs/TrDialogLogic.h"

namespace tracira {

namespace {

constexpr UINT kCloseMessage = WM_USER + 1234;
constexpr int kLabelId = 100, kBarId = 101;
// How long ShowSendDialog waits for the window's thread to show it.
constexpr DWORD kShowTimeoutMs = 10000;

// GlobalSendValues and what the window's procedure reads.
struct TSendValues {
  std::atomic<HWND> Window{nullptr};
  std::atomic<bool> Shown{false};
  HANDLE Thread = nullptr;
  HANDLE ShownEvent = nullptr;
  std::atomic<int> Number{1}, Count{1};
  bool Modal = true;
  bool OnSendingThread = false;
  TSendDialogSetup Setup;
  TTraciraTexts Texts;
  TDialogInput Input;
  TDialogState State;
  TDialogContext Context;
  HBITMAP Picture = nullptr;
};
TSendValues gSend;
std::mutex gSendLock;  // one ShowSendDialog at a time

void InitSendWindow(HWND wnd) {
  TDialogContext& c = gSend.Context;
  SetInitDialog(wnd, !gSend.Modal);
  CreateDialogResources(c);
  gSend.Window = wnd;
  SetWindowTextW(wnd, Text(mtSendDialog_Caption).c_str());
  SetFont(wnd, kLabelId, c.Fonts.Variable);
  gSend.Picture = LoadDialogBitmap(L"TR_Send");
  SendDlgItemMessageW(wnd, kBarId, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  if (gSend.Modal) {
    SetAutoTopMost(wnd);
  } else {
    // CalsCoordinates: the bottom-right corner of the work area.
    RECT r{};
    GetWindowRect(wnd, &r);
    const dlg::TRect work = GetMonitorWorkAreaFromActiveWnd();
    SetWindowPos(wnd, nullptr, work.Right - (r.right - r.left), work.Bottom - (r.bottom - r.top), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

INT_PTR SendWindow(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  (void)lp;
  switch (msg) {
    case WM_INITDIALOG:
      InitSendWindow(wnd);
      if (!gSend.Modal) {
        // A modeless window is never activated by a dialog loop of its own.
        gSend.Shown = true;
        if (gSend.ShownEvent) SetEvent(gSend.ShownEvent);
      }
      return TRUE;
    case WM_ACTIVATE:
      if (LOWORD(wp) != WA_INACTIVE && !gSend.Shown) {
        gSend.Shown = true;
        if (gSend.ShownEvent) SetEvent(gSend.ShownEvent);
      }
      return FALSE;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(wnd, &ps);
      gSend.State.IsDialogShowed = true;
      DrawDialogBitmap(dc, gSend.Picture, 8, 8);
      EndPaint(wnd, &ps);
      return TRUE;
    }
    case WM_NCACTIVATE:
    case WM_NCPAINT:
      return CustomCaptionMessage(wnd, msg, wp, gSend.Context.Active, Text(mtSendDialog_Caption), false);
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
      return DialogColours(msg, wp);
    case WM_TIMER:
      if (wp == kTopMostTimer) TopMostTick();
      return TRUE;
    case kCloseMessage:
      if (gSend.Modal)
        EndDialog(wnd, IDOK);
      else
        DestroyWindow(wnd);
      return TRUE;
    case WM_DESTROY:
      if (gSend.Modal) UnsetAutoTopMost(wnd);
      FreeDialogResources(gSend.Context);
      if (gSend.Picture) DeleteObject(gSend.Picture);
      gSend.Picture = nullptr;
      gSend.Window = nullptr;
      return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK SendWindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  // The window's context, on whichever thread it lives.
  TDialogContextScope scope(gSend.Context);
  return AtTheEdge(wnd, gSend.Modal, [&] { return SendWindow(wnd, msg, wp, lp); });
}

DWORD WINAPI SendDialogThread(void*) {
  const INT_PTR result = DialogBoxParamW(DialogModule(), L"TR_Server", nullptr, SendWindowProc, 0);
  (void)result;
  gSend.Window = nullptr;
  return 0;
}

void Pump() {
  if (gSend.OnSendingThread) ProcessDialogMessages();
}

}  // namespace

bool ShowSendDialog(const TSendDialogSetup& setup, bool modal) {
  std::lock_guard lock(gSendLock);
  // A window of an earlier send still up is closed first.
  if (HWND old = gSend.Window) SendMessageW(old, kCloseMessage, 0, 0);
  if (gSend.Thread) {
    WaitForSingleObject(gSend.Thread, kShowTimeoutMs);
    CloseHandle(gSend.Thread);
    gSend.Thread = nullptr;
  }
  gSend.Window = nullptr;
  gSend.Shown = false;
  gSend.Number = 1;
  gSend.Count = 1;
  if (!setup.Options) return false;
  const TTraciraModuleOptions& o = *setup.Options;
  const bool sendMode = o.EMailSendMode() != esmNoSend || o.WebSendMode() != wsmNoSend;
  if (!o.CommonSendOptions().Contains(sndShowSendDialog) || !sendMode || !setup.GUIProgram) return false;

  gSend.Setup = setup;
  for (std::size_t i = 0; i < kMessageTypeCount; ++i)
    gSend.Texts[i] =
        setup.Texts ? (*setup.Texts)[i] : o.GetCustomizedExpandedTexts(static_cast<TMessageType>(i));
  gSend.Input = TDialogInput{};
  gSend.Input.Options = setup.Options;
  gSend.Input.Texts = &gSend.Texts;
  gSend.State = TDialogState{};
  gSend.Context = TDialogContext{};
  gSend.Context.State = &gSend.State;
  gSend.Context.Input = &gSend.Input;
  gSend.Modal = modal;
  gSend.OnSendingThread = setup.CannotUseThread;
  INITCOMMONCONTROLSEX init{sizeof init, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&init);

  if (setup.CannotUseThread) {
    // Modeless on the sending thread; it moves on ProcessDialogMessages.
    gSend.Modal = false;
    HWND wnd = CreateDialogParamW(DialogModule(), L"TR_Server", nullptr, SendWindowProc, 0);
    if (!wnd) return false;
    ShowWindow(wnd, SW_SHOWNOACTIVATE);
    ProcessDialogMessages();
    return gSend.Window != nullptr;
  }
  gSend.ShownEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  gSend.Thread = CreateThread(nullptr, 0, SendDialogThread, nullptr, CREATE_SUSPENDED, nullptr);
  if (!gSend.Thread) {
    CloseHandle(gSend.ShownEvent);
    gSend.ShownEvent = nullptr;
    return false;
  }
  SetThreadPriority(gSend.Thread, THREAD_PRIORITY_HIGHEST);
  ResumeThread(gSend.Thread);
  // Up, or its thread gone, or the bound passed: never a wait without end.
  const HANDLE handles[] = {gSend.ShownEvent, gSend.Thread};
  WaitForMultipleObjects(2, handles, FALSE, kShowTimeoutMs);
  CloseHandle(gSend.ShownEvent);
  gSend.ShownEvent = nullptr;
  return gSend.Window != nullptr;
}

void SetSendDialogMessageNumbers(int number, int count) {
  gSend.Number = number;
  gSend.Count = count;
}

void SetSendDialogSingleLabel(const std::string& text) {
  HWND wnd = gSend.Window;
  if (!wnd) return;
  Pump();
  SendDlgItemMessageW(wnd, kLabelId, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(FromAnsi(text).c_str()));
  Pump();
}

void SetSendDialogLabel(const std::string& text) {
  if (!gSend.Window) return;
  SetSendDialogSingleLabel(
      dlg::SendDialogLabel(gSend.Texts[mtSendDialog_Message], gSend.Number, gSend.Count, text));
}

void SetSendDialogBar(int position) {
  HWND wnd = gSend.Window;
  if (!wnd) return;
  Pump();
  SendDlgItemMessageW(wnd, kBarId, PBM_SETPOS, static_cast<WPARAM>(std::clamp(position, 0, 100)), 0);
  Pump();
}

void CloseSendDialog() {
  HWND wnd = gSend.Window;
  if (!wnd) return;
  Pump();
  SendMessageW(wnd, kCloseMessage, 0, 0);
  Pump();
  if (gSend.Thread && GetCurrentThreadId() != GetThreadId(gSend.Thread))
    WaitForSingleObject(gSend.Thread, kShowTimeoutMs);
}

void ProcessDialogMessages() {
  if (!gSend.OnSendingThread) return;
  try {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) continue;
      HWND wnd = gSend.Window;
      if (wnd && IsDialogMessageW(wnd, &msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  } catch (...) {
    // Swallowed: the delivery goes on.
  }
}

void WebCallBackProc(int kind, std::uint64_t total, std::uint64_t sent) {
  switch (kind) {
    case 0:
      SetSendDialogBar(0);
      SetSendDialogSingleLabel(gSend.Texts[mtSendDialog_Connecting]);
      break;
    case 1:
      SetSendDialogSingleLabel(gSend.Texts[mtSendDialog_Connected]);
      break;
    case 2:
      SetSendDialogSingleLabel(gSend.Texts[mtSendDialog_Sending]);
      SetSendDialogBar(dlg::ProgressPercent(total, sent));
      break;
    default:
      break;
  }
}

HWND SendDialogWindow() { return gSend.Window; }

}  // namespace tracira
