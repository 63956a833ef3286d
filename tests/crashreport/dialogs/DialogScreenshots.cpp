// The documentation's pictures of the crash reporter's dialogs (not a
// test; tests/crashreport/dialogs/screenshot.sh): each dialog form, each
// detail page and the send-progress window, shown for a real exception of
// this program and captured from the screen. Argument: the folder the BMP
// files go to.
// commctrl.h needs windows.h before it.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "crashreport/core/TrText.h"
#include "crashreport/dialogs/TrDialogs.h"
#include "crashreport/dialogs/TrSendDialog.h"
#include "crashreport/engine/ExceptionLog.h"
#include "crashreport/engine/TrHandling.h"
#include "rtl/Exceptions.h"
#include "rtl/Guarded.h"
#include "tests/crashreport/engine/EngineTestSupport.h"
#include "tests/support/WindowPicture.h"

namespace {

using namespace tracira;

class EScanerX : public rtl::Exception {
 public:
  using Exception::Exception;
};

std::filesystem::path gFolder;

BOOL CALLBACK Collect(HWND wnd, LPARAM lp) {
  DWORD pid = 0;
  GetWindowThreadProcessId(wnd, &pid);
  wchar_t cls[32] = {};
  GetClassNameW(wnd, cls, 32);
  if (pid == GetCurrentProcessId() && IsWindowVisible(wnd) && std::wstring(cls) == L"#32770") {
    *reinterpret_cast<HWND*>(lp) = wnd;
    return FALSE;
  }
  return TRUE;
}

HWND WaitDialog() {
  for (int i = 0; i < 500; ++i) {
    HWND found = nullptr;
    EnumWindows(Collect, reinterpret_cast<LPARAM>(&found));
    if (found) return found;
    Sleep(20);
  }
  return nullptr;
}

void Capture(HWND wnd, const wchar_t* name) {
  RedrawWindow(wnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
  Sleep(400);
  WriteWindowBmp(wnd, (gFolder / (std::wstring(name) + L".bmp")).c_str());
}

void Close(HWND dlg, int id) {
  PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
  for (int i = 0; i < 500 && IsWindow(dlg); ++i) Sleep(20);
}

// Raises the driver's error while shoot pictures the dialog and closes it.
void RaiseAndShoot(const std::function<void(HWND)>& shoot) {
  std::thread user([&] {
    if (HWND dlg = WaitDialog()) shoot(dlg);
  });
  rtl::Guarded([] { throw EScanerX(L"Порт недоступен"); },
               [] { ExceptionManager(nullptr, nullptr, 1, nullptr); });
  user.join();
}

TTraciraModuleOptions& Fresh() {
  enginetest::PrepareOptions("screenshots");
  std::filesystem::remove(DialogIniFile());
  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetEMailSendMode(esmSMTPClient);
  o.SetSupportURL("http://127.0.0.1/support");
  o.SetTerminateBtnOperation(tbRestart);
  o.SetErrorsNumberToShowTerminateBtn(0);
  return o;
}

void Russian(TTraciraModuleOptions& o) {
  const std::pair<TMessageType, const wchar_t*> texts[] = {
      {mtDialog_Caption, L"Ошибка"},
      {mtMSDialog_ErrorMsgCaption, L"В программе произошла ошибка. Приносим извинения за неудобства."},
      {mtMSDialog_RestartCaption, L"Перезапустить программу."},
      {mtMSDialog_PleaseCaption, L"Пожалуйста, сообщите нам об этой ошибке."},
      {mtMSDialog_DescriptionCaption,
       L"Мы подготовили отчёт об ошибке, который вы можете отправить нам. Отчёт конфиденциален и анонимен."},
      {mtMSDialog_SeeDetailsCaption, L"Чтобы посмотреть, какие данные содержит отчёт,"},
      {mtMSDialog_SeeClickCaption, L"щёлкните здесь."},
      {mtMSDialog_HowToReproduceCaption, L"Что вы делали, когда произошла ошибка (необязательно)?"},
      {mtMSDialog_EmailCaption, L"Адрес e-mail (необязательно):"},
      {mtMSDialog_SendButtonCaption, L"&Отправить отчёт"},
      {mtMSDialog_NoSendButtonCaption, L"&Не отправлять"},
      {mtDialog_CustomButtonCaption, L"&Справка"},
  };
  for (const auto& [type, text] : texts) o.SetCustomizedTexts(type, ToAnsi(text));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  gFolder = argv[1];
  std::filesystem::create_directories(gFolder);
  // The dialogs offer sending; nothing is delivered.
  SetReportSender([](TClosingSteps&) {});

  // The detailed dialog, compact.
  Fresh().SetExceptionDialogType(edtTraciraLog);
  RaiseAndShoot([](HWND dlg) {
    Capture(dlg, L"dialog-detailed-compact");
    Close(dlg, 2);
  });
  // With the library's own look: the painted caption and frame, flat buttons.
  {
    TTraciraModuleOptions& o = Fresh();
    o.SetExceptionDialogType(edtTraciraLog);
    o.SetExceptionDialogOptions(
        TExceptionDialogOptions(o.ExceptionDialogOptions()).Include(edoUseTraciraLogLookAndFeel));
    RaiseAndShoot([](HWND dlg) {
      Capture(dlg, L"dialog-detailed-look");
      Close(dlg, 2);
    });
  }
  // Expanded, one picture per page.
  const wchar_t* pages[] = {L"general", L"callstack", L"modules", L"processes", L"assembler", L"cpu"};
  for (int page = 0; page < 6; ++page) {
    TTraciraModuleOptions& o = Fresh();
    o.SetExceptionDialogType(edtTraciraLog);
    o.SetExceptionDialogOptions(
        TExceptionDialogOptions(o.ExceptionDialogOptions()).Include(edoShowInDetailedMode));
    o.SetForegroundTab(static_cast<TForegroundType>(page));
    RaiseAndShoot([&](HWND dlg) {
      Capture(dlg, (std::wstring(L"dialog-page-") + pages[page]).c_str());
      Close(dlg, 2);
    });
  }
  // The classic dialog, in English and with Russian texts.
  {
    TTraciraModuleOptions& o = Fresh();
    o.SetExceptionDialogType(edtMSClassic);
    o.SetLogOptions(TLogOptions(o.LogOptions()).Include(loAppendReproduceText));
    RaiseAndShoot([](HWND dlg) {
      Capture(dlg, L"dialog-classic");
      Close(dlg, 1001);
    });
    Russian(o);
    o.SetExceptionDialogOptions(
        TExceptionDialogOptions(o.ExceptionDialogOptions()).Include(edoShowCustomButton));
    RaiseAndShoot([](HWND dlg) {
      Capture(dlg, L"dialog-classic-russian");
      Close(dlg, 1001);
    });
  }
  // The request after the detailed dialog.
  {
    TTraciraModuleOptions& o = Fresh();
    o.SetExceptionDialogType(edtTraciraLog);
    o.SetLogOptions(TLogOptions(o.LogOptions()).Include(loAppendReproduceText));
    RaiseAndShoot([](HWND dlg) {
      Close(dlg, 2);
      if (HWND request = WaitDialog()) {
        SetDlgItemTextW(request, 101, L"Включил устройство, затем отключил кабель.");
        Capture(request, L"dialog-request");
        Close(request, 2);
      }
    });
  }
  // The send-progress window.
  {
    TTraciraModuleOptions& o = Fresh();
    TSendDialogSetup setup;
    setup.Options = &o;
    if (ShowSendDialog(setup, true)) {
      SetSendDialogMessageNumbers(1, 1);
      SetSendDialogLabel(o.GetCustomizedExpandedTexts(mtSendDialog_Sending));
      SetSendDialogBar(60);
      Capture(SendDialogWindow(), L"send-window");
      CloseSendDialog();
    }
  }
  return 0;
}
