// The UI driver against a real program in its own process: the library's
// windows found by their names and operated through posted messages.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "tests/support/UiDriver.h"

namespace {

std::wstring SampleExe() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self);
  return path.substr(0, path.find_last_of(L"\\/") + 1) + L"gui_sample.exe";
}

TEST(UiDriverTest, DrivesTheSampleFormFromAnotherProcess) {
  auto app = uidriver::Process::Start(SampleExe());
  const HWND form = uidriver::WaitForTopWindow(app.Id(), L"Образец формы");
  ASSERT_NE(form, nullptr);
  const HWND edit = uidriver::FindControl(form, L"edtName");
  const HWND combo = uidriver::FindControl(form, L"cboBaud");
  const HWND check = uidriver::FindControl(form, L"chkFlag");
  const HWND status = uidriver::FindControl(form, L"lblStatus");
  const HWND close = uidriver::FindControl(form, L"btnClose");
  ASSERT_TRUE(edit && combo && check && status && close);
  EXPECT_EQ(uidriver::GetClassName(edit), L"Edit");
  EXPECT_EQ(uidriver::GetText(status), L"ready");
  auto statusIs = [&](const std::wstring& text) {
    return uidriver::WaitUntil([&] { return uidriver::GetText(status) == text; }, 5000);
  };

  uidriver::SelectComboItem(combo, 1);
  EXPECT_TRUE(statusIs(L"value=7"));
  EXPECT_EQ(uidriver::ComboIndex(combo), 1);

  uidriver::Click(check);
  EXPECT_TRUE(statusIs(L"checked"));
  EXPECT_TRUE(uidriver::IsChecked(check));

  // Typing, then Enter in the edit presses the default button.
  uidriver::TypeText(edit, L"Сканер");
  uidriver::PressKey(edit, VK_RETURN);
  EXPECT_TRUE(statusIs(L"ok:Сканер"));

  // An exception in the handler ends in the standard box; the program goes on.
  SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"boom"));
  uidriver::PressKey(edit, VK_RETURN);
  const auto box = uidriver::WaitForMessageBox(app.Id());
  ASSERT_NE(box.Window, nullptr);
  EXPECT_EQ(box.Caption, L"Образец");
  EXPECT_EQ(box.Text, L"\"boom\" не является целым числом.");
  EXPECT_TRUE(uidriver::PressDialogButton(box.Window, IDOK));
  EXPECT_TRUE(uidriver::WaitUntil([&] { return !IsWindow(box.Window); }, 5000));

  // Escape presses the cancel button, which closes the main form and ends the program.
  uidriver::PressKey(edit, VK_ESCAPE);
  ASSERT_TRUE(app.Wait(10000));
  EXPECT_EQ(app.ExitCode(), 7u);
}

}  // namespace
