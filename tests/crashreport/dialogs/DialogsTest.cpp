// The exception dialogs in a running program: an exception raised at the
// edge of the program's handling shows the dialog its options choose; a
// thread of the test finds the dialog, reads its controls by their template
// ids, clicks and types through Win32 messages, and the test then checks
// what the handling did with the user's choices (the dialog state, the
// report in the log, the clipboard, the INI file). Each test starts from no
// "TraciraLog.ini".
#include <gtest/gtest.h>
// commctrl.h needs windows.h before it.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "crashreport/core/TrText.h"
#include "crashreport/dialogs/TrDetailPages.h"
#include "crashreport/dialogs/TrDialogs.h"
#include "crashreport/dialogs/TrSendDialog.h"
#include "crashreport/engine/ExceptionLog.h"
#include "crashreport/engine/TrDelivery.h"
#include "crashreport/engine/TrHandling.h"
#include "crashreport/report/TrLogManager.h"
#include "rtl/Exceptions.h"
#include "rtl/Guarded.h"
#include "tests/crashreport/engine/EngineTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace {

using namespace tracira;
using enginetest::PrepareOptions;
using enginetest::SavedReports;

class EDeviceProblem : public rtl::Exception {
 public:
  using Exception::Exception;
};

// Greek and Cyrillic: the Greek letters exist in no code page the program
// could have chosen along with Cyrillic, so only UTF-16 shows them.
const std::wstring kMessage = L"Устройство не отвечает: Ωμέγα";

void RaiseAtTheEdge() {
  rtl::Guarded([] { throw EDeviceProblem(kMessage); },
               [] { ExceptionManager(nullptr, nullptr, 1, nullptr); });
}

// ---------------------------------------------------------------------------
// Finding and driving the dialogs of this process

struct TFind {
  std::vector<HWND> Found;
};

BOOL CALLBACK CollectDialog(HWND wnd, LPARAM lp) {
  DWORD pid = 0;
  GetWindowThreadProcessId(wnd, &pid);
  wchar_t cls[64] = {};
  GetClassNameW(wnd, cls, 64);
  if (pid == GetCurrentProcessId() && IsWindowVisible(wnd) && std::wstring(cls) == L"#32770")
    reinterpret_cast<TFind*>(lp)->Found.push_back(wnd);
  return TRUE;
}

std::wstring ClassOf(HWND wnd) {
  wchar_t cls[64] = {};
  if (wnd) GetClassNameW(wnd, cls, 64);
  return cls;
}

// A visible dialog of this process whose control id has the class cls.
HWND FindDialog(int id, const std::wstring& cls, HWND except = nullptr) {
  TFind find;
  EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&find));
  for (HWND wnd : find.Found)
    if (wnd != except && _wcsicmp(ClassOf(GetDlgItem(wnd, id)).c_str(), cls.c_str()) == 0) return wnd;
  return nullptr;
}

HWND WaitDialog(int id, const std::wstring& cls, HWND except = nullptr, DWORD timeoutMs = 15000) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < timeoutMs) {
    if (HWND wnd = FindDialog(id, cls, except)) {
      Sleep(100);  // its WM_INITDIALOG and first paint are over
      return wnd;
    }
    Sleep(20);
  }
  return nullptr;
}

HWND DetailedDialog(HWND except = nullptr) { return WaitDialog(1000, L"SysTabControl32", except); }
HWND ClassicDialog() { return WaitDialog(111, L"Edit"); }
HWND RequestDialog(DWORD timeoutMs = 15000) { return WaitDialog(101, L"Edit", nullptr, timeoutMs); }

bool WaitGone(HWND wnd, DWORD timeoutMs = 15000) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < timeoutMs) {
    if (!IsWindow(wnd) || !IsWindowVisible(wnd)) return true;
    Sleep(20);
  }
  return false;
}

std::wstring ItemText(HWND dlg, int id) {
  wchar_t text[4096] = {};
  SendMessageW(GetDlgItem(dlg, id), WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text));
  return text;
}

bool ItemVisible(HWND dlg, int id) {
  HWND item = GetDlgItem(dlg, id);
  return item && (GetWindowLongPtrW(item, GWL_STYLE) & WS_VISIBLE) != 0;
}

void Click(HWND dlg, int id) {
  PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
}

void SetChecked(HWND dlg, int id, bool checked) {
  SendMessageW(GetDlgItem(dlg, id), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  Click(dlg, id);
}

void Type(HWND dlg, int id, const std::wstring& text) {
  SendMessageW(GetDlgItem(dlg, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

// The message box of this process whose caption is caption.
HWND WaitMessageBox(const std::wstring& caption, DWORD timeoutMs = 15000) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < timeoutMs) {
    TFind find;
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&find));
    for (HWND wnd : find.Found) {
      wchar_t text[256] = {};
      GetWindowTextW(wnd, text, 256);
      if (caption == text && !GetDlgItem(wnd, 1000)) return wnd;
    }
    Sleep(20);
  }
  return nullptr;
}

std::wstring MessageBoxText(HWND box) {
  std::wstring all;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) != L"Static") continue;
    wchar_t text[1024] = {};
    GetWindowTextW(child, text, 1024);
    all += text;
  }
  return all;
}

// Runs the test's part on a thread of its own while this thread raises;
// the part's failures are reported here.
void RaiseWhile(const std::function<void()>& part) {
  std::atomic<bool> done{false};
  std::thread driver([&] {
    part();
    done = true;
  });
  RaiseAtTheEdge();
  driver.join();
  EXPECT_TRUE(done);
}

std::string Text(TMessageType type) { return CurrentTraciraLogOptions().GetCustomizedExpandedTexts(type); }

class Dialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    PrepareOptions("dialogs-" + name);
    std::filesystem::remove(DialogIniFile());
    TTraciraModuleOptions& o = CurrentTraciraLogOptions();
    o.SetErrorsNumberToShowTerminateBtn(1000000);
    CustomButtonClickNotify = nullptr;
    ExceptionActionNotify = nullptr;
    // Nothing is delivered: a test's sender stands for delivery.
    SetReportSender([](TClosingSteps&) {});
  }
  void TearDown() override {
    CustomButtonClickNotify = nullptr;
    ExceptionActionNotify = nullptr;
    SetReportSender(DeliverReport);
  }
  TTraciraModuleOptions& O() { return CurrentTraciraLogOptions(); }
  void Use(TExceptionDialogType type) { O().SetExceptionDialogType(type); }
  void Offer(std::initializer_list<TExceptionDialogOption> options) {
    O().SetExceptionDialogOptions(TExceptionDialogOptions(options));
  }
};

// ---------------------------------------------------------------------------

INT_PTR CALLBACK NoDialogProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

TEST(Resources, TemplatesAndPicturesSurviveTheDataBlockRewrite) {
  // This program went through trdata after linking, as every program does.
  HMODULE self = GetModuleHandleW(nullptr);
  ASSERT_NE(FindResourceW(self, L"TRDATA", MAKEINTRESOURCEW(10)), nullptr) << "no data block";
  for (const wchar_t* name :
       {L"TR_Dialog", L"TR_MS_Dialog", L"TR_Request", L"TR_TAB_GENERAL", L"TR_TAB_CALLSTACK",
        L"TR_TAB_MODULESLIST", L"TR_TAB_PROCESSESLIST", L"TR_TAB_ASSEMBLER", L"TR_TAB_CPU", L"TR_Server"})
    EXPECT_NE(FindResourceW(self, name, MAKEINTRESOURCEW(5)), nullptr) << "dialog " << ToAnsi(name);
  for (const wchar_t* name :
       {L"TR_Error", L"TR_Send", L"TR_DLL", L"TR_BPL", L"TR_VCL", L"TR_PAS", L"TR_PLUS", L"TR_MINUS"}) {
    HBITMAP bitmap = static_cast<HBITMAP>(LoadImageW(self, name, IMAGE_BITMAP, 0, 0, 0));
    EXPECT_NE(bitmap, nullptr) << "bitmap " << ToAnsi(name);
    if (bitmap) DeleteObject(bitmap);
  }
  // Every template makes a window (the rich-edit class loaded as the dialog step does).
  HMODULE richEdit = LoadLibraryW(L"RICHED32.DLL");
  INITCOMMONCONTROLSEX init{sizeof init, ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&init);
  const DLGPROC none = NoDialogProc;
  HWND main = CreateDialogParamW(self, L"TR_Dialog", nullptr, none, 0);
  ASSERT_NE(main, nullptr) << GetLastError();
  for (const wchar_t* name : {L"TR_MS_Dialog", L"TR_Request", L"TR_Server"}) {
    HWND wnd = CreateDialogParamW(self, name, nullptr, none, 0);
    EXPECT_NE(wnd, nullptr) << ToAnsi(name) << " " << GetLastError();
    if (wnd) DestroyWindow(wnd);
  }
  // The pages are children of the detailed dialog's tab control.
  for (const wchar_t* name : {L"TR_TAB_GENERAL", L"TR_TAB_CALLSTACK", L"TR_TAB_MODULESLIST",
                              L"TR_TAB_PROCESSESLIST", L"TR_TAB_ASSEMBLER", L"TR_TAB_CPU"}) {
    HWND wnd = CreateDialogParamW(self, name, GetDlgItem(main, 1000), none, 0);
    EXPECT_NE(wnd, nullptr) << ToAnsi(name) << " " << GetLastError();
    if (wnd) DestroyWindow(wnd);
  }
  DestroyWindow(main);
  if (richEdit) FreeLibrary(richEdit);
}

TEST_F(Dialogs, MessageBoxShowsTheExceptionsOwnUnicodeText) {
  Use(edtMessageBox);
  std::wstring shown;
  RaiseWhile([&] {
    HWND box = WaitMessageBox(FromAnsi(Text(mtDialog_Caption)));
    ASSERT_NE(box, nullptr);
    shown = MessageBoxText(box);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitGone(box));
  });
  EXPECT_NE(shown.find(kMessage), std::wstring::npos) << ToAnsi(shown);
  EXPECT_EQ(DialogState().DialogType, edtNone);
}

TEST_F(Dialogs, DetailedWithoutSendModeOffersCopyOnlyAndCopies) {
  Use(edtTraciraLog);
  if (OpenClipboard(nullptr)) {
    EmptyClipboard();
    CloseClipboard();
  }
  RaiseWhile([&] {
    HWND dlg = DetailedDialog();
    ASSERT_NE(dlg, nullptr);
    EXPECT_FALSE(ItemVisible(dlg, 3000)) << "send";
    EXPECT_FALSE(ItemVisible(dlg, 4000)) << "screenshot";
    EXPECT_TRUE(ItemVisible(dlg, 5000)) << "copy";
    EXPECT_FALSE(ItemVisible(dlg, 1000)) << "the compact form hides the pages";
    EXPECT_FALSE(ItemVisible(dlg, 3)) << "terminate";
    EXPECT_EQ(ItemText(dlg, 101), kMessage);
    wchar_t caption[256] = {};
    GetWindowTextW(dlg, caption, 256);
    EXPECT_EQ(std::wstring(caption), FromAnsi(Text(mtDialog_Caption)));
    EXPECT_EQ(DialogState().DialogHeight, 20);
    SetChecked(dlg, 5000, true);
    Click(dlg, 2);
    EXPECT_TRUE(WaitGone(dlg));
  });
  const TDialogState& d = DialogState();
  EXPECT_TRUE(d.CanCopy);
  EXPECT_FALSE(d.CanSendMessage);
  EXPECT_EQ(d.DialogType, edtNone);
  // The clipboard holds the report, as Unicode and in the code page.
  ASSERT_TRUE(OpenClipboard(nullptr));
  HANDLE unicode = GetClipboardData(CF_UNICODETEXT);
  ASSERT_NE(unicode, nullptr);
  const std::wstring wide(static_cast<const wchar_t*>(GlobalLock(unicode)));
  GlobalUnlock(unicode);
  HANDLE ansi = GetClipboardData(CF_TEXT);
  ASSERT_NE(ansi, nullptr);
  const std::string narrow(static_cast<const char*>(GlobalLock(ansi)));
  GlobalUnlock(ansi);
  CloseClipboard();
  EXPECT_EQ(narrow, LastLogText());
  EXPECT_EQ(wide, FromAnsi(LastLogText()));
  EXPECT_NE(wide.find(L"EDeviceProblem"), std::wstring::npos);
}

TEST_F(Dialogs, DetailsButtonExpandsAndThePlacementIsSaved) {
  Use(edtTraciraLog);
  Offer({edoShowDetailsButton, edoShowCopyToClipOption});
  RaiseWhile([&] {
    HWND dlg = DetailedDialog();
    ASSERT_NE(dlg, nullptr);
    EXPECT_TRUE(ItemVisible(dlg, 4));
    EXPECT_EQ(ItemText(dlg, 4), FromAnsi(Text(mtDialog_DetailsButtonCaption)) + L" >>");
    RECT compact{};
    GetWindowRect(dlg, &compact);
    Click(dlg, 4);
    Sleep(300);
    EXPECT_TRUE(ItemVisible(dlg, 1000));
    EXPECT_EQ(ItemText(dlg, 4), L"<< " + FromAnsi(Text(mtDialog_DetailsButtonCaption)));
    EXPECT_EQ(ItemText(dlg, 101), FromAnsi(Text(mtDialog_ErrorMsgCaption)));
    RECT expanded{};
    GetWindowRect(dlg, &expanded);
    EXPECT_EQ(expanded.right - expanded.left, 745);
    EXPECT_EQ(expanded.bottom - expanded.top, 468 + DialogState().DialogHeight);
    // Six tabs with the default log options; the General page is open.
    EXPECT_EQ(SendMessageW(GetDlgItem(dlg, 1000), TCM_GETITEMCOUNT, 0, 0), 6);
    HWND page = FindWindowExW(GetDlgItem(dlg, 1000), nullptr, L"#32770", nullptr);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(ItemText(page, 102), FromAnsi(Text(mtDialog_GeneralHeader)));
    EXPECT_NE(ItemText(page, 103).find(L"EDeviceProblem"), std::wstring::npos);
    // Moved by the user, then closed.
    SetWindowPos(dlg, nullptr, 40, 30, 700, 420, SWP_NOZORDER);
    Sleep(200);
    Click(dlg, 2);
    EXPECT_TRUE(WaitGone(dlg));
  });
  const std::wstring ini = DialogIniFile();
  auto read = [&](const wchar_t* key) { return GetPrivateProfileIntW(L"Coordinates", key, -1, ini.c_str()); };
  EXPECT_EQ(read(L"Left"), 40);
  EXPECT_EQ(read(L"Top"), 30);
  EXPECT_EQ(read(L"Width"), 700);
  EXPECT_EQ(read(L"Height"), 420 - DialogState().DialogHeight);
  EXPECT_EQ(read(L"WindowsState"), 1);
  EXPECT_EQ(read(L"Col0"), -1) << "the Call Stack page's columns are saved only when it was open";
}

TEST_F(Dialogs, SavedPlacementOffEveryMonitorAndMinimisedIsPulledBack) {
  Use(edtTraciraLog);
  Offer({edoShowInDetailedMode});
  const std::wstring ini = DialogIniFile();
  std::filesystem::create_directories(std::filesystem::path(ini).parent_path());
  WritePrivateProfileStringW(L"Coordinates", L"Left", L"5000", ini.c_str());
  WritePrivateProfileStringW(L"Coordinates", L"Top", L"-3000", ini.c_str());
  WritePrivateProfileStringW(L"Coordinates", L"Width", L"600", ini.c_str());
  WritePrivateProfileStringW(L"Coordinates", L"Height", L"400", ini.c_str());
  WritePrivateProfileStringW(L"Coordinates", L"WindowsState", L"6", ini.c_str());
  RECT shown{};
  bool iconic = true;
  RaiseWhile([&] {
    HWND dlg = DetailedDialog();
    ASSERT_NE(dlg, nullptr);
    GetWindowRect(dlg, &shown);
    iconic = IsIconic(dlg);
    Click(dlg, 2);
    EXPECT_TRUE(WaitGone(dlg));
  });
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  EXPECT_FALSE(iconic);
  EXPECT_EQ(shown.right, work.right);
  EXPECT_EQ(shown.top, work.top);
  EXPECT_EQ(shown.right - shown.left, 600);
  EXPECT_EQ(GetPrivateProfileIntW(L"Coordinates", L"WindowsState", -1, ini.c_str()), 1);
}

TEST_F(Dialogs, AutoCloseEndsAnUntouchedDialog) {
  Use(edtTraciraLog);
  O().SetAutoCloseDialogSecs(2);
  DWORD took = 0;
  RaiseWhile([&] {
    HWND dlg = DetailedDialog();
    ASSERT_NE(dlg, nullptr);
    const DWORD start = GetTickCount();
    // Input restarts the count.
    Sleep(1300);
    PostMessageW(dlg, WM_KEYDOWN, VK_SHIFT, 0);
    EXPECT_TRUE(WaitGone(dlg, 10000));
    took = GetTickCount() - start;
  });
  EXPECT_GE(took, 2500u);
  EXPECT_EQ(DialogState().DialogType, edtNone);
}

TEST_F(Dialogs, TerminateChoiceOnlyAfterEnoughExceptionsAndAHandlerMayCancelIt) {
  Use(edtTraciraLog);
  O().SetTerminateBtnOperation(tbTerminate);
  O().SetErrorsNumberToShowTerminateBtn(0);
  int asked = 0;
  ExceptionActionNotify = [&](TTraciraExceptionRecord&, TTraciraActionType action, bool& execute) {
    if (action == atTerminating) {
      ++asked;
      execute = false;
    }
  };
  RaiseWhile([&] {
    HWND dlg = DetailedDialog();
    ASSERT_NE(dlg, nullptr);
    EXPECT_TRUE(ItemVisible(dlg, 3));
    EXPECT_EQ(ItemText(dlg, 3), FromAnsi(Text(mtDialog_TerminateButtonCaption)));
    Click(dlg, 3);
    EXPECT_TRUE(WaitGone(dlg));
    // Cancelled: the dialog comes again.
    HWND again = DetailedDialog(dlg);
    ASSERT_NE(again, nullptr);
    Click(again, 2);
    EXPECT_TRUE(WaitGone(again));
  });
  EXPECT_EQ(asked, 1);
  EXPECT_FALSE(DialogState().TerminateApplication);
}

TEST_F(Dialogs, CustomButtonKeepsTheDialogUnlessItsHandlerCloses) {
  Use(edtTraciraLog);
  Offer({edoShowCustomButton});
  int clicks = 0;
  CustomButtonClickNotify = [&](TTraciraExceptionRecord&, bool& close) { close = ++clicks == 2; };
  RaiseWhile([&] {
    HWND dlg = DetailedDialog();
    ASSERT_NE(dlg, nullptr);
    EXPECT_TRUE(ItemVisible(dlg, 5));
    Click(dlg, 5);
    Sleep(500);
    EXPECT_TRUE(IsWindowVisible(dlg));
    Click(dlg, 5);
    EXPECT_TRUE(WaitGone(dlg));
  });
  EXPECT_EQ(clicks, 2);
}

TEST_F(Dialogs, ForegroundTabWithoutItsSectionOpensGeneral) {
  Use(edtTraciraLog);
  Offer({edoShowInDetailedMode});
  O().SetForegroundTab(ftCPU);
  O().SetLogOptions(TLogOptions{loSaveModulesAndProcessesSections});
  int page = -2, tabs = 0;
  RaiseWhile([&] {
    HWND dlg = DetailedDialog();
    ASSERT_NE(dlg, nullptr);
    page = static_cast<int>(SendMessageW(GetDlgItem(dlg, 1000), TCM_GETCURSEL, 0, 0));
    tabs = static_cast<int>(SendMessageW(GetDlgItem(dlg, 1000), TCM_GETITEMCOUNT, 0, 0));
    Click(dlg, 2);
    EXPECT_TRUE(WaitGone(dlg));
  });
  EXPECT_EQ(page, 0);
  EXPECT_EQ(tabs, 4);
}

TEST_F(Dialogs, CallStackPageListsThreadsThatCollapse) {
  Use(edtTraciraLog);
  Offer({edoShowInDetailedMode});
  O().SetForegroundTab(ftCallStack);
  int rows = 0, collapsedRows = 0;
  std::wstring firstRow;
  RaiseWhile([&] {
    HWND dlg = DetailedDialog();
    ASSERT_NE(dlg, nullptr);
    HWND page = FindWindowExW(GetDlgItem(dlg, 1000), nullptr, L"#32770", nullptr);
    ASSERT_NE(page, nullptr);
    HWND list = GetDlgItem(page, 103);
    rows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    wchar_t text[512] = {};
    LVITEMW item{};
    item.pszText = text;
    item.cchTextMax = 512;
    SendMessageW(list, LVM_GETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&item));
    firstRow = text;
    // A click on the first thread row's sign closes its block.
    NMITEMACTIVATE click{};
    click.hdr.hwndFrom = list;
    click.hdr.idFrom = 103;
    click.hdr.code = NM_CLICK;
    click.iItem = 0;
    click.ptAction = {6, 6};
    SendMessageW(page, WM_NOTIFY, 103, reinterpret_cast<LPARAM>(&click));
    collapsedRows = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    Click(dlg, 2);
    EXPECT_TRUE(WaitGone(dlg));
  });
  EXPECT_GT(rows, 2);
  EXPECT_LT(collapsedRows, rows);
  EXPECT_NE(firstRow.find(L"*"), std::wstring::npos) << ToAnsi(firstRow) << ": the exception's thread first";
  const std::wstring ini = DialogIniFile();
  EXPECT_EQ(GetPrivateProfileIntW(L"Coordinates", L"Col4", -1, ini.c_str()), 200);
}

TEST_F(Dialogs, ActivatedCallStackRowGoesToTheDevelopmentEnvironmentsMailslot) {
  Use(edtTraciraLog);
  Offer({edoShowInDetailedMode});
  O().SetForegroundTab(ftCallStack);
  HANDLE slot = CreateMailslotW(L"\\\\.\\mailslot\\TraciraLog2", 0, 0, nullptr);
  ASSERT_NE(slot, INVALID_HANDLE_VALUE);
  std::wstring unit, line;
  RaiseWhile([&] {
    HWND dlg = DetailedDialog();
    ASSERT_NE(dlg, nullptr);
    HWND page = FindWindowExW(GetDlgItem(dlg, 1000), nullptr, L"#32770", nullptr);
    ASSERT_NE(page, nullptr);
    HWND list = GetDlgItem(page, 103);
    auto cell = [&](int row, int column) {
      wchar_t text[512] = {};
      LVITEMW item{};
      item.iSubItem = column;
      item.pszText = text;
      item.cchTextMax = 512;
      SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
      return std::wstring(text);
    };
    // The first row of the exception's thread that has a line.
    int row = 1;
    while (row < 50 && cell(row, 5).empty()) ++row;
    unit = cell(row, 2);
    line = cell(row, 5);
    NMITEMACTIVATE activate{};
    activate.hdr.hwndFrom = list;
    activate.hdr.idFrom = 103;
    activate.hdr.code = LVN_ITEMACTIVATE;
    activate.iItem = row;
    SendMessageW(page, WM_NOTIFY, 103, reinterpret_cast<LPARAM>(&activate));
    Click(dlg, 2);
    EXPECT_TRUE(WaitGone(dlg));
  });
  std::array<std::uint8_t, 400> record{};
  DWORD read = 0;
  const BOOL got = ReadFile(slot, record.data(), static_cast<DWORD>(record.size()), &read, nullptr);
  CloseHandle(slot);
  ASSERT_TRUE(got);
  ASSERT_EQ(read, 376u);
  EXPECT_EQ(record[0], 0);
  EXPECT_EQ(FromAnsi(reinterpret_cast<const char*>(record.data() + 90)), unit);
  std::int32_t number = 0, offset = 0;
  std::memcpy(&number, record.data() + 360, 4);
  std::memcpy(&offset, record.data() + 364, 4);
  EXPECT_EQ(std::to_wstring(number) + L"[" + std::to_wstring(offset) + L"]", line);
}

TEST_F(Dialogs, RequestDialogAfterTheDetailedOneAddsTheSectionOnce) {
  Use(edtTraciraLog);
  O().SetLogOptions(TLogOptions{loAppendReproduceText});
  RaiseWhile([&] {
    HWND dlg = DetailedDialog();
    ASSERT_NE(dlg, nullptr);
    Click(dlg, 2);
    EXPECT_TRUE(WaitGone(dlg));
    HWND request = RequestDialog();
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(ItemText(request, 100), FromAnsi(Text(mtReproduceDialog_Request)));
    Type(request, 101, L"  Включил устройство, отключил кабель  ");
    Click(request, 2);
    EXPECT_TRUE(WaitGone(request));
  });
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  const std::string section = Text(mtReproduceDialog_Caption);
  const std::size_t at = reports[0].find(ToAnsi(L"Включил устройство, отключил кабель"));
  EXPECT_NE(at, std::string::npos) << reports[0];
  EXPECT_EQ(reports[0].find(ToAnsi(L"Включил"), at + 1), std::string::npos);
  EXPECT_EQ(DialogState().CurrentRequestValue, ToAnsi(L"Включил устройство, отключил кабель"));
}

TEST_F(Dialogs, EmptyReproductionTextAddsNoSection) {
  Use(edtTraciraLog);
  O().SetLogOptions(TLogOptions{loAppendReproduceText});
  RaiseWhile([&] {
    HWND dlg = DetailedDialog();
    ASSERT_NE(dlg, nullptr);
    Click(dlg, 2);
    EXPECT_TRUE(WaitGone(dlg));
    HWND request = RequestDialog();
    ASSERT_NE(request, nullptr);
    PostMessageW(request, WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitGone(request));
  });
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].find("\r\n" + Text(mtReproduceDialog_Caption) + ":"), std::string::npos) << reports[0];
}

class ClassicDialogs : public Dialogs {
 protected:
  void SetUp() override {
    Dialogs::SetUp();
    Use(edtMSClassic);
    // A send mode (nothing is delivered: the test program has no sender).
    O().SetEMailSendMode(esmSMTPClient);
    O().SetLogOptions(TLogOptions{loAppendReproduceText});
  }
};

TEST_F(ClassicDialogs, EmailIsCheckedAndGoesIntoTheReport) {
  std::wstring boxText;
  RaiseWhile([&] {
    HWND dlg = ClassicDialog();
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(ItemText(dlg, 103), kMessage);
    EXPECT_TRUE(ItemVisible(dlg, 1000));
    EXPECT_EQ(ItemText(dlg, 1001), FromAnsi(Text(mtMSDialog_NoSendButtonCaption)));
    EXPECT_TRUE(ItemVisible(dlg, 105));
    Type(dlg, 111, L"not-an-address");
    Type(dlg, 109, L"Нажал «Устройство включено»");
    Click(dlg, 1000);
    HWND box = WaitMessageBox(FromAnsi(Text(mtErrorMsgCaption)));
    ASSERT_NE(box, nullptr);
    boxText = MessageBoxText(box);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitGone(box));
    EXPECT_TRUE(IsWindowVisible(dlg)) << "the dialog stays open for the correction";
    Type(dlg, 111, L" operator@example.org ");
    Click(dlg, 1000);
    EXPECT_TRUE(WaitGone(dlg));
  });
  EXPECT_EQ(boxText, FromAnsi(Text(mtInvalidEmailMsg)));
  const TDialogState& d = DialogState();
  EXPECT_TRUE(d.CanSendMessage);
  EXPECT_EQ(d.UserEmail, "operator@example.org");
  EXPECT_EQ(O().SMTPFrom(), "operator@example.org");
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find(": operator@example.org\r\n"), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find(ToAnsi(L"Нажал «Устройство включено»")), std::string::npos) << reports[0];
  EXPECT_EQ(GetPrivateProfileIntW(L"User", L"Email", 0, DialogIniFile().c_str()), 0);
  wchar_t saved[128] = {};
  GetPrivateProfileStringW(L"User", L"Email", L"", saved, 128, DialogIniFile().c_str());
  EXPECT_EQ(std::wstring(saved), L"operator@example.org");
}

TEST_F(ClassicDialogs, NoSendModeShowsNoPleaNoEmailNoSendButton) {
  O().SetEMailSendMode(esmNoSend);
  RaiseWhile([&] {
    HWND dlg = ClassicDialog();
    ASSERT_NE(dlg, nullptr);
    EXPECT_FALSE(ItemVisible(dlg, 1000));
    EXPECT_FALSE(ItemVisible(dlg, 105));
    EXPECT_FALSE(ItemVisible(dlg, 111));
    EXPECT_EQ(ItemText(dlg, 1001), FromAnsi(Text(mtDialog_OKButtonCaption)));
    Click(dlg, 1001);
    EXPECT_TRUE(WaitGone(dlg));
  });
  EXPECT_FALSE(DialogState().CanSendMessage);
}

TEST_F(ClassicDialogs, DetailsLinkOpensTheDetailedDialogExpandedWithTheTextsApplied) {
  Offer({edoShowDetailsButton, edoShowSendErrorReportOption});
  RaiseWhile([&] {
    HWND dlg = ClassicDialog();
    ASSERT_NE(dlg, nullptr);
    Type(dlg, 111, L"me@example.org");
    Type(dlg, 109, L"Шаги");
    const RECT r = DialogState().rClick;
    const LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    PostMessageW(dlg, WM_MOUSEMOVE, 0, at);
    PostMessageW(dlg, WM_LBUTTONUP, 0, at);
    EXPECT_TRUE(WaitGone(dlg));
    HWND detailed = DetailedDialog();
    ASSERT_NE(detailed, nullptr);
    EXPECT_TRUE(ItemVisible(detailed, 1000)) << "expanded";
    EXPECT_FALSE(ItemVisible(detailed, 4)) << "no details button in details mode";
    Click(detailed, 2);
    EXPECT_TRUE(WaitGone(detailed));
    // No request dialog: the classic dialog took the steps already.
    EXPECT_EQ(RequestDialog(1500), nullptr);
  });
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find(": me@example.org\r\n"), std::string::npos) << reports[0];
  const std::string steps = ToAnsi(L"Шаги");
  const std::size_t at = reports[0].find(steps);
  EXPECT_NE(at, std::string::npos);
  EXPECT_EQ(reports[0].find(steps, at + 1), std::string::npos) << "the Request section once";
}

TEST_F(Dialogs, RussianCustomTextsReachTheWindowsAsUnicode) {
  Use(edtTraciraLog);
  O().SetCustomizedTexts(mtDialog_OKButtonCaption, ToAnsi(L"&Закрыть"));
  O().SetCustomizedTexts(mtDialog_Caption, ToAnsi(L"Ошибка программы"));
  std::wstring ok, caption;
  RaiseWhile([&] {
    HWND dlg = DetailedDialog();
    ASSERT_NE(dlg, nullptr);
    ok = ItemText(dlg, 2);
    wchar_t text[256] = {};
    GetWindowTextW(dlg, text, 256);
    caption = text;
    Click(dlg, 2);
    EXPECT_TRUE(WaitGone(dlg));
  });
  EXPECT_EQ(ok, L"&Закрыть");
  EXPECT_EQ(caption, L"Ошибка программы");
}

// ---------------------------------------------------------------------------
// The send-progress window, driven by a test sender until delivery lands.

std::wstring SendLabel(HWND wnd) { return ItemText(wnd, 100); }
int SendBar(HWND wnd) { return static_cast<int>(SendDlgItemMessageW(wnd, 101, PBM_GETPOS, 0, 0)); }

TEST_F(ClassicDialogs, SendReachesTheSendStepWhichShowsItsProgress) {
  O().SetCommonSendOptions(TCommonSendOptions{sndShowSendDialog});
  struct TSeen {
    bool Up = false, OwnThread = false;
    std::wstring Caption, Label1, Label2, Label3;
    int Bar1 = -1, Bar2 = -1, Bar3 = -1;
    bool GoneAfterClose = false;
  } seen;
  int sent = 0;
  SetReportSender([&](TClosingSteps&) {
    ++sent;
    TSendDialogSetup setup;
    setup.Options = &O();
    seen.Up = ShowSendDialog(setup, true);
    HWND wnd = SendDialogWindow();
    if (!wnd) return;
    seen.OwnThread = GetWindowThreadProcessId(wnd, nullptr) != GetCurrentThreadId();
    wchar_t caption[128] = {};
    GetWindowTextW(wnd, caption, 128);
    seen.Caption = caption;
    SetSendDialogMessageNumbers(1, 2);
    SetSendDialogLabel(Text(mtSendDialog_Connected));
    SetSendDialogBar(40);
    seen.Label1 = SendLabel(wnd);
    seen.Bar1 = SendBar(wnd);
    WebCallBackProc(2, 0, 100);  // no total: no division
    seen.Label2 = SendLabel(wnd);
    seen.Bar2 = SendBar(wnd);
    WebCallBackProc(2, 400, 300);
    seen.Bar3 = SendBar(wnd);
    SetSendDialogSingleLabel(ToAnsi(L"Отправлено"));
    seen.Label3 = SendLabel(wnd);
    CloseSendDialog();
    seen.GoneAfterClose = !IsWindow(wnd) && SendDialogWindow() == nullptr;
    // The calls after the close do nothing.
    SetSendDialogBar(90);
    SetSendDialogLabel("late");
  });
  RaiseWhile([&] {
    HWND dlg = ClassicDialog();
    ASSERT_NE(dlg, nullptr);
    Click(dlg, 1000);
    EXPECT_TRUE(WaitGone(dlg));
  });
  EXPECT_EQ(sent, 1);
  EXPECT_TRUE(seen.Up);
  EXPECT_TRUE(seen.OwnThread);
  EXPECT_EQ(seen.Caption, FromAnsi(Text(mtSendDialog_Caption)));
  EXPECT_EQ(seen.Label1,
            FromAnsi(Text(mtSendDialog_Message)) + L" 1/2: " + FromAnsi(Text(mtSendDialog_Connected)));
  EXPECT_EQ(seen.Bar1, 40);
  EXPECT_EQ(seen.Label2, FromAnsi(Text(mtSendDialog_Sending)));
  EXPECT_EQ(seen.Bar2, 0);
  EXPECT_EQ(seen.Bar3, 75);
  EXPECT_EQ(seen.Label3, L"Отправлено");
  EXPECT_TRUE(seen.GoneAfterClose);
}

TEST_F(ClassicDialogs, DeliveryShowsTheSendWindowWhileItSends) {
  // The real delivery, to a port of this machine where nothing listens:
  // refused at once, the report kept for the user.
  SetReportSender(DeliverReport);
  O().SetCommonSendOptions(TCommonSendOptions{sndShowSendDialog});
  O().SetSMTPHost("127.0.0.1");
  O().SetSMTPPort(1);
  O().SetEMailAddresses("support@example.org");
  std::atomic<bool> handled{false};
  std::wstring caption;
  std::thread watcher([&] {
    while (!handled && caption.empty()) {
      if (HWND wnd = FindDialog(101, L"msctls_progress32")) {
        wchar_t text[128] = {};
        GetWindowTextW(wnd, text, 128);
        caption = text;
      }
      Sleep(5);
    }
  });
  RaiseWhile([&] {
    HWND dlg = ClassicDialog();
    ASSERT_NE(dlg, nullptr);
    Click(dlg, 1000);
    EXPECT_TRUE(WaitGone(dlg));
  });
  handled = true;
  watcher.join();
  EXPECT_EQ(caption, FromAnsi(Text(mtSendDialog_Caption)));
  EXPECT_EQ(SendDialogWindow(), nullptr) << "closed with the delivery";
  EXPECT_EQ(FindDialog(101, L"msctls_progress32"), nullptr);
}

TEST_F(Dialogs, SendWindowWithoutAThreadIsModelessOnTheSendingThread) {
  O().SetEMailSendMode(esmSMTPClient);
  TSendDialogSetup setup;
  setup.Options = &O();
  setup.CannotUseThread = true;
  ASSERT_TRUE(ShowSendDialog(setup, true));
  HWND wnd = SendDialogWindow();
  ASSERT_NE(wnd, nullptr);
  EXPECT_EQ(GetWindowThreadProcessId(wnd, nullptr), GetCurrentThreadId());
  // Placed at the bottom right of the work area.
  RECT r{}, work{};
  GetWindowRect(wnd, &r);
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  EXPECT_EQ(r.right, work.right);
  EXPECT_EQ(r.bottom, work.bottom);
  WebCallBackProc(0, 0, 0);
  EXPECT_EQ(SendLabel(wnd), FromAnsi(Text(mtSendDialog_Connecting)));
  SetSendDialogBar(55);
  EXPECT_EQ(SendBar(wnd), 55);
  CloseSendDialog();
  ProcessDialogMessages();
  EXPECT_FALSE(IsWindow(wnd));
  EXPECT_EQ(SendDialogWindow(), nullptr);
}

TEST_F(Dialogs, NoSendWindowWithoutItsOptionOrASendMode) {
  TSendDialogSetup setup;
  setup.Options = &O();
  EXPECT_FALSE(ShowSendDialog(setup, true)) << "no send mode";
  O().SetEMailSendMode(esmSMTPClient);
  O().SetCommonSendOptions(TCommonSendOptions{});
  EXPECT_FALSE(ShowSendDialog(setup, true)) << "no sndShowSendDialog";
  EXPECT_EQ(SendDialogWindow(), nullptr);
  SetSendDialogLabel("nothing");
  CloseSendDialog();
}

// ---------------------------------------------------------------------------
// The user's terminate or restart choice, carried out by the handling: in a
// child process (DialogsChild.cpp), whose thread answers its dialog.

struct TChildRun {
  DWORD ExitCode = 0;
  int Starts = 0, Terminating = 0, Reports = 0;
};

int Lines(const std::filesystem::path& file) {
  std::ifstream in(file);
  int n = 0;
  for (std::string line; std::getline(in, line);) ++n;
  return n;
}

TChildRun RunChild(const std::string& scenario) {
  TChildRun run;
  wchar_t temp[MAX_PATH] = {}, self[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::filesystem::path folder = std::filesystem::path(temp) / L"tavrix-dialogs-child" / scenario;
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::filesystem::path exe = std::filesystem::path(self).parent_path() / L"tracira_dialogs_child.exe";
  std::wstring commandLine = L"\"" + exe.wstring() + L"\" " + std::wstring(scenario.begin(), scenario.end()) +
                             L" \"" + folder.wstring() + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!testsupport::StartChildProcess(commandLine, FALSE, 0, nullptr, si, pi)) {
    ADD_FAILURE() << "the child did not start";
    return run;
  }
  if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the child did not end";
    TerminateProcess(pi.hProcess, 9);
  }
  GetExitCodeProcess(pi.hProcess, &run.ExitCode);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  // A restarted child writes its start line right away.
  for (int i = 0; i < 40 && (run.Starts = Lines(folder / L"starts.txt")) < 2; ++i) Sleep(50);
  run.Terminating = Lines(folder / L"terminating.txt");
  const std::filesystem::path log = folder / L"tracira_dialogs_child.tlf";
  if (std::filesystem::exists(log)) run.Reports = TLogFile(log).GetCount();
  return run;
}

TEST(UserEnds, TerminateButtonEndsTheProgramAfterTheReport) {
  const TChildRun run = RunChild("detailed-terminate");
  EXPECT_EQ(run.ExitCode, 1u);
  EXPECT_EQ(run.Starts, 1);
  EXPECT_EQ(run.Reports, 1);
  EXPECT_EQ(run.Terminating, 1) << "atTerminating fires once";
}

TEST(UserEnds, RestartButtonStartsTheProgramAgain) {
  const TChildRun run = RunChild("detailed-restart");
  EXPECT_EQ(run.ExitCode, 1u);
  EXPECT_EQ(run.Starts, 2);
  EXPECT_EQ(run.Reports, 1);
  EXPECT_EQ(run.Terminating, 1);
}

TEST(UserEnds, ClassicCheckBoxEndsTheProgram) {
  const TChildRun run = RunChild("classic-terminate");
  EXPECT_EQ(run.ExitCode, 1u);
  EXPECT_EQ(run.Starts, 1);
  EXPECT_EQ(run.Reports, 1);
  EXPECT_EQ(run.Terminating, 1);
}

}  // namespace
