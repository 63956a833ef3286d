// The dialog in the real program, driven from this process: opened from the
// main window, edited, closed; afterwards the main window handles a driver
// error as it did before and refreshes itself once a second again.
#include <gtest/gtest.h>

#include "rtl/Exceptions.h"
#include "tests/app/AppTestSupport.h"
#include "tests/devices/DevicesTestSupport.h"
#include "tests/support/UiDriver.h"

namespace {

using namespace devtest;
using uidriver::FindControl;
using uidriver::GetText;

constexpr DWORD kTimeout = 20000;

bool TextBecomes(HWND control, const std::wstring& expected, DWORD timeoutMs = 5000) {
  return uidriver::WaitUntil([&] { return GetText(control) == expected; }, timeoutMs);
}

HWND FocusOf(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
  return info.hwndFocus;
}

// The crash reporter's dialog (the classic one, by the stored options),
// closed with its "Don't Send" (here "OK": no send mode) button.
void ExpectCrashReporterBox(DWORD pid, const std::wstring& text) {
  const uidriver::CrashDialogInfo box = uidriver::WaitForCrashDialog(pid, kTimeout);
  ASSERT_NE(box.Window, nullptr) << "no dialog of the crash reporter";
  EXPECT_EQ(box.Caption, L"Error occurred");
  EXPECT_EQ(box.Message, text);
  EXPECT_EQ(box.CloseButton, 1001) << "the classic dialog";
  uidriver::CloseCrashDialog(box);
  EXPECT_TRUE(uidriver::WaitUntil([&] { return !IsWindow(box.Window); }, kTimeout));
}

TEST(Program, TheDialogOpensEditsAndClosesAndTheMainWindowCarriesOn) {
  ResetDriverStore();
  apptest::DeleteFontKey();
  apptest::RegisterDriver();
  auto process = uidriver::Process::Start(apptest::TavrixExe());
  const HWND main = uidriver::WaitForTopWindow(process.Id(), kMainCaption, L"", kTimeout);
  ASSERT_NE(main, nullptr);

  uidriver::Click(FindControl(main, L"btnDevices"));
  const HWND dialog = uidriver::WaitForTopWindow(process.Id(), kDialogCaption, L"", kTimeout);
  ASSERT_NE(dialog, nullptr);
  EXPECT_FALSE(IsWindowEnabled(main)) << "the dialog is modal";
  EXPECT_EQ(FocusOf(dialog), FindControl(dialog, L"btnClose"));
  // The main window's last refresh read the driver: its result is 0.
  EXPECT_EQ(GetText(FindControl(dialog, L"edtResultCode")), L"0");
  EXPECT_EQ(GetText(FindControl(dialog, L"edtResultDescription")), L"Ошибок нет");
  const HWND count = FindControl(dialog, L"edtDeviceCount");
  EXPECT_EQ(GetText(count), L"1");
  EXPECT_EQ(GetText(FindControl(dialog, L"edtDeviceName")), L"Сканер штрих-кода");

  // "$0C" in the baud-rate edit, then Enter: code 12, the row "38400".
  const HWND baud = FindControl(dialog, L"edtBaudRate");
  uidriver::SetFocusTo(baud);
  SendMessageW(baud, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"$0C"));
  uidriver::PressKey(baud, VK_RETURN);
  ASSERT_TRUE(TextBecomes(baud, L"12")) << rtl::ToUtf8(GetText(baud));
  EXPECT_EQ(uidriver::ComboIndex(FindControl(dialog, L"cboBaudRate")), 8);

  // Add and delete; deleting the last device is refused.
  uidriver::Click(FindControl(dialog, L"btnAdd"));
  EXPECT_TRUE(TextBecomes(count, L"2"));
  uidriver::Click(FindControl(dialog, L"btnDelete"));
  EXPECT_TRUE(TextBecomes(count, L"1"));
  uidriver::Click(FindControl(dialog, L"btnDelete"));
  // The driver error goes to the crash reporter, whose box comes up once the
  // dialog has shown the driver's answer.
  ExpectCrashReporterBox(process.Id(), L"Невозможно удалить устройство");
  EXPECT_TRUE(TextBecomes(FindControl(dialog, L"edtResultCode"), L"-8"));
  EXPECT_EQ(GetText(FindControl(dialog, L"edtResultDescription")), L"Невозможно удалить устройство");
  EXPECT_TRUE(uidriver::WaitUntil([&] { return IsWindowEnabled(dialog) != FALSE; }, kTimeout));

  // A port nothing is linked to, for the main window below.
  const HWND port = FindControl(dialog, L"edtPortNumber");
  uidriver::SetFocusTo(port);
  SendMessageW(port, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"59"));
  uidriver::PressKey(port, VK_RETURN);
  ASSERT_TRUE(TextBecomes(FindControl(dialog, L"edtResultCode"), L"0"));

  uidriver::Click(FindControl(dialog, L"btnClose"));
  ASSERT_TRUE(uidriver::WaitUntil([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }, kTimeout));
  EXPECT_TRUE(uidriver::WaitUntil([&] { return IsWindowEnabled(main) != FALSE; }, kTimeout));

  // A refused switch-on in the main window: the crash reporter reports it,
  // its result fields show it, and the window's own hook stays silent.
  const HWND mainCode = FindControl(main, L"edtResultCode");
  uidriver::Click(FindControl(main, L"chkDeviceEnabled"));
  ExpectCrashReporterBox(process.Id(), L"Порт недоступен");
  ASSERT_TRUE(TextBecomes(mainCode, L"-3")) << rtl::ToUtf8(GetText(mainCode));
  EXPECT_EQ(GetText(FindControl(main, L"edtResultDescription")), L"Порт недоступен");
  // The timer runs again: its next refresh shows the result of the reads.
  EXPECT_TRUE(TextBecomes(mainCode, L"0", 5000));
  EXPECT_EQ(uidriver::FindTopWindow(process.Id(), L"", L"#32770"), nullptr) << "another message box came up";
  EXPECT_TRUE(process.Running());

  uidriver::Click(FindControl(main, L"btnClose"));
  ASSERT_TRUE(process.Wait(kTimeout));
  EXPECT_EQ(process.ExitCode(), 0u);
}

}  // namespace
